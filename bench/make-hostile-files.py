#!/usr/bin/env python3
"""Writes broken and hostile picture files that cost a careless loader time or
memory out of all proportion to their size:

  jpeg-repeated-scans.jpg       a progressive JPEG whose smallest scan comes again
                                and again (each repeat is decoded over the
                                whole picture)
  png-trailing-deflated-zeros.png
                                a 1x1 PNG whose image data stream goes on
                                after its one row with a long run of zeros
  webp-animation-two-canvases.webp
                                an animation whose canvas is just under the
                                largest frame, which libwebp's decoder holds
                                twice
  avif-huge-dimensions.avif     a small AVIF whose size property (ispe) says
                                60000x60000
  png-exif-offsets-outside.png  a PNG whose EXIF block points far outside itself
  jpeg-huge-icc-profile.jpg     a small JPEG carrying a colour profile of
                                100 MB in APP2 markers (not with --small)

Usage: bench/make-hostile-files.py FOLDER [--small]
  --small makes the versions kept in tests/data/bad: the same faults at a size
  a test run can afford before the fixes.
Needs ImageMagick's convert and cwebp (package webp)."""
import os
import struct
import subprocess
import sys
import tempfile
import zlib


def jpeg_repeated_scans(path, side, repeats):
    with tempfile.TemporaryDirectory() as work:
        base = os.path.join(work, "base.jpg")
        subprocess.run(["convert", "-size", f"{side}x{side}", "gradient:", "-interlace", "Plane",
                        "-quality", "30", base], check=True)
        data = open(base, "rb").read()
    # Find the start of each scan (SOS, FF DA) at the top level of the file.
    scans, p = [], 2
    while p < len(data):
        assert data[p] == 0xFF, "not at a marker"
        marker = data[p + 1]
        if marker == 0xD9:  # EOI
            end = p
            break
        length = struct.unpack(">H", data[p + 2:p + 4])[0]
        if marker != 0xDA:
            p += 2 + length
            continue
        start = p
        p += 2 + length
        while not (data[p] == 0xFF and data[p + 1] not in (0x00, *range(0xD0, 0xD8))):
            p += 1
        scans.append(data[start:p])
    # The smallest scan costs the fewest bytes, and is still decoded over the
    # whole picture every time it comes.
    smallest = min(scans, key=len)
    open(path, "wb").write(data[:end] + smallest * repeats + b"\xFF\xD9")


def png_chunk(kind, payload):
    return (struct.pack(">I", len(payload)) + kind + payload +
            struct.pack(">I", zlib.crc32(kind + payload) & 0xFFFFFFFF))


def png_trailing_zeros(path, mebibytes):
    stream = zlib.compressobj(9)
    compressed = [stream.compress(b"\x00\xC8\x64\x32")]  # filter 0, one R,G,B pixel
    block = bytes(1 << 20)
    for _ in range(mebibytes):
        compressed.append(stream.compress(block))
    compressed.append(stream.flush())
    idat = b"".join(compressed)
    out = b"\x89PNG\r\n\x1a\n" + png_chunk(b"IHDR", struct.pack(">IIBBBBB", 1, 1, 8, 2, 0, 0, 0))
    for k in range(0, len(idat), 1 << 16):
        out += png_chunk(b"IDAT", idat[k:k + (1 << 16)])
    open(path, "wb").write(out + png_chunk(b"IEND", b""))


def riff_chunk(kind, payload):
    return kind + struct.pack("<I", len(payload)) + payload + (b"\0" if len(payload) & 1 else b"")


def webp_two_canvases(path, side):
    with tempfile.TemporaryDirectory() as work:
        png, webp = os.path.join(work, "1.png"), os.path.join(work, "1.webp")
        subprocess.run(["convert", "-size", "1x1", "xc:red", png], check=True)
        subprocess.run(["cwebp", "-quiet", "-lossless", png, "-o", webp], check=True)
        still = open(webp, "rb").read()
    frame = still[12:]  # the VP8L chunk
    size = lambda v: struct.pack("<I", v)[:3]
    vp8x = riff_chunk(b"VP8X", bytes([0x02, 0, 0, 0]) + size(side - 1) + size(side - 1))
    anim = riff_chunk(b"ANIM", bytes(4) + struct.pack("<H", 0))
    anmf = riff_chunk(b"ANMF", bytes(6) + size(0) + size(0) + size(100) + b"\0" + frame)
    body = b"WEBP" + vp8x + anim + anmf
    open(path, "wb").write(b"RIFF" + struct.pack("<I", len(body)) + body)


def avif_huge_dimensions(path, good):
    data = bytearray(open(os.path.join(good, "quadrants.avif"), "rb").read())
    at = data.find(b"ispe")
    assert at > 0, "no ispe box"
    # The box: size, "ispe", version and flags, then width and height.
    data[at + 8:at + 16] = struct.pack(">II", 60000, 60000)
    open(path, "wb").write(bytes(data))


def png_exif_outside(path):
    with tempfile.TemporaryDirectory() as work:
        base = os.path.join(work, "p.png")
        subprocess.run(["convert", "-size", "3x2", "xc:red", base], check=True)
        data = open(base, "rb").read()
    exif = b"II*\0" + struct.pack("<I", 0x7FFFFFF0) + bytes(16)
    open(path, "wb").write(data[:33] + png_chunk(b"eXIf", exif) + data[33:])


def jpeg_huge_profile(path, mebibytes):
    with tempfile.TemporaryDirectory() as work:
        base = os.path.join(work, "p.jpg")
        subprocess.run(["convert", "-size", "16x16", "xc:red", base], check=True)
        data = open(base, "rb").read()
    # ICC_PROFILE markers: "ICC_PROFILE\0", sequence number, count, data.
    piece = 65519 - 14
    count = min(255, (mebibytes << 20) // piece + 1)
    markers = b""
    for k in range(count):
        payload = b"ICC_PROFILE\0" + bytes([k + 1, count]) + bytes(piece)
        markers += b"\xFF\xE2" + struct.pack(">H", len(payload) + 2) + payload
    # 255 markers of 64 KB hold 16 MB; the rest comes as APP2 markers of
    # another kind, which the reader keeps as well.
    filler = b"\xFF\xE2" + struct.pack(">H", 65535) + bytes(65533)
    rest = max(0, (mebibytes << 20) - count * piece) // 65533
    open(path, "wb").write(data[:2] + markers + filler * rest + data[2:])


def main():
    folder = sys.argv[1]
    small = "--small" in sys.argv[2:]
    os.makedirs(folder, exist_ok=True)
    out = lambda name: os.path.join(folder, name)
    jpeg_repeated_scans(out("jpeg-repeated-scans.jpg"), 1024 if small else 4096,
                        1000 if small else 4000)
    png_trailing_zeros(out("png-trailing-deflated-zeros.png"), 64 if small else 1000)
    # 11585 x 11585 x 4 bytes is just under 512 MiB.
    webp_two_canvases(out("webp-animation-two-canvases.webp"), 11585)
    top = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    avif_huge_dimensions(out("avif-huge-dimensions.avif"), os.path.join(top, "tests", "data", "good"))
    png_exif_outside(out("png-exif-offsets-outside.png"))
    if not small:
        jpeg_huge_profile(out("jpeg-huge-icc-profile.jpg"), 100)


main()
