#!/usr/bin/env bash
# How long the real program takes to show its window when the settings file
# ($XDG_CONFIG_HOME/vesktor/vesktor.conf) is one that once stalled the start:
#
#   big      100 MB of keys, "Remember=true" and a port of 9999 at the top;
#   fifo     a FIFO nobody writes to (opening it to read would wait for ever);
#   zero     a symbolic link to /dev/zero (reading it would never end).
#
# and, to compare, "none" (no file) and "remembered" (a small file this program could have
# written, with a port of 9999). Each case runs BENCH_REPEATS times (default 3) under a virtual
# X server: the time from the start of build-bench/vesktor to its window "Ombrel - Vesktor"
# being viewable (xwininfo, polled every 20 ms), then a picture of the window, which must equal
# the one taken with no file, pixel for pixel: every setting at its default. The remembered
# file's picture must differ, or the comparison could not see a setting that was read.
#
# Prints each run, the medians and a line per goal: the window up in under 1 s with every
# default. Makes the Release build in build-bench/ first (BENCH_SKIP_BUILD=1 uses it as it is).
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
repeats="${BENCH_REPEATS:-3}"

source "$here/scripts/packages.sh"
"$here/scripts/ensure-packages.sh" "${BUILD_PACKAGES[@]}" xvfb x11-utils imagemagick
source "$here/bench/lib.sh"
bench_build
program="${BENCH_PROGRAM:-$here/build-bench/vesktor}"
[ -x "$program" ] || { echo "the program is not built: $program" >&2; exit 1; }

source "$here/tests/e2e/lib.sh"
e2e_init
export XDG_DATA_HOME="$E2E_TMP/data"

XVFB_PID=""
PROGRAM_PID=""
# Stops the program and the X server before the common cleanup runs.
settings_cleanup()
{
    local status=$?
    set +e
    [ -n "$PROGRAM_PID" ] && e2e_end_process "$PROGRAM_PID"
    [ -n "$XVFB_PID" ] && e2e_end_process "$XVFB_PID"
    (exit "$status")
    e2e_cleanup
}
trap settings_cleanup EXIT

e2e_start_xvfb
export QT_LOGGING_RULES='qt.qpa.*=false'

# The big file, made once: valid INI text that a reader would take in whole.
e2e_note "a settings file of 100 MB"
{
    printf '[General]\nRemember=true\n\n[proxy]\nport=9999\nmaxThreads=7\n'
    awk 'BEGIN { for (i = 0; i < 2500000; i++) printf "key%07d=value number %07d of many\n", i, i }'
} > "$E2E_TMP/big.conf"
e2e_note "$(stat -c %s "$E2E_TMP/big.conf") bytes"

window_id=""
find_window()
{
    window_id="$(xwininfo -root -tree 2> /dev/null |
        sed -n 's/^ *\(0x[0-9a-f]*\) "Ombrel - Vesktor": .*/\1/p' | head -n 1)"
    [ -n "$window_id" ] && xwininfo -id "$window_id" 2> /dev/null | grep -q 'Map State: IsViewable'
}
# The window may be mapped before it is painted: a picture with more than a few colours.
painted()
{
    import -window "$window_id" "png:$1" 2> /dev/null || return 1
    [ "$(identify -format '%k' "$1" 2> /dev/null || echo 0)" -gt 8 ]
}

# start_once CASE SHOT: sets the settings path up for CASE, starts the program, sets ms to the
# milliseconds until its window is viewable and saves the painted window as SHOT.
start_once()
{
    local config="$E2E_TMP/config-$1"
    rm -rf "$config"
    mkdir -p "$config/vesktor"
    case "$1" in
    big) cp "$E2E_TMP/big.conf" "$config/vesktor/vesktor.conf" ;;
    fifo) mkfifo "$config/vesktor/vesktor.conf" ;;
    zero) ln -s /dev/zero "$config/vesktor/vesktor.conf" ;;
    remembered) printf '[General]\nRemember=true\n\n[proxy]\nport=9999\n' > "$config/vesktor/vesktor.conf" ;;
    esac
    local start end i
    start="$(date +%s%N)"
    XDG_CONFIG_HOME="$config" "$program" < /dev/null > "$E2E_TMP/program.out" \
        2> "$E2E_TMP/program.err" &
    PROGRAM_PID=$!
    # 20 ms apart for 10 s at most.
    for ((i = 0; i < 500; i++)); do
        kill -0 "$PROGRAM_PID" 2> /dev/null || e2e_fail "the program ended at start ($1)"
        find_window && break
        sleep 0.02
    done
    end="$(date +%s%N)"
    find_window || e2e_fail "no window within 10 s ($1)"
    e2e_wait_for 100 "the window to be painted ($1)" painted "$2"
    e2e_end_process "$PROGRAM_PID"
    PROGRAM_PID=""
    ms=$(((end - start) / 1000000))
}

: > "$E2E_TMP/times"
for ((repeat = 1; repeat <= repeats; repeat++)); do
    for case in none big fifo zero remembered; do
        start_once "$case" "$E2E_TMP/$case.png"
        # The window with no file is the reference of every default.
        [ -s "$E2E_TMP/reference.png" ] || cp "$E2E_TMP/none.png" "$E2E_TMP/reference.png"
        differing="$(compare -metric AE "$E2E_TMP/reference.png" "$E2E_TMP/$case.png" null: 2>&1 || true)"
        left="$(ls -A "$E2E_TMP/config-$case/vesktor" | tr '\n' ' ')"
        echo "$case $ms $differing" >> "$E2E_TMP/times"
        e2e_note "run $repeat, $case: window up in $ms ms, $differing pixels differ from the defaults; settings folder afterwards: ${left:-empty}; load $(load_average)"
    done
done

echo
printf '%-10s %22s %26s\n' "settings" "window up, ms (median)" "pixels off the defaults"
for case in none big fifo zero remembered; do
    printf '%-10s %22s %26s\n' "$case" "$(awk -v c="$case" '$1 == c {print $2}' "$E2E_TMP/times" | median)" \
        "$(awk -v c="$case" '$1 == c && $3 > worst {worst = $3} END {print worst + 0}' "$E2E_TMP/times")"
done
echo
awk '$1 == "remembered" && $3 == 0 {exit 1}' "$E2E_TMP/times" ||
    e2e_fail "the remembered port left the window's picture unchanged: the comparison is blind"
for case in big fifo zero; do
    ms="$(awk -v c="$case" '$1 == c {print $2}' "$E2E_TMP/times" | median)"
    worst_ms="$(awk -v c="$case" '$1 == c && $2 > worst {worst = $2} END {print worst + 0}' "$E2E_TMP/times")"
    off="$(awk -v c="$case" '$1 == c && $3 != 0 {n++} END {print n + 0}' "$E2E_TMP/times")"
    echo "goal: $case, window up in under 1 s with every default: median $ms ms, slowest $worst_ms ms, $off of $repeats runs off the defaults, $(verdict "$worst_ms < 1000 && $off == 0")"
done
