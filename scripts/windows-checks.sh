#!/usr/bin/env bash
# The Windows build checked under Wine (called by scripts/build-windows.sh --check):
#   1. the Windows test programs that need no card (CTest, Wine as emulator);
#   2. an upgrade in a private Wine prefix: an older build (lower version, one
#      plugin folder more) installed silently for the current user; while its
#      program runs, this installer and the uninstaller refuse (exit code 2);
#      then this installer through its pages, whose last one starts the program
#      through the shell: the stale folder is gone, Apps lists one entry, the
#      new version. What is installed, its signatures (when signed), no path of
#      this machine in its files, SHA256SUMS;
#   3. the installed program started on Xvfb: its window and title, the log line
#      it writes with no reader (Wine's own smart-card stub lists none), a
#      screenshot (build-windows/windows-start.png), a clean exit on Alt+F4;
#      Qt loads no plugin from the folder above the program's (qt.conf);
#   4. installed again for all users: the current user's copy and entry go;
#      the Windows Installer package refuses beside it; the uninstaller
#      removes what the installer put there;
#   5. the Windows Installer package (.msi): an older build (0.0.9, a plugin
#      folder more) in a chosen folder with a desktop shortcut, this one over
#      it without properties (the choices kept, one Apps entry, the zip's
#      files exactly), the older one refused, a rebuild of this version
#      replacing it, the program's window, msiexec /x leaving nothing; then
#      the .exe installer over an .msi copy removes it.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:?build directory}
build=$(cd "$build" && pwd)
deps=${ZENTAVO_WINDOWS_DEPS:?prefix of the Windows dependencies}
title="Чтение карты тахографа"
fail() { echo "FAIL: $*" >&2; exit 1; }
step() { echo "== $*"; }

# No Mono or Gecko prompts at a new prefix; no display until ours is up.
# winemenubuilder would add the shortcuts to this machine's own menus.
export WINEDEBUG=-all WINEARCH=win64 WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
unset DISPLAY
runtime=$(dirname "$(x86_64-w64-mingw32-g++-posix -print-file-name=libstdc++-6.dll)")

# ---- 1. test programs, against the dependencies' own DLLs
step "Windows test programs under Wine"
export WINEPREFIX=$build/wine-tests
[ -d "$WINEPREFIX" ] || wineboot -i >/dev/null 2>&1
. "$root/scripts/wine-x11.sh"
(
    # The certificate tests expect Russian dates.
    russian_locale "$build/locale" 2>/dev/null
    export WINEPATH="Z:$deps/qt/bin;Z:$deps/openssl/bin;Z:$runtime;Z:/usr/x86_64-w64-mingw32/lib"
    wineserver -k 2>/dev/null || true # a running one keeps the locale it started with
    cd "$build" && ctest --output-on-failure -R '^windows_'
)

# ---- 2. an older version for the current user, then this one over it
installer=$(ls "$build"/zentavo-*-win64.exe | head -n 1)
version=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$build/CPackConfig.cmake")
# The version that Apps lists for the program under HKCU or HKLM; empty: none.
listed() {
    wine reg query "$1\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Zentavo" /v DisplayVersion \
        2>/dev/null | tr -d '\r' | awk '$1 == "DisplayVersion" { print $3 }'
}
# msiexec, silent, with a verbose log: its exit code in $rc, as Windows' modulo
# 256 (1603, a refusal, reads 67).
msiexec_run() { # LOG ARGS...
    local log=$1
    shift
    rc=0
    wine msiexec "$@" /qn /l*v "$(winepath -w "$log")" || rc=$?
}
# The Windows Installer's entries in Apps: their product codes.
msi_products() {
    wine reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' 2>/dev/null | tr -d '\r' |
        grep -o '{[0-9A-F-]*}$' || true
}
product_code() { msiinfo export "$1" Property | tr -d '\r' | awk -F'\t' '$1 == "ProductCode" { print $2 }'; }
# A registry key as text (reg export writes UTF-16); empty when it is not there.
reg_text() {
    rm -f "$build/reg-export.reg"
    wine reg export "$1" "$(winepath -w "$build/reg-export.reg")" /y >/dev/null 2>&1 || return 0
    iconv -f UTF-16 -t UTF-8 "$build/reg-export.reg" | tr -d '\r'
}
# The display is up before the prefix's first process: one started without it
# leaves the prefix's desktop without windows for the rest of its session.
start_xvfb
app=""
immutable=""
cleanup() {
    [ -n "$app" ] && kill "$app" 2>/dev/null
    [ -n "$immutable" ] && chattr -i "$immutable"
    wineserver -k 2>/dev/null || true
    kill "$xvfb_pid" 2>/dev/null || true
}
trap cleanup EXIT
trap 'exit 143' TERM

