#!/usr/bin/env python3
"""BINARY SOURCE: fails when a QtTest program does not list every test function its source declares: moc skips
a class without a word when it misreads the file (an odd number of quotes in a raw string literal is enough)."""
import re, subprocess, sys  # noqa: E401

binary, source, declared, in_slots = *sys.argv[1:3], set(), False
for line in open(source, encoding="utf-8"):
    if re.match(r"\s*(public|protected|private)( Q_SLOTS)?\s*:", line) or line.startswith("};"):
        in_slots = re.match(r"\s*private Q_SLOTS:", line) is not None
    elif in_slots and (match := re.match(r"    void (\w+)\(\)", line)):
        declared.add(match.group(1))
declared -= {"init", "cleanup", "initTestCase", "cleanupTestCase"}  # _data functions take no part either
listed = subprocess.run([binary, "-functions"], capture_output=True, text=True, check=False).stdout
if missing := {d for d in declared if not d.endswith("_data")} - {f.strip().removesuffix("()") for f in listed.split()}:
    sys.exit(f"{binary} does not run: {', '.join(sorted(missing))}")
