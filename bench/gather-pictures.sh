#!/usr/bin/env bash
# Gathers the real pictures the benchmarks measure, from Debian's archive only,
# into a folder (default /tmp/vorpix-corpus, where the bench scripts look):
#
#   photo/     photographs and large pictures from wallpaper packages
#              (lomiri-wallpapers-20.04, lomiri-wallpapers, desktop-base),
#              kleiber-6028x3391.jpg among them
#   png/ jpeg/ gif/ bmp/
#              the test pictures shipped in the sources of libpng1.6 (its
#              suite, its test files and its crashers), libjpeg-turbo, giflib
#              and netsurf (libnsgif's and libnsbmp's, fuzzed files included)
#   derived/anim-kleiber-48f-800x450.gif
#              48 frames of 800x450 panned across the Kleiber photograph
#              (Debian ships no large animation): made with ImageMagick,
#              whose private extension blocks are dropped so that every GIF
#              reader takes the file
#
# Usage: bench/gather-pictures.sh [FOLDER]
# Needs apt-get with a deb-src entry (scripts/setup adds one), dpkg-deb,
# ImageMagick and python3. Downloads are kept in FOLDER/.downloads.
set -euo pipefail
out=${1:-/tmp/vorpix-corpus}
mkdir -p "$out"
out=$(cd "$out" && pwd)
downloads=$out/.downloads
mkdir -p "$downloads/src" "$downloads/deb"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The release's own versions: an update's sources are not always on the mirror.
suite=$(. /etc/os-release && echo "${VERSION_CODENAME:-bookworm}")
(
    cd "$downloads/src"
    for p in libpng1.6 libjpeg-turbo giflib netsurf; do
        ls "${p}_"*.orig.tar.* >/dev/null 2>&1 && continue
        apt-get source --download-only -qq "$p/$suite" >/dev/null 2>&1 ||
            apt-get source --download-only -qq "$p" >/dev/null ||
            { echo "gather: cannot fetch the source of $p (run scripts/setup first)" >&2; exit 1; }
    done
)
(
    cd "$downloads/deb"
    for p in lomiri-wallpapers-20.04 lomiri-wallpapers desktop-base; do
        ls "${p}_"*.deb >/dev/null 2>&1 && continue
        apt-get download -qq "$p" >/dev/null ||
            { echo "gather: cannot download $p" >&2; exit 1; }
    done
)

unpack() { tar xf "$downloads"/src/"$1"_*.orig.tar.* -C "$work" --wildcards "${@:2}"; }
unpack libpng1.6 '*/contrib/pngsuite/*' '*/contrib/testpngs/*'
unpack libjpeg-turbo '*/testimages/*'
unpack giflib '*/pic/*'
unpack netsurf '*/libnsgif/test/data/*' '*/libnsbmp/test/*'
for d in "$downloads"/deb/*.deb; do dpkg-deb -x "$d" "$work/deb"; done

into() { mkdir -p "$out/$1" && cp "${@:2}" "$out/$1/"; }
into png/pngsuite "$work"/libpng-*/contrib/pngsuite/*.png
into png/testpngs "$work"/libpng-*/contrib/testpngs/*.png
into png/testpngs-crashers "$work"/libpng-*/contrib/testpngs/crashers/*.png
into jpeg "$work"/libjpeg-turbo-*/testimages/*.jpg
into bmp "$work"/libjpeg-turbo-*/testimages/*.bmp
into gif "$work"/giflib-*/pic/*.gif "$work"/netsurf-*/libnsgif/test/data/*.gif
into bmp/bmpsuite "$work"/netsurf-*/libnsbmp/test/bmpsuite/*.bmp
into bmp/nsbmp "$work"/netsurf-*/libnsbmp/test/bmp/*.bmp
into bmp/nsbmp-afl "$work"/netsurf-*/libnsbmp/test/afl-bmp/*.bmp
share=$work/deb/usr/share
mkdir -p "$out/photo"
cp "$share/backgrounds/Kleiber_by_Lukas_Baubkus.jpg" "$out/photo/kleiber-6028x3391.jpg"
cp "$share/backgrounds/Infinite-Sea_by_Aury88.jpg" "$out/photo/infinite-sea-4096x4096.jpg"
cp "$share/backgrounds/Fossa_by_Jasper_Roks.jpg" "$out/photo/fossa-4096x2304.jpg"
cp "$share/backgrounds/warty-final-ubuntu.png" "$out/photo/warty-4096x2304.png"
cp "$share/desktop-base/softwaves-theme/grub/grub-16x9.png" "$out/photo/softwaves-1920x1080.png"

# The pan: frame i is the 800x450 crop at (i*800/47, i*450/47) of the
# photograph scaled to 1600x900.
mkdir -p "$out/derived"
convert "$out/photo/kleiber-6028x3391.jpg" -resize '1600x900!' "$work/base.png"
crops=()
for i in $(seq 0 47); do
    crops+=('(' -clone 0 -crop "800x450+$((i * 800 / 47))+$((i * 450 / 47))" +repage ')')
done
convert "$work/base.png" "${crops[@]}" -delete 0 -delay 4 -loop 0 -layers Optimize "$work/pan.gif"
python3 - "$work/pan.gif" "$out/derived/anim-kleiber-48f-800x450.gif" <<'PY'
import sys
data = open(sys.argv[1], "rb").read()
def skip_blocks(p):  # past a chain of data sub-blocks
    while data[p]:
        p += 1 + data[p]
    return p + 1
out = bytearray(data[:13])
p = 13
if data[10] & 0x80:  # the global colour table
    n = 3 << ((data[10] & 7) + 1)
    out += data[p:p + n]
    p += n
while data[p] != 0x3B:
    if data[p] == 0x21:  # an extension: application ones other than the loop count go
        end = skip_blocks(p + 2)
        if not (data[p + 1] == 0xFF and data[p + 3:p + 14] != b"NETSCAPE2.0"):
            out += data[p:end]
    else:  # an image: descriptor, local colour table, LZW data
        end = p + 10 + (3 << ((data[p + 9] & 7) + 1) if data[p + 9] & 0x80 else 0)
        end = skip_blocks(end + 1)
        out += data[p:end]
    p = end
open(sys.argv[2], "wb").write(out + b"\x3B")
PY
echo "gather: $(find "$out" -path "$out/.downloads" -prune -o -type f -print | wc -l) pictures in $out"