step "an older build, 0.0.9, with a plugin folder that $version no longer ships"
old=$build/upgrade-old
rm -rf "$old" && mkdir -p "$old"
echo 'file(WRITE "${CMAKE_INSTALL_PREFIX}/bearer/qgenericbearer.dll" "old")' >"$old/extra.cmake"
(cd "$build" && cpack -G NSIS -B "$old" -D CPACK_PACKAGE_VERSION=0.0.9 -D CPACK_PACKAGE_FILE_NAME=zentavo-0.0.9-win64 \
    -D CPACK_NSIS_COMPRESSOR=zlib -D CPACK_INSTALL_SCRIPTS="$old/extra.cmake" >"$old/cpack.log" 2>&1) ||
    { cat "$old/cpack.log"; fail "the older build"; }
export WINEPREFIX=$build/wine-install
# Wine's desktop is the home folder: a shortcut there stays in the check's own.
machine_home=$HOME
export HOME=$build/wine-home XDG_CONFIG_HOME=$build/wine-home/.config XDG_DATA_HOME=$build/wine-home/.local/share
rm -rf "$WINEPREFIX" "$HOME" && mkdir -p "$HOME"
wineboot -i >/dev/null 2>&1
wine "$old/zentavo-0.0.9-win64.exe" /S /CurrentUser
wineserver -w
exe=$(find "$WINEPREFIX/drive_c" -name zentavo.exe -path '*Zentavo*' | head -n 1)
[ -n "$exe" ] || fail "zentavo.exe not installed"
dir=$(dirname "$exe")
stale=$dir/bearer/qgenericbearer.dll
[ -f "$stale" ] && [ "$(listed HKCU)" = 0.0.9 ] || fail "the older build is not installed as built"
echo "installed in $dir"

step "while the older program runs, $(basename "$installer") and the uninstaller refuse"
(cd "$dir" && exec wine "$exe") &
app=$!
window=$(find_window "$title" 300)
[ -n "$window" ] || fail "the older program shows no window"
rc=0
wine "$installer" /S /CurrentUser || rc=$?
[ "$rc" = 2 ] || fail "the installer did not refuse (exit code $rc)"
rc=0
wine "$dir/Uninstall.exe" /S /CurrentUser "_?=$(winepath -w "$dir")" || rc=$?
[ "$rc" = 2 ] || fail "the uninstaller did not refuse (exit code $rc)"
[ -f "$stale" ] && [ -f "$dir/Uninstall.exe" ] && [ "$(listed HKCU)" = 0.0.9 ] || fail "a refusal changed the older copy"
close_window "$app"
app=""
echo "both refused with exit code 2, the older copy untouched"

step "$(basename "$installer") over it, page by page; its last page starts the program"
# Return takes each page's default: the earlier mode and folder, «Установить»,
# then «Готово» with the box that starts the program ticked. The trace names
# who creates which process.
trace=$build/windows-install-trace.log
WINEDEBUG=-all,+pid,+process wine "$installer" 2>"$trace" &
installer_pid=$!
window=""
for _ in $(seq 1 90); do
    window=$(find_window "$title" 1)
    [ -n "$window" ] && break
    for w in $(xdotool search --onlyvisible --class "$(basename "$installer")" 2>/dev/null); do key Return "$w"; done
    sleep 0.8
done
[ -n "$window" ] || fail "the last page did not start the program"
wait "$installer_pid" || fail "the installer failed"
# Not the installer, which may hold an administrator's token, but the shell
# (explorer.exe, started by the installer) starts the program.
created=$(grep -a 'CreateProcessInternalW app' "$trace" | grep -aF 'Zentavo\\zentavo.exe' || true)
installer_winpid=$(grep -aF 'explorer.exe' <<<"$created" | cut -d: -f1 || true)
starter_winpid=$(grep -avF 'explorer.exe' <<<"$created" | cut -d: -f1 || true)
[ -n "$installer_winpid" ] && [ -n "$starter_winpid" ] && [ "$installer_winpid" != "$starter_winpid" ] ||
    fail "the installer did not start the program through the shell: $created"
