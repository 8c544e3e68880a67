#!/usr/bin/env bash
# Times whole processes side by side in one run and prints ratios: the program
# against img2sixel, chafa and djpeg on the same pictures, plus the program's
# peak memory. Every command runs the same way, in a pseudo-terminal of 100x40
# cells made by script(1): the sixel programs write their pictures into it, as
# they would to a user's terminal (djpeg writes to /dev/null), so all of them
# pay the same start-up and the same terminal.
#
# Usage: bench/compare.sh [PROGRAM] [CORPUS]
#   PROGRAM defaults to build/vorpix-sixel, CORPUS to /tmp/vorpix-corpus (made
#   by bench/gather-pictures.sh). Needs hyperfine, img2sixel
#   (libsixel-bin), chafa, djpeg (libjpeg-turbo-progs) and script (util-linux).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
program=$(realpath "${1:-$top/build/vorpix-sixel}")
corpus=${2:-/tmp/vorpix-corpus}
photo=$corpus/photo/kleiber-6028x3391.jpg
gif=$corpus/derived/anim-kleiber-48f-800x450.gif
runs=${RUNS:-7}
repeats=20 # repeat and scroll draws in one session
passes=3   # later passes over an animation's frames

for tool in hyperfine img2sixel chafa djpeg script python3; do
    command -v "$tool" >/dev/null || {
        echo "compare: $tool is missing" >&2
        exit 1
    }
done
for f in "$photo" "$gif"; do
    [ -f "$f" ] || {
        echo "compare: $f is missing: run bench/gather-pictures.sh first" >&2
        exit 1
    }
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# One session file per measurement: the lines a host would send.
load="0;1;0;0;0;0;0;0;0;0;$photo"
draw="1;1;0;0;800;600;0;0;0;0;"
printf '%s\n%s\n' "$load" "$draw" >"$work/draw"
{
    printf '%s\n%s\n' "$load" "$draw"
    for _ in $(seq $repeats); do printf '6\n%s\n' "$draw"; done
} >"$work/repeat"
{
    printf '%s\n%s\n' "$load" "$draw"
    for i in $(seq $repeats); do printf '6\n1;1;0;0;800;600;0;%d;800;300;\n' $((i * 7)); done
} >"$work/scroll"
# A preview host: the size, then one load line with the box, shown on load.
printf '5;%s\n0;1;0;0;800;600;;;;;%s\n4;\n' "$photo" "$photo" >"$work/preview"
gif_pass() { for _ in $(seq 48); do printf '6\n1;1;0;0;800;450;0;0;0;0;\n'; done; }
{
    printf '0;1;0;0;0;0;0;0;0;0;%s\n' "$gif"
    gif_pass
} >"$work/gif1"
{
    printf '0;1;0;0;0;0;0;0;0;0;%s\n' "$gif"
    for _ in $(seq $((passes + 1))); do gif_pass; done
} >"$work/gifn"

in_pty() { # a command line run in a fresh 100x40 pseudo-terminal
    echo "script -qec 'stty cols 100 rows 40; $1' /dev/null"
}
session() { # the program serving one session file, replies discarded
    in_pty "$program < $1 > /dev/null"
}

hyperfine -N --style none --warmup 1 --runs "$runs" --export-json "$work/times.json" \
    -n draw "$(session "$work/draw")" \
    -n repeat "$(session "$work/repeat")" \
    -n scroll "$(session "$work/scroll")" \
    -n preview "$(in_pty "$program -show-on-load < $work/preview > /dev/null")" \
    -n img2sixel "$(in_pty "img2sixel -w 800 $photo")" \
    -n chafa "$(in_pty "chafa -f sixel -s 100x37 $photo")" \
    -n size "$(in_pty "$program -size $photo > /dev/null")" \
    -n djpeg "$(in_pty "djpeg -outfile /dev/null $photo")" \
    -n gif1 "$(session "$work/gif1")" \
    -n gifn "$(session "$work/gifn")" \
    -n img2sixel-gif "$(in_pty "img2sixel -g -l disable $gif")" \
    -n startup "$(session /dev/null)" \
    >/dev/null

# Peak memory of a load and a draw, in the pseudo-terminal.
eval "$(in_pty "/usr/bin/time -f %M -o $work/rss $program < $work/draw > /dev/null")" >/dev/null
eval "$(in_pty "/usr/bin/time -f %M -o $work/rss-gif $program < $work/gif1 > /dev/null")" >/dev/null

python3 - "$work" "$repeats" "$passes" <<'PY'
import json, sys
work, repeats, passes = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
t = {r["command"]: r["median"] for r in json.load(open(f"{work}/times.json"))["results"]}
repeat = (t["repeat"] - t["draw"]) / repeats
scroll = (t["scroll"] - t["draw"]) / repeats
later = (t["gifn"] - t["gif1"]) / passes
rss = int(open(f"{work}/rss").read().split()[-1]) / 1024
rss_gif = int(open(f"{work}/rss-gif").read().split()[-1]) / 1024
frame = 6028 * 3391 * 3 / 2**20
fitted = 800 * 450 * 3 / 2**20
rows = [
    ("load + draw of a 20 Mpx JPEG into 800x600", t["draw"], "img2sixel", t["draw"] / t["img2sixel"], 0.20),
    ("", t["draw"], "chafa", t["draw"] / t["chafa"], 0.50),
    ("preview: size, load shown on load, sync", t["preview"], "load + draw", t["preview"] / t["draw"], 1.15),
    ("repeat draw (6, same line)", repeat, "img2sixel", repeat / t["img2sixel"], 0.02),
    ("another window of the fitted picture", scroll, "img2sixel", scroll / t["img2sixel"], 0.06),
    ("-size of the JPEG", t["size"], "djpeg", t["size"] / t["djpeg"], 1.3),
    ("48-frame GIF: load + each frame once", t["gif1"], "img2sixel -g", t["gif1"] / t["img2sixel-gif"], 0.8),
    ("48-frame GIF: a later pass", later, "img2sixel -g", later / t["img2sixel-gif"], 0.05),
]
print(f"{'measurement':42} {'seconds':>8}  {'against':13} {'ratio':>6}  target")
for name, secs, peer, ratio, target in rows:
    mark = "ok" if ratio <= target else "MISSED"
    print(f"{name:42} {secs:8.4f}  {peer:13} {ratio:6.3f}  <= {target} {mark}")
print(f"peers: img2sixel {t['img2sixel']:.3f} s, chafa {t['chafa']:.3f} s, djpeg {t['djpeg']:.3f} s,"
      f" img2sixel -g {t['img2sixel-gif']:.3f} s; an empty session (script, stty, start-up) {t['startup']:.4f} s")
limit = frame + fitted + 16
print(f"peak memory, load + draw: {rss:.1f} MiB (frame {frame:.1f} + fitted {fitted:.1f} + 16 = {limit:.1f} MiB)"
      f" {'ok' if rss <= limit else 'MISSED'}")
print(f"peak memory, 48-frame 800x450 GIF played once: {rss_gif:.1f} MiB")
PY
