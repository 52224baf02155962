# shellcheck shell=bash
# Pieces shared by the bench scripts that drive the test host through tests/e2e/lib.sh: the
# Release build in build-bench/, the host's resident size, medians, verdicts and the load.
# Sourced after scripts/packages.sh has been sourced and BUILD_PACKAGES installed.

BENCH_HERE="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

# Makes the Release build in build-bench/ (BENCH_SKIP_BUILD=1 uses it as it is), niced: the
# machine may be busy with other builds. Points VESKTOR_TEST_HOST at its test host, or at
# BENCH_HOST_PROGRAM.
bench_build()
{
    if [ "${BENCH_SKIP_BUILD:-}" != 1 ]; then
        mkdir -p "$BENCH_HERE/build-bench"
        nice -n 10 "$BENCH_HERE/scripts/build.sh" "$BENCH_HERE/build-bench" \
            -DCMAKE_BUILD_TYPE=Release > "$BENCH_HERE/build-bench/bench-build.log" 2>&1 ||
            { tail -n 30 "$BENCH_HERE/build-bench/bench-build.log" >&2; exit 1; }
    fi
    export VESKTOR_TEST_HOST="${BENCH_HOST_PROGRAM:-$BENCH_HERE/build-bench/tests/host/vesktor_test_host}"
}

# The running test host's resident size (VmRSS), KiB.
rss_kib() { awk '/^VmRSS:/ {print $2}' "/proc/$HOST_PID/status"; }

# The median of the numbers on stdin, one a line.
median() { sort -n | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }

# verdict CONDITION: "met" or "NOT met", CONDITION as awk reads it.
verdict() { if awk "BEGIN {exit !($1)}"; then echo met; else echo "NOT met"; fi; }

# The load averages (1, 5, 15 minutes), to print beside a timing: other work on the machine
# shows in the times.
load_average() { cut -d' ' -f1-3 /proc/loadavg; }
