"""HostOsCode as the welcome page sets it from the Windows version that the host
reports: wine is told which version to report, and the value is read from the
running program's memory at the address the linker gave it."""

import os
import re
import struct
import unittest

import pe
import winehost

VERSIONS = [("win2k", 1000), ("winxp", 1001), ("win2003", 1003), ("vista", 1003), ("nt40", 1003)]
WM_COMMAND, IDCANCEL, IDYES = 0x111, 2, 6


def host_os_code_rva():
    """The variable's address relative to the image, from the linker's map."""
    with open(os.path.join(winehost.WINDOWS_DIR, "app", "ORVANE.map")) as f:
        match = re.search(r"^\s+0x([0-9a-f]+)\s+_?HostOsCode\s*$", f.read(), re.M)
    assert match, "HostOsCode is not in the map"
    return int(match.group(1), 16) - pe.Image(winehost.ORVANE_EXE).image_base


class HostOsCode(unittest.TestCase):
    def test_code_by_version(self):
        rva = host_os_code_rva()
        # One program run a version, one after the other in one session: the first
        # failure ends the test, as a run left behind would mislead the next.
        with winehost.WineSession("host-os") as session:
            for version, code in VERSIONS:
                session.set_windows_version(version)
                program = session.start(winehost.ORVANE_EXE)
                driver = session.driver()
                page = driver.find("ORVANE")
                value = struct.unpack("<I", driver.read_memory(page, rva, 4))[0]
                self.assertEqual(value, code, version)
                driver.post(page, WM_COMMAND, IDCANCEL)
                box = driver.find_box("- CANCEL UPDATE -", skip=[page])
                driver.click(driver.child(box, IDYES))
                self.assertEqual(program.wait(timeout=winehost.WAIT), 0, version)
                driver.close()


if __name__ == "__main__":
    unittest.main()
