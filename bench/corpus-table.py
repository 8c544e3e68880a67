#!/usr/bin/env python3
"""How many of the corpus's pictures the program shows, per format.

For every file of the corpus (gathered by bench/gather-pictures.sh)
and for a copy of every GIF, BMP and JPEG cut to 60 % of its size, ImageMagick's
identify tells whether it reads the file and at what size (the first frame's
canvas). The program, run once in a pseudo-terminal as a host runs it, is
asked each file's size with command 5; it shows a file when its reply is
identify's size raised to whole 8x16 cells. Prints a Markdown table and the
files it does not show.

    bench/corpus-table.py [PROGRAM] [CORPUS]
"""
import fcntl
import os
import pty
import select
import struct
import subprocess
import sys
import tempfile
import termios

top = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
program = sys.argv[1] if len(sys.argv) > 1 else os.path.join(top, "build", "vorpix-sixel")
corpus = sys.argv[2] if len(sys.argv) > 2 else "/tmp/vorpix-corpus"
CUT_KINDS = {"GIF", "BMP", "JPEG"}


def kind_of(path):
    with open(path, "rb") as f:
        head = f.read(12)
    if head[:2] == b"\xff\xd8":
        return "JPEG"
    if head[:8] == b"\x89PNG\r\n\x1a\n":
        return "PNG"
    if head[:3] == b"GIF":
        return "GIF"
    if head[:2] == b"BM":
        return "BMP"
    if head[:1] == b"P" and head[1:2] in b"123456":
        return "PNM"
    if head[:4] == b"RIFF" and head[8:12] == b"WEBP":
        return "WebP"
    if head[4:8] == b"ftyp" and head[8:12] in (b"avif", b"avis"):
        return "AVIF"
    return "other"


def identify(path):
    try:
        out = subprocess.run(["identify", "-format", "%W %H\n", path + "[0]"], capture_output=True,
                             text=True, timeout=30)
    except subprocess.TimeoutExpired:
        return None
    # A warning makes identify's status 1 although it read the picture: what
    # counts is whether it reported a size.
    if not out.stdout.strip():
        return None
    w, h = out.stdout.split("\n")[0].split()
    return int(w), int(h)


def ask_sizes(paths):
    """One program in a 100x40 pseudo-terminal, asked every file's size."""
    pid, fd = pty.fork()
    if pid == 0:
        os.execv(program, [program])
    attrs = termios.tcgetattr(fd)
    attrs[3] &= ~termios.ECHO  # the commands must not come back as replies
    termios.tcsetattr(fd, termios.TCSANOW, attrs)
    fcntl.ioctl(fd, termios.TIOCSWINSZ, struct.pack("HHHH", 40, 100, 0, 0))
    # The program's standard input and output are the terminal itself here,
    # so replies come back through it, in order, one line each.
    replies, buffer = [], b""
    for path in paths:
        os.write(fd, ("5;" + path + "\n").encode())
        while b"\n" not in buffer:
            if not select.select([fd], [], [], 60)[0]:
                raise SystemExit("the program stopped answering at " + path)
            buffer += os.read(fd, 65536)
        line, buffer = buffer.split(b"\n", 1)
        replies.append(line.decode(errors="replace").strip())
    os.write(fd, b"\x04")
    os.waitpid(pid, 0)
    return replies


def cells(w, h):
    return f"{(w + 7) // 8 * 8} {(h + 15) // 16 * 16}"


def main():
    files = []
    for root, _, names in os.walk(corpus):
        for name in sorted(names):
            path = os.path.join(root, name)
            if name.startswith(".") or name.endswith(".tsv") or not os.path.isfile(path):
                continue
            if ";" in path or "\n" in path:
                continue
            files.append(path)
    scratch = tempfile.mkdtemp(prefix="vorpix-cut-")
    for path in list(files):
        if kind_of(path) in CUT_KINDS:
            with open(path, "rb") as f:
                data = f.read()
            cut = os.path.join(scratch, "cut-" + os.path.basename(path))
            with open(cut, "wb") as f:
                f.write(data[: len(data) * 6 // 10])
            files.append(cut)

    sizes = [identify(p) for p in files]
    replies = ask_sizes(files)
    table, missed = {}, []
    for path, size, reply in zip(files, sizes, replies):
        kind = kind_of(path) + (" (cut)" if path.startswith(scratch) else "")
        row = table.setdefault(kind, [0, 0, 0])
        row[0] += 1
        if size is None:
            continue
        row[1] += 1
        if reply == cells(*size):
            row[2] += 1
        else:
            missed.append(f"{path}: identify {size[0]}x{size[1]}, we answer {reply}")
    print("| format | files | identify reads | we show |")
    print("|---|---|---|---|")
    total = [0, 0, 0]
    for kind in sorted(table):
        row = table[kind]
        total = [a + b for a, b in zip(total, row)]
        print(f"| {kind} | {row[0]} | {row[1]} | {row[2]} |")
    print(f"| all | {total[0]} | {total[1]} | {total[2]} |")
    if missed:
        print("\nNot shown although identify reads them:")
        for m in missed:
            print("- " + m)
    subprocess.run(["rm", "-rf", scratch])


main()
