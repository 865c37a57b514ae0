#!/usr/bin/env bash
# The Windows build checked under Wine (called by scripts/build-windows.sh --check):
#   1. the Windows test programs that need no card (CTest, Wine as emulator);
#   2. the installer run silently for the current user into a private Wine prefix;
#   3. the installed program started on Xvfb: its window and title, the log line
#      it writes with no reader (Wine's own smart-card stub lists none), a
#      screenshot (build-windows/windows-start.png), a clean exit on Alt+F4;
#   4. the uninstaller removes what the installer put there.
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

# ---- 2. silent install for the current user
installer=$(ls "$build"/zentavo-*-win64.exe | head -n 1)
step "install $(basename "$installer") silently"
export WINEPREFIX=$build/wine-install
rm -rf "$WINEPREFIX"
wineboot -i >/dev/null 2>&1
wine "$installer" /S /CurrentUser
wineserver -w
exe=$(find "$WINEPREFIX/drive_c" -name zentavo.exe -path '*Zentavo*' | head -n 1)
[ -n "$exe" ] || fail "zentavo.exe not installed"
dir=$(dirname "$exe")
echo "installed in $dir"
for f in zentavo.exe Uninstall.exe tacCertK.htm Qt6Core.dll Qt6Gui.dll Qt6Widgets.dll Qt6Network.dll \
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

# ---- 3. the installed program on Xvfb
step "start the installed program under Wine on Xvfb"
start_xvfb
app=""
cleanup() {
    [ -n "$app" ] && kill "$app" 2>/dev/null
    wineserver -k 2>/dev/null || true
    kill "$xvfb_pid" 2>/dev/null || true
}
trap cleanup EXIT
trap 'exit 143' TERM

(cd "$dir" && exec wine "$exe") &
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

close_window "$app"
app=""
echo "closed, exit code 0; screenshot: $build/windows-start.png"

# ---- 4. uninstall
step "uninstall silently"
wine "$dir/Uninstall.exe" /S /CurrentUser
wineserver -w
sleep 1
[ ! -e "$exe" ] || fail "zentavo.exe left after uninstall"
[ -z "$(find "$WINEPREFIX/drive_c" -name "$title.lnk")" ] || fail "Start menu entry left after uninstall"
echo "Windows checks: passed"
