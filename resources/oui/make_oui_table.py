#!/usr/bin/env python3
"""Builds quenZOR's vendor table from the IEEE MA-L registry list.

Reads the registry's text listing (Debian's ieee-data: /usr/share/ieee-data/oui.txt), whose
assignment lines read "XX-XX-XX   (hex)<tabs>Organisation", and writes one line per assignment:
"XX-XX-XX=Organisation", CR LF after every line, in ascending key order. Keys are not unique in
the registry (a few prefixes were assigned twice); every line is kept and lines of the same key
keep the registry's order, since the program takes the first line of a key.

Usage: make_oui_table.py [registry-list] [output]   (defaults: the ieee-data file, oui.txt here)
"""
import os
import re
import sys

ASSIGNMENT = re.compile(rb"^([0-9A-Fa-f]{2}-[0-9A-Fa-f]{2}-[0-9A-Fa-f]{2})\s+\(hex\)\s*(.*?)\s*$")


def table_lines(registry: bytes):
    rows = []
    for raw in registry.splitlines():
        match = ASSIGNMENT.match(raw)
        if not match:
            continue
        key = match.group(1).upper()
        name = match.group(2)
        # A CR or LF inside a name would split the program's line list; the registry has none,
        # but a stray one must not corrupt the table.
        name = name.replace(b"\r", b" ").replace(b"\n", b" ")
        rows.append((key, name))
    # sorted() is stable: lines of the same key stay in registry order.
    rows = sorted(rows, key=lambda row: row[0])
    return [key + b"=" + name for key, name in rows]


def main(argv):
    here = os.path.dirname(os.path.abspath(__file__))
    source = argv[1] if len(argv) > 1 else "/usr/share/ieee-data/oui.txt"
    target = argv[2] if len(argv) > 2 else os.path.join(here, "oui.txt")
    with open(source, "rb") as f:
        lines = table_lines(f.read())
    if not lines:
        sys.exit("no assignment lines found in " + source)
    with open(target, "wb") as f:
        f.write(b"".join(line + b"\r\n" for line in lines))
    print(f"{target}: {len(lines)} lines")


if __name__ == "__main__":
    main(sys.argv)
