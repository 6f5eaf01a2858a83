#!/usr/bin/env bash
# Installs the built Debian packages on this machine, runs what they hold from the
# installed files on the virtual camera (whose libusb-1.0.so.0 stays in the build tree),
# and removes them again, checking that nothing of theirs is left behind.
#   try-packages.sh ROOT DEB...
set -euo pipefail
ROOT=$1; shift
debs=("$@")
VCAM="$ROOT/build/package/emulator/lib"
MKFW="$ROOT/build/package/bin/vcam-mkfw"
sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
names=()
for deb in "${debs[@]}"; do names+=("$(dpkg-deb -f "$deb" Package)"); done
work=$(mktemp -d)
failed=0
check() { echo "  ok: $1"; }
bad() { echo "  FAILED: $1" >&2; failed=1; }

remove() { DEBIAN_FRONTEND=noninteractive "${sudo[@]}" dpkg --purge "${names[@]}" >/dev/null; }
cleanup() {
    local installed
    installed=$(dpkg-query -W -f='${Package} ${Status}\n' "${names[@]}" 2>/dev/null | grep -c ' installed$' || true)
    [ "$installed" = 0 ] || remove || true
    rm -rf "$work"
}
trap cleanup EXIT

echo "== installing ${names[*]}"
# What the packages hold, and which of those paths (shared directories) exist already.
for deb in "${debs[@]}"; do dpkg-deb --fsys-tarfile "$deb" | tar -t; done |
    sed 's|^\./|/|; s|/$||' | grep -v '^/\?$' | sort -u > "$work/contents"
while read -r p; do [ -e "$p" ] && echo "$p"; done < "$work/contents" > "$work/before"
if dpkg-query -W -f='${Status}\n' "${names[@]}" 2>/dev/null | grep -q ' installed$'; then
    echo "some of ${names[*]} are installed already; remove them first" >&2
    exit 1
fi
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq "${debs[@]}" >/dev/null

for n in "${names[@]}"; do dpkg -L "$n"; done | grep -v '^/\.$' | sort -u > "$work/listed"
if diff -q "$work/contents" "$work/listed" >/dev/null; then check "dpkg -L lists what the packages hold"
else bad "dpkg -L differs from the packages' contents"; diff "$work/contents" "$work/listed" | head; fi
missing=$(while read -r p; do [ -e "$p" ] || echo "$p"; done < "$work/listed")
if [ -z "$missing" ]; then check "every listed file is there"; else bad "listed but missing: $missing"; fi

getent group usb3vision >/dev/null && check "group usb3vision" || bad "no group usb3vision"
grep -q 'TAG+="uaccess"' /usr/lib/udev/rules.d/70-usb3vision.rules && check "udev rule with uaccess" ||
    bad "no udev rule with uaccess in /usr/lib/udev/rules.d"

