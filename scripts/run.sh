#!/usr/bin/env bash
# Installs what is missing, builds the program and starts it.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
source "$here/scripts/packages.sh"
"$here/scripts/ensure-packages.sh" "${BUILD_PACKAGES[@]}"
"$here/scripts/build.sh" "$here/build"

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
    echo "vesktor: no display available: start it from a desktop session (DISPLAY or WAYLAND_DISPLAY unset)." >&2
    exit 1
fi
exec "$here/build/vesktor"
