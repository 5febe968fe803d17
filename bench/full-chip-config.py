#!/usr/bin/env python3
"""Prints an ifa-agent configuration that fills every table of a chip profile.

Usage: bench/full-chip-config.py [--profile NAME] [--root DIR]

Every index of every table's range gets an entry (corvane-sim-a: 1,022 in
all), whose field values derive from the index so that rows differ. The
tables, their entry fields and the index ranges are read from the sources
(tables/IfaTables.def, tables/<Module>.h, chip/ChipProfile.cpp), so that the
configuration follows them; the agent validates it like any other.
"""
import argparse
import os
import re
import sys

# Bits of each field type of an entry declaration.
FIELD_BITS = {f"Kiva::U{n}": n for n in range(1, 7)}
FIELD_BITS.update({"std::uint8_t": 8, "std::uint32_t": 32})


def read(root, path):
    with open(os.path.join(root, path)) as f:
        return f.read()


def tables(root):
    """[(table, [(field, bits), ...])] in catalogue order."""
    catalogue = re.findall(r"^IFA_TABLE\((\w+), (\w+),", read(root, "tables/IfaTables.def"), re.M)
    if not catalogue:
        sys.exit("full-chip-config: no tables in tables/IfaTables.def")
    out = []
    for table, module in catalogue:
        decl = read(root, f"tables/{module}.h")
        fields = []
        for ftype, name in re.findall(r"FIELD\(([\w:]+), (\w+)\)", decl):
            if ftype not in FIELD_BITS:
                sys.exit(f"full-chip-config: {module}.h: unknown field type {ftype}")
            fields.append((name, FIELD_BITS[ftype]))
        out.append((table, fields))
    return out


def ranges(root, profile):
    """{qualified table name: (minIndex, maxIndex)} of the profile."""
    text = read(root, "chip/ChipProfile.cpp")
    start = text.find(f'{{"{profile}",')
    if start < 0:
        sys.exit(f'full-chip-config: no chip profile "{profile}" in chip/ChipProfile.cpp')
    block = text[start:text.index("}}}", start) + 1]
    found = re.findall(r'\{"([\w:]+)", (\d+), (\d+)\}', block)
    return {name: (int(lo), int(hi)) for name, lo, hi in found}


def entry_text(table, fields, index):
    values = []
    x = (index * 2654435761 + 1) & 0xFFFFFFFF
    for _, bits in fields:
        values.append(x % (1 << bits))
        x = (x * 1103515245 + 12345) & 0xFFFFFFFF
    if not fields:
        return ""
    if len(fields) == 1:
        return str(values[0])
    named = ", ".join(f"{name}={v}" for (name, _), v in zip(fields, values))
    return f"CorvaneInt::{table}::Entry({named})"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--profile", default="corvane-sim-a")
    parser.add_argument("--root", default=os.path.join(os.path.dirname(__file__), ".."),
                        help="the source tree (default: this script's)")
    args = parser.parse_args()
    r = ranges(args.root, args.profile)
    lines = [f"# Every index of every table of chip profile {args.profile}."]
    count = 0
    for table, fields in tables(args.root):
        qualified = f"CorvaneInt::{table}"
        if qualified not in r:
            sys.exit(f"full-chip-config: profile {args.profile} has no range for {qualified}")
        lo, hi = r[qualified]
        for index in range(lo, hi + 1):
            text = entry_text(table, fields, index)
            lines.append(f"{table} {index} {text}".rstrip())
            count += 1
    lines.insert(1, f"# {count:,} entries.")
    sys.stdout.write("\n".join(lines) + "\n")


if __name__ == "__main__":
    main()
