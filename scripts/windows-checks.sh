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
#      the uninstaller removes what the installer put there.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:?build directory}
build=$(cd "$build" && pwd)
deps=${ZENTAVO_WINDOWS_DEPS:?prefix of the Windows dependencies}
title="Чтение карты тахографа"
fail() { echo "FAIL: $*" >&2; exit 1; }
step() { echo "== $*"; }

# No Mono or Gecko prompts at a new prefix; no display until ours is up.
export WINEDEBUG=-all WINEARCH=win64 WINEDLLOVERRIDES="mscoree,mshtml="
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
# The display is up before the prefix's first process: one started without it
# leaves the prefix's desktop without windows for the rest of its session.
start_xvfb
app=""
cleanup() {
    [ -n "$app" ] && kill "$app" 2>/dev/null
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
rm -rf "$WINEPREFIX"
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
    found=$({ strings -a "$f"; strings -a -el "$f"; } | grep -F -e "$deps" -e "$root" -e "$build" -e "$HOME/" |
        grep -Ev '\.(c|cpp|h)$' | head -n 3 || true)
    [ -z "$found" ] || fail "${f#"$dir/"} holds a path of this machine: $found"
done < <(find "$dir" -iname '*.dll' -o -iname '*.exe')
echo "no path of this machine in the installed .exe and .dll files"
(cd "$build" && sha256sum --quiet -c SHA256SUMS) || fail "SHA256SUMS does not match the installer and the zip"
if [ -n "${ZENTAVO_SIGN_CERT:-}" ]; then
    rm -rf "$build/zip-check" && mkdir -p "$build/zip-check"
    unzip -q -d "$build/zip-check" "$(ls "$build"/zentavo-*-win64.zip | head -n 1)" zentavo.exe
    for f in "$installer" "$dir/zentavo.exe" "$dir/Uninstall.exe" "$build/zip-check/zentavo.exe"; do
        osslsigncode verify -CAfile "$ZENTAVO_SIGN_CERT" -in "$f" >"$build/zip-check/verify.log" 2>&1 ||
            { cat "$build/zip-check/verify.log"; fail "no valid signature: $f"; }
    done
    echo "signatures verified: the installer, zentavo.exe (installed and in the zip), Uninstall.exe"
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
step "installed again, for all users: the current user's copy goes"
wine "$installer" /S /AllUsers
wineserver -w
[ ! -e "$dir" ] || fail "the current user's copy is left in $dir"
[ -z "$(listed HKCU)" ] || fail "the current user's Apps entry is left"
[ "$(listed HKLM)" = "$version" ] || fail "no all-users Apps entry for $version"
exe=$(find "$WINEPREFIX/drive_c/Program Files" -name zentavo.exe | head -n 1)
[ -n "$exe" ] || fail "zentavo.exe not installed for all users"
dir=$(dirname "$exe")
echo "installed in $dir; one entry, under HKLM"

step "uninstall silently"
wine "$dir/Uninstall.exe" /S /AllUsers
wineserver -w
sleep 1
[ ! -e "$exe" ] || fail "zentavo.exe left after uninstall"
[ -z "$(find "$WINEPREFIX/drive_c" -name "$title.lnk")" ] || fail "Start menu entry left after uninstall"
[ -z "$(listed HKLM)" ] || fail "the Apps entry is left after uninstall"
echo "Windows checks: passed"
