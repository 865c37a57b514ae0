#!/usr/bin/env bash
# The Windows build, made on this Debian machine: installs the Debian packages
# it needs, builds the Windows dependencies once (cached outside the work tree,
# see scripts/windows-deps.sh), builds the program for 64-bit Windows into
# build-windows/ (or $ZENTAVO_WINDOWS_BUILD_DIR) and makes the NSIS installer
# and the portable .zip there.
#   --check   then checks it under Wine: the Windows test programs, the
#             installer and the installed program (scripts/windows-checks.sh),
#             and a card read end to end through the test PC/SC bridge on a
#             private pcscd with the simulated card (scripts/windows-card-check.sh)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${ZENTAVO_WINDOWS_BUILD_DIR:-$root/build-windows}

packages=(
    build-essential cmake ninja-build pkg-config perl dpkg-dev
    qt6-base-dev qt6-base-dev-tools qt6-translations-l10n libgl-dev
    g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
    nsis zip locales
)
[ "${1:-}" = --check ] && packages+=(wine wine64 xvfb xauth xdotool xclip imagemagick fonts-dejavu-core
                                     pcscd vsmartcard-vpcd libpcsclite-dev unzip)
"$root/scripts/install-packages.sh" "${packages[@]}"

deps=$("$root/scripts/windows-deps.sh" | tail -n 1)
echo "== Windows dependencies: $deps"

"$deps/qt/bin/qt-cmake" -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DOPENSSL_ROOT_DIR="$deps/openssl" -DBUILD_TESTING=ON >/dev/null
cmake --build "$build" -j"$(nproc)"
(cd "$build" && cpack -G NSIS >/dev/null && cpack -G ZIP >/dev/null)
ls -l "$build"/zentavo-*-win64.exe "$build"/zentavo-*-win64.zip

if [ "${1:-}" = --check ]; then
    # Bounded: a check that waits on a window that never comes must not hold CI.
    ZENTAVO_WINDOWS_DEPS=$deps timeout 900 "$root/scripts/windows-checks.sh" "$build"
    # The card check takes the simulator, the bridge's relay and the other
    # program on the reader from the Linux build (the test suite's, or one made now).
    linux=${ZENTAVO_BUILD_DIR:-$root/build}
    if [ ! -x "$linux/tools/tachosim" ] || [ ! -x "$linux/tools/winscard-bridge/winscard-relay" ] ||
        [ ! -x "$linux/tools/otherclient" ]; then
        ZENTAVO_BUILD_DIR=$linux "$root/scripts/setup.sh"
    fi
    timeout 600 "$root/scripts/windows-card-check.sh" "$build" "$linux"
fi
