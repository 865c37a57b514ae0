#!/usr/bin/env bash
# The Windows program reads a card end to end, under Wine on Xvfb, through the
# test PC/SC bridge (scripts/wine-run.sh) on a private pcscd with our simulated
# driver card (called by scripts/build-windows.sh --check):
#   started before the PC/SC service is there (as Windows starts its service
#   with the first reader), the program lists the reader once the service is up
#   and the user refreshes the list and selects it; a card inserted then is identified (number on the clipboard, the
#   exact commands with a reset after each access), the certificate form is
#   written with its fields and handed to the desktop, the right PIN is
#   verified and a wrong one refused with its status word, the PIN verified
#   again with the keyboard alone (Tab to the link, Return), removing the card
#   clears the card's information, and closing the window ends the program
#   with status 0. Screenshots go to the build directory.
# The bridge answers with the Windows card service's rules, not pcsc-lite's
# (tools/winscard-bridge/relay.c), and the check meets them as an office PC
# does:
#   the PIN's success box left open 7 s (a transaction idle for 5 s is reset
#   by the service): the card access has ended before the box, and no second
#   box follows; the watched reader unplugged while others stay: the window
#   releases it, and once it is back a refresh and "Выбрать" watch it again;
#   another program on the same pcscd that holds every new card exclusively
#   for 300 ms: each card is identified all the same, with no PIN prompt; a
#   card held 4 s (exclusively, then by a transaction) while the user asks for
#   its data: the window answers Windows' message round trips all the while,
#   says that another program holds the card, and reads it once free; the reader is remembered by its name: started again with the first of four
#   readers gone, the program selects the reader it was closed with.
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
# The Windows service's rules, and the control that unplugs a reader.
export ZENTAVO_BRIDGE_RULES=windows ZENTAVO_BRIDGE_CONTROL=$work/bridge.ctl
bridge() { "$ZENTAVO_BRIDGE_RELAY" --send "$ZENTAVO_BRIDGE_CONTROL" "$@" >/dev/null; }
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
on_screen() { # WINDOW-ID
    local shown
    shown=$(xdotool search --onlyvisible --class zentavo 2>/dev/null)
    grep -qx "$1" <<<"$shown"
}
# A box or a PIN dialog of the program on the screen, besides its window
# (none: empty). A closed box's window may linger unmapped for a while.
other_window() {
    local w name
    for w in $(xdotool search --onlyvisible --class zentavo 2>/dev/null); do
        [ "$w" = "$window" ] && continue
        name=$(xdotool getwindowname "$w" 2>/dev/null) || continue
        [ "$name" = "$title" ] || [ "$name" = "Проверка ПИН-кода карты" ] && { echo "$w"; return; }
    done
}
# The reader button's face, cut from the screen; "is" tells which of the two
# faces seen earlier it is closer to.
button_face() { # NAME
    eval "$(xdotool getwindowgeometry --shell "$window")"
    import -window root -crop "110x30+$((X + 455))+$((Y + 19))" +repage "$work/button-$1.png" 2>/dev/null
}
button_is() { # FACE (Выбрать|Отключить)
    local a b
    button_face now
    a=$(compare -metric AE -fuzz 10% "$work/button-now.png" "$work/button-Выбрать.png" null: 2>&1 || true)
    b=$(compare -metric AE -fuzz 10% "$work/button-now.png" "$work/button-Отключить.png" null: 2>&1 || true)
    if [ "$1" = Выбрать ]; then [ "${a%% *}" -lt "${b%% *}" ]; else [ "${b%% *}" -lt "${a%% *}" ]; fi
}
start_program() { # [VARIABLE=VALUE...]: sets app and window
    (cd "$work/app" && PATH="$work/bin:$PATH" exec env "$@" "$root/scripts/wine-run.sh" ./zentavo.exe \
        -platform windows:fontengine=freetype) >>"$work/app.log" 2>&1 &
    app=$!
    window=$(find_window "$title")
    [ -n "$window" ] || fail "no window «$title»"
}
wait_clipboard() { # TEXT: within 20 s
    for _ in $(seq 1 100); do [ "$(clipboard)" = "$1" ] && return; sleep 0.2; done
    return 1
}

