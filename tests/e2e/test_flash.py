"""orvane-flash against pdasim over a real pty: whole updates, every fault of the
device, the plan check, and the image left as it was."""

import hashlib
import json
import os
import resource
import subprocess
import sys
import tempfile
import time
import unittest

from imagefmt import BLOCK_BYTES

FLASH = os.environ.get("ORVANE_FLASH", "orvane-flash")
PDASIM = os.environ.get("ORVANE_PDASIM", "pdasim")
MKIMAGE = os.environ.get("ORVANE_MKIMAGE", "orvane-mkimage")
VERSION = os.environ.get("ORVANE_VERSION", "")
# Bounds against hangs, never expectations. The slow group waits out the device's
# silence (60 s) and the two minutes of reopen attempts in real time.
WAIT = 200
SIZE_PROBLEM = b"USB bulk transfer failed: size problem"


def digest(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def children_cpu_seconds():
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


class FlashCase(unittest.TestCase):
    """Images, the simulated device and orvane-flash runs; no tests of its own."""

    def setUp(self):
        tmp = tempfile.TemporaryDirectory()
        self.addCleanup(tmp.cleanup)
        self.dir = tmp.name
        self.link = os.path.join(self.dir, "ttyUSB0")
        self.out = os.path.join(self.dir, "out")
        self.work = os.path.join(self.dir, "work")
        os.mkdir(self.work)

    def image(self, *args, os_blocks=40):
        path = os.path.join(self.dir, "update.img")
        subprocess.run([MKIMAGE, "--os-size", str(os_blocks * BLOCK_BYTES), *args, path], check=True,
                       capture_output=True)
        return path

    def flash(self, image, *faults, reset_delay_ms=300, terminal=False):
        """Runs pdasim with the faults and orvane-flash against it; both exit codes,
        pdasim's report and what orvane-flash printed, on a terminal if asked. The CPU
        time orvane-flash used is kept in flash_cpu_seconds."""
        before = digest(image)
        sim = subprocess.Popen([PDASIM, "--link", self.link, "--out", self.out, "--image", image,
                                "--max-seconds", str(WAIT), "--reset-delay-ms", str(reset_delay_ms),
                                "--dot-ms", "0", "--linger-ms", "200", *faults],
                               stderr=subprocess.PIPE)
        self.addCleanup(sim.kill)
        while not os.path.exists(self.link) and sim.poll() is None:
            time.sleep(0.01)
        command = [FLASH, "--port", self.link, "--workdir", self.work, image]
        cpu_before = children_cpu_seconds()
        if terminal:
            run = self.run_on_terminal(command)
        else:
            run = subprocess.run(command, capture_output=True, timeout=WAIT)
        self.flash_cpu_seconds = children_cpu_seconds() - cpu_before
        # pdasim cannot see the host close the port: once orvane-flash has given up, it is
        # told to stop, and still writes its report.
        try:
            sim_code = sim.wait(5)
        except subprocess.TimeoutExpired:
            sim.terminate()
            sim_code = sim.wait(WAIT)
        sim.stderr.close()
        with open(os.path.join(self.out, "report.json")) as f:
            report = json.load(f)
        self.assertEqual(digest(image), before, "the image must never be written")
        return run.returncode, sim_code, report, run.stderr

    @staticmethod
    def run_on_terminal(command):
        """Runs the command with its stderr on a pty; what it printed there."""
        master, slave = os.openpty()
        proc = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=slave)
        os.close(slave)
        printed = b""
        while True:
            try:
                chunk = os.read(master, 65536)
            except OSError:  # EIO once the last writer has gone
                break
            if not chunk:
                break
            printed += chunk
        os.close(master)
        return subprocess.CompletedProcess(command, proc.wait(WAIT), b"", printed)


