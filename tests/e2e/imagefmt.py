"""Reading test images and cutting the host's three streams from them, written apart
from both the engine and the tools so that the tests check those against a third
reading of the formats."""

import struct

HEADER_BYTES = 116
SECTOR_BYTES = 520
BLOCK_BYTES = 16640
BOOT_BLOCKS_BYTES = 2 * BLOCK_BYTES
PACKET_BYTES = 12288
SECTIONS = (("BL", 0x02, 3, 2), ("UD", 0x04, 4, 3), ("KN", 0x08, 5, 4), ("EB", 0x10, 6, 5))


def content(section_id, offset, size):
    """The bytes orvane-mkimage puts at a section offset: little-endian words
    (id << 28) | (offset / 4)."""
    first = offset - offset % 4
    words = range(first // 4, (offset + size + 3) // 4)
    data = b"".join(struct.pack("<I", (section_id << 28) | (w & 0x0FFFFFFF)) for w in words)
    return data[offset - first:offset - first + size]


class Image:
    def __init__(self, path):
        with open(path, "rb") as f:
            self.data = f.read()
        self.words = list(struct.unpack("<29I", self.data[:HEADER_BYTES]))
        self.flags = self.words[1]
        self.os = self.words[2]
        self.sizes = {name: (self.words[word] if self.flags & bit else 0) for name, bit, word, _ in SECTIONS}

    def section_offset(self, name):
        offset = HEADER_BYTES + self.os
        for other, _, _, _ in SECTIONS:
            if other == name:
                return offset
            offset += self.sizes[other]
        raise KeyError(name)

    def section(self, name):
        start = self.section_offset(name)
        return self.data[start:start + self.sizes[name]]

    def boot_block(self):
        """Index of the first block with a boot-sector signature, or None."""
        k = 0
        while HEADER_BYTES + (k + 1) * BLOCK_BYTES <= len(self.data):
            block = self.block(k)
            if block[0] in (0xEB, 0xE9) and block[510:512] == b"\x55\xaa":
                return k
            k += 1
        return None

    def block(self, k):
        start = HEADER_BYTES + k * BLOCK_BYTES
        return self.data[start:start + BLOCK_BYTES]

    def reserved_entries(self):
        block = self.block(self.boot_block())
        count = struct.unpack_from("<I", block, 528)[0] // 16
        entries = []
        for i in range(min(count, (BLOCK_BYTES - 536) // 16)):
            name, start, blocks = struct.unpack_from("<8sII", block, 536 + 16 * i)
            entries.append((name.split(b"\0")[0].decode("latin-1"), start, blocks))
        return entries

    def reserve_bytes(self):
        return next(blocks for name, _, blocks in self.reserved_entries() if name == "REV") * BLOCK_BYTES

    def package(self, host_os_code=1003):
        words = list(self.words)
        words[1] &= ~(0x01 | 0x08 | 0x10)
        words[2] = BOOT_BLOCKS_BYTES
        words[24] = host_os_code
        return (struct.pack("<29I", *words) + self.data[HEADER_BYTES:HEADER_BYTES + BOOT_BLOCKS_BYTES]
                + self.section("BL") + self.section("UD"))

    def part2(self, host_os_code=1003):
        reserve = self.reserve_bytes()
        words = list(self.words)
        words[1] &= ~(0x04 | 0x40)
        words[2] = reserve
        words[4] = 0
        words[24] = host_os_code
        return (struct.pack("<29I", *words) + self.data[HEADER_BYTES:HEADER_BYTES + reserve]
                + self.section("BL") + self.section("KN") + self.section("EB"))

    def remainder(self):
        return self.data[HEADER_BYTES + self.reserve_bytes():HEADER_BYTES + self.os]


def frame(payload, first_word=0, length=None, checksum=None):
    """One packet stream: first word, stream length, payload, 16-bit byte sum."""
    if length is None:
        length = len(payload) + 10
    if checksum is None:
        checksum = sum(payload) & 0xFFFF
    return struct.pack("<II", first_word, length) + payload + struct.pack("<H", checksum)
