#!/usr/bin/env bash
# tessoralsrc from the shell, as the README shows it: found through GST_PLUGIN_PATH in the
# build tree, listed by gst-inspect-1.0, run by gst-launch-1.0 on the virtual camera.
#   launch-test.sh BUILD_DIR VCAM_LIBRARY_DIR STREAM_PROBE
set -euo pipefail
build=$1 vcam=$2 probe=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export GST_PLUGIN_PATH=$build/gstreamer-1.0 GST_REGISTRY=$work/registry.bin LD_LIBRARY_PATH=$vcam
fail() { echo "FAIL: $*"; exit 1; }

gst-inspect-1.0 tessoralsrc > "$work/inspect" || fail "gst-inspect-1.0 does not find tessoralsrc"
for property in camera features buffer-count transfer-size timeout num-buffers do-timestamp \
                warn-bad-images trigger-mode trigger-source missing-images incomplete-images bad-images; do
    grep -q "^  $property " "$work/inspect" || fail "property $property not listed"
done
for mode in off software hardware; do
    grep -q "): $mode  " "$work/inspect" || fail "trigger mode $mode not listed"
done
grep -q '^  "trigger" :  gboolean' "$work/inspect" || fail "the trigger action signal is not listed"

timeout 60 gst-launch-1.0 -v tessoralsrc num-buffers=30 ! fakesink silent=false > "$work/run" 2>&1 ||
    fail "30 buffers: $(tail -3 "$work/run")"
grep -q 'tessoralsrc0.GstPad:src: caps = video/x-raw, format=(string)GRAY8, width=(int)640, height=(int)480' \
    "$work/run" || fail "no negotiated caps shown"
chains=$(grep -c 'last-message = chain' "$work/run" || true)
[ "$chains" = 30 ] || fail "$chains buffers reached fakesink, not 30"

# The camera leaves the bus after 10 images: an error, and gst-launch-1.0 ends by itself.
status=0
LD_PRELOAD=$probe VCAM_PROBE_UNPLUG_AFTER_IMAGES=10 ASAN_OPTIONS=verify_asan_link_order=0 \
    timeout 60 gst-launch-1.0 tessoralsrc timeout=120000 ! fakesink > "$work/unplug" 2>&1 || status=$?
[ "$status" != 124 ] || fail "gst-launch-1.0 hung after the unplug"
[ "$status" != 0 ] || fail "the unplug ended with status 0"
grep -q '^ERROR: from element /GstPipeline:pipeline0/GstTessoralSrc:tessoralsrc0: The camera is gone.' "$work/unplug" ||
    fail "no error from tessoralsrc after the unplug: $(tail -3 "$work/unplug")"
echo "tessoralsrc from the shell works"