step "the Windows program on the bridge, the private pcscd and the simulated card"
# Wine's GDI draws no text of Qt's default font in line edits (seen here, not on
# Windows): Qt's own FreeType engine renders the fields for the screenshots.
# The relay notes every call with its result in the program's log.
start_program ZENTAVO_BRIDGE_VERBOSE=1
sleep 3
show_log
log=$(log_text)
grep -qx "Текущий ридер (-1)" <<<"$log" || fail "a reader listed with no PC/SC service: «$log»"
shot no-service

step "the service starts (four readers arrive); «обновить список», «Выбрать»"
# Two entries: "Virtual PCD 00 00", "00 01", "Virtual PCD 1 00 00", "1 00 01".
"$root/scripts/pcscd-bench.sh" start "$work/pcscd" auto 2 >/dev/null
port=$(cat "$work/pcscd/port")
"$lbuild/tools/tachosim" --port "$port" --control "$work/card.ctl" --type 1 --card-number "$number" \
    --cert "$root/tests/data/driver-gost.der" --removed </dev/null >"$work/card.log" 2>&1 &
sim_pid=$!
# Cards that wait in the third and fourth readers for the remembered reader.
third=RUD0000000000003 fourth=RUD0000000000004
"$lbuild/tools/tachosim" --port $((port + 2)) --card-number "$third" </dev/null >/dev/null 2>&1 &
sim_pid="$sim_pid $!"
"$lbuild/tools/tachosim" --port $((port + 3)) --card-number "$fourth" </dev/null >/dev/null 2>&1 &
sim_pid="$sim_pid $!"
click 200 63 # "обновить список"
sleep 1
log=$(log_text)
grep -qx "Текущий ридер (0)" <<<"$log" || fail "the reader is not listed after the refresh: «$log»"
button_face Выбрать
click 505 34 # "Выбрать"
sleep 2
# The monitor watches the reader and found it empty: the log starts afresh.
log=$(log_text)
[ "$log" = "Вставьте карту тахографа" ] || fail "the simulated reader is not watched: «$log»"
button_face Отключить

step "a driver card inserted after start"
echo "before" | xclip -i -selection clipboard >/dev/null 2>&1
card insert
wait_clipboard "$number" || fail "card number not on the clipboard (got «$(clipboard)»)"
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
# Converted once: grep -q on a pipe may end before iconv's last write, which
# then dies of SIGPIPE and fails the pipeline (pipefail).
form_text=$(iconv -f UTF-16LE -t UTF-8 "$form")
grep -q "Иванов Иван Иванович" <<<"$form_text" || fail "the form lacks the holder"
grep -q "Открытый ключ карты водителя" <<<"$form_text" || fail "not the driver card form"
# Valid from 2013-02-01 21:00 UTC: its UTC day in the Russian short format,
# though Moscow is already on the 2nd; the form's own date is today's local one.
grep -q "<td>01.02.2013</td>" <<<"$form_text" || fail "the validity date is not the Russian UTC day"
grep -q ">$(TZ=Europe/Moscow date +%d.%m.%Y)<" <<<"$form_text" || fail "the form's date is not today's"
grep -q "Certificate.htm" "$work/opened" 2>/dev/null || fail "the form was not handed to the desktop"
echo "form ${form#"$WINEPREFIX/"} opened as: $(cat "$work/opened")"
[ ! -e "$ssl_mark" ] || fail "OpenSSL read a planted openssl.cnf"

box_after() { # DIALOG: the message box that follows the PIN dialog, within 10 s
    local box
    for _ in $(seq 1 50); do
        box=$(other_window)
        [ -n "$box" ] && [ "$box" != "$1" ] && { echo "$box"; return 0; }
        sleep 0.2
    done
    return 1
}

