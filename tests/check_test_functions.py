#!/usr/bin/env python3
"""Fails when a QtTest program does not list every test function its source declares: moc skips a
class without a word when it misreads the file (an odd number of quotes inside a raw string literal
is enough), and its tests then never run while CTest reports success. Args: BINARY SOURCE"""
import re
import subprocess
import sys


def declared(source):
    names, in_slots = [], False
    for line in open(source, encoding="utf-8"):
        if re.match(r"\s*(public|protected|private)( Q_SLOTS)?\s*:", line) or line.startswith("};"):
            in_slots = re.match(r"\s*private Q_SLOTS:", line) is not None
        elif in_slots and (match := re.match(r"    void (\w+)\(\)", line)):
            names.append(match.group(1))
    special = {"init", "cleanup", "initTestCase", "cleanupTestCase"}
    return [name for name in names if name not in special and not name.endswith("_data")]


binary, source = sys.argv[1:3]
listed = subprocess.run([binary, "-functions"], capture_output=True, text=True, check=False).stdout
missing = set(declared(source)) - {line.strip().removesuffix("()") for line in listed.splitlines()}
if missing:
    sys.exit(f"{binary} does not run: {', '.join(sorted(missing))}")