# Not this script's child, and started in the background: asked to close by
# taskkill (WM_CLOSE), not by keys to a window that lacks the focus.
sleep 2 # the first show lists the readers and selects one
wine taskkill /im zentavo.exe >/dev/null 2>&1 || true
for _ in $(seq 1 50); do [ -z "$(find_window "$title" 1)" ] && break; sleep 0.2; done
[ -z "$(find_window "$title" 1)" ] || fail "the program started by the installer did not close"
[ ! -e "$dir/bearer" ] || fail "the older version's plugin folder is left"
[ "$(listed HKCU)" = "$version" ] || fail "Apps lists $(listed HKCU), not $version"
[ -z "$(listed HKLM)" ] || fail "Apps lists an all-users entry too"
echo "upgraded in place: one entry, $version; the program started by explorer.exe (process $starter_winpid)"

for f in zentavo.exe Uninstall.exe tacCertK.htm qt.conf Qt6Core.dll Qt6Gui.dll Qt6Widgets.dll Qt6Network.dll \
         libcrypto-3-x64.dll libssl-3-x64.dll libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll \
         platforms/qwindows.dll styles/qwindowsvistastyle.dll imageformats/qico.dll \
         tls/qopensslbackend.dll translations/qtbase_ru.qm; do
    [ -f "$dir/$f" ] || fail "not installed: $f"
