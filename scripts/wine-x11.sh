# Sourced by the Windows checks: a private Xvfb and the program's window
# driven as a user drives it. Needs $title; sets DISPLAY, xvfb_pid, window.

# Wine takes the Windows locale from the Unix one: a Russian Windows needs
# ru_RU.UTF-8, made in DIR when the system has none. Exports LC_ALL (and LOCPATH).
russian_locale() { # DIR
    if ! locale -a 2>/dev/null | grep -qix 'ru_RU.utf-\?8'; then
        export LOCPATH=$1
        [ -d "$LOCPATH/ru_RU.UTF-8" ] || { mkdir -p "$LOCPATH" && localedef -i ru_RU -f UTF-8 "$LOCPATH/ru_RU.UTF-8"; }
    fi
    export LC_ALL=ru_RU.UTF-8
}

start_xvfb() {
    exec 5< <(Xvfb -displayfd 1 -screen 0 1280x1024x24 -nolisten tcp 2>/dev/null)
    xvfb_pid=$!
    local display
    read -r display <&5
    export DISPLAY=:$display
}

click() { xdotool mousemove --window "$window" "$1" "$2" click 1 2>/dev/null; }
key() { xdotool key --window "${2:-$window}" "$1" 2>/dev/null; }
clipboard() { xclip -o -selection clipboard 2>/dev/null || true; }

# TITLE [TRIES]: the id of the program's window with that title, once it is there.
find_window() {
    local w
    for _ in $(seq 1 "${2:-100}"); do
        for w in $(xdotool search --class zentavo 2>/dev/null); do
            [ "$(xdotool getwindowname "$w" 2>/dev/null)" = "$1" ] && { echo "$w"; return; }
        done
        sleep 0.2
    done
}

# The log's text, copied as a user copies it (the log shown). Wine hands the
# Windows clipboard to X's. xclip -i stays to serve the selection until Wine
# takes it: its output must not hold a command substitution open.
log_text() {
    local text=""
    echo "" | xclip -i -selection clipboard >/dev/null 2>&1
    for _ in 1 2 3; do
        eval "$(xdotool getwindowgeometry --shell "$window")"
        click 200 $((HEIGHT - 50))
        key ctrl+a
        key ctrl+c
        sleep 0.5
        text=$(clipboard)
        [ -n "$text" ] && break
    done
    printf '%s\n' "$text"
}

# The link "Показать журнал" sits in the last row of the fixed form.
show_log() {
    eval "$(xdotool getwindowgeometry --shell "$window")"
    click 100 $((HEIGHT - 31))
    sleep 1
}

# Closes the window as a user does (Alt+F4) and fails unless the program ($1,
# its pid) then ends by itself with status 0.
close_window() {
    local rc=""
    key alt+F4
    for _ in $(seq 1 50); do
        if ! kill -0 "$1" 2>/dev/null; then
            wait "$1" && rc=0 || rc=$?
            break
        fi
        sleep 0.2
    done
    [ -n "$rc" ] || fail "the program did not end after Alt+F4"
    [ "$rc" -eq 0 ] || fail "the program ended with status $rc"
}
