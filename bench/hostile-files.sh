#!/usr/bin/env bash
# What a hostile or broken file costs a load: the time and peak memory of the
# program's -size on each file of tests/data/bad and of libpng's crasher set
# in the corpus, with the rules it must keep: a file under 1 MB that is
# refused or yields under one megapixel takes at most 0.5 s, and no load
# takes more than its frame plus 64 MiB (plus the program's own few MiB).
#
#   bench/hostile-files.sh [PROGRAM] [CORPUS]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
program=$(realpath "${1:-$top/build/vorpix-sixel}")
corpus=${2:-/tmp/vorpix-corpus}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The full-size versions of the generated kinds (tests/data/bad keeps small ones).
python3 "$top/bench/make-hostile-files.py" "$work/generated"
files=("$top"/tests/data/bad/* "$work"/generated/*)
if [ -d "$corpus/png/testpngs-crashers" ]; then files+=("$corpus"/png/testpngs-crashers/*); fi

printf '%-44s %9s %8s %9s %-12s %s\n' file bytes seconds "peak MiB" reply rules
broken=0
for f in "${files[@]}"; do
    script -qec "stty cols 100 rows 40; /usr/bin/time -f '%e %M' -o $work/cost $program -size '$f' > $work/reply" /dev/null >/dev/null
    read -r seconds kib <"$work/cost"
    reply=$(tr -d '\r\n' <"$work/reply")
    bytes=$(stat -c %s "$f")
    read -r w h <<<"$reply"
    frame_mib=$(((w * h * 4) >> 20))
    verdict=ok
    if [ "$bytes" -lt 1048576 ] && [ $((w * h)) -lt 1000000 ] &&
        [ "$(echo "$seconds > 0.5" | bc)" = 1 ]; then
        verdict="SLOW"
    fi
    if [ $((kib >> 10)) -gt $((frame_mib + 64 + 16)) ]; then verdict="$verdict MEMORY"; fi
    [ "$verdict" = ok ] || broken=$((broken + 1))
    printf '%-44s %9d %8s %9d %-12s %s\n' "$(basename "$f" | cut -c1-44)" "$bytes" "$seconds" \
        $((kib >> 10)) "$reply" "$verdict"
done
echo "$broken files broke a rule"
