#!/usr/bin/env bash
# Installs what is missing, builds, and runs the main job on the virtual camera.
# VCAM_CONFIG may name a virtual-camera configuration file (see emulator/README.md).
set -euo pipefail
source "$(dirname "$0")/lib/common.sh"
ensure_packages
build build/release -DCMAKE_BUILD_TYPE=Release -DTESSORAL_BUILD_TESTS=OFF
# The virtual camera's libusb-1.0.so.0 comes first in the search path: the program and
# the library are the ones a user runs, only the USB stack underneath is emulated.
export LD_LIBRARY_PATH="$ROOT/build/release/emulator/lib${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"
exec "$ROOT/build/release/bin/u3v-list"
