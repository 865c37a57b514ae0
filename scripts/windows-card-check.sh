#!/usr/bin/env bash
# The Windows program reads a card end to end, under Wine on Xvfb, through the
# test PC/SC bridge (scripts/wine-run.sh) on a private pcscd with our simulated
# driver card (called by scripts/build-windows.sh --check):
#   started before the PC/SC service is there (as Windows starts its service
#   with the first reader), the program lists the reader once the service is up
#   and the user refreshes the list and selects it; a card inserted then is identified (number on the clipboard, the
#   exact commands with a reset after each access), the certificate form is
#   written with its fields and handed to the desktop, the right PIN is
#   verified and a wrong one refused with its status word, removing the card
#   clears the card's information, and closing the window ends the program
#   with status 0. Screenshots go to the build directory.
#
#   windows-card-check.sh WINDOWS-BUILD-DIR LINUX-BUILD-DIR
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
wbuild=$(cd "${1:?Windows build directory}" && pwd)
lbuild=$(cd "${2:?Linux build directory (tachosim, the relay)}" && pwd)
title="Чтение карты тахографа"
number="RUD0000012345000"
fail() { echo "FAIL: $*" >&2; shot failed; exit 1; }
step() { echo "== $*"; }

work=$wbuild/card-check
rm -rf "$work"
mkdir -p "$work/app" "$work/bin"
(cd "$work/app" && unzip -q "$(ls "$wbuild"/zentavo-*-win64.zip | head -n 1)")
export ZENTAVO_BRIDGE_RELAY=$lbuild/tools/winscard-bridge/winscard-relay
export ZENTAVO_BRIDGE_DLL=$wbuild/tools/winscard-bridge/bridge/WinSCard.dll
[ -x "$ZENTAVO_BRIDGE_RELAY" ] || { echo "no relay in $lbuild" >&2; exit 1; }
[ -f "$ZENTAVO_BRIDGE_DLL" ] || { echo "no bridge DLL in $wbuild" >&2; exit 1; }
. "$root/scripts/wine-x11.sh"
export WINEPREFIX=$work/prefix WINEDEBUG=-all
unset DISPLAY
# A Russian Windows: Russian dates on the form, Qt's Russian buttons.
russian_locale "$wbuild/locale" 2>/dev/null
# Moscow time, in the form both POSIX and the Windows C runtime read.
export TZ=MSK-3
# A new prefix knows no .htm files; Windows gives them to the default browser.
WINEDLLOVERRIDES="mscoree,mshtml=" wineboot -i >/dev/null 2>&1
wine reg add 'HKCR\.htm' /ve /d htmlfile /f >/dev/null 2>&1
wineserver -w

# OpenSSL reads no configuration file. One is planted where this build's
# libcrypto would look (OPENSSLDIR under Program Files) and where the earlier
# build's did (its build prefix, which Windows takes as a path on the drive of
# the program's folder: the work folder is drive Y: here). It loads an engine
# DLL that leaves a mark; asserted after the print, when Qt has started OpenSSL.
ln -s "$work" "$WINEPREFIX/dosdevices/y:"
ssl_mark=$work/openssl-config-read
printf '#include <windows.h>\nBOOL WINAPI DllMain(HINSTANCE i, DWORD r, LPVOID p)\n{ if (r == DLL_PROCESS_ATTACH)
    CloseHandle(CreateFileA("Z:%s", GENERIC_WRITE, 0, 0, CREATE_ALWAYS, 0, 0)); return TRUE; }\n' "$ssl_mark" |
    x86_64-w64-mingw32-gcc -shared -o "$work/mark.dll" -x c -
for dir in "$WINEPREFIX/drive_c/Program Files/OpenSSL/ssl" \
           "$work$(sed -n 's/^OPENSSL_ROOT_DIR:[A-Z]*=//p' "$wbuild/CMakeCache.txt")/ssl"; do
    mkdir -p "$dir"
    printf 'openssl_conf = init\n[init]\nengines = engines\n[engines]\nmark = mark\n[mark]\ndynamic_path = Z:%s\n' \
        "$work/mark.dll" >"$dir/openssl.cnf"
