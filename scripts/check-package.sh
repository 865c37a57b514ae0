#!/usr/bin/env bash
# Builds the Debian package with CPack and checks it the way a user meets it:
#   1. the control data (Depends from dpkg-shlibdeps, pcscd recommended) and the file list;
#   2. installation: with apt-get as root (its dependencies resolved from the archive, removed again
#      afterwards unless it was installed before), or unpacked into a scratch root (dpkg -x);
#   3. the desktop entry (desktop-file-validate), its icon in every hicolor size, the AppStream
#      metainfo (appstreamcli validate --no-net, its launchable the desktop entry), the libraries;
#   4. the installed program started from its desktop entry under Xvfb, on a private pcscd with a
#      simulated control card: the window appears, the card number reaches the clipboard, the control
#      card form (installed in share/zentavo, not in the bundle) prints, and the window closes cleanly.
#
#   scripts/check-package.sh
#   ZENTAVO_PACKAGE_INSTALL=scratch scripts/check-package.sh   (system | scratch | auto, the default:
#                                                                system when root)
# Builds into build/ (or $ZENTAVO_BUILD_DIR); leaves the package there and, on failure, a screenshot
# and the program's output in $ZENTAVO_BUILD_DIR/check-package/.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${ZENTAVO_BUILD_DIR:-$root/build}
mode=${ZENTAVO_PACKAGE_INSTALL:-auto}
title="Чтение карты тахографа"
card_number=RUC0000000000042

fail() {
    echo "check-package: FAILED: $*" >&2
    exit 1
}
step() { echo "== $*"; }

sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo
case "$mode" in
auto) if [ -z "$sudo" ]; then mode=system; else mode=scratch; fi ;;
system | scratch) ;;
*) fail "ZENTAVO_PACKAGE_INSTALL must be system, scratch or auto" ;;
esac

# The build's packages come from setup.sh; these are the check's own.
packages=(desktop-file-utils appstream dpkg-dev xvfb xauth xdotool xclip imagemagick openbox)
"$root/scripts/install-packages.sh" "${packages[@]}"
"$root/scripts/setup.sh"

work=$(mktemp -d "${TMPDIR:-/tmp}/zentavo-package.XXXXXX")
report=$build/check-package
rm -rf "$report"
mkdir -p "$report"
xvfb_pid='' wm_pid='' sim_pid='' app_pid='' installed_here=''

