#!/usr/bin/env bash
# Installs what is missing, builds the program in Release mode into build-package/ and makes the
# Debian package vesktor_<version>_<arch>.deb there. Prints the package's path.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
source "$here/scripts/packages.sh"
"$here/scripts/ensure-packages.sh" "${BUILD_PACKAGES[@]}" "${PACKAGE_PACKAGES[@]}"

build_dir="$here/build-package"
cmake -S "$here" -B "$build_dir" -DCMAKE_BUILD_TYPE=Release > /dev/null
cmake --build "$build_dir" --target vesktor -j"$(nproc)"
rm -f "$build_dir"/vesktor_*.deb
(cd "$build_dir" && cpack -G DEB --config CPackConfig.cmake > cpack.log 2>&1) || {
    cat "$build_dir/cpack.log" >&2
    exit 1
}

shopt -s nullglob
packages=("$build_dir"/vesktor_*.deb)
if [ ${#packages[@]} -ne 1 ]; then
    echo "package.sh: expected one package in $build_dir, found ${#packages[@]}" >&2
    exit 1
fi
echo "${packages[0]}"
