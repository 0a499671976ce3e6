#!/usr/bin/env python3
"""Finishes Nalvex.exe: checks that the linked entry is ARM code and writes the flat
image from objcopy with its PE checksum filled in.

usage: pe_finish.py LINKED_ELF FLAT_IMAGE OUTPUT_EXE
"""
import struct
import sys

PE_OFFSET_FIELD = 0x3C
# The checksum lies 64 bytes into the optional header, which follows the 4-byte
# signature and the 20-byte file header.
CHECKSUM_IN_PE = 4 + 20 + 64


def pe_checksum(image, checksum_offset):
    """The loader's image checksum: the 16-bit words summed with each carry folded
    back in, the checksum field taken as zero, plus the file length."""
    data = bytearray(image)
    data[checksum_offset:checksum_offset + 4] = b"\0\0\0\0"
    if len(data) % 2:
        data.append(0)
    total = 0
    for (word,) in struct.iter_unpack("<H", data):
        total += word
        total = (total & 0xFFFF) + (total >> 16)
    return ((total & 0xFFFF) + (total >> 16) + len(image)) & 0xFFFFFFFF


def fail(message):
    print(f"pe_finish: {message}", file=sys.stderr)
    sys.exit(1)


def main(argv):
    if len(argv) != 4:
        print(__doc__.strip().splitlines()[-1], file=sys.stderr)
        return 2
    elf_path, flat_path, out_path = argv[1:]
    try:
        with open(elf_path, "rb") as f:
            elf = f.read(0x34)
        with open(flat_path, "rb") as f:
            image = f.read()
    except OSError as e:
        fail(str(e))

    # A Thumb entry would carry bit 0 only here: the headers and ld's ASSERT see the
    # address without it, and the loader would then run Thumb code in ARM state.
    if len(elf) < 0x1C or elf[:4] != b"\x7fELF" or elf[4] != 1 or elf[5] != 1:
        fail(f"{elf_path}: not a 32-bit little-endian ELF file")
    (entry,) = struct.unpack_from("<I", elf, 0x18)
    if entry & 1:
        fail(f"{elf_path}: entry 0x{entry:08x} is Thumb code; the entry must be ARM")

    if len(image) < PE_OFFSET_FIELD + 4:
        fail(f"{flat_path}: too short for a PE image")
    (pe_offset,) = struct.unpack_from("<I", image, PE_OFFSET_FIELD)
    checksum_offset = pe_offset + CHECKSUM_IN_PE
    if image[:2] != b"MZ" or checksum_offset + 4 > len(image) or \
            image[pe_offset:pe_offset + 4] != b"PE\0\0":
        fail(f"{flat_path}: not a PE image")

    out = bytearray(image)
    struct.pack_into("<I", out, checksum_offset, pe_checksum(image, checksum_offset))
    try:
        with open(out_path, "wb") as f:
            f.write(out)
    except OSError as e:
        fail(str(e))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
