#!/usr/bin/env bash
# Builds the Debian packages into build/package (installing what it needs on Debian 12)
# and checks them: every file that `cmake --install` puts down is in exactly one package,
# and lintian finds no error.
#   scripts/package.sh            build and check
#   scripts/package.sh --try      then install them, run them on the virtual camera and
#                                 remove them again (as root or through sudo; CI does this)
set -euo pipefail
source "$(dirname "$0")/lib/common.sh"
PACKAGES+=(dpkg-dev file lintian man-db groff-base)
ensure_packages

DIR=build/package
OUT="$ROOT/$DIR"
# Debian's hardening flags (the preprocessor's with the compilers', which CMake reads).
eval "$(dpkg-buildflags --export=sh)"
export CFLAGS="$CPPFLAGS $CFLAGS" CXXFLAGS="$CPPFLAGS $CXXFLAGS"
build "$DIR" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
    -DTESSORAL_BUILD_TESTS=OFF -DTESSORAL_BUILD_BENCH=OFF
rm -f "$OUT"/*.deb
# CPack's notes (a module without a SONAME gets no shlibs line) only matter on failure.
(cd "$OUT" && cpack -G DEB > cpack.log 2>&1) || { cat "$OUT/cpack.log" >&2; exit 1; }
debs=("$OUT"/*.deb)
echo "== packages"
for deb in "${debs[@]}"; do
    dpkg-deb -f "$deb" Package Version Depends | sed 's/^/  /'
done

echo "== every installed file in exactly one package"
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
DESTDIR="$stage" cmake --install "$OUT" >/dev/null
(cd "$stage" && find . ! -type d | sed 's|^\.||' | sort) > "$OUT/installed.list"
for deb in "${debs[@]}"; do
    dpkg-deb --fsys-tarfile "$deb" | tar -t | grep -v '/$' | sed 's|^\.||'
done | grep -v '^/usr/share/doc/' | sort > "$OUT/packaged.list"
if ! diff -u "$OUT/installed.list" "$OUT/packaged.list"; then
    echo "the packages and the install rules differ (- only installed, + only packaged or twice)" >&2
    exit 1
fi
echo "  $(wc -l < "$OUT/installed.list") files"

echo "== lintian"
# Errors fail the build; warnings are listed (each is explained in packaging/README.md).
lintian --fail-on error --tag-display-limit 0 "${debs[@]}" | sed 's/^/  /'

if [ "${1:-}" = --try ]; then
    bash "$ROOT/scripts/lib/try-packages.sh" "$ROOT" "${debs[@]}"
fi
