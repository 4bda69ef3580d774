#!/usr/bin/env bash
# End-to-end tests of what only the Windows build under Wine has to face, on a private X server
# (Xvfb): other code pages, and Windows' own loop while a window is dragged.
#
#   wine_test.sh wine-prefix PROGRAM
#       Makes the Wine prefix named by WINEPREFIX, for the tests of PROGRAM to share.
#   wine_test.sh code-pages PROGRAM MATCH_FRAME SEND_CLOSE
#       Under Russian and Japanese locales (code pages 1251 and 932 for Windows programs) the
#       title reads right, a frame shows exactly, and a close request ends the program with 0.
#   wine_test.sh drag PROGRAM MATCH_FRAME SEND_CLOSE
#       With windows that Wine draws itself, a one-second drag of the title bar moves the
#       window while at least 10 FPS lines come; the window then shows a frame exactly, and a
#       close request ends the program with 0.
set -euo pipefail
source "$(dirname "$0")/window_steps.sh"

wine_prefix() {
    rm -rf "$WINEPREFIX"
    mkdir -p "$WINEPREFIX"
    prepare_wine
    echo "Wine prefix made in $WINEPREFIX"
}
# Makes `locale` (e.g. ru_RU.UTF-8) in $work/locales, for LOCPATH: the system need not have it.
make_locale() {
    local name=$1
    mkdir -p "$work/locales"
    localedef -i "${name%%.*}" -f UTF-8 "$work/locales/$name" >"$work/localedef-$name" 2>&1 ||
        fail "localedef $name: $(cat "$work/localedef-$name")"
}

# Wine must see the locale, or the program would run under the code page of the C locale and
# the test would prove nothing: Wine records the ANSI code page it takes from the locale.
expect_wine_code_page() {
    local wanted=$1 shown
    shown=$(wine reg query 'HKLM\System\CurrentControlSet\Control\Nls\CodePage' /v ACP \
        2>/dev/null | tr -d '\r' | awk '$1 == "ACP" { print $3 }')
    [ "$shown" = "$wanted" ] || fail "Wine's code page under $LANG: '$shown', not $wanted"
}

code_pages() {
    match_frame=$3
    local send_close=$4 name code_page shown
    make_locale ru_RU.UTF-8 &
    local ru_pid=$!
    make_locale ja_JP.UTF-8
    wait "$ru_pid" || fail "localedef ru_RU.UTF-8"
    start_xvfb
    prepare_wine
    export LOCPATH="$work/locales"
    unset LC_ALL LC_CTYPE LC_MESSAGES
    for name in ru_RU.UTF-8:1251 ja_JP.UTF-8:932; do
        code_page=${name#*:}
        export LANG=${name%:*}
        expect_wine_code_page "$code_page"
        start_program
        find_window
        shown=$(xprop -id "$window" _NET_WM_NAME)
        [ "$shown" = "_NET_WM_NAME(UTF8_STRING) = \"$title\"" ] || fail "under $LANG the title is $shown"
        wait_for_frame
        close_window "$send_close"
        [ ! -s "$work/err" ] || fail "the program wrote to standard error"
        wait_for 10 "the closed window to go" no_window_left
        echo "under $LANG (code page $code_page): $shown; $(cat "$work/match"); closed with status 0"
    done
}

window_position() { xdotool getwindowgeometry --shell "$window" | grep '^[XY]=' | tr '\n' ' '; }

is_at() { [ "$(window_position)" = "$1" ]; }

drag() {
    match_frame=$3
    local send_close=$4 x y before during step moved_to
    start_xvfb
    prepare_wine
    wine reg add "$wine_x11_key" /v Managed /t REG_SZ /d N /f >/dev/null 2>&1
    wine_self_drawn=yes
    start_program
    find_window
    wait_for_fps_lines 30
    eval "$(xdotool getwindowgeometry --shell "$window")"
    # Into the title bar, clear of its buttons, and one step: once the window follows, Windows'
    # own loop runs (had the press missed the title bar, frames would come all the same). Then
    # 20 steps 50 ms apart, counting the FPS lines.
    x=$((X + 300)) y=$((Y + 10))
    xdotool mousemove "$x" "$y" mousedown 1
    xdotool mousemove $((x + 5)) $((y + 3))
    wait_for 10 "the window to follow the pointer" is_at "X=$((X + 5)) Y=$((Y + 3)) "
    before=$(fps_line_count)
    for step in $(seq 2 21); do
        xdotool mousemove $((x + 5 * step)) $((y + 3 * step))
        sleep 0.05
    done
    during=$(($(fps_line_count) - before))
    program_runs
    moved_to="X=$((X + 105)) Y=$((Y + 63)) "
    wait_for 10 "the window to follow the pointer to $moved_to" is_at "$moved_to"
    xdotool mouseup 1
    [ "$during" -ge 10 ] || fail "$during FPS lines while the title bar was dragged for a second"
    wait_for_more_fps_lines 10
    wait_for_frame
    close_window "$send_close"
    [ ! -s "$work/err" ] || fail "the program wrote to standard error"
    echo "dragged by its title bar for a second: $during FPS lines; then $(cat "$work/match")"
}

case $mode in
    wine-prefix) wine_prefix ;;
    code-pages) code_pages "$@" ;;
    drag) drag "$@" ;;
    *) echo "usage: see the head of $0" >&2; exit 2 ;;
esac
