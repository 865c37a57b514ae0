#!/usr/bin/env bash
# The Windows Installer package (.msi) of a staged program folder, for IT
# departments that deploy by Group Policy, Intune or Configuration Manager:
#   build-msi.sh STAGE OUTPUT.msi VERSION
# wixl builds it from cmake/zentavo.wxs and the folder's files as wixl-heat
# finds them (no list to keep in step); msibuild then does what wixl cannot:
# the Russian strings (wixl drops every non-ASCII one), a rebuilt package of
# the same version replacing the installed one, the earlier version removed
# before this one is installed, the desktop shortcut's condition, the public
# properties that reach the installing service. Every build has a new
# ProductCode. Signed when ZENTAVO_SIGN_CERT and ZENTAVO_SIGN_KEY are set
# (scripts/sign-windows.sh).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
die() { echo "build-msi: $*" >&2; exit 1; }
[ $# -eq 3 ] || die "usage: $0 STAGE OUTPUT.msi VERSION"
stage=$(cd "$1" && pwd)
out=$(realpath -m "$2")
version=$3
[ -f "$stage/zentavo.exe" ] || die "no zentavo.exe in $stage"
"$root/scripts/install-packages.sh" wixl msitools
# Signed from the work folder below.
for v in ZENTAVO_SIGN_CERT ZENTAVO_SIGN_KEY ZENTAVO_SIGN_PASSWORD_FILE; do
    [ -z "${!v:-}" ] || export "$v=$(realpath "${!v}")"
done

work=$(mktemp -d "${TMPDIR:-/tmp}/build-msi.XXXXXX")
trap 'rm -rf "$work"' EXIT
# wixl takes source paths relative to where it runs.
ln -s "$stage" "$work/stage"
cp "$root/resources/Smartcard.ico" "$work/zentavo.ico"
cd "$work"
(cd stage && find . -type f | LC_ALL=C sort | wixl-heat -p ./ --component-group ProgramFiles \
    --directory-ref INSTALLFOLDER --var var.StageDir --win64) >files.wxs
msi=$work/zentavo.msi
wixl -a x64 -D Version="$version" -D StageDir=stage -D Win64=yes -o "$msi" "$root/cmake/zentavo.wxs" files.wxs

sql() { msibuild "$msi" -q "$1"; }
name="Чтение карты тахографа"
# Strings in the tables in Windows-1251, the summary stream left in ASCII.
printf '\r\n\r\n1251\t_ForceCodepage\r\n' >codepage.idt
msibuild "$msi" -i codepage.idt
msibuild "$msi" -s "Zentavo $version" Vestrak "x64;1049"
sql "UPDATE \`Property\` SET \`Value\`='$name' WHERE \`Property\`='ProductName'"
sql "UPDATE \`Shortcut\` SET \`Name\`='ZENTAVO|$name'"
sql "UPDATE \`LaunchCondition\` SET \`Description\`='Установлена более новая версия программы «$name». Чтобы \
установить эту, сначала удалите ту. A newer version is installed: remove it first.' \
WHERE \`Condition\`='NOT WIX_DOWNGRADE_DETECTED'"
sql "UPDATE \`LaunchCondition\` SET \`Description\`='Программа «$name» работает только в 64-разрядной Windows. \
It needs 64-bit Windows.' WHERE \`Condition\`='Installed OR VersionNT64'"
nsis_message() { # PROPERTY WHOM SWITCH
    sql "UPDATE \`LaunchCondition\` SET \`Description\`='Программа «$name» уже установлена $2 программой \
установки .exe в папке «[NSIS_$1]». Удалите её (тихо: \"[NSIS_$1]\\Uninstall.exe\" /$3 /S), затем установите \
этот пакет. Remove that copy first.' WHERE \`Condition\`='Installed OR NOT NSIS_$1'"
}
nsis_message ALLUSERS "для всех пользователей" AllUsers
nsis_message CURRENTUSER "для вас" CurrentUser
sql "UPDATE \`Component\` SET \`Condition\`='DESKTOPSHORTCUT=\"1\"' WHERE \`Component\`='DesktopShortcut'"
# Public properties pass from the client to the installing service only when listed.
sql "UPDATE \`Property\` SET \`Value\`='WIX_DOWNGRADE_DETECTED;WIX_UPGRADE_DETECTED;INSTALLFOLDER;DESKTOPSHORTCUT;\
REMEMBERED_FOLDER;REMEMBERED_DESKTOP;NSIS_ALLUSERS;NSIS_CURRENTUSER' WHERE \`Property\`='SecureCustomProperties'"
# wixl's upgrade row leaves out its own version (a rebuild would install
# beside it): 513 = migrate features + maximum inclusive.
upgrade_code=$(msiinfo export "$msi" Property | tr -d '\r' | awk -F'\t' '$1 == "UpgradeCode" { print $2 }')
sql "DELETE FROM \`Upgrade\` WHERE \`ActionProperty\`='WIX_UPGRADE_DETECTED'"
sql "INSERT INTO \`Upgrade\` (\`UpgradeCode\`,\`VersionMax\`,\`Attributes\`,\`ActionProperty\`) \
VALUES ('$upgrade_code','$version',513,'WIX_UPGRADE_DETECTED')"
# The earlier version goes first, whole (wixl puts it after InstallFinalize).
sql "UPDATE \`InstallExecuteSequence\` SET \`Sequence\`=1401 WHERE \`Action\`='RemoveExistingProducts'"

# An UPDATE that matches nothing says nothing.
export_table() { msiinfo export "$msi" "$1" | tr -d '\r'; }
[ "$(export_table LaunchCondition | grep -c '«')" = 4 ] || die "a launch condition kept its placeholder"
[ "$(export_table Shortcut | grep -c "|$name")" = 2 ] || die "a shortcut has no Russian name"
grep -qx "ProductName	$name" <<<"$(export_table Property)" || die "no Russian product name"
grep -q 'DESKTOPSHORTCUT="1"' <<<"$(export_table Component)" || die "no condition on the desktop shortcut"
grep -q "	$version		513		WIX_UPGRADE_DETECTED$" <<<"$(export_table Upgrade)" || die "no upgrade row for $version"

[ -z "${ZENTAVO_SIGN_CERT:-}" ] || "$root/scripts/sign-windows.sh" "$msi" >/dev/null
mkdir -p "$(dirname "$out")" && mv "$msi" "$out"
echo "$out"
