#!/usr/bin/env python3
"""Fails when a QtTest program does not list every test function its source declares.

moc skips a class without a word when it misreads the file (an odd number of quotes inside a
raw string literal is enough), and the tests in it then never run while CTest reports success.
"""
import re
import subprocess
import sys

SPECIAL = {"init", "cleanup", "initTestCase", "cleanupTestCase"}


def declared(source):
    names, in_slots = [], False
    for line in open(source, encoding="utf-8"):
        if re.match(r"\s*private Q_SLOTS:", line):
            in_slots = True
        elif re.match(r"\s*(public|protected|private)( Q_SLOTS)?\s*:", line) or line.startswith("};"):
            in_slots = False
        elif in_slots:
            match = re.match(r"    void (\w+)\(\)", line)
            if match and match.group(1) not in SPECIAL and not match.group(1).endswith("_data"):
                names.append(match.group(1))
    return names


def main():
    binary, source = sys.argv[1], sys.argv[2]
    listed = subprocess.run([binary, "-functions"], capture_output=True, text=True, check=False).stdout
    listed = {line.strip().removesuffix("()") for line in listed.splitlines()}
    missing = [name for name in declared(source) if name not in listed]
    if missing:
        print(f"{binary} does not run: {', '.join(missing)}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
