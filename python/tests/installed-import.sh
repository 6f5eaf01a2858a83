#!/usr/bin/env bash
# Installs the build tree into a fresh prefix, moves it elsewhere, and imports the package
# from there: it must find the camera through the installed libTessoral.so.1, not the
# build tree's.
# Usage: installed-import.sh BUILD_DIR VCAM_LIBRARY_DIR PYTHON PACKAGE_DIR
set -euo pipefail
build=$1
vcam=$2
python=$3
package_dir=$4
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cmake --install "$build" --prefix "$work/first" >/dev/null
mv "$work/first" "$work/moved"
prefix="$work/moved"
[ -f "$prefix/$package_dir/tessoral/__init__.pyi" ] || { echo "no type stub installed"; exit 1; }
out=$(cd "$work" && LD_LIBRARY_PATH="$vcam" PYTHONPATH="$prefix/$package_dir" PYTHONDONTWRITEBYTECODE=1 "$python" -c '
import tessoral
cameras = tessoral.discover()
print(tessoral.__file__)
print(len(cameras), cameras[0].guid)
print(sorted({l.split()[-1] for l in open("/proc/self/maps") if "libTessoral" in l}))
')
echo "$out"
grep -qx "$prefix/$package_dir/tessoral/__init__.py" <<<"$out" || { echo "imported from elsewhere"; exit 1; }
grep -qx "1 VC0000000001" <<<"$out" || { echo "the camera was not found"; exit 1; }
grep -qx "\['$prefix/lib/libTessoral\.so[.0-9]*'\]" <<<"$out" || { echo "not the installed library"; exit 1; }
echo "installed package in $prefix works"
