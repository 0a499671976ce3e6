"""The release zip: at its top the launcher and the guide, in files/ the two programs it
lays out, and nothing else; the programs byte for byte as the build made them, the
guide as text that Notepad reads."""

import os
import unittest
import zipfile

PROGRAMS = {"StartORVANE.exe": os.environ.get("LAUNCHER_EXE", ""),
            "files/ORVANE.exe": os.environ.get("ORVANE_EXE", ""),
            "files/Nalvex.exe": os.environ.get("NALVEX_EXE", "")}
TEXTS = ("README.txt",)


class ReleaseZip(unittest.TestCase):
    def test_members_and_their_bytes(self):
        with zipfile.ZipFile(os.environ.get("ORVANE_RELEASE_ZIP", "")) as z:
            self.assertEqual(sorted(z.namelist()), sorted([*PROGRAMS, *TEXTS]))
            self.assertIsNone(z.testzip(), "every member reads back")
            for name, built in PROGRAMS.items():
                with open(built, "rb") as f:
                    self.assertTrue(z.read(name) == f.read(), f"{name}: the built file, byte for byte")
            for name in TEXTS:
                text = z.read(name)
                text.decode("ascii")
                self.assertTrue(text.endswith(b"\r\n"), f"{name}: a last line end")
                self.assertEqual(text.count(b"\n"), text.count(b"\r\n"), f"{name}: CRLF line ends only")
                self.assertEqual(text.count(b"\r"), text.count(b"\r\n"), f"{name}: no lone CR")


if __name__ == "__main__":
    unittest.main()
