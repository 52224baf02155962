#!/usr/bin/env bash
# Configures the parent project in tests/embed, which adds Vesktor with add_subdirectory, and
# checks that the parent gets the library and the program but none of Vesktor's own tests,
# benchmark or package.
#   check_embedding.sh SOURCE_DIR WORK_DIR
set -euo pipefail
source_dir="$1"
work_dir="$2"
rm -rf "$work_dir"
if ! cmake -S "$source_dir/tests/embed" -B "$work_dir" -DVESKTOR_SOURCE_DIR="$source_dir" \
    > "$work_dir.log" 2>&1; then
    cat "$work_dir.log"
    echo "FAILED: the parent project does not configure"
    exit 1
fi
targets="$(cmake --build "$work_dir" --target help)"
for wanted in vesktor_net vesktor_app vesktor embedding_program; do
    grep -qE "^\.\.\. $wanted( |$)" <<< "$targets" || { echo "FAILED: no target $wanted"; exit 1; }
done
for unwanted in test_proxy_end_to_end vesktor_test_host package; do
    if grep -qE "^\.\.\. $unwanted( |$)" <<< "$targets"; then
        echo "FAILED: the parent project got Vesktor's $unwanted"
        exit 1
    fi
done
if [ -e "$work_dir/vesktor/CTestTestfile.cmake" ] || [ -e "$work_dir/CPackConfig.cmake" ]; then
    echo "FAILED: the parent project got Vesktor's tests or package"
    exit 1
fi
echo "the parent project configures with vesktor_core and without Vesktor's tests"
