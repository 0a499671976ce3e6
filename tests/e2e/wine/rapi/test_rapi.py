"""The device push and launch on the real Win32 calls: RAPI.dll found at run time in the
system folder, the built Nalvex copied whole in 128-byte writes, the device's faults
answered as the wizard expects, no library meaning no connection, and the launch of
Nalvex sending the simulated device into its downloader."""

import os
import shutil
import subprocess
import time
import unittest

import rapidevice
import winehost

PDASIM = os.environ.get("ORVANE_PDASIM", "pdasim")
WIZARD = "C:\\orvane"  # the wizard's folder: the probe and Nalvex.exe

SIGNALLED = "CeRapiInitEx cbSize=12 -> S_OK, event signalled"
CREATE = "CeCreateFile {} access=40000000 share=3 disposition=2 flags=80 -> opened"


def writes(size):
    """The write log of a whole push of so many bytes."""
    chunks = [128] * (size // 128) + ([size % 128] if size % 128 else [])
    return [f"CeWriteFile {n} -> ok written={n}" for n in chunks]


class Rapi(winehost.SessionTest):
    session_name = "rapi"

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.device = rapidevice.Device(cls.session)
        os.makedirs(cls.session.path(WIZARD))
        shutil.copy(rapidevice.PROBE, cls.session.path(WIZARD))
        cls.device.install()
        with open(rapidevice.NALVEX, "rb") as f:
            cls.nalvex = f.read()
        with open(cls.session.path(WIZARD + "\\Nalvex.exe"), "wb") as f:
            f.write(cls.nalvex)

    def setUp(self):
        super().setUp()
        self.device.faults()
        self.device.calls()

    def probe(self, *commands):
        where = self.session.path(WIZARD)
        result = self.session.run(os.path.join(where, "rapi_probe.exe"), *commands, cwd=where)
        lines = result.stdout.splitlines()
        self.assertEqual(result.returncode, 0, lines)
        self.assertEqual(lines[-1], "released", lines)
        return lines[:-1]

    def test_next_pushes_nalvex_whole_and_its_launch_starts_the_downloader(self):
        # An older, longer copy on the device must not leave its tail behind.
        with open(self.device.path("Nalvex.exe"), "wb") as f:
            f.write(b"\xee" * (len(self.nalvex) + 1000))
        link = os.path.join(self.session.prefix, "dosdevices", "wceusbsh001")
        pdasim = subprocess.Popen([PDASIM, "--link", link, "--out", os.path.join(self.session.work, "pdasim"),
                                   "--trigger", self.device.trigger, "--max-seconds", "60"],
                                  stderr=subprocess.PIPE, text=True)
        try:
            self.assertEqual(self.probe("next"), ["push 1", "launch 1"])
            deadline = time.monotonic() + winehost.WAIT
            while not os.path.lexists(link):
                self.assertIsNone(pdasim.poll(), "pdasim ended early")
                self.assertLess(time.monotonic(), deadline, "pdasim never published its port")
                time.sleep(0.05)
        finally:
            pdasim.terminate()
            pdasim.communicate(timeout=winehost.WAIT)
        self.assertEqual(self.device.read("Nalvex.exe"), self.nalvex)
        # Two connections: the push's, ended; the launch's, left open, so the library
        # stays loaded.
        self.assertEqual(self.device.calls(),
                         [SIGNALLED, CREATE.format("Nalvex.exe"), *writes(len(self.nalvex)), "CeCloseHandle",
                          "CeRapiUninit", SIGNALLED,
                          "CeCreateProcess Nalvex.exe -> started, the device restarts into its downloader"])

    def test_a_device_that_is_not_there(self):
        self.device.faults("refuse")
        self.assertEqual(self.probe("connect", "push", "Nalvex.exe", "new.exe", "launch", "new.exe"),
                         ["connect 0", "push 0", "launch 0"])
        self.assertEqual(self.device.calls(), ["CeRapiInitEx cbSize=12 -> refused"] * 3 + ["unloaded"])
        self.assertFalse(os.path.exists(self.device.path("new.exe")))

        self.device.faults("abandoned")
        self.assertEqual(self.probe("connect"), ["connect 3"])
        self.assertEqual(self.device.calls(),
                         ["CeRapiInitEx cbSize=12 -> S_OK, event abandoned", "CeRapiUninit", "unloaded"])

        # Waits out the five seconds a device gets to answer.
        self.device.faults("timeout")
        self.assertEqual(self.probe("push", "Nalvex.exe", "new.exe"), ["push 0"])
        self.assertEqual(self.device.calls(),
                         ["CeRapiInitEx cbSize=12 -> S_OK, event never signalled", "CeRapiUninit", "unloaded"])
        self.assertFalse(os.path.exists(self.device.path("new.exe")))

    def test_device_faults_end_the_push_and_the_launch_asks_regardless(self):
        self.device.faults("short-write:2:100")
        self.assertEqual(self.probe("push", "Nalvex.exe", "Nalvex.exe"), ["push 0"])
        self.assertEqual(self.device.calls(),
                         [SIGNALLED, CREATE.format("Nalvex.exe"), *writes(128),
                          "CeWriteFile 128 -> ok written=100", "CeCloseHandle", "CeRapiUninit", "unloaded"])
        self.assertEqual(self.device.read("Nalvex.exe"), self.nalvex[:228], "the part written stays")

        # A damaged copy does not restart the device; a missing program is asked for
        # all the same, and either way the launch reports the connection alone. The
        # library takes one connection at a time: the one the first launch left open is
        # ended before the second begins.
        self.device.faults()
        self.assertEqual(self.probe("launch", "Nalvex.exe", "launch", "missing.exe"), ["launch 1", "launch 1"])
        self.assertEqual(self.device.calls(), [SIGNALLED, "CeCreateProcess Nalvex.exe -> started", "CeRapiUninit",
                                               SIGNALLED, "CeCreateProcess missing.exe -> no such program"])
        self.assertFalse(os.path.exists(self.device.trigger))

        self.device.faults("fail-write:1")
        self.assertEqual(self.probe("push", "Nalvex.exe", "failed.exe"), ["push 0"])
        self.assertEqual(self.device.calls(), [SIGNALLED, CREATE.format("failed.exe"),
                                               "CeWriteFile 128 -> failed written=0", "CeCloseHandle",
                                               "CeRapiUninit", "unloaded"])

        self.device.faults("no-file")
        self.assertEqual(self.probe("push", "Nalvex.exe", "refused.exe"), ["push 0"])
        self.assertEqual(self.device.calls(),
                         [SIGNALLED, "CeCreateFile refused.exe access=40000000 share=3 disposition=2 flags=80 -> "
                          "failed", "CeRapiUninit", "unloaded"])

    def test_without_the_library_nothing_connects(self):
        self.device.uninstall()
        self.addCleanup(self.device.install)
        self.assertEqual(self.probe("connect", "next", "launch", "Nalvex.exe"), ["connect 0", "push 0", "launch 0"])
        self.assertEqual(self.device.calls(), [])


if __name__ == "__main__":
    unittest.main()