class FlashTest(FlashCase):
    def test_live_bars_on_a_terminal(self):
        code, sim_code, _, err = self.flash(self.image(os_blocks=400), terminal=True)
        self.assertEqual((code, sim_code), (0, 0), err)
        self.assertRegex(err, rb"\r\x1b\[K  all \[[#.]{20}\] +\d+%   step \[[#.]{20}\] +\d+%")
        self.assertIn(b"Update done: ", err)

    def test_update_without_downloader(self):
        code, sim_code, report, err = self.flash(self.image("--bl", "1024", "--kn", "2048", "--eb", "512"))
        self.assertEqual((code, sim_code), (0, 0), err)
        self.assertEqual(report["verification"], "ok")
        self.assertEqual([s["role"] for s in report["streams"]], ["part2", "os-remainder"])
        self.assertIn(b"STEP 3 : Download add-on program\nSTEP 3 : Download add-on program\n"
                      b"STEP 4 : Update add-on program\n", err)

    def test_update_with_downloader(self):
        code, sim_code, report, err = self.flash(
            self.image("--bl", "1024", "--ud", "70000", "--kn", "1536", "--eb", "512", "--flags", "0x41",
                       "--rev-blocks", "3"))
        self.assertEqual((code, sim_code), (0, 0), err)
        self.assertEqual(report["verification"], "ok")
        self.assertEqual(report["resets"], 1)
        self.assertEqual([s["role"] for s in report["streams"]], ["package", "part2", "os-remainder"])
        self.assertIn(b"STEP 1 : Download system program\nSTEP 2 : Update system program\n", err)
        # The staging file stays in the given working folder, holding the part-2 file.
        with open(os.path.join(self.out, "part2.bin"), "rb") as sent, \
                open(os.path.join(self.work, "TempFileToDown"), "rb") as staged:
            self.assertEqual(staged.read(), sent.read())

    def test_device_faults(self):
        code, _, _, err = self.flash(self.image("--ud", "20000"), "--fail-after", "package:flash")
        self.assertEqual(code, 1, err)
        self.assertNotIn(b"STEP 3", err)
        # The reset costs 8 s of real time, so the other faults use images without UD.
        image = self.image("--kn", "512")
        cases = [
            (("--fail-after", "part2:flash"), 1, None),
            (("--fail-after", "os:flash"), 1, None),
            (("--fail-after", "os:compat"), 1, None),
            (("--bad-checksum", "part2"), 1, None),
            (("--drop", "os:40000"), 1, SIZE_PROBLEM),
            (("--drop", "part2:100"), 1, None),
            (("--slow-read", "700:1"), 0, None),
            (("--garbage", "3", "--long-lines", "2"), 0, None),
        ]
        for faults, expected, message in cases:
            with self.subTest(faults=faults):
                code, _, report, err = self.flash(image, *faults)
                self.assertEqual(code, expected, err)
                if message:
                    self.assertEqual(err.count(message), 1, err)
                if expected == 1:
                    self.assertIn(b"Update failed after sending ", err)
                else:
                    self.assertEqual(report["verification"], "ok")

    def test_check_plan_and_refusals(self):
        plan = subprocess.run([FLASH, "--check", self.image("--ud", "512", "--rev-blocks", "3")],
                              capture_output=True)
        self.assertEqual(plan.returncode, 0, plan.stdout)
        self.assertIn(b"RESERVE_SIZE 49920 (3 blocks)", plan.stdout)
        self.assertIn(b"stream 3: OS remainder from the image, offset %d, length %d" % (116 + 49920, 37 * BLOCK_BYTES),
                      plan.stdout)
        refusals = [
            (("--short-header", "100"), b"shorter than its 116-byte header"),
            (("--kn", "1024", "--cut", "1"), b"its sections do not fit in the file"),
            (("--no-rev",), b"no reserved region named REV"),
            (("--no-boot-block",), b"no reserved region named REV"),
            (("--rev-blocks", "41"), b"reserved region is larger than its OS section"),
        ]
        for args, reason in refusals:
            with self.subTest(args=args):
                check = subprocess.run([FLASH, "--check", self.image(*args)], capture_output=True)
                self.assertEqual(check.returncode, 1, check.stdout)
                self.assertIn(reason, check.stdout)

    def test_what_cannot_be_used_is_named_before_anything_is_done(self):
        image = self.image()
        plain = os.path.join(self.dir, "notes.txt")
        with open(plain, "wb") as f:
            f.write(b"not a port\n")
        staged_image = os.path.join(self.work, "TempFileToDown")
        os.link(image, staged_image)
        missing = os.path.join(self.dir, "none")
        cases = [
            ([missing], missing.encode() + b": No such file or directory"),
            (["--check", missing], missing.encode() + b": No such file or directory"),
            (["--port", missing, image], missing.encode() + b": No such file or directory"),
            (["--port", plain, image], plain.encode() + b": Not a serial port (tty)."),
            (["--port", image, image], image.encode() + b": Not a serial port (tty)."),
            (["--workdir", missing, image], missing.encode() + b": No such file or directory"),
            (["--workdir", image, image], image.encode() + b": not a folder"),
            (["--workdir", self.work, staged_image], staged_image.encode() + b": the staging file would overwrite the image"),
        ]
        before = {path: digest(path) for path in (image, plain)}
        for args, message in cases:
            with self.subTest(args=args):
                run = subprocess.run([FLASH, *args], capture_output=True, timeout=WAIT)
                self.assertEqual(run.returncode, 1, run.stderr)
                self.assertEqual(run.stderr, b"orvane-flash: " + message + b"\n")
        self.assertEqual({path: digest(path) for path in (image, plain)}, before)

    def test_usage_help_and_version(self):
        usage = subprocess.run([FLASH, "--port"], capture_output=True)
        self.assertEqual((usage.returncode, usage.stdout), (2, b""))
        self.assertIn(b"usage: orvane-flash", usage.stderr)
        helped = subprocess.run([FLASH, "--help"], capture_output=True)
        self.assertEqual((helped.returncode, helped.stdout, helped.stderr), (0, usage.stderr, b""))
        version = subprocess.run([FLASH, "--version"], capture_output=True)
        self.assertEqual((version.returncode, version.stdout), (0, b"orvane-flash %s\n" % VERSION.encode()))

    def test_refused_image_sends_nothing(self):
        # Not even the downloader package of an image that would be refused later.
        refusals = [
            (("--kn", "1024", "--cut", "1"), b"its sections do not fit in the file"),
            (("--ud", "512", "--no-rev"), b"no reserved region named REV"),
        ]
        for args, reason in refusals:
            with self.subTest(args=args):
                code, sim_code, report, err = self.flash(self.image(*args))
                self.assertEqual(code, 1)
                self.assertIn(reason, err)
                self.assertEqual(report["streams"], [])