done
lnk=$(find "$WINEPREFIX/drive_c" -name "$title.lnk" | head -n 1)
[ -n "$lnk" ] || fail "no Start menu entry «$title»"
echo "Start menu: ${lnk#"$WINEPREFIX/drive_c/"}"
headers=$(x86_64-w64-mingw32-objdump -p "$exe")
grep -q 'Subsystem.*Windows GUI' <<<"$headers" || fail "zentavo.exe is not a GUI program (a console would open)"
rsrc=$(x86_64-w64-mingw32-objdump -h "$exe" | awk '$2 == ".rsrc" { print $3 }')
[ $((16#${rsrc:-0})) -ge "$(stat -c %s "$root/resources/Smartcard.ico")" ] || fail "the window icon is not in zentavo.exe"

# OpenSSL's compiled-in folders and Qt's are this machine's paths when the
# dependencies are built carelessly; on Windows they are drive-relative. The
# names of source files that a library keeps for its diagnostics (__FILE__)
# are never opened.
while IFS= read -r f; do
    found=$({ strings -a "$f"; strings -a -el "$f"; } | grep -F -e "$deps" -e "$root" -e "$build" -e "$machine_home/" |
        grep -Ev '\.(c|cpp|h)$' | head -n 3 || true)
    [ -z "$found" ] || fail "${f#"$dir/"} holds a path of this machine: $found"
done < <(find "$dir" -iname '*.dll' -o -iname '*.exe')
echo "no path of this machine in the installed .exe and .dll files"
msi=$(ls "$build"/zentavo-*-win64.msi | head -n 1)
zip=$(ls "$build"/zentavo-*-win64.zip | head -n 1)
for f in "$installer" "$zip" "$msi"; do
    grep -q "  $(basename "$f")\$" "$build/SHA256SUMS" || fail "SHA256SUMS does not list $(basename "$f")"
done
(cd "$build" && sha256sum --quiet -c SHA256SUMS) || fail "SHA256SUMS does not match the installer, the zip and the .msi"
if [ -n "${ZENTAVO_SIGN_CERT:-}" ]; then
    rm -rf "$build/zip-check" && mkdir -p "$build/zip-check"
    unzip -q -d "$build/zip-check" "$zip" zentavo.exe
    for f in "$installer" "$dir/zentavo.exe" "$dir/Uninstall.exe" "$build/zip-check/zentavo.exe" "$msi"; do
        osslsigncode verify -CAfile "$ZENTAVO_SIGN_CERT" -in "$f" >"$build/zip-check/verify.log" 2>&1 ||
            { cat "$build/zip-check/verify.log"; fail "no valid signature: $f"; }
    done
    echo "signatures verified: the installer, zentavo.exe (installed and in the zip), Uninstall.exe, the .msi"
else
    echo "unsigned build: no signature to verify"
fi

# ---- 3. the installed program on Xvfb
step "start the installed program under Wine on Xvfb"
# What would make the folder above the program's Qt's prefix, and a platform
# plugin there; with qt.conf beside the program Qt looks at neither.
parent=$(dirname "$dir")
mkdir -p "$parent/lib" "$parent/plugins/platforms"
: >"$parent/lib/libQt6Core.a"
cp "$dir/platforms/qwindows.dll" "$parent/plugins/platforms/"
(cd "$dir" && WINEDEBUG=-all,+loaddll exec wine "$exe" 2>"$build/windows-start-dlls.log") &
app=$!
window=$(find_window "$title" 300)
[ -n "$window" ] || { kill -0 "$app" 2>/dev/null || fail "the program ended at start"; fail "no window titled «$title»"; }
echo "window «$(xdotool getwindowname "$window")»"
sleep 2 # the first show lists the readers and selects one

show_log
log=$(log_text)
import -window root "$build/windows-start.png"
printf '%s\n' "$log" | sed 's/^/log: /'
grep -qx "Текущий ридер (-1)" <<<"$log" || fail "the reader list is not empty"
grep -qx "Выберите считыватель карт из списка" <<<"$log" || fail "no line «Выберите считыватель карт из списка»"
grep -aq 'Loaded .*qwindows\.dll' "$build/windows-start-dlls.log" || fail "no DLL loads traced"
if grep -ai 'Loaded .*\\plugins\\' "$build/windows-start-dlls.log"; then
    fail "Qt loaded a plugin from the folder above the program's"
fi

close_window "$app"
app=""
rm -rf "$parent/lib" "$parent/plugins"
echo "closed, exit code 0; screenshot: $build/windows-start.png"

# ---- 4. for all users, then uninstalled
step "installed again, for all users: the current user's copy goes, its zentavo.exe immutable"
# Wine runs all as administrator (root): an immutable file is what refuses
# root's writes, as Program Files refuses a standard user's (access denied).
# Such a copy is waited for while it runs, and only then.
chattr +i "$exe"
immutable=$exe
(cd "$dir" && exec wine "$exe") &
app=$!
window=$(find_window "$title" 300)
[ -n "$window" ] || fail "the program shows no window"
rc=0
wine "$installer" /S /AllUsers || rc=$?
[ "$rc" = 2 ] && [ -f "$dir/Uninstall.exe" ] && [ "$(listed HKCU)" = "$version" ] && [ -z "$(listed HKLM)" ] ||
    fail "a started copy that may not be written was not waited for (exit code $rc)"
close_window "$app"
app=""
rc=0
wine "$installer" /S /AllUsers || rc=$?
wineserver -w
[ "$rc" = 0 ] || fail "a closed copy that may not be written was taken for a running one (exit code $rc)"
# Its own uninstaller removed all that it could.
[ "$(cd "$dir" && find . -mindepth 1)" = ./zentavo.exe ] || fail "the current user's copy is left: $(ls "$dir")"
chattr -i "$exe"
immutable=""
rm "$exe" && rmdir "$dir"
[ -z "$(listed HKCU)" ] || fail "the current user's Apps entry is left"
[ "$(listed HKLM)" = "$version" ] || fail "no all-users Apps entry for $version"
exe=$(find "$WINEPREFIX/drive_c/Program Files" -name zentavo.exe | head -n 1)
[ -n "$exe" ] || fail "zentavo.exe not installed for all users"
dir=$(dirname "$exe")
echo "installed in $dir; one entry, under HKLM"

step "the Windows Installer package refuses beside it, naming its uninstaller's silent switch"
msiexec_run "$build/msi-beside-exe.log" /i "$(winepath -w "$msi")"
[ "$rc" = 67 ] || fail "the .msi did not refuse (exit code $rc, not 1603: 67 modulo 256)"
[ -z "$(msi_products)" ] && [ "$(listed HKLM)" = "$version" ] || fail "the refused .msi changed the Apps entries"
# The message names the uninstaller of the copy it found, with its silent switch.
grep -aqxF "Property(S): NSIS_ALLUSERS = $(winepath -w "$dir")" "$build/msi-beside-exe.log" ||
    fail "the .msi did not find the copy in $(winepath -w "$dir")"
switch='"[NSIS_ALLUSERS]\Uninstall.exe" /AllUsers /S'
grep -qF "$switch" <<<"$(msiinfo export "$msi" LaunchCondition)" || fail "the .msi's message does not name $switch"
echo "refused with 1603; its message names \"$(winepath -w "$dir")\\Uninstall.exe\" /AllUsers /S"

step "its uninstaller in the current user's mode, which MultiUser takes for a user without rights, refuses"
# _?= is read only unquoted, and wine quotes an argument with a space.
printf '@"%s\\Uninstall.exe" /S /CurrentUser _?=%s\r\n@exit /b %%errorlevel%%\r\n' "$(winepath -w "$dir")" \
    "$(winepath -w "$dir")" >"$build/uninstall-current-user.cmd"
rc=0
wine cmd /c "$(winepath -w "$build/uninstall-current-user.cmd")" || rc=$?
[ "$rc" = 2 ] && [ -f "$exe" ] && [ "$(listed HKLM)" = "$version" ] || fail "the uninstaller did not refuse (exit code $rc)"
echo "refused with exit code 2, the copy untouched"

step "uninstall silently"
wine "$dir/Uninstall.exe" /S /AllUsers
wineserver -w
sleep 1
[ ! -e "$exe" ] || fail "zentavo.exe left after uninstall"
[ -z "$(find "$WINEPREFIX/drive_c" -name "$title.lnk")" ] || fail "Start menu entry left after uninstall"
[ -z "$(listed HKLM)" ] || fail "the Apps entry is left after uninstall"

# ---- 5. the Windows Installer package
step "an older .msi, 0.0.9, with a plugin folder that $version no longer ships, in C:\\Apps\\Zentavo with a desktop shortcut"
# From the zip's files: the same folder the .msi was made of.
msi_work=$build/msi-check
rm -rf "$msi_work" && mkdir -p "$msi_work/stage"
unzip -q -d "$msi_work/stage" "$zip"
ZENTAVO_SIGN_CERT="" "$root/scripts/build-msi.sh" "$msi_work/stage" "$msi_work/rebuilt.msi" "$version" >/dev/null
mkdir -p "$msi_work/stage/bearer" && echo old >"$msi_work/stage/bearer/qgenericbearer.dll"
ZENTAVO_SIGN_CERT="" "$root/scripts/build-msi.sh" "$msi_work/stage" "$msi_work/old.msi" 0.0.9 >/dev/null
cdir=$WINEPREFIX/drive_c/Apps/Zentavo
shortcuts() { find "$WINEPREFIX/drive_c" -name "$title.lnk"; find -L "$HOME" -maxdepth 2 -name "$title.lnk"; }
desktop() { shortcuts | grep -v 'Start Menu' || true; }
msiexec_run "$msi_work/old.log" /i "$(winepath -w "$msi_work/old.msi")" 'INSTALLFOLDER=C:\Apps\Zentavo' DESKTOPSHORTCUT=1
[ "$rc" = 0 ] || fail "msiexec ended with $rc"
[ -f "$cdir/bearer/qgenericbearer.dll" ] || fail "the older .msi did not install into C:\\Apps\\Zentavo"
[ "$(msi_products)" = "$(product_code "$msi_work/old.msi")" ] || fail "Apps does not list the older .msi alone"
[ -n "$(desktop)" ] || fail "no desktop shortcut with DESKTOPSHORTCUT=1"
echo "installed; desktop: $(desktop)"

step "$(basename "$msi") over it, no properties given: the folder and the shortcut kept, the plugin folder gone"
msiexec_run "$msi_work/upgrade.log" /i "$(winepath -w "$msi")"
[ "$rc" = 0 ] || fail "msiexec ended with $rc"
pc=$(product_code "$msi")
[ "$(msi_products)" = "$pc" ] || fail "Apps lists $(msi_products | paste -sd ' '), not $pc alone"
first=$(grep -m 1 -aoE 'Action start [0-9:]+: (RemoveExistingProducts|InstallFiles)\.' "$msi_work/upgrade.log" || true)
[[ "$first" == *RemoveExistingProducts. ]] || fail "the older version was not removed before the files were installed"
diff <(unzip -Z1 "$zip" | grep -v '/$' | sort) <(cd "$cdir" && find . -type f | sed 's|^\./||' | sort) ||
    fail "the installed files are not the zip's"
unzip -p "$zip" zentavo.exe | cmp -s - "$cdir/zentavo.exe" || fail "zentavo.exe is not the zip's"
[ -n "$(desktop)" ] || fail "the desktop shortcut went with the upgrade"
grep -q 'Start Menu' <<<"$(shortcuts)" || fail "no Start menu entry «$title»"
entry=$(reg_text "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\$pc")
for value in "\"DisplayName\"=\"$title\"" "\"DisplayVersion\"=\"$version\"" '"Publisher"="Vestrak"' \
             '"NoModify"=dword:00000001' '"InstallLocation"="C:\\Apps\\Zentavo\\"'; do
    grep -qxF "$value" <<<"$entry" || fail "the Apps entry lacks $value"
done
[ -f "$WINEPREFIX/drive_c/windows/Installer/$pc/zentavo.ico" ] &&
    grep -qF "$pc\\\\zentavo.ico" <<<"$(reg_text 'HKLM\Software\Classes\Installer\Products')" || fail "the Apps entry has no icon"
echo "one entry, $title $version by Vestrak with its icon, no Change; the zip's files exactly"

step "the older .msi again: refused"
msiexec_run "$msi_work/downgrade.log" /i "$(winepath -w "$msi_work/old.msi")"
[ "$rc" = 67 ] || fail "the older .msi did not refuse (exit code $rc, not 1603: 67 modulo 256)"
grep -aqF "WIX_DOWNGRADE_DETECTED = $pc" "$msi_work/downgrade.log" || fail "no newer version seen"
[ "$(msi_products)" = "$pc" ] && [ ! -e "$cdir/bearer" ] || fail "the refused downgrade changed the installed copy"
echo "refused with 1603, $version kept"

step "a rebuild of $version (a new ProductCode) replaces it"
pc2=$(product_code "$msi_work/rebuilt.msi")
[ "$pc2" != "$pc" ] || fail "the rebuild has the same ProductCode"
msiexec_run "$msi_work/rebuilt.log" /i "$(winepath -w "$msi_work/rebuilt.msi")"
[ "$rc" = 0 ] || fail "msiexec ended with $rc"
[ "$(msi_products)" = "$pc2" ] || fail "Apps lists $(msi_products | paste -sd ' '), not $pc2 alone"
echo "one entry, $pc2"

step "the program installed by the .msi starts"
(cd "$cdir" && exec wine "$cdir/zentavo.exe") &
app=$!
window=$(find_window "$title" 300)
[ -n "$window" ] || fail "no window titled «$title»"
sleep 2
import -window root "$build/windows-msi-start.png"
close_window "$app"
app=""
echo "window «$title», closed; screenshot: $build/windows-msi-start.png"

step "msiexec /x: nothing left"
msiexec_run "$msi_work/uninstall.log" /x "$pc2"
[ "$rc" = 0 ] || fail "msiexec /x ended with $rc"
[ ! -e "$cdir" ] || fail "left after msiexec /x: $(find "$cdir" | head -n 3)"
[ -z "$(shortcuts)" ] || fail "a shortcut is left: $(shortcuts)"
[ -z "$(msi_products)" ] || fail "the Apps entry is left"
[ -z "$(reg_text 'HKLM\Software\Vestrak\Zentavo')" ] || fail "HKLM\\Software\\Vestrak\\Zentavo is left"
echo "no files, shortcuts, Apps entry or registry values left"

step "the .exe installer over the .msi's copy removes it"
msiexec_run "$msi_work/default.log" /i "$(winepath -w "$msi")"
pdir=$WINEPREFIX/drive_c/Program\ Files/Zentavo
[ "$rc" = 0 ] && [ -f "$pdir/zentavo.exe" ] && [ "$(msi_products)" = "$pc" ] ||
    fail "the .msi did not install into Program Files (exit code $rc)"
[ -z "$(desktop)" ] || fail "a desktop shortcut without DESKTOPSHORTCUT=1"
rc=0
wine "$installer" /S /AllUsers || rc=$?
wineserver -w
[ "$rc" = 0 ] || fail "the installer ended with $rc"
[ -z "$(msi_products)" ] && [ -z "$(reg_text 'HKLM\Software\Vestrak\Zentavo')" ] || fail "the .msi's copy is left"
[ "$(listed HKLM)" = "$version" ] && [ -f "$pdir/Uninstall.exe" ] || fail "the installer did not install after removing it"
wine "$pdir/Uninstall.exe" /S /AllUsers
wineserver -w
echo "removed with msiexec /x, then installed by the .exe installer"
echo "Windows checks: passed"
