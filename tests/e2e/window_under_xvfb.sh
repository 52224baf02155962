#!/usr/bin/env bash
# Starts the real program under a virtual X server, as a user starts it, and checks that its
# window appears with the title "Ombrel - Vesktor"; takes a screenshot of the window.
#
#   window_under_xvfb.sh [--update-docs] [PATH_TO_VESKTOR]
#
# With --update-docs the screenshot replaces docs/window.png (shown in the README). The
# program defaults to build/vesktor.
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

repo="$(cd "$E2E_DIR/../.." && pwd)"
update_docs=""
program="$repo/build/vesktor"
for argument in "$@"; do
    case "$argument" in
    --update-docs) update_docs=1 ;;
    -*) e2e_fail "unknown option $argument" ;;
    *) program="$argument" ;;
    esac
done
[ -x "$program" ] || e2e_fail "the program is not built: $program"
e2e_require_tools Xvfb xwininfo import identify
e2e_init

XVFB_PID=""
PROGRAM_PID=""
# Stops the program and the X server before the common cleanup runs.
window_cleanup()
{
    local status=$?
    set +e
    [ -n "$PROGRAM_PID" ] && e2e_end_process "$PROGRAM_PID"
    [ -n "$XVFB_PID" ] && e2e_end_process "$XVFB_PID"
    if [ "$status" -ne 0 ] && [ "$status" -ne 77 ]; then
        e2e_show_file "$E2E_TMP/xvfb.err" "Xvfb stderr"
        e2e_show_file "$E2E_TMP/program.err" "program stderr"
    fi
    (exit "$status")
    e2e_cleanup
}
trap window_cleanup EXIT

e2e_start_xvfb
e2e_note "Xvfb runs on display $DISPLAY"

"$program" < /dev/null > "$E2E_TMP/program.out" 2> "$E2E_TMP/program.err" &
PROGRAM_PID=$!

window_id=""
find_window()
{
    kill -0 "$PROGRAM_PID" 2> /dev/null || e2e_fail "the program ended before its window appeared"
    window_id="$(xwininfo -root -tree 2> /dev/null |
        sed -n 's/^ *\(0x[0-9a-f]*\) "Ombrel - Vesktor": .*/\1/p' | head -n 1)"
    [ -n "$window_id" ] && xwininfo -id "$window_id" 2> /dev/null | grep -q 'Map State: IsViewable'
}
e2e_wait_for 150 "a window titled \"Ombrel - Vesktor\"" find_window
e2e_note "window $window_id: $(xwininfo -id "$window_id" | sed -n 's/^ *\(Width\|Height\): */\1 /p' | tr '\n' ' ')"

# The window may be mapped before it is painted: wait for a screenshot with more than a few
# colours in it.
shot="$E2E_TMP/window.png"
painted()
{
    import -window "$window_id" "png:$shot" 2> /dev/null || return 1
    [ "$(identify -format '%k' "$shot" 2> /dev/null || echo 0)" -gt 8 ]
}
e2e_wait_for 100 "the window to be painted" painted
[ -s "$shot" ] || e2e_fail "the screenshot is empty"
[ "$(identify -format '%m' "$shot")" = PNG ] || e2e_fail "the screenshot is not a PNG"
e2e_note "screenshot: $(identify -format '%wx%h, %k colours' "$shot"), $(stat -c %s "$shot") bytes"

if [ -n "$update_docs" ]; then
    cp "$shot" "$repo/docs/window.png"
    e2e_note "docs/window.png updated"
fi
echo "PASSED: window_under_xvfb"
