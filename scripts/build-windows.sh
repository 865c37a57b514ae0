#!/usr/bin/env bash
# The Windows build, made on this Debian machine: installs the Debian packages
# it needs, builds the Windows dependencies once (cached outside the work tree,
# see scripts/windows-deps.sh), builds the program for 64-bit Windows into
# build-windows/ (or $ZENTAVO_WINDOWS_BUILD_DIR) and makes the NSIS installer,
# the portable .zip and the Windows Installer package (.msi, for deployment by
# Group Policy, Intune or Configuration Manager; scripts/build-msi.sh) there,
# all three from the same program folder, with SHA256SUMS beside them.
# Signing (Authenticode, osslsigncode): with ZENTAVO_SIGN_CERT and
# ZENTAVO_SIGN_KEY naming a code-signing certificate and its key,
# zentavo.exe, the uninstaller, the installer and the .msi are signed (optional:
# ZENTAVO_SIGN_PASSWORD_FILE, ZENTAVO_SIGN_TIMESTAMP; scripts/sign-windows.sh).
# Without them the build is unsigned and says so.
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
    nsis zip locales osslsigncode wixl msitools
)
[ "${1:-}" = --check ] && packages+=(wine wine64 xvfb xauth xdotool xclip imagemagick fonts-dejavu-core
                                     pcscd vsmartcard-vpcd libpcsclite-dev unzip)
"$root/scripts/install-packages.sh" "${packages[@]}"

if [ -n "${ZENTAVO_SIGN_CERT:-}${ZENTAVO_SIGN_KEY:-}" ]; then
    for f in "${ZENTAVO_SIGN_CERT:-}" "${ZENTAVO_SIGN_KEY:-}"; do
        [ -f "$f" ] || { echo "signing needs ZENTAVO_SIGN_CERT and ZENTAVO_SIGN_KEY (files); got «$f»" >&2; exit 1; }
    done
    # cpack signs from inside the build directory.
    ZENTAVO_SIGN_CERT=$(realpath "$ZENTAVO_SIGN_CERT") ZENTAVO_SIGN_KEY=$(realpath "$ZENTAVO_SIGN_KEY")
    [ -z "${ZENTAVO_SIGN_PASSWORD_FILE:-}" ] || ZENTAVO_SIGN_PASSWORD_FILE=$(realpath "$ZENTAVO_SIGN_PASSWORD_FILE")
    export ZENTAVO_SIGN_CERT ZENTAVO_SIGN_KEY ZENTAVO_SIGN_PASSWORD_FILE
fi

deps=$("$root/scripts/windows-deps.sh" | tail -n 1)
echo "== Windows dependencies: $deps"

"$deps/qt/bin/qt-cmake" -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DOPENSSL_ROOT_DIR="$deps/openssl" -DBUILD_TESTING=ON >/dev/null
cmake --build "$build" -j"$(nproc)"
(cd "$build" && cpack -G NSIS >/dev/null && cpack -G ZIP >/dev/null)
name=$(sed -n 's/^set(CPACK_PACKAGE_FILE_NAME "\(.*\)")$/\1/p' "$build/CPackConfig.cmake")
version=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$build/CPackConfig.cmake")
# The folder that the zip was made of, its zentavo.exe signed already.
stage=$(ls -d "$build"/_CPack_Packages/*/ZIP/"$name")
"$root/scripts/build-msi.sh" "$stage" "$build/$name.msi" "$version" >/dev/null
(cd "$build" && sha256sum "$name.exe" "$name.zip" "$name.msi" >SHA256SUMS)
ls -l "$build/$name.exe" "$build/$name.zip" "$build/$name.msi" "$build/SHA256SUMS"
if [ -n "${ZENTAVO_SIGN_CERT:-}" ]; then
    echo "== signed with $(openssl x509 -in "$ZENTAVO_SIGN_CERT" -noout -subject 2>/dev/null || echo "$ZENTAVO_SIGN_CERT")"
else
    echo "== UNSIGNED: zentavo.exe, the uninstaller, the installer and the .msi carry no signature (see README: Signing)"
fi

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
