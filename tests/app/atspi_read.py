#!/usr/bin/python3
"""Reads quenZOR's result list from outside the program, as a screen reader does (AT-SPI).

Usage: atspi_read.py <rows> <seconds>
Waits up to <seconds> for a list with at least <rows> distinct rows in the application
"quenzor" that reads the same twice, then prints the list's accessible name and, per row, its cells' names and the host cell's
description (line breaks shown as " | "). Exits 1 when no such list turned up in time.
"""
import sys
import time

import pyatspi

LIST_ROLES = (pyatspi.ROLE_TREE_TABLE, pyatspi.ROLE_TABLE, pyatspi.ROLE_TREE)


def find_list(node, depth=0):
    if node is None or depth > 12:
        return None
    if node.getRole() in LIST_ROLES:
        return node
    for i in range(min(node.childCount, 50)):
        found = find_list(node.getChildAtIndex(i), depth + 1)
        if found is not None:
            return found
    return None


def read_rows(table_node):
    table = table_node.queryTable()
    rows = []
    for r in range(table.nRows):
        cells = [table.getAccessibleAt(r, c) for c in range(table.nColumns)]
        names = " ; ".join(cell.name for cell in cells if cell is not None)
        description = cells[0].description if cells and cells[0] is not None else ""
        rows.append(names + " | " + description.replace("\n", " | "))
    return rows


def main():
    want = int(sys.argv[1])
    deadline = time.time() + float(sys.argv[2])
    while time.time() < deadline:
        try:
            for app in pyatspi.Registry.getDesktop(0):
                if app is None or "quenzor" not in (app.name or "").lower():
                    continue
                table_node = find_list(app)
                if table_node is None:
                    continue
                # Rows arrive, and the list is sorted, while it is read: print only a list
                # of distinct rows that reads the same twice.
                rows = read_rows(table_node)
                if len(set(rows)) < want:
                    continue
                time.sleep(0.5)
                if read_rows(table_node) != rows:
                    continue
                print("list: " + table_node.name)
                for row in rows:
                    print("row: " + row)
                return 0
        except Exception as error:  # the program may still be starting up
            print("retrying: %s" % error, file=sys.stderr)
        time.sleep(0.5)
    return 1


sys.exit(main())
