#!/usr/bin/env bash
# Installs the Debian 12 packages the program and its tests need, then
# configures and builds into build/ (or $ZENTAVO_BUILD_DIR).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${ZENTAVO_BUILD_DIR:-$root/build}

packages=(
    build-essential cmake pkg-config
    qt6-base-dev qt6-base-dev-tools libgl-dev libssl-dev libpcsclite-dev
    pcscd vsmartcard-vpcd
    openssl libengine-gost-openssl
    xvfb xauth xdotool xclip imagemagick fonts-dejavu-core
    qt6-translations-l10n
    chromium poppler-utils
)

"$root/scripts/install-packages.sh" "${packages[@]}"

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE="${ZENTAVO_BUILD_TYPE:-RelWithDebInfo}" >/dev/null
cmake --build "$build" -j"$(nproc)"