class SlowFlashTest(FlashCase):
    """Faults whose handling takes the device's real time limits; each case is a test
    of its own for the test runner, so they run side by side."""

    def test_silence_after_the_os_remainder_is_success(self):
        code, sim_code, report, err = self.flash(self.image(), "--silence", "os:2")
        self.assertEqual(code, 0, err)

    def test_port_that_hangs_up_fails_after_the_silence_limit_quietly(self):
        # The device takes the whole package, then its port hangs up: every read fails at
        # once, and must still cost no CPU while the silence limit runs out.
        package_stream = 10 + 116 + 33280 + 512
        code, _, report, err = self.flash(self.image("--ud", "512"), "--drop", f"package:{package_stream}")
        self.assertEqual(code, 1, err)
        self.assertNotIn(b"STEP 3", err)
        self.assertLess(self.flash_cpu_seconds, 6, "a wait of at least 60 s")

    def test_port_that_never_comes_back(self):
        code, _, report, err = self.flash(self.image("--ud", "512"), "--no-return")
        self.assertEqual(code, 1, err)
        self.assertIn(b"The device did not come back after its reset.", err)

    def test_device_that_stops_taking_data(self):
        master, slave = os.openpty()  # nobody ever reads the device's end
        self.addCleanup(os.close, master)
        port = os.ttyname(slave)
        os.close(slave)
        run = subprocess.run([FLASH, "--port", port, "--workdir", self.work, self.image()], capture_output=True,
                             timeout=WAIT)
        self.assertEqual(run.returncode, 1, run.stderr)
        self.assertIn(b"orvane-flash: %s: The device took no data for 30 seconds.\n" % port.encode(), run.stderr)
        self.assertIn(b"Update failed after sending ", run.stderr)


if __name__ == "__main__":
    names = sys.argv[1:] or ["FlashTest"]
    unittest.main(argv=sys.argv[:1], defaultTest=names)