echo "== the installed programs on the virtual camera"
export LD_LIBRARY_PATH="$VCAM"
# The library must be the installed one, whoever loads it (linked or dlopen()ed).
loaded_from() {
    local file
    file=$({ LD_DEBUG=files "$@" 2>&1 >/dev/null || true; } | grep -o 'calling init: [^ ]*libTessoral[^ ]*' | head -1 | cut -d' ' -f3)
    [ -n "$file" ] && realpath "$file"
}
export VCAM_CONFIG="$work/vcam.ini"
mkdir -p "$work/state" "$work/firmware"
printf 'state_dir = %s\n[camera]\nflash_time_ms = 200\nreboot_time_ms = 200\n' "$work/state" > "$VCAM_CONFIG"
list=$(/usr/bin/u3v-list) || bad "u3v-list failed"
grep -q '^1 USB3 Vision camera(s) found' <<<"$list" && check "u3v-list finds the camera" || bad "u3v-list: $list"
lib=$(loaded_from /usr/bin/u3v-list) || true
[[ "$lib" == /usr/lib/* ]] && check "u3v-list runs on $lib" || bad "u3v-list loaded '$lib'"

model=$(sed -n 's/^ *Model: *//p' <<<"$list")
"$MKFW" --model "$model" --version 7.7.7 -o "$work/firmware/${model}_7.7.7.bin" >/dev/null
status=0
(cd "$work/firmware" && printf '1\n\n' | /usr/bin/brannock > "$work/brannock.out") || status=$?
[ "$status" = 0 ] && check "brannock updated the camera" || { bad "brannock exit status $status"; tail "$work/brannock.out"; }
/usr/bin/u3v-list | grep -q 'Version: *7\.7\.7' && check "the camera reports version 7.7.7" || bad "the new version is not reported"
lib=$(cd "$work/firmware" && printf '9\n' | loaded_from /usr/bin/brannock) || true
[[ "$lib" == /usr/lib/* ]] && check "brannock binds $lib" || bad "brannock bound '$lib'"

echo "== libtessoral-dev: pkg-config and CMake alone"
cat > "$work/consumer.c" <<'C'
#include <stdio.h>
#include <tessoral/tessoral.h>
int main(void) {
    uint16_t count = 0;
    if (U3V_DiscoveryDevices(&count) != U3V_OK) return 1;
    printf("%u\n", count);
    return 0;
}
C
# Nothing but the system's search paths: no PKG_CONFIG_PATH, no -I or -L of our own.
if cc -Werror -o "$work/consumer" "$work/consumer.c" $(env -u PKG_CONFIG_PATH pkg-config --cflags --libs tessoral) &&
    [ "$("$work/consumer")" = 1 ]; then check "a C program built with pkg-config finds the camera"
else bad "the pkg-config consumer"; fi
mkdir -p "$work/cmake"
cat > "$work/cmake/CMakeLists.txt" <<'CM'
cmake_minimum_required(VERSION 3.25)
project(consumer C)
find_package(Tessoral REQUIRED)
add_executable(consumer ../consumer.c)
target_link_libraries(consumer PRIVATE Tessoral::Tessoral)
CM
if cmake -S "$work/cmake" -B "$work/cmake/build" >/dev/null && cmake --build "$work/cmake/build" >/dev/null &&
    [ "$("$work/cmake/build/consumer")" = 1 ]; then check "find_package(Tessoral) works"
else bad "the CMake consumer"; fi

if [[ " ${names[*]} " == *" python3-tessoral "* ]]; then
    # From an unrelated directory, as root: the byte code written now must go with the package.
    found=$(cd / && env -u PYTHONDONTWRITEBYTECODE /usr/bin/python3 -c 'import tessoral; print(tessoral.__file__, len(tessoral.discover()))') || found=
    [[ "$found" == "/usr/lib/python3/dist-packages/tessoral/__init__.py 1" ]] &&
        check "/usr/bin/python3 imports tessoral and finds the camera" || bad "python3: '$found'"
fi
if [[ " ${names[*]} " == *" gstreamer1.0-tessoral "* ]]; then
    # A registry of our own, so that no cache outside $work remembers the plugin; the
    # found file may read /lib/... on a merged /usr.
    export GST_REGISTRY="$work/gst-registry.bin"
    gst-inspect-1.0 tessoralsrc > "$work/inspect" 2>&1 || true
    grep -qE 'Filename +(/usr)?/lib/.*/gstreamer-1.0/libgsttessoral.so$' "$work/inspect" &&
        check "gst-inspect-1.0 finds the installed tessoralsrc" || { bad "gst-inspect-1.0 tessoralsrc: $(grep Filename "$work/inspect")"; }
    gst-launch-1.0 -q tessoralsrc num-buffers=3 ! fakesink >/dev/null 2>&1 &&
        check "tessoralsrc streams" || bad "gst-launch-1.0 tessoralsrc"
fi
unset LD_LIBRARY_PATH

echo "== man u3v-grab"
# Plain text: the pager's overstrikes for bold and underline taken out.
page=$(MANWIDTH=80 man -P cat u3v-grab 2>&1 | sed 's/.\x08//g') || true
grep -q 'u3v-grab - take images' <<<"$page" && grep -q 'EXIT STATUS' <<<"$page" &&
    check "man u3v-grab renders ($(wc -l <<<"$page") lines)" || bad "man u3v-grab: $(head -3 <<<"$page")"
sed -n '1,12p' <<<"$page" | sed 's/^/    /'

echo "== removing them"
remove
while read -r p; do [ -e "$p" ] && echo "$p"; done < "$work/contents" > "$work/after"
if diff -q "$work/before" "$work/after" >/dev/null; then check "nothing of theirs is left ($(wc -l < "$work/listed") paths)"
else bad "not as before (left behind, or gone though there before):"; diff "$work/before" "$work/after" >&2; fi

[ "$failed" = 0 ] || { echo "the installed packages failed a check" >&2; exit 1; }
echo "the packages install, run and remove cleanly"
