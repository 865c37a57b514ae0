#!/bin/sh
# Signs a Windows executable in place with Authenticode (Debian's osslsigncode),
# with the code-signing certificate and key that the environment names:
#   ZENTAVO_SIGN_CERT            the certificate, PEM or DER (a PEM file may add its chain)
#   ZENTAVO_SIGN_KEY             its private key, PEM or DER
#   ZENTAVO_SIGN_PASSWORD_FILE   optional: a file holding the key's password
#   ZENTAVO_SIGN_TIMESTAMP       optional: an RFC 3161 time-stamp server's URL, so
#                                that the signature outlives the certificate
# Called while the packages are made (cmake/PackagingWindows.cmake, the NSIS
# template) for zentavo.exe, the uninstaller and the installer.
#
#   sign-windows.sh FILE.exe
set -eu
file=${1:?usage: sign-windows.sh FILE.exe}
: "${ZENTAVO_SIGN_CERT:?no certificate (ZENTAVO_SIGN_CERT)}" "${ZENTAVO_SIGN_KEY:?no key (ZENTAVO_SIGN_KEY)}"
set -- -certs "$ZENTAVO_SIGN_CERT" -key "$ZENTAVO_SIGN_KEY" -h sha256 -n Zentavo
[ -z "${ZENTAVO_SIGN_PASSWORD_FILE:-}" ] || set -- "$@" -readpass "$ZENTAVO_SIGN_PASSWORD_FILE"
[ -z "${ZENTAVO_SIGN_TIMESTAMP:-}" ] || set -- "$@" -ts "$ZENTAVO_SIGN_TIMESTAMP"
rm -f "$file.signed"
osslsigncode sign "$@" -in "$file" -out "$file.signed" >/dev/null
mv "$file.signed" "$file"
echo "signed: $file"
