# Shared by the README's commands: package installation and the build.
# shellcheck shell=bash

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
PACKAGES=(build-essential cmake pkg-config libusb-1.0-0-dev libzip-dev libgtest-dev
          googletest libbenchmark-dev zip unzip libxml2-utils libxml2-dev libpng-dev binutils
          clang libclang-rt-14-dev python3-dev pybind11-dev python3-numpy python3-pytest
          libgstreamer1.0-dev libgstreamer-plugins-base1.0-dev gstreamer1.0-tools
          gstreamer1.0-plugins-base gstreamer1.0-plugins-good groff-base)
# The independent USB3 Vision peer that the virtual camera's tests run as a black box.
PACKAGES+=(aravis-tools-cli libaravis-dev)
# The emulated kernel under the system libusb, and lsusb to show it.
PACKAGES+=(umockdev libumockdev-dev usbutils)

# Installs the Debian packages that are missing (as root, or through sudo).
ensure_packages() {
    local missing=()
    for p in "${PACKAGES[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing: ${missing[*]}"
    local sudo=()
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    "${sudo[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq "${missing[@]}"
}

# build DIR [cmake options...]: configures and builds into $ROOT/DIR.
build() {
    local dir=$1; shift
    cmake -S "$ROOT" -B "$ROOT/$dir" "$@" >/dev/null
    cmake --build "$ROOT/$dir" -j "$(nproc)"
}
