#!/usr/bin/env bash
# Configures and builds the project into the folder given as the first argument; further
# arguments go to CMake's configure step.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build_dir="$1"
shift
cmake -S "$here" -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" > /dev/null
cmake --build "$build_dir" -j"$(nproc)"