verify() { # PIN [SECONDS]: the box the program shows afterwards, its text on
    # stdout, the card's commands when it came in $work/at-box; the box is
    # closed after SECONDS (default at once)
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
    box=$(box_after "$dialog") || fail "no message box after the PIN"
    card_commands >"$work/at-box"
    sleep 0.5
    box_text "$box"
    sleep "${2:-0}"
    key Return "$box"
    # Under Wine a closed box stays on the screen for about 2 s.
    for _ in $(seq 1 50); do
        on_screen "$box" || break
        sleep 0.2
    done
    on_screen "$box" && fail "the box stays after OK"
    sleep 0.5
}

step "the PIN verified, its success box left open 7 s; then a wrong one refused"
before=$(card_commands)
text=$(verify 1234 7)
echo "box: $text"
grep -q "Проверка ПИН-кода карты успешно завершена." <<<"$text" || fail "no success box for the right PIN: «$text»"
# The service resets a card whose transaction waits 5 s on the user: the
# access must have ended before the box, with its own reset, and only once.
at_box=$(cut -c $((${#before} + 1))- "$work/at-box" | grep -oE '(cmd 0020|ctl reset)' | tr '\n' ' ' || true)
sleep 1
box=$(other_window)
[ -z "$box" ] || fail "a second box after the success box: «$(box_text "$box" | tr -s '\n' ' ')»"
after=$(card_commands | cut -c $((${#before} + 1))- | grep -oE '(cmd 0020|ctl reset)' | tr '\n' ' ' || true)
echo "card after the PIN: when the box came «$at_box», at the end «$after»"
[ "$at_box" = "cmd 0020 ctl reset " ] || fail "the card access had not ended when the box came: «$at_box»"
[ "$after" = "cmd 0020 ctl reset " ] || fail "the card after the PIN: «$after», not VERIFY once, then the reset"
text=$(verify 0000)
echo "box: $text"
grep -q "Warning: Verify fail, 2 tries left" <<<"$text" || fail "no status-word box for a wrong PIN: «$text»"
state=$("$lbuild/tools/tachosim" --send "$work/card.ctl" state)
grep -q " pin-tries=2 " <<<"$state" || fail "the card's PIN counter: $state"
log=$(log_text)
grep -q "00 20 00 00 08 \*\* \*\* \*\* \*\* \*\* \*\* \*\* \*\*" <<<"$log" || fail "no VERIFY line in the log"
grep -qE "00 20 00 00 08 [0-9A-F]" <<<"$log" && fail "a PIN reached the log"
shot pin

step "the PIN checked by keyboard alone: Tab to «проверить ПИН-код», Return"
# Reading the log left the focus in it (log_text clicks there); the Tab order
# from the log: the reader button, the card number, «Копировать в буфер», the
# SKZI number, the link. From here on nothing touches the mouse.
log_text >/dev/null
before=$(card_commands)
for _ in 1 2 3 4 5; do key Tab; sleep 0.2; done
key Return
dialog=$(find_window "Проверка ПИН-кода карты" 25)
[ -n "$dialog" ] || fail "Tab to the PIN link and Return opened no PIN dialog"
xdotool type --window "$dialog" 1234 2>/dev/null
key Return "$dialog"
box=$(box_after "$dialog") || fail "no message box after the PIN typed by keyboard"
sleep 0.5
text=$(box_text "$box")
key Return "$box"
for _ in $(seq 1 50); do
    on_screen "$box" || break
    sleep 0.2
done
on_screen "$box" && fail "the box stays after Return"
echo "box: $text"
grep -q "Проверка ПИН-кода карты успешно завершена." <<<"$text" || fail "no success box for the PIN by keyboard: «$text»"
sent=$(card_commands | cut -c $((${#before} + 1))- | grep -oE '(cmd 0020|ctl reset)' | tr '\n' ' ' || true)
[ "$sent" = "cmd 0020 ctl reset " ] || fail "the card after the PIN by keyboard: «$sent»"
shot keyboard

step "the card removed"
card remove
sleep 2
log=$(log_text)
[ "$log" = "Вставьте карту тахографа" ] || fail "log after removal: «$log»"
shot removed

step "the watched reader unplugged, another staying: the window releases it"
bridge hide "Virtual PCD 00 00"
sleep 2
log=$(log_text)
shot reader-gone
grep -qx "Ошибка получения статуса считывателя карт" <<<"$log" ||
    fail "no failure line after the reader went: «$log»"
button_is Выбрать || fail "the button does not offer «Выбрать» after the reader went"

step "plugged back in: «обновить список», «Выбрать», a card inserted is read"
bridge show "Virtual PCD 00 00"
click 200 63 # "обновить список"
sleep 1
log=$(log_text)
# The latest refresh's line: the failure's own refresh wrote one too.
[ "$(grep "^Текущий ридер" <<<"$log" | tail -n 1)" = "Текущий ридер (0)" ] ||
    fail "the reader back is not the current one after the refresh: «$log»"
click 505 34 # "Выбрать"
sleep 2
log=$(log_text)
[ "$log" = "Вставьте карту тахографа" ] || fail "the reader is not watched again: «$log»"
button_is Отключить || fail "the button does not offer «Отключить» with the reader watched"
echo "before" | xclip -i -selection clipboard >/dev/null 2>&1
card insert
wait_clipboard "$number" || fail "the card in the reader back again was not read (got «$(clipboard)»)"
card remove
sleep 2

step "three insertions while another program holds each new card exclusively for 300 ms"
otherclient=$lbuild/tools/otherclient
[ -x "$otherclient" ] || fail "no $otherclient"
# A company card that answers GET DATA: read without a PIN unless the
# program falls back to the files, which asks for one.
company=RUK0000000000777
kill ${sim_pid%% *}
wait ${sim_pid%% *} 2>/dev/null || true
"$lbuild/tools/tachosim" --port "$port" --control "$work/card.ctl" --type 4 --card-number "$company" \
    --removed </dev/null >"$work/company.log" 2>&1 &
sim_pid="$! ${sim_pid#* }"
"$otherclient" --reader "Virtual PCD 00 00" --hold-ms 300 --exclusive >"$work/otherclient.log" 2>&1 &
sim_pid="$sim_pid $!"
for _ in $(seq 1 50); do grep -qx ready "$work/otherclient.log" && break; sleep 0.1; done
grep -qx ready "$work/otherclient.log" || fail "the other program did not start: $(cat "$work/otherclient.log")"
refused() { grep -c "connect -> 8010000b" "$work/app.log" || true; } # SCARD_E_SHARING_VIOLATION
refused_before=$(refused)
for i in 1 2 3; do
    echo "before" | xclip -i -selection clipboard >/dev/null 2>&1
    card insert
    found=0
    wait_clipboard "$company" && found=1
    box=$(other_window)
    [ -z "$box" ] || { shot held; fail "insertion $i: «$(xdotool getwindowname "$box")» opened"; }
    [ "$found" = 1 ] || { shot held; fail "insertion $i not identified (got «$(clipboard)»)"; }
    card remove
    sleep 1.5
done
shot held
held=$(grep -c '^held' "$work/otherclient.log" || true)
[ "$held" = 3 ] || fail "the other program held $held of the 3 cards: $(cat "$work/otherclient.log")"
met=$(($(refused) - refused_before))
# Else the program came first every time, and this showed nothing.
[ "$met" -gt 0 ] || fail "the program never found a card held by the other program"
echo "3 of 3 identified, each held 300 ms by the other program; $met connects refused meanwhile"
kill "${sim_pid##* }"

step "the card held 4 s by another program (exclusively, then by a transaction), «Получить данные» pressed: the window answers, says that it waits, and reads the card once free"
echo "before" | xclip -i -selection clipboard >/dev/null 2>&1
card insert
wait_clipboard "$company" || fail "the company card was not read (got «$(clipboard)»)"
sleep 1
for how in exclusive transaction; do
    echo "before" | xclip -i -selection clipboard >/dev/null 2>&1
    "$otherclient" --reader "Virtual PCD 00 00" --hold-ms 4000 --"$how" --now >"$work/holder.log" 2>&1 &
    holder=$!
    sim_pid="$sim_pid $holder"
    for _ in $(seq 1 50); do grep -qx holding "$work/holder.log" && break; sleep 0.1; done
    grep -qx holding "$work/holder.log" || fail "the other program did not take the card: $(cat "$work/holder.log")"
    # Message round trips with the window, as Windows tells a window that is
    # not responding, from before the click to after the card is read.
    wine "$(dirname "$ZENTAVO_BRIDGE_DLL")/window_ping.exe" "$title" 6000 >"$work/ping.log" 2>&1 &
    prober=$!
    sleep 0.5
    click 120 236 # "Получить данные"
    sleep 1.5
    shot "busy-$how"
    wait_clipboard "$company" || fail "held ($how): the card was not read once free (got «$(clipboard)»)"
    wait "$prober" || fail "no round trips with the window: $(cat "$work/ping.log")"
    kill "$holder" 2>/dev/null || true
    wait "$holder" 2>/dev/null || true
    log=$(log_text | grep -vE '^(Протокол|Команда|Результат)')
    # One read, which waited, said so, and went on by itself.
    expected=$(printf '%s\n' "Чтение типа карты тахографа" "Карта занята другой программой. Ожидание…" \
        "Чтение номера СКЗИ")
    [ "$(tail -n 3 <<<"$log")" = "$expected" ] || fail "held ($how): the log after the read: «$log»"
    box=$(other_window)
    [ -z "$box" ] || fail "«$(xdotool getwindowname "$box")» opened while the card was held"
    longest=$(sed -n 's/^longest \([0-9]*\) ms.*/\1/p' "$work/ping.log" | tr -d '\r')
    echo "held ($how): window round trips: $(tr -d '\r' <"$work/ping.log")"
    [ -n "$longest" ] && [ "$longest" -lt 500 ] || fail "held ($how): the window did not answer for ${longest:-?} ms"
    sleep 0.5
done
card remove
sleep 1.5

step "the third of four readers selected, the program closed"
click 505 34 # "Отключить"
sleep 1
# Two wheel steps down the reader box: index 2, "Virtual PCD 1 00 00".
xdotool mousemove --window "$window" 300 34 click 5 click 5 2>/dev/null
sleep 0.5
echo "before" | xclip -i -selection clipboard >/dev/null 2>&1
click 505 34 # "Выбрать"
wait_clipboard "$third" || fail "the third reader's card was not read (got «$(clipboard)»)"
shot third
close_window "$app"
app=""
stored=$(wine reg query 'HKCU\Software\Vestrak\Zentavo\General' 2>/dev/null | tr -d '\r' | grep LastReader || true)
echo "stored: $(tr -s ' \n' ' ' <<<"$stored")"

step "started again with the first reader unplugged: the same reader by its name"
echo "before" | xclip -i -selection clipboard >/dev/null 2>&1
start_program ZENTAVO_BRIDGE_HIDE="Virtual PCD 00 00"
for _ in $(seq 1 100); do
    got=$(clipboard)
    [ "$got" = "$third" ] || [ "$got" = "$fourth" ] && break
    sleep 0.2
done
[ "$got" = "$third" ] || fail "not the reader closed with: got «$got» ($fourth is in the reader now third)"
shot remembered

step "closed"
close_window "$app"
app=""
echo "Windows card check: passed (screenshots $wbuild/windows-card-*.png)"
