"""orvane-mkimage: layouts of well-formed and malformed update images."""

import os
import struct
import subprocess
import sys
import tempfile
import unittest

from imagefmt import BLOCK_BYTES, HEADER_BYTES, Image, content

MKIMAGE = os.environ.get("ORVANE_MKIMAGE", "orvane-mkimage")


class MkImageTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.addCleanup(self.tmp.cleanup)

    def make(self, *args):
        path = os.path.join(self.tmp.name, "temp.dat")
        result = subprocess.run([MKIMAGE, *args, path], capture_output=True, text=True)
        self.assertEqual(result.returncode, 0, result.stderr)
        return Image(path)

    def assert_os_content(self, image, skip_blocks=()):
        """Every OS byte follows the pattern, except in the given blocks."""
        for k in range(image.os // BLOCK_BYTES):
            if k not in skip_blocks:
                self.assertEqual(image.block(k), content(1, k * BLOCK_BYTES, BLOCK_BYTES), f"block {k}")

    def test_default_image(self):
        image = self.make()
        self.assertEqual(len(image.data), HEADER_BYTES + 532480)
        self.assertEqual(image.words[0], 0x4F525631)
        self.assertEqual(image.flags, 0)
        self.assertEqual(image.os, 532480)
        self.assertEqual(image.words[24], 0)
        self.assertEqual(image.words[3:7], [0, 0, 0, 0])
        for i in list(range(7, 24)) + list(range(25, 29)):
            self.assertEqual(image.words[i], 0xC0DE0000 | i)
        boot = image.block(0)
        self.assertEqual(boot[0], 0xEB)
        self.assertEqual(boot[510:512], b"\x55\xaa")
        self.assertEqual(boot[520:528], b"MSFLSH50")
        self.assertEqual(struct.unpack_from("<II", boot, 528), (16, 16))
        self.assertEqual(boot[536:544], b"REV\0\0\0\0\0")
        self.assertEqual(image.reserved_entries(), [("REV", 0, 2)])
        self.assertEqual(image.reserve_bytes(), 33280)
        # Outside the overlaid fields the boot block keeps the pattern.
        self.assertEqual(boot[1:510], content(1, 1, 509))
        self.assertEqual(boot[552:], content(1, 552, BLOCK_BYTES - 552))
        self.assertEqual(image.boot_block(), 0)
        self.assert_os_content(image, skip_blocks=(0,))

    def test_sections_follow_in_order(self):
        image = self.make("--os-size", str(8 * BLOCK_BYTES), "--eb", "512", "--bl", "1024", "--ud", "2048",
                          "--kn", "1536", "--flags", "0x41", "--word0", "7", "--word24", "0x1234")
        self.assertEqual(image.flags, 0x5F)
        self.assertEqual((image.words[0], image.words[24]), (7, 0x1234))
        self.assertEqual(image.sizes, {"BL": 1024, "UD": 2048, "KN": 1536, "EB": 512})
        self.assertEqual(len(image.data), HEADER_BYTES + 8 * BLOCK_BYTES + 1024 + 2048 + 1536 + 512)
        for name, section_id in (("BL", 2), ("UD", 3), ("KN", 4), ("EB", 5)):
            self.assertEqual(image.section(name), content(section_id, 0, image.sizes[name]), name)

    def test_absent_sections_take_no_room(self):
        image = self.make("--os-size", str(2 * BLOCK_BYTES), "--ud", "1000", "--eb", "700", "--stale-sizes")
        self.assertEqual(image.flags, 0x14)
        # Stale size words of absent sections are carried, and the sections occupy nothing.
        self.assertEqual((image.words[3], image.words[5]), (0x5A5A0003, 0x5A5A0005))
        self.assertEqual(image.section_offset("UD"), HEADER_BYTES + 2 * BLOCK_BYTES)
        self.assertEqual(image.section("EB"), content(5, 0, 700))
        self.assertEqual(len(image.data), HEADER_BYTES + 2 * BLOCK_BYTES + 1700)

    def test_boot_block_after_decoys(self):
        image = self.make("--boot-block", "3", "--boot-byte", "0xE9", "--os-size", str(6 * BLOCK_BYTES))
        for k in range(3):
            block = image.block(k)
            self.assertEqual((block[0], block[510:512]), (0x90, b"\x55\xaa"), f"decoy {k}")
        self.assertEqual(image.boot_block(), 3)
        self.assertEqual(image.block(3)[0], 0xE9)
        self.assert_os_content(image, skip_blocks=(0, 1, 2, 3))

    def test_reserved_tables(self):
        image = self.make("--reserved", "XIP:0:1", "--reserved", "FSR:1:1", "--reserved", "LOG:2:1",
                          "--reserved", "CFG12345:3:1", "--reserved", "REV:9:5")
        self.assertEqual(image.reserved_entries(),
                         [("XIP", 0, 1), ("FSR", 1, 1), ("LOG", 2, 1), ("CFG12345", 3, 1), ("REV", 9, 5)])
        self.assertEqual(image.block(0)[536 + 48:536 + 56], b"CFG12345")

        image = self.make("--rev-blocks", "7", "--table-size", "15")
        self.assertEqual(struct.unpack_from("<I", image.block(0), 528)[0], 15)
        self.assertEqual(image.block(0)[536:552], struct.pack("<8sII", b"REV", 0, 7))

        image = self.make("--reserved", "REV:0:2", "--reserved", "REV:0:3", "--no-rev")
        self.assertEqual(image.reserved_entries(), [("REVX", 0, 2), ("REVX", 0, 3)])

    def test_broken_layouts(self):
        image = self.make("--no-flash-signature")
        self.assertEqual(image.boot_block(), 0)
        self.assertEqual(image.block(0)[520:528], content(1, 520, 8))

        image = self.make("--no-boot-block", "--os-size", str(4 * BLOCK_BYTES))
        self.assertIsNone(image.boot_block())
        self.assert_os_content(image)

        # A REV region larger than the OS section is written as asked.
        image = self.make("--os-size", str(BLOCK_BYTES), "--rev-blocks", "3")
        self.assertEqual(image.reserve_bytes(), 3 * BLOCK_BYTES)

        image = self.make("--os-size", "20000", "--bl", "1000", "--kn", "513")
        self.assertEqual(image.section("KN"), content(4, 0, 513))
        self.assertEqual(image.data[HEADER_BYTES + BLOCK_BYTES:HEADER_BYTES + 20000],
                         content(1, BLOCK_BYTES, 20000 - BLOCK_BYTES))

    def test_short_files(self):
        path = os.path.join(self.tmp.name, "short.dat")
        subprocess.run([MKIMAGE, "--short-header", "50", path], check=True, capture_output=True)
        with open(path, "rb") as f:
            data = f.read()
        self.assertEqual(len(data), 50)
        self.assertEqual(data[:4], struct.pack("<I", 0x4F525631))

        full = self.make("--bl", "1024")
        cut = self.make("--bl", "1024", "--cut", "100")
        self.assertEqual(cut.data, full.data[:-100])

    def test_bad_command_lines(self):
        out = os.path.join(self.tmp.name, "x.dat")
        for args in (["--frobnicate"], ["--flags", "0x02"], ["--os-size", "100"],
                     ["--boot-block", "40"], ["--cut", "999999999"], ["--bl"], ["--short-header", "116"],
                     ["--reserved", "TOOLONGNAME:0:1"], ["--reserved", "REV:0"], ["--rev-blocks", "2",
                     "--reserved", "REV:0:2"], ["--boot-byte", "0x90"], ["--os-size", "-5"], []):
            result = subprocess.run([MKIMAGE, *args] + ([out] if args else []), capture_output=True, text=True)
            self.assertEqual(result.returncode, 2, args)
            self.assertIn("usage: orvane-mkimage", result.stderr)
        self.assertFalse(os.path.exists(out))


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
