#!/usr/bin/env bash
# Installs what is missing, builds, and updates the firmware of the virtual camera with
# brannock, as an operator would: in a folder of firmware files, answering its questions.
# On a terminal you answer yourself; otherwise the answers are scripted (the first file,
# then Enter). Afterwards u3v-list shows the version the camera reports now.
#
# The virtual camera keeps what it flashed in a state directory, so the next run starts
# from the new version. VCAM_CONFIG may name a configuration file of your own (see
# emulator/README.md); its state_dir is then the one that counts.
set -euo pipefail
source "$(dirname "$0")/lib/common.sh"
ensure_packages
build build/release -DCMAKE_BUILD_TYPE=Release -DTESSORAL_BUILD_TESTS=OFF
BIN="$ROOT/build/release/bin"

DEMO="$ROOT/build/demo"
STATE="$DEMO/state"
FOLDER="$DEMO/firmware"
mkdir -p "$STATE"
if [ -z "${VCAM_CONFIG:-}" ]; then
    # One camera (model VCam-1) that takes 1.5 s to write its flash and 2 s to reboot.
    export VCAM_CONFIG="$DEMO/vcam.ini"
    cat > "$VCAM_CONFIG" <<INI
state_dir = $STATE
[camera]
flash_time_ms = 1500
reboot_time_ms = 2000
INI
    state_note="The virtual camera keeps its flash in $STATE; delete that directory to reset it."
else
    state_note="The virtual camera keeps its flash in the state_dir of $VCAM_CONFIG; delete it there to reset."
fi

# The folder the operator works in: images for the camera's model, one for another model,
# and a file that is no firmware at all. brannock offers only the first two.
rm -rf "$FOLDER"
mkdir -p "$FOLDER"
"$BIN/vcam-mkfw" --model VCam-1 --version 2.0.0 --size 300000 -o "$FOLDER/VCam-1_2.0.0.bin" >/dev/null
"$BIN/vcam-mkfw" --model VCam-1 --version 2.1.0 --size 450001 -o "$FOLDER/VCam-1_2.1.0.bin" >/dev/null
"$BIN/vcam-mkfw" --model VCam-9 --version 1.0.0 -o "$FOLDER/VCam-9_1.0.0.bin" >/dev/null
echo "Release notes: nothing to flash here." > "$FOLDER/release-notes.txt"

# The virtual camera's libusb-1.0.so.0 comes first in the search path: the program and
# the library are the ones a user runs, only the USB stack underneath is emulated.
export LD_LIBRARY_PATH="$ROOT/build/release/emulator/lib${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"

echo "== The camera before the update"
"$BIN/u3v-list"
echo
echo "== brannock in $FOLDER"
status=0
if [ -t 0 ]; then
    (cd "$FOLDER" && "$BIN/brannock") || status=$?
else
    echo "(standard input is not a terminal: answering 1, then Enter)"
    (cd "$FOLDER" && printf '1\n\n' | "$BIN/brannock") || status=$?
fi
echo
echo "== The camera after the update"
"$BIN/u3v-list"
echo
echo "$state_note"
echo "Run scripts/demo.sh again to update the camera once more."
if [ "$status" -ne 0 ]; then
    echo "brannock ended with exit status $status."
    exit "$status"
fi
