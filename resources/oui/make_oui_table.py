#!/usr/bin/env python3
"""Builds quenZOR's built-in vendor table from the IEEE registry lists.

Reads the registry's text listings (Debian's ieee-data, /usr/share/ieee-data/): MA-L `oui.txt`
and the smaller blocks of MA-M `mam.txt`, MA-S `oui36.txt` and IAB `iab.txt`. An assignment reads

    XX-XX-XX   (hex)<blanks>Organisation
    B00000-BFFFFF     (base 16)<blanks>Organisation          (the smaller blocks only)

and becomes one line "KEY=Organisation", CR LF after every line, in ascending key order. The key
is the assigned prefix in the MAC's own text form with hyphens: "XX-XX-XX" for MA-L (24 bits),
"XX-XX-XX-X" for MA-M (28 bits), "XX-XX-XX-XX-X" for MA-S and IAB (36 bits); the program looks
the longest key up first. Keys are not unique (some prefixes were assigned twice); every line is
kept and lines of the same key keep the registry's order, since the program takes the first.

Writes oui.txt (MA-L), blocks.txt (MA-M, MA-S, IAB) and the lists' date (ieee-data.lastupdate)
next to this script. The program reads
the same lists with the same rules at run time when ieee-data is installed (src/app/ouitable.cpp).

Usage: make_oui_table.py [ieee-data-folder] [output-folder]
"""
import os
import re
import sys

HEX_LINE = re.compile(rb"^([0-9A-Fa-f]{2}-[0-9A-Fa-f]{2}-[0-9A-Fa-f]{2})\s+\(hex\)\s*(.*?)\s*$")
RANGE_LINE = re.compile(rb"^([0-9A-Fa-f]{6})-([0-9A-Fa-f]{6})\s+\(base 16\)")


def clean(name: bytes) -> bytes:
    # A CR or LF inside a name would split the program's line list; the registry has none,
    # but a stray one must not corrupt the table.
    return name.replace(b"\r", b" ").replace(b"\n", b" ")


def block_suffix(start: bytes, end: bytes):
    """The hex digits a block adds to its 24-bit base: the common head of its range, which must
    run from all zeros to all Fs after it (one digit for MA-M, three for MA-S and IAB)."""
    start, end = start.upper(), end.upper()
    n = 0
    while n < 6 and start[n] == end[n]:
        n += 1
    if n not in (1, 3) or start[n:] != b"0" * (6 - n) or end[n:] != b"F" * (6 - n):
        return None
    return start[:n]


def assignments(listing: bytes, blocks: bool):
    rows = []
    pending = None
    for raw in listing.splitlines():
        match = HEX_LINE.match(raw)
        if match:
            pending = (match.group(1).upper(), clean(match.group(2)))
            if not blocks:
                rows.append(pending)
            continue
        match = RANGE_LINE.match(raw)
        if blocks and match and pending:
            suffix = block_suffix(match.group(1), match.group(2))
            if suffix is not None:
                digits = pending[0] + b"-" + suffix[:2] + (b"-" + suffix[2:] if len(suffix) > 2 else b"")
                rows.append((digits, pending[1]))
            pending = None
    return rows


def write_table(target, rows):
    # sorted() is stable: lines of the same key stay in registry order.
    rows = sorted(rows, key=lambda row: row[0])
    with open(target, "wb") as f:
        f.write(b"".join(key + b"=" + name + b"\r\n" for key, name in rows))
    print(f"{target}: {len(rows)} lines")


def main(argv):
    here = os.path.dirname(os.path.abspath(__file__))
    source = argv[1] if len(argv) > 1 else "/usr/share/ieee-data"
    target = argv[2] if len(argv) > 2 else here

    def read(name):
        with open(os.path.join(source, name), "rb") as f:
            return f.read()

    large = assignments(read("oui.txt"), blocks=False)
    if not large:
        sys.exit("no assignment lines found in " + source + "/oui.txt")
    small = []
    for name in ("mam.txt", "oui36.txt", "iab.txt"):
        small += assignments(read(name), blocks=True)
    write_table(os.path.join(target, "oui.txt"), large)
    write_table(os.path.join(target, "blocks.txt"), small)
    # The lists' date, so a test can tell whether the installed lists are the ones built in.
    stamp = os.path.join(source, ".lastupdate")
    if os.path.exists(stamp):
        with open(stamp, "rb") as f, open(os.path.join(target, "ieee-data.lastupdate"), "wb") as out:
            out.write(f.read())


if __name__ == "__main__":
    main(sys.argv)
