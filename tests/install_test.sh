#!/usr/bin/env bash
# cmake --install into a staging folder: the program and its manual, which
# carries the project's version and which mandoc's checker finds clean.
set -euo pipefail
build=$1
version=$2
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
cmake --install "$build" --prefix "$stage" >/dev/null
failed=0
check() {
    if "$@"; then echo "ok   $*"; else echo "FAIL $*"; failed=$((failed + 1)); fi
}
check test -x "$stage/bin/vorpix-sixel"
check test -f "$stage/share/man/man1/vorpix-sixel.1"
check grep -q "vorpix-sixel $version" "$stage/share/man/man1/vorpix-sixel.1"
if command -v mandoc >/dev/null; then
    check test -z "$(mandoc -T lint "$stage/share/man/man1/vorpix-sixel.1" 2>&1)"
fi
echo "$((4 - failed)) passed, $failed failed"
[ "$failed" -eq 0 ]
