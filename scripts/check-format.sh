#!/usr/bin/env bash
# Fails when any C++ file differs from what clang-format makes of it.
set -euo pipefail
cd "$(dirname "$0")/.."
status=0
while IFS= read -r file; do
    if ! clang-format --style=file "$file" | diff -u "$file" - >/dev/null; then
        echo "needs clang-format: $file"
        status=1
    fi
done < <(git ls-files '*.cc' '*.h')
exit "$status"
