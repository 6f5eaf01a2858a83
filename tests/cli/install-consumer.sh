#!/usr/bin/env bash
# Installs the build tree into a fresh prefix, moves it elsewhere, and builds and runs a
# user's program there with nothing but `pkg-config --cflags --libs tessoral`; the
# installed tools run from the moved tree too.
# Usage: install-consumer.sh BUILD_DIR VCAM_LIBRARY_DIR
set -euo pipefail
build=$1
vcam=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cmake --install "$build" --prefix "$work/first" >/dev/null
mv "$work/first" "$work/moved"
prefix="$work/moved"
pcdir=$(dirname "$(find "$prefix" -name tessoral.pc)")

cat >"$work/consumer.c" <<'C'
#include <stdio.h>
#include <tessoral/tessoral.h>
int main(void) {
    uint16_t count = 0;
    if (U3V_DiscoveryDevices(&count) != U3V_OK) return 1;
    printf("%u\n", count);
    return 0;
}
C
flags=$(PKG_CONFIG_PATH="$pcdir" pkg-config --cflags --libs tessoral)
case "$flags" in *"$prefix"*) ;; *) echo "pkg-config gives no path inside the installed tree: $flags"; exit 1;; esac
cc -Werror -o "$work/consumer" "$work/consumer.c" $flags
libdir=$(PKG_CONFIG_PATH="$pcdir" pkg-config --variable=libdir tessoral)
found=$(LD_LIBRARY_PATH="$vcam:$libdir" "$work/consumer")
[ "$found" = 1 ] || { echo "the consumer found '$found' cameras"; exit 1; }

for tool in u3v-list u3v-xml u3v-reg u3v-feature u3v-grab; do
    [ -x "$prefix/bin/$tool" ] || { echo "$tool is not installed"; exit 1; }
    "$prefix/bin/$tool" --help >/dev/null 2>&1 || { echo "$tool --help failed"; exit 1; }
done
# The installed tools find the installed library on their own; only the USB stack is swapped.
LD_LIBRARY_PATH="$vcam" "$prefix/bin/u3v-feature" Width | grep -qx 'Width = 640'
# The GStreamer element, when built: in the library directory's gstreamer-1.0 folder, and
# running on the installed library (only the USB stack swapped).
if [ -e "$build/gstreamer-1.0/libgsttessoral.so" ]; then
    [ -f "$libdir/gstreamer-1.0/libgsttessoral.so" ] || { echo "tessoralsrc is not installed in $libdir/gstreamer-1.0"; exit 1; }
    export GST_PLUGIN_PATH="$libdir/gstreamer-1.0" GST_REGISTRY="$work/registry.bin"
    gst-inspect-1.0 tessoralsrc >"$work/inspect" 2>&1 || true  # grep -q on a pipe could cut it short
    grep -q "$libdir/gstreamer-1.0/libgsttessoral.so" "$work/inspect" ||
        { echo "gst-inspect-1.0 does not find the installed tessoralsrc"; exit 1; }
    LD_LIBRARY_PATH="$vcam" gst-launch-1.0 -q tessoralsrc num-buffers=3 ! fakesink >/dev/null ||
        { echo "the installed tessoralsrc does not run"; exit 1; }
fi
echo "installed tree in $prefix works"