stop_process() {
    if [ -n "$1" ]; then
        kill "$1" 2>/dev/null
        wait "$1" 2>/dev/null
    fi
}
cleanup() {
    local rc=$?
    set +e
    stop_process "$app_pid"
    stop_process "$sim_pid"
    "$root/scripts/pcscd-bench.sh" stop "$work/pcscd" >/dev/null 2>&1
    stop_process "$wm_pid"
    stop_process "$xvfb_pid"
    if [ -n "$installed_here" ]; then
        DEBIAN_FRONTEND=noninteractive $sudo apt-get remove -y -q zentavo >/dev/null
    fi
    rm -rf "$work"
    exit $rc
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# --- 1. the package ---------------------------------------------------------
step "building the package"
rm -f "$build"/zentavo_*.deb
(cd "$build" && cpack -G DEB) >"$report/cpack.log" 2>&1 || { cat "$report/cpack.log" >&2; fail "cpack"; }
debs=("$build"/zentavo_*_"$(dpkg --print-architecture)".deb)
[ -f "${debs[0]}" ] || fail "cpack made no zentavo_*.deb in $build"
deb=${debs[0]}
echo "$deb"
dpkg-deb --info "$deb" | sed 's/^/   /'

field() { dpkg-deb --field "$deb" "$1"; }
[ "$(field Package)" = zentavo ] || fail "package name: $(field Package)"
depends=$(field Depends)
for lib in libqt6core6 libqt6gui6 libqt6widgets6 libqt6network6 libpcsclite1 libssl3 libc6; do
    grep -Eq "(^|, )$lib( |,|$)" <<<"$depends" || fail "Depends lacks $lib: $depends"
done
grep -Eq "(^|, )pcscd( |,|$)" <<<"$(field Recommends), $depends" || fail "pcscd is neither recommended nor required"
# Every dependency must be a package that Debian has.
# shellcheck disable=SC2013 # one package name per word
for name in $(sed 's/([^)]*)//g; s/[,|]/ /g' <<<"$depends, $(field Recommends)"); do
    dpkg-query -W "$name" >/dev/null 2>&1 || apt-cache show "$name" >/dev/null 2>&1 ||
        fail "dependency $name is no Debian package"
done

dpkg-deb --contents "$deb" | awk '{print $NF}' | sed 's|^\./|/|' >"$report/files"
metainfo=/usr/share/metainfo/ru.vestrak.zentavo.metainfo.xml
expected=(/usr/bin/zentavo /usr/share/zentavo/tacCertK.htm /usr/share/applications/zentavo.desktop
    "$metainfo" /usr/share/doc/zentavo/user-guide.md)
for size in 16 22 24 32 48 64 128 256; do
    expected+=("/usr/share/icons/hicolor/${size}x${size}/apps/zentavo.png")
done
for f in "${expected[@]}"; do
    grep -qx "$f" "$report/files" || fail "the package lacks $f"
done
stray=$(grep -v '^/usr/\(bin/zentavo\|share/\(zentavo\|applications\|icons/hicolor\|doc/zentavo\)\)\(/\|$\)' \
    "$report/files" | grep -vx "$metainfo" |
    grep -vx '/usr/\|/usr/bin/\|/usr/share/\|/usr/share/icons/\|/usr/share/doc/\|/usr/share/metainfo/' || true)
[ -z "$stray" ] || fail "unexpected files in the package: $stray"

# --- 2. installation --------------------------------------------------------
prefix=$work/root
step "unpacking into $prefix"
dpkg-deb -x "$deb" "$prefix"
program_path=$prefix/usr/bin
if [ "$mode" = system ]; then
    step "installing with apt-get (dependencies from the archive)"
    dpkg-query -W -f='${Status}' zentavo 2>/dev/null | grep -q 'install ok installed' || installed_here=1
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q "$deb" >"$report/apt.log" 2>&1 ||
        { cat "$report/apt.log" >&2; fail "apt-get install of the package"; }
    prefix=
    program_path=/usr/bin
    [ "$(dpkg-query -W -f='${Version}' zentavo)" = "$(field Version)" ] || fail "installed version"
fi

# --- 3. desktop entry, icons, libraries -------------------------------------
desktop=$prefix/usr/share/applications/zentavo.desktop
step "desktop-file-validate $desktop"
desktop-file-validate "$desktop" >"$report/desktop-file-validate.log" 2>&1 ||
    { cat "$report/desktop-file-validate.log" >&2; fail "desktop entry is invalid"; }
# Hints are suggestions; errors and warnings are not.
if grep -E ': (error|warning):' "$report/desktop-file-validate.log"; then
    fail "desktop entry has errors or warnings"
fi
entry() { sed -n "s/^$1=//p" "$desktop" | head -1; }
[ "$(entry Name)" = "$title" ] || fail "Name is \"$(entry Name)\""
[ "$(entry Type)" = Application ] || fail "Type is not Application"
icon=$(entry Icon)
[ "$icon" = zentavo ] || fail "Icon is \"$icon\""
for size in 16 22 24 32 48 64 128 256; do
    png=$prefix/usr/share/icons/hicolor/${size}x${size}/apps/$icon.png
    [ "$(identify -format '%m %wx%h' "$png")" = "PNG ${size}x${size}" ] || fail "$png is not a ${size}x${size} PNG"
done
step "appstreamcli validate $prefix$metainfo"
# Infos are hints (its capitalisation check does not read Cyrillic); warnings and errors fail.
appstreamcli validate --no-net --no-color "$prefix$metainfo" >"$report/appstreamcli.log" 2>&1 ||
    { cat "$report/appstreamcli.log" >&2; fail "AppStream metainfo is invalid"; }
if grep -E '^[EW]: ' "$report/appstreamcli.log"; then fail "AppStream metainfo has errors or warnings"; fi
launchable=$(sed -n 's|.*<launchable type="desktop-id">\(.*\)</launchable>.*|\1|p' "$prefix$metainfo")
[ "$launchable" = "$(basename "$desktop")" ] || fail "the metainfo launches \"$launchable\", not $(basename "$desktop")"
ldd "$program_path/zentavo" >"$report/ldd" || fail "ldd $program_path/zentavo"
if grep 'not found' "$report/ldd"; then fail "libraries missing"; fi

# --- 4. the installed program on the test bench ----------------------------
step "starting the installed program from its desktop entry under Xvfb"
exec_line=$(entry Exec)
# No field codes: the program takes no arguments.
grep -q '%' <<<"$exec_line" && fail "Exec has field codes: $exec_line"

Xvfb -displayfd 3 -screen 0 1280x900x24 -nolisten tcp 3>"$work/display" >"$report/xvfb.log" 2>&1 &
xvfb_pid=$!
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
[ -s "$work/display" ] || fail "Xvfb did not start"
DISPLAY=:$(cat "$work/display")
export DISPLAY
# A window manager, so the window can be closed as a user closes it.
openbox --sm-disable >"$report/openbox.log" 2>&1 &
wm_pid=$!

"$root/scripts/pcscd-bench.sh" start "$work/pcscd" auto >/dev/null
port=$(cat "$work/pcscd/port")
"$build/tools/tachosim" --port "$port" --control "$work/card.ctl" --type 3 --card-number "$card_number" \
    --cert "$root/tests/data/company-gost.der" </dev/null >"$report/card.log" 2>&1 &
sim_pid=$!

# The desktop's URL handler, recorded instead of starting a browser.
mkdir -p "$work/bin" "$work/home" "$work/tmp"
cat >"$work/bin/xdg-open" <<EOF
#!/bin/sh
echo "\$1" >> "$work/opened"
EOF
chmod +x "$work/bin/xdg-open"

(
    cd /
    exec env -u QT_QPA_PLATFORM HOME="$work/home" XDG_CONFIG_HOME="$work/home/.config" TMPDIR="$work/tmp" \
        PATH="$work/bin:$program_path:$PATH" PCSCLITE_CSOCK_NAME="$work/pcscd/sock/pcscd.comm" \
        sh -c "exec $exec_line"
) >"$report/zentavo.log" 2>&1 &
app_pid=$!

shot() { import -window root "$report/screen.png" 2>/dev/null || true; }
window=
for _ in $(seq 200); do
    kill -0 "$app_pid" 2>/dev/null || { cat "$report/zentavo.log" >&2; fail "the program ended at start"; }
    window=$(xdotool search --onlyvisible --class '^zentavo$' 2>/dev/null | head -1 || true)
    [ -n "$window" ] && [ "$(xdotool getwindowname "$window")" = "$title" ] && break
    window=
    sleep 0.1
done
[ -n "$window" ] || { shot; fail "no window \"$title\" within 20 s"; }
echo "window $window: \"$(xdotool getwindowname "$window")\""

# The last used reader (the first, in a fresh home) is selected and the card read at start.
clip=
for _ in $(seq 200); do
    clip=$(xclip -o -selection clipboard 2>/dev/null || true)
    [ "$clip" = "$card_number" ] && break
    sleep 0.1
done
[ "$clip" = "$card_number" ] || { shot; fail "card number not on the clipboard (got \"$clip\")"; }
echo "card number on the clipboard: $clip"

# "Распечатать сертификат": a control card's form is the one installed in share/zentavo.
xdotool windowactivate --sync "$window" >/dev/null 2>&1 || true
xdotool mousemove --window "$window" 300 236 click 1
form=$work/tmp/Certificate.htm
for _ in $(seq 200); do [ -s "$work/opened" ] && break; sleep 0.1; done
if [ ! -s "$form" ]; then
    shot
    # Reading the certificate selects EF C200: then the button was hit and the form was not found.
    grep -q '^cmd 00A4020C02C200' "$report/card.log" || fail "the print button is no longer at 300,236 of the window"
    fail "the certificate was read but no form was written: the control card form was not found"
fi
iconv -f UTF-16LE -t UTF-8 "$form" | grep -q 'Открытый ключ карты контролера' || fail "the form is not the control card's"
grep -qx "file://$form" "$work/opened" || fail "the form was not handed to the browser: $(cat "$work/opened")"
echo "control card form printed and opened: $(cat "$work/opened")"

# Closed as a user closes it: the program must end by itself, with status 0.
xdotool key --clearmodifiers alt+F4
for _ in $(seq 100); do kill -0 "$app_pid" 2>/dev/null || break; sleep 0.1; done
if kill -0 "$app_pid" 2>/dev/null; then shot; fail "the program did not end after its window was closed"; fi
status=0
wait "$app_pid" || status=$?
app_pid=
[ "$status" -eq 0 ] || { cat "$report/zentavo.log" >&2; fail "the program ended with status $status"; }
step "package check passed ($mode install): $deb"
