#!/usr/bin/env bash
# cmake --install into a staging folder: the program and its manual, which
# carries the project's version and which mandoc's checker finds clean; and
# the Debian package cpack makes: its name, its files and the dependencies
# worked out from the linked libraries.
set -euo pipefail
build=$(realpath "$1")
version=$2
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
cmake --install "$build" --prefix "$stage" >/dev/null
passed=0
failed=0
check() {
    if "$@"; then
        echo "ok   $*"
        passed=$((passed + 1))
    else
        echo "FAIL $*"
        failed=$((failed + 1))
    fi
}
check test -x "$stage/bin/vorpix-sixel"
check test -f "$stage/share/man/man1/vorpix-sixel.1"
check grep -q "vorpix-sixel $version" "$stage/share/man/man1/vorpix-sixel.1"
if command -v mandoc >/dev/null; then
    check test -z "$(mandoc -T lint "$stage/share/man/man1/vorpix-sixel.1" 2>&1)"
fi
if command -v dpkg-deb >/dev/null && command -v dpkg-shlibdeps >/dev/null; then
    (cd "$stage" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$stage/package" >/dev/null)
    deb=$(ls "$stage"/package/vorpix-sixel_"$version"_*.deb)
    check test -f "$deb"
    check grep -q libsixel1 <(dpkg-deb -f "$deb" Depends)
    check grep -q libjpeg62-turbo <(dpkg-deb -f "$deb" Depends)
    check grep -q "usr/share/man/man1/vorpix-sixel.1" <(dpkg-deb -c "$deb")
    check grep -q "usr/bin/vorpix-sixel" <(dpkg-deb -c "$deb")
fi
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
