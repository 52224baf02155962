#!/usr/bin/env bash
# Installs what is missing, then builds and runs every test: first the normal build, then the
# build with AddressSanitizer and UndefinedBehaviorSanitizer, then the build with
# ThreadSanitizer (the window and the network engine run on two threads), then the fuzz targets
# (built with clang) for a bounded time each.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
source "$here/scripts/packages.sh"
"$here/scripts/ensure-packages.sh" "${BUILD_PACKAGES[@]}" "${TEST_PACKAGES[@]}"
# npm's HAR 1.2 schema validator, pinned, for the test of the Requests window's HAR files.
# Debian's nodejs comes without npm; other builds of nodejs bring their own.
command -v npm > /dev/null || "$here/scripts/ensure-packages.sh" npm
har_tools="$here/build/tools"
if [ ! -f "$har_tools/node_modules/har-validator/package.json" ]; then
    npm install --prefix "$har_tools" --no-audit --no-fund --loglevel=error \
        har-validator@5.1.5 > /dev/null
fi
export VESKTOR_HAR_VALIDATOR="$here/tests/har/validate_har.js"
export NODE_PATH="$har_tools/node_modules"

export QT_QPA_PLATFORM=offscreen
"$here/scripts/build.sh" "$here/build"
# The long suite (label "long": the 1 GiB memory test, about 100 s) runs only when asked for:
#   ctest --test-dir build -L long
ctest --test-dir "$here/build" --output-on-failure -j2 -LE long

"$here/scripts/build.sh" "$here/build-sanitize" -DVESKTOR_SANITIZE=ON
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --test-dir "$here/build-sanitize" --output-on-failure -j2 -LE long

"$here/scripts/build.sh" "$here/build-tsan" -DVESKTOR_SANITIZE_THREAD=ON
# die_after_fork=0: tests that make certificates run openssl through QProcess, whose child only
# execs; ThreadSanitizer would otherwise stop any fork of a process that has threads.
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 die_after_fork=0 suppressions=$here/tests/tsan.supp" \
    ctest --test-dir "$here/build-tsan" --output-on-failure -j2 -LE long

CXX=clang++ "$here/scripts/build.sh" "$here/build-fuzz" -DVESKTOR_FUZZ=ON
ctest --test-dir "$here/build-fuzz" --output-on-failure -L fuzz