done

# The desktop's handler for the form, recorded instead of a browser (Wine's
# ShellExecute hands file URLs to xdg-open).
cat >"$work/bin/xdg-open" <<EOF
#!/bin/sh
echo "\$*" >> "$work/opened"
EOF
chmod +x "$work/bin/xdg-open"

# The PC/SC service is not there yet, as on a Windows machine before its
# first reader arrives.
export PCSCLITE_CSOCK_NAME=$work/pcscd/sock/pcscd.comm
sim_pid=""

start_xvfb
app=""
cleanup() {
    [ -n "$app" ] && kill "$app" 2>/dev/null
    wineserver -k 2>/dev/null || true
    kill $sim_pid "$xvfb_pid" 2>/dev/null || true
    "$root/scripts/pcscd-bench.sh" stop "$work/pcscd" >/dev/null 2>&1 || true
}
trap cleanup EXIT
trap 'exit 143' TERM
shot() { import -window root "$wbuild/windows-card-$1.png" 2>/dev/null || true; }
card() { "$lbuild/tools/tachosim" --send "$work/card.ctl" "$1" >/dev/null; }
# A message box's text: Ctrl+C copies it on Windows.
box_text() { # BOX-ID
    key ctrl+c "$1"
    sleep 0.5
    clipboard
}
card_commands() { grep -E '^(cmd |ctl reset)' "$work/card.log" | tr '\n' ' '; }

step "the Windows program on the bridge, the private pcscd and the simulated card"
# Wine's GDI draws no text of Qt's default font in line edits (seen here, not on
# Windows): Qt's own FreeType engine renders the fields for the screenshots.
(cd "$work/app" && PATH="$work/bin:$PATH" exec "$root/scripts/wine-run.sh" ./zentavo.exe \
    -platform windows:fontengine=freetype) >"$work/app.log" 2>&1 &
app=$!
window=$(find_window "$title")
[ -n "$window" ] || fail "no window «$title»"
sleep 3
show_log
log=$(log_text)
grep -qx "Текущий ридер (-1)" <<<"$log" || fail "a reader listed with no PC/SC service: «$log»"
shot no-service

step "the service starts (a reader arrives); «обновить список», «Выбрать»"
"$root/scripts/pcscd-bench.sh" start "$work/pcscd" auto >/dev/null
port=$(cat "$work/pcscd/port")
"$lbuild/tools/tachosim" --port "$port" --control "$work/card.ctl" --type 1 --card-number "$number" \
    --cert "$root/tests/data/driver-gost.der" --removed </dev/null >"$work/card.log" 2>&1 &
sim_pid=$!
click 200 63 # "обновить список"
sleep 1
log=$(log_text)
grep -qx "Текущий ридер (0)" <<<"$log" || fail "the reader is not listed after the refresh: «$log»"
click 505 34 # "Выбрать"
sleep 2
# The monitor watches the reader and found it empty: the log starts afresh.
log=$(log_text)
[ "$log" = "Вставьте карту тахографа" ] || fail "the simulated reader is not watched: «$log»"

step "a driver card inserted after start"
echo "before" | xclip -i -selection clipboard >/dev/null 2>&1
card insert
for _ in $(seq 1 100); do [ "$(clipboard)" = "$number" ] && break; sleep 0.2; done
[ "$(clipboard)" = "$number" ] || fail "card number not on the clipboard (got «$(clipboard)»)"
sleep 1
expected="cmd 00CA004512 cmd 00CA004512 ctl reset cmd 00A4020C020002 cmd 00B0000019 ctl reset "
[ "$(card_commands)" = "$expected" ] || fail "read sequence: $(card_commands)"
shot card
log=$(log_text)
for line in "Обнаружена карта тахографа" "Чтение типа карты тахографа" "Протокол: SCARD_PROTOCOL_T1" "Чтение номера СКЗИ"; do
    grep -qx "$line" <<<"$log" || fail "no log line «$line»"
