#!/usr/bin/env python3
"""Writes the image fuzzer's seeds from images the agent made.

    fuzz/image-seeds.py OUTDIR PROFILE_INDEX IMAGE [PROFILE_INDEX IMAGE ...]

PROFILE_INDEX is the profile's position in SimChip::profiles() (the default
first). A seed is what the fuzzer reads: one byte choosing the profile (top
bit: also through a file), the image length as 8 bytes little-endian, then the
header and, for the file seeds, the first rows. Per image: the image as it is,
through the check and through a file; its length one row short; its header
cut in the middle of the first region descriptor.
"""
import os
import struct
import sys

HEADER_BYTES = 4096


def seed(profile, through_file, length, body):
    first = profile | (0x80 if through_file else 0)
    return bytes([first]) + struct.pack("<Q", length) + body


def main():
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    pairs = sys.argv[2:]
    for profile, path in zip(pairs[0::2], pairs[1::2]):
        profile = int(profile)
        image = open(path, "rb").read()
        header = image[:HEADER_BYTES].rstrip(b"\0")
        rows = image[HEADER_BYTES:HEADER_BYTES + 256]
        seeds = {
            "good": seed(profile, False, len(image), header),
            "good-file": seed(profile, True, len(image), image[:HEADER_BYTES] + rows),
            "short": seed(profile, True, len(image) - 1, image[:HEADER_BYTES]),
            "cut-descriptor": seed(profile, False, len(image), header[:0x50]),
        }
        for name, data in seeds.items():
            with open(os.path.join(out, "profile%d-%s" % (profile, name)), "wb") as f:
                f.write(data)


if __name__ == "__main__":
    main()
