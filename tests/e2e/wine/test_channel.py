"""The Windows DeviceChannel under wine: against the simulated device's pty, linked
where wine opens \\\\.\\wceusbsh001, a read with nothing to read comes back, a stream
arrives whole and the answer line is read; a plain file serves as a port too."""

import os
import subprocess
import time
import unittest

import winehost

PDASIM = os.environ.get("ORVANE_PDASIM", "pdasim")
PROBE = os.path.join(winehost.PROGRAMS, "channel_probe.exe")


class Channel(winehost.SessionTest):
    session_name = "channel"

    def test_stream_and_answer_through_the_port(self):
        out = os.path.join(self.session.work, "pdasim")
        link = os.path.join(self.session.prefix, "dosdevices", "wceusbsh001")
        payload = bytes(116) + bytes((i * 7) & 0xFF for i in range(20000))  # spans two packets
        with open(self.session.path("C:\\payload.bin"), "wb") as f:
            f.write(payload)
        device = subprocess.Popen([PDASIM, "--link", link, "--out", out, "--max-seconds", "60"],
                                  stderr=subprocess.PIPE, text=True)
        try:
            while not os.path.exists(link):
                self.assertIsNone(device.poll(), "pdasim ended early")
                time.sleep(0.02)
            result = self.session.run(PROBE, "device", "\\\\.\\wceusbsh001", "C:\\payload.bin")
        finally:
            device.terminate()
            _, log = device.communicate(timeout=winehost.WAIT)
        print(result.stdout, log)
        self.assertEqual(result.returncode, 0)
        self.assertIn("read time-outs: interval 0 multiplier 0 constant 100", result.stdout)
        self.assertIn("write time-outs: multiplier 0 constant 31000", result.stdout)
        self.assertIn("idle read: 0 bytes", result.stdout)
        self.assertIn("answer: 1", result.stdout)
        self.assertIn("checksum ok", log)
        with open(os.path.join(out, "part2.bin"), "rb") as f:
            self.assertEqual(f.read(), payload)

    def test_plain_file_as_port(self):
        with open(self.session.path("C:\\plain.bin"), "wb"):
            pass
        result = self.session.run(PROBE, "file", "C:\\plain.bin")
        self.assertEqual(result.returncode, 0, result.stdout)
        with open(self.session.path("C:\\plain.bin"), "rb") as f:
            self.assertEqual(f.read(), b"ping")


if __name__ == "__main__":
    unittest.main()
