#!/usr/bin/env bash
# Builds the Debian package from a configured and built tree, unpacks it into a temporary folder
# and checks what a desktop installation needs: the program, a valid menu entry, the icons in
# every size, and Qt runtime dependencies computed from the program's libraries.
#
# Usage: check_package.sh <cpack> <build dir> <version> <built program>
# Exits 0 when every check passes, 1 on any failure, 77 (skip) when the Debian tools are missing.
set -uo pipefail

if [ $# -ne 4 ]; then
    echo "usage: $0 <cpack> <build dir> <version> <built program>" >&2
    exit 2
fi
cpack="$1"
build_dir="$2"
version="$3"
program="$4"

for tool in dpkg-deb dpkg-shlibdeps desktop-file-validate dpkg; do
    if ! command -v "$tool" > /dev/null; then
        echo "SKIP: $tool is not installed (Debian packages dpkg-dev and desktop-file-utils)."
        exit 77
    fi
done

if [ ! -x "$program" ]; then
    echo "FAIL: the program $program is not built; build the 'vesktor' target first."
    exit 1
fi

work="$(mktemp -d "${TMPDIR:-/tmp}/vesktor-package.XXXXXX")"
trap 'rm -rf "$work"' EXIT

failures=0
pass() { echo "ok:   $*"; }
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

# The package and CPack's staging folder go to the temporary folder, so the build tree stays as
# it was and two runs cannot meet.
echo "Running cpack -G DEB in $build_dir"
if ! (cd "$build_dir" && "$cpack" -G DEB --config CPackConfig.cmake -B "$work/out") \
    > "$work/cpack.log" 2>&1; then
    cat "$work/cpack.log"
    echo "FAIL: cpack did not build the package"
    exit 1
fi

arch="$(dpkg --print-architecture)"
expected_name="vesktor_${version}_${arch}.deb"
shopt -s nullglob
debs=("$work"/out/*.deb)
shopt -u nullglob
if [ ${#debs[@]} -ne 1 ]; then
    cat "$work/cpack.log"
    echo "FAIL: expected one .deb from cpack, found ${#debs[@]}"
    exit 1
fi
deb="${debs[0]}"
if [ "$(basename "$deb")" = "$expected_name" ]; then
    pass "package file is named $expected_name"
else
    fail "package file is named $(basename "$deb"), expected $expected_name"
fi

root="$work/root"
mkdir -p "$root"
if ! dpkg-deb -x "$deb" "$root"; then
    echo "FAIL: dpkg-deb -x could not unpack $deb"
    exit 1
fi
pass "unpacked with dpkg-deb -x"

# Every file belongs under /usr; anything elsewhere would come from a wrong install prefix.
outside="$(dpkg-deb -c "$deb" | awk '{print $NF}' | grep -v -e '^\./$' -e '^\./usr/' || true)"
if [ -z "$outside" ]; then
    pass "every packaged path is under /usr"
else
    fail "paths outside /usr: $outside"
fi

if [ -f "$root/usr/bin/vesktor" ] && [ -x "$root/usr/bin/vesktor" ]; then
    pass "usr/bin/vesktor is an executable file"
else
    fail "usr/bin/vesktor is missing or not executable"
fi

desktop="$root/usr/share/applications/vesktor.desktop"
if [ -f "$desktop" ]; then
    # Hints are advice; errors and warnings count as failures.
    if validation="$(desktop-file-validate "$desktop" 2>&1)" &&
        ! grep -qE '(error|warning):' <<< "$validation"; then
        pass "usr/share/applications/vesktor.desktop passes desktop-file-validate"
        [ -z "$validation" ] || echo "      $validation"
    else
        fail "desktop-file-validate on vesktor.desktop: $validation"
    fi
    for line in 'Type=Application' 'Exec=vesktor' 'Icon=vesktor' 'Categories=Network;'; do
        if grep -qxF "$line" "$desktop"; then
            pass "menu entry has $line"
        else
            fail "menu entry lacks the line $line"
        fi
    done
else
    fail "usr/share/applications/vesktor.desktop is missing"
fi

# A PNG's width and height are the big-endian 32-bit numbers at bytes 16 and 20, right after the
# 8-byte signature and the IHDR chunk's length and type.
png_size() {
    local signature
    signature="$(od -An -tx1 -N8 "$1" | tr -d ' \n')"
    [ "$signature" = "89504e470d0a1a0a" ] || return 1
    local width height
    width=$((16#$(od -An -tx1 -j16 -N4 "$1" | tr -d ' \n')))
    height=$((16#$(od -An -tx1 -j20 -N4 "$1" | tr -d ' \n')))
    echo "${width}x${height}"
}

for size in 16 22 24 32 48 64 128 256; do
    icon="usr/share/icons/hicolor/${size}x${size}/apps/vesktor.png"
    if [ ! -f "$root/$icon" ]; then
        fail "$icon is missing"
    elif [ "$(png_size "$root/$icon")" = "${size}x${size}" ]; then
        pass "$icon is a ${size}x${size} PNG"
    else
        fail "$icon is not a ${size}x${size} PNG"
    fi
done
svg="usr/share/icons/hicolor/scalable/apps/vesktor.svg"
if [ -f "$root/$svg" ] && grep -q '<svg' "$root/$svg"; then
    pass "$svg is an SVG image"
else
    fail "$svg is missing or not an SVG image"
fi

info="$(dpkg-deb -I "$deb")"
for field in 'Package: vesktor' "Version: $version" "Architecture: $arch" 'Section: net'; do
    if grep -qxF " $field" <<< "$info"; then
        pass "control field $field"
    else
        fail "control field $field is missing"
    fi
done
depends="$(grep '^ Depends:' <<< "$info" || true)"
if [ -z "$depends" ]; then
    fail "dpkg-deb -I shows no Depends line"
else
    echo "      $depends"
    # Qt for the window, files and dates; the network engine is Asio, compiled in.
    for library in libqt6core6 libqt6widgets6; do
        # Newer Debian releases name the packages with a t64 suffix (libqt6core6t64).
        if grep -qE "[ ,:]${library}(t64)?[ ,]" <<< "$depends "; then
            pass "Depends names $library"
        else
            fail "Depends does not name $library"
        fi
    done
fi

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed"
    exit 1
fi
echo "all package checks passed"
