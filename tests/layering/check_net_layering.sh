#!/usr/bin/env bash
# The engine (src/net) and the log (src/log) build without the window: vesktor_net links Qt Core
# only, so that embedders and headless tools can use it. An include of a window header, or of
# Qt's widget modules, would tie them back together.
set -euo pipefail
source_dir="$1"
found=$(grep -rn -E '#include\s*[<"](app/|QtWidgets|QWidget|QApplication|QMessageBox)' \
    "$source_dir/src/net" "$source_dir/src/log" || true)
if [ -n "$found" ]; then
    echo "src/net and src/log must not include window headers:"
    echo "$found"
    exit 1
fi
echo "src/net and src/log include no window header"