done
echo "identified: $number, commands: $expected"

step "the certificate printed"
click 298 236 # "Распечатать сертификат"
for _ in $(seq 1 50); do [ -s "$work/opened" ] && break; sleep 0.2; done
form=$(find "$WINEPREFIX/drive_c/users" -name Certificate.htm | head -n 1)
[ -n "$form" ] || fail "no Certificate.htm in the Windows temporary folder"
iconv -f UTF-16LE -t UTF-8 "$form" | grep -q "Иванов Иван Иванович" || fail "the form lacks the holder"
iconv -f UTF-16LE -t UTF-8 "$form" | grep -q "Открытый ключ карты водителя" || fail "not the driver card form"
# Valid from 2013-02-01 21:00 UTC: its UTC day in the Russian short format,
# though Moscow is already on the 2nd; the form's own date is today's local one.
iconv -f UTF-16LE -t UTF-8 "$form" | grep -q "<td>01.02.2013</td>" || fail "the validity date is not the Russian UTC day"
iconv -f UTF-16LE -t UTF-8 "$form" | grep -q ">$(TZ=Europe/Moscow date +%d.%m.%Y)<" || fail "the form's date is not today's"
grep -q "Certificate.htm" "$work/opened" 2>/dev/null || fail "the form was not handed to the desktop"
echo "form ${form#"$WINEPREFIX/"} opened as: $(cat "$work/opened")"
[ ! -e "$ssl_mark" ] || fail "OpenSSL read a planted openssl.cnf"

verify() { # PIN: the box the program shows afterwards, its text on stdout
    echo "" | xclip -i -selection clipboard >/dev/null 2>&1
    local dialog="" box
    # A click right after a box went may only bring the window back to the front.
    for _ in 1 2 3; do
        click 210 197 # "проверить ПИН-код"
        dialog=$(find_window "Проверка ПИН-кода карты" 25)
        [ -n "$dialog" ] && break
    done
    [ -n "$dialog" ] || fail "no PIN dialog"
    xdotool type --window "$dialog" "$1" 2>/dev/null
    key Return "$dialog"
    for _ in $(seq 1 50); do
        box=""
        for w in $(xdotool search --class zentavo 2>/dev/null); do
            [ "$w" != "$window" ] && [ "$(xdotool getwindowname "$w" 2>/dev/null)" = "$title" ] && box=$w
        done
        [ -n "$box" ] && break
        sleep 0.2
    done
    [ -n "$box" ] || fail "no message box after the PIN"
    sleep 0.5
    box_text "$box"
    key Return "$box"
    sleep 0.5
}

step "the PIN verified, then a wrong one refused"
text=$(verify 1234)
echo "box: $text"
grep -q "Проверка ПИН-кода карты успешно завершена." <<<"$text" || fail "no success box for the right PIN: «$text»"
text=$(verify 0000)
echo "box: $text"
grep -q "Warning: Verify fail, 2 tries left" <<<"$text" || fail "no status-word box for a wrong PIN: «$text»"
state=$("$lbuild/tools/tachosim" --send "$work/card.ctl" state)
grep -q " pin-tries=2 " <<<"$state" || fail "the card's PIN counter: $state"
log=$(log_text)
grep -q "00 20 00 00 08 \*\* \*\* \*\* \*\* \*\* \*\* \*\* \*\*" <<<"$log" || fail "no VERIFY line in the log"
grep -qE "00 20 00 00 08 [0-9A-F]" <<<"$log" && fail "a PIN reached the log"
shot pin

step "the card removed"
card remove
sleep 2
log=$(log_text)
[ "$log" = "Вставьте карту тахографа" ] || fail "log after removal: «$log»"
shot removed

step "closed"
close_window "$app"
app=""
echo "Windows card check: passed (screenshots $wbuild/windows-card-*.png)"
