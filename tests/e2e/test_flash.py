"""orvane-flash against pdasim over a real pty: whole updates, every fault of the
device and how the run ends with it, signals, the plan check, and the image left as it
was."""

import fcntl
import hashlib
import json
import os
import re
import resource
import signal
import struct
import subprocess
import sys
import tempfile
import termios
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
TIOCGEXCL = 0x80045440  # whether a tty is claimed exclusively
# What a pty can hold between its writer and its reader: the line discipline's 4 KiB
# and the 64 KiB its buffers may take.
PTY_HOLDS_AT_MOST = (4 + 64) * 1024


def closing(err):
    """The run's last line: its one closing sentence."""
    return err.rstrip(b"\n").rsplit(b"\n", 1)[-1]


def digest(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def bytes_sent(err):
    return int(re.search(rb" (\d+) bytes sent in ", closing(err)).group(1))


def tty_claimed(fd):
    return struct.unpack("i", fcntl.ioctl(fd, TIOCGEXCL, b"\0" * 4))[0] != 0


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

    def device(self, image, *faults, reset_delay_ms=300):
        """Starts pdasim with the faults and waits for its port; what it says goes to
        sim.log beside the image."""
        with open(os.path.join(self.dir, "sim.log"), "ab") as log:
            sim = subprocess.Popen([PDASIM, "--link", self.link, "--out", self.out, "--image", image,
                                    "--max-seconds", str(WAIT), "--reset-delay-ms", str(reset_delay_ms),
                                    "--dot-ms", "0", "--linger-ms", "200", *faults],
                                   stderr=log)
        self.addCleanup(sim.wait)
        self.addCleanup(sim.kill)
        while not os.path.exists(self.link) and sim.poll() is None:
            time.sleep(0.01)
        return sim

    def flash(self, image, *faults, reset_delay_ms=300, terminal=False):
        """Runs pdasim with the faults and orvane-flash against it; both exit codes,
        pdasim's report and what orvane-flash printed, on a terminal if asked. The CPU
        time orvane-flash used is kept in flash_cpu_seconds."""
        before = digest(image)
        sim = self.device(image, *faults, reset_delay_ms=reset_delay_ms)
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
        with open(os.path.join(self.out, "report.json")) as f:
            report = json.load(f)
        self.assertEqual(digest(image), before, "the image must never be written")
        return run.returncode, sim_code, report, run.stderr

    @staticmethod
    def read(path):
        with open(path, "rb") as f:
            return f.read()

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
        code, sim_code, _, err = self.flash(self.image(os_blocks=100), "--slow-read", "8192:5", terminal=True)
        self.assertEqual((code, sim_code), (0, 0), err)
        self.assertRegex(err, rb"\r\x1b\[K  all \[#+\.*\] +[1-9]\d*%   step \[[#.]{20}\] +\d+%")
        # The closing sentence has a line of its own, whether or not the bars were up.
        self.assertRegex(err, rb"(?:\n|\r\x1b\[K)Update done: The device confirmed the new OS\. \d+ bytes sent "
                              rb"in [\d.]+ s \(\d+ KiB/s\)\.\r\n$")

    def test_update_without_downloader(self):
        code, sim_code, report, err = self.flash(self.image("--bl", "1024", "--kn", "2048", "--eb", "512"))
        self.assertEqual((code, sim_code), (0, 0), err)
        self.assertEqual(report["verification"], "ok")
        self.assertEqual([s["role"] for s in report["streams"]], ["part2", "os-remainder"])
        # Not on a terminal: each step once, and the overall percentage at each step and
        # at every tenth of the whole, in order.
        captions = [line for line in err.split(b"\n") if line.startswith(b"STEP")]
        self.assertEqual(captions, [b"STEP 3 : Download add-on program", b"STEP 4 : Update add-on program",
                                    b"STEP 5 : Download Windows Mobile 5.0", b"STEP 6 : Update Windows Mobile 5.0"])
        percents = [int(p) for p in re.findall(rb"^progress (\d+)%$", err, re.M)]
        self.assertEqual(percents, sorted(percents))
        self.assertGreaterEqual(len(set(p // 10 for p in percents)), 9, err)
        self.assertRegex(closing(err), rb"^Update done: The device confirmed the new OS\. ")

    def test_update_with_downloader(self):
        code, sim_code, report, err = self.flash(
            self.image("--bl", "1024", "--ud", "70000", "--kn", "1536", "--eb", "512", "--flags", "0x41",
                       "--rev-blocks", "3"))
        self.assertEqual((code, sim_code), (0, 0), err)
        self.assertEqual(report["verification"], "ok")
        self.assertEqual(report["resets"], 1)
        self.assertEqual([s["role"] for s in report["streams"]], ["package", "part2", "os-remainder"])
        self.assertIn(b"STEP 1 : Download system program\nprogress 0%\nSTEP 2 : Update system program\n", err)
        # The staging file stays in the given working folder, holding the part-2 file.
        with open(os.path.join(self.out, "part2.bin"), "rb") as sent, \
                open(os.path.join(self.work, "TempFileToDown"), "rb") as staged:
            self.assertEqual(staged.read(), sent.read())

    def test_every_fault_ends_with_its_status_and_reason(self):
        code, _, _, err = self.flash(self.image("--ud", "20000"), "--fail-after", "package:flash")
        self.assertEqual(code, 1, err)
        self.assertNotIn(b"STEP 3", err)
        self.assertRegex(closing(err), rb'^Update failed: The device answered "Flash Incorrect\." to the downloader '
                                       rb'package\. \d+ bytes sent in [\d.]+ s\.$')
        # A port that hangs up after taking the whole package ends the wait at once.
        package_stream = 10 + 116 + 33280 + 512
        code, _, _, err = self.flash(self.image("--ud", "512"), "--drop", f"package:{package_stream}")
        self.assertEqual(code, 1, err)
        self.assertIn(b"The device's port went away before it answered the downloader package", closing(err))
        self.assertLess(self.flash_cpu_seconds, 2)
        # The reset costs 8 s of real time, so the other faults use images without UD.
        image = self.image("--kn", "512")
        os_stream = 10 + 38 * BLOCK_BYTES  # the OS remainder of a 40-block OS with 2 reserved blocks
        cases = [
            (("--fail-after", "part2:flash"), 1, b'The device answered "Flash Incorrect." to the part-2 file.'),
            (("--fail-after", "os:flash"), 1, b'The device answered "Flash Incorrect." to the OS remainder.'),
            (("--fail-after", "os:compat"), 1, b'The device answered "OS not compatible." to the OS remainder.'),
            (("--bad-checksum", "part2"), 1, b'The device answered "Flash Incorrect." to the part-2 file.'),
            (("--drop", "os:40000"), 1,
             b"A write to the device's port failed while sending the OS remainder (Input/output error)."),
            (("--drop", "part2:100"), 1, b"A write to the device's port failed while sending the part-2 file"),
            # Gone once the whole OS is in: sent, but not confirmed, at once.
            (("--drop", f"os:{os_stream}"), 3, b"Every part was sent and accepted, but the device's port went away "
                                              b"before it confirmed the new OS. Check that the PDA starts."),
            (("--slow-read", "700:1"), 0, b"The device confirmed the new OS."),
            (("--garbage", "3", "--long-lines", "2"), 0, b"The device confirmed the new OS."),
        ]
        verdicts = {0: b"Update done: ", 1: b"Update failed: ", 3: b"Update not confirmed: "}
        for faults, expected, reason in cases:
            with self.subTest(faults=faults):
                code, _, report, err = self.flash(image, *faults)
                self.assertEqual(code, expected, err)
                self.assertTrue(closing(err).startswith(verdicts[expected] + reason), err)
                self.assertEqual(err.count(reason), 1, err)
                if expected == 0:
                    self.assertEqual(report["verification"], "ok")
                # A pty never tells what it still holds, so what the device got may lag
                # what left orvane-flash by the pty's buffers, no more.
                got = sum(s["received_bytes"] for s in report["streams"])
                self.assertLessEqual(got, bytes_sent(err))
                self.assertLessEqual(bytes_sent(err) - got, PTY_HOLDS_AT_MOST)

    def test_a_signal_stops_the_run_and_leaves_nothing_behind(self):
        # In a folder of its own (removed) and in a given one (kept, without the staging file).
        for number, given in ((signal.SIGINT, False), (signal.SIGTERM, True)):
            with self.subTest(signal=number.name):
                image = self.image(os_blocks=400)
                sim = self.device(image, "--slow-read", "4096:20")
                # The port as another program left it: not raw.
                with open(self.link, "rb+", buffering=0) as port:
                    attrs = termios.tcgetattr(port)
                    attrs[3] |= termios.ICANON | termios.ECHO
                    attrs[1] |= termios.OPOST
                    termios.tcsetattr(port, termios.TCSANOW, attrs)
                    found = termios.tcgetattr(port)
                tmp = os.path.join(self.dir, "tmp")
                os.makedirs(tmp, exist_ok=True)
                err_path = os.path.join(self.dir, "err")
                where = ["--workdir", self.work] if given else []
                with open(err_path, "wb") as err_file:
                    run = subprocess.Popen([FLASH, "--port", self.link, *where, image], stderr=err_file,
                                           env=dict(os.environ, TMPDIR=tmp))
                self.addCleanup(run.kill)
                deadline = time.monotonic() + WAIT
                while b"STEP 5" not in self.read(err_path) and time.monotonic() < deadline:
                    self.assertIsNone(run.poll())
                    time.sleep(0.05)
                self.assertTrue(os.listdir(self.work if given else tmp), "the staging file")
                time.sleep(0.5)  # into the OS remainder
                run.send_signal(number)
                self.assertEqual(run.wait(10), 128 + number)
                err = self.read(err_path)
                self.assertRegex(closing(err), rb"^Update interrupted by %s: The device may be left in its USB "
                                               rb"downloader; running the same update again is safe\. \d+ bytes sent"
                                 % number.name.encode())
                self.assertEqual(os.listdir(tmp), [], "the run's own folder is removed")
                self.assertEqual(os.listdir(self.work), [], "a given folder is left as it was found")
                self.assertTrue(os.path.isdir(self.work))
                with open(self.link, "rb+", buffering=0) as port:
                    self.assertFalse(tty_claimed(port), "the port is free for the next run")
                    self.assertEqual(termios.tcgetattr(port), found, "the port's settings are as they were")
                sim.terminate()
                sim.wait(WAIT)

    def test_a_working_folder_serves_one_run_at_a_time(self):
        image = self.image(os_blocks=200)
        sim = self.device(image, "--slow-read", "8192:20")
        first = subprocess.Popen([FLASH, "--port", self.link, "--workdir", self.work, image],
                                 stderr=subprocess.PIPE)
        self.addCleanup(first.kill)
        while not os.path.exists(os.path.join(self.work, "TempFileToDown")):
            self.assertIsNone(first.poll())
            time.sleep(0.01)
        second = subprocess.run([FLASH, "--port", self.link, "--workdir", self.work, image], capture_output=True,
                                timeout=WAIT)
        self.assertEqual(second.returncode, 1)
        self.assertEqual(second.stderr,
                         b"orvane-flash: %s: in use by another run of orvane-flash\n" % self.work.encode())
        _, err = first.communicate(timeout=WAIT)
        self.assertEqual(first.returncode, 0, err)
        sim.wait(WAIT)

    def test_bench_of_four_devices(self):
        # Four devices at once, one of them refusing the image and one plugged in late;
        # each has its own folder under the working folder, its log and its report entry.
        image = self.image("--ud", "4096", "--kn", "512")
        ports = [os.path.join(self.dir, f"ttyUSB{i}") for i in range(4)]
        outs = [os.path.join(self.dir, f"device{i}") for i in range(4)]
        logs = os.path.join(self.dir, "logs")
        os.mkdir(logs)
        report_path = os.path.join(self.dir, "report.json")

        def device(i, *faults):
            with open(os.path.join(self.dir, f"sim{i}.log"), "wb") as log:
                sim = subprocess.Popen([PDASIM, "--link", ports[i], "--out", outs[i], "--image", image,
                                        "--max-seconds", str(WAIT), "--reset-delay-ms", "300", "--dot-ms", "0",
                                        "--linger-ms", "200", *faults], stderr=log)
            self.addCleanup(sim.wait)
            self.addCleanup(sim.kill)
            return sim

        sims = [device(0), device(1, "--fail-after", "part2:flash"), device(2)]
        while not all(os.path.exists(p) for p in ports[:3]):
            time.sleep(0.01)
        command = [FLASH, "--workdir", self.work, "--report", report_path, "--log-dir", logs, "--wait", "60"]
        for port in ports:
            command += ["--port", port]
        run = subprocess.Popen([*command, image], stderr=subprocess.PIPE)
        self.addCleanup(run.kill)
        # Plugged in once the first device has finished and let go of its tty, whose
        # number the new one is most often given (other tests take ptys too): a
        # different device all the same.
        self.assertEqual(sims[0].wait(WAIT), 0)
        sims.append(device(3))
        _, err = run.communicate(timeout=WAIT)
        self.assertEqual(run.returncode, 1, err)
        for i in (0, 2, 3):
            self.assertEqual(sims[i].wait(WAIT), 0, f"device {i}")
            with open(os.path.join(outs[i], "report.json")) as f:
                self.assertEqual(json.load(f)["verification"], "ok", f"device {i}")

        with open(report_path) as f:
            report = json.load(f)
        self.assertEqual(report["image"], {"path": image, "bytes": os.path.getsize(image), "sha256": digest(image),
                                           "changed": False})
        devices = report["devices"]
        self.assertEqual([d["port"] for d in devices], ports)
        self.assertEqual([d["result"] for d in devices], ["confirmed", "failed", "confirmed", "confirmed"])
        self.assertEqual(devices[1]["reason"], 'The device answered "Flash Incorrect." to the part-2 file.')
        names = ["_".join(p.strip("/").split("/")) for p in ports]
        self.assertEqual([d["log"] for d in devices], [os.path.join(logs, n + ".log") for n in names])
        for d in devices:
            self.assertGreater(d["seconds"], 0)
            self.assertGreater(d["bytes_sent"], 0)
        self.assertEqual(sorted(os.listdir(self.work)), sorted(names), "a working folder per port")

        with open(devices[1]["log"]) as f:
            lines = [line.split("] ", 1)[1] for line in f.read().splitlines()]
        self.assertEqual(lines[:2], ["STEP 1 : Download system program", "STEP 2 : Update system program"])
        self.assertIn("device: device reset.", lines)
        self.assertIn("device: Flash Incorrect.", lines)
        self.assertEqual(lines[-1].split(" bytes sent")[0],
                         'Update failed: The device answered "Flash Incorrect." to the part-2 file. %d'
                         % devices[1]["bytes_sent"])
        # Not on a terminal: each port's lines carry its name, and the table ends the run.
        self.assertIn(b"%s: STEP 6 : Update Windows Mobile 5.0\n" % ports[3].encode(), err)
        self.assertRegex(err, rb"\nport +result +bytes sent +seconds +reason\n")
        self.assertRegex(closing(err), rb"ttyUSB3 +confirmed +\d+ +[\d.]+ +The device confirmed the new OS\.$")

    def test_check_plan_and_refusals(self):
        plan = subprocess.run([FLASH, "--check", self.image("--ud", "512", "--rev-blocks", "3")],
                              capture_output=True)
        self.assertEqual(plan.returncode, 0, plan.stdout)
        self.assertIn(b"RESERVE_SIZE 49920 (3 blocks)", plan.stdout)
        self.assertRegex(plan.stdout, rb"\nsha256 [0-9a-f]{64}\n")
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
        fifo = os.path.join(self.dir, "fifo")
        os.mkfifo(fifo)  # nobody ever writes to it: opening it to read would wait for ever
        master, slave = os.openpty()
        self.addCleanup(os.close, master)
        self.addCleanup(os.close, slave)
        tty = os.ttyname(slave)
        alias = os.path.join(self.dir, "alias")
        os.symlink(tty, alias)
        cases = [
            (["--port", tty, "--port", tty, image], tty.encode() + b": the same device as " + tty.encode()),
            (["--port", tty, "--port", alias, image], alias.encode() + b": the same device as " + tty.encode()),
            ([fifo], fifo.encode() + b": not a regular file"),
            (["--check", fifo], fifo.encode() + b": not a regular file"),
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
                self.assertIn(reason, closing(err))
                self.assertEqual(report["streams"], [])


class TruthTest(FlashCase):
    """What orvane-flash says is what happened: one run per port whoever runs it, the
    report's image is the one every device got, outputs never harm the image, and
    signals do exactly what they are asked to."""

    def started(self, command, err_path, until=b"STEP 3"):
        """A run in the background, once it has printed `until`."""
        with open(err_path, "wb") as err_file:
            run = subprocess.Popen(command, stderr=err_file)
        self.addCleanup(run.kill)
        deadline = time.monotonic() + WAIT
        while until not in self.read(err_path):
            self.assertIsNone(run.poll(), self.read(err_path))
            self.assertLess(time.monotonic(), deadline)
            time.sleep(0.02)
        return run

    def test_one_run_per_port_whoever_runs_it(self):
        image = self.image(os_blocks=100)
        sim = self.device(image, "--slow-read", "8192:10")
        # A program that holds the port exclusively keeps it, and its claim, even when
        # the run has the right to open it all the same (root).
        with open(self.link, "rb+", buffering=0) as held:
            fcntl.ioctl(held, termios.TIOCEXCL)
            settings = termios.tcgetattr(held)
            refused = subprocess.run([FLASH, "--port", self.link, image], capture_output=True, timeout=WAIT)
            self.assertEqual((refused.returncode, refused.stderr),
                             (1, b"orvane-flash: %s: in use by another program\n" % self.link.encode()))
            self.assertTrue(tty_claimed(held))
            self.assertEqual(termios.tcgetattr(held), settings)
            fcntl.ioctl(held, termios.TIOCNXCL)
        # A program that holds the port by its lock alone (flock) keeps it too.
        with open(self.link, "rb+", buffering=0) as locked:
            fcntl.flock(locked, fcntl.LOCK_EX)
            refused = subprocess.run([FLASH, "--port", self.link, image], capture_output=True, timeout=WAIT)
            self.assertEqual((refused.returncode, refused.stderr),
                             (1, b"orvane-flash: %s: in use by another program\n" % self.link.encode()))
            with open(self.link, "rb+", buffering=0) as other:
                with self.assertRaises(BlockingIOError, msg="the lock is still held"):
                    fcntl.flock(other, fcntl.LOCK_EX | fcntl.LOCK_NB)
        # Two runs on one port: the second is refused and the first flashes the device.
        first = self.started([FLASH, "--port", self.link, image], os.path.join(self.dir, "first"))
        second = subprocess.run([FLASH, "--port", self.link, image], capture_output=True, timeout=WAIT)
        self.assertEqual((second.returncode, second.stderr),
                         (1, b"orvane-flash: %s: in use by another program\n" % self.link.encode()))
        self.assertEqual(first.wait(WAIT), 0, self.read(os.path.join(self.dir, "first")))
        self.assertEqual(sim.wait(WAIT), 0)
        with open(os.path.join(self.out, "report.json")) as f:
            self.assertEqual(json.load(f)["verification"], "ok")

    def test_every_device_gets_the_image_the_report_describes(self):
        # Three devices of a bench, the second and third plugged in late, each after the
        # one before has finished. Before the second comes, another image is moved over
        # the path; before the third, the image first opened is written in place.
        image = self.image("--kn", "512")
        original = self.read(image)
        kept = os.path.join(self.dir, "kept.img")
        os.link(image, kept)
        other = os.path.join(self.dir, "other.img")
        subprocess.run([MKIMAGE, "--os-size", str(30 * BLOCK_BYTES), other], check=True, capture_output=True)
        ports = [os.path.join(self.dir, f"bench{i}") for i in range(3)]
        outs = [os.path.join(self.dir, f"device{i}") for i in range(3)]

        def device(i):
            with open(os.path.join(self.dir, f"sim{i}.log"), "wb") as log:
                sim = subprocess.Popen([PDASIM, "--link", ports[i], "--out", outs[i], "--image", kept,
                                        "--max-seconds", str(WAIT), "--dot-ms", "0", "--linger-ms", "200"],
                                       stderr=log)
            self.addCleanup(sim.wait)
            self.addCleanup(sim.kill)
            return sim

        report_path = os.path.join(self.dir, "report.json")
        command = [FLASH, "--report", report_path, "--wait", "60"]
        for port in ports:
            command += ["--port", port]
        first = device(0)
        while not os.path.exists(ports[0]):
            time.sleep(0.01)
        run = subprocess.Popen([*command, image], stderr=subprocess.PIPE)
        self.addCleanup(run.kill)
        self.assertEqual(first.wait(WAIT), 0)
        os.rename(other, image)
        self.assertEqual(device(1).wait(WAIT), 0, "the second device got the image first opened")
        with open(kept, "ab") as f:
            f.write(b"\0" * 16)
        last = device(2)
        _, err = run.communicate(timeout=WAIT)
        last.terminate()
        last.wait(WAIT)
        self.assertEqual(run.returncode, 1, err)
        self.assertIn(b"orvane-flash: %s: changed on disk during the run\n" % image.encode(), err)
        with open(report_path) as f:
            report = json.load(f)
        self.assertEqual(report["image"], {"path": image, "bytes": len(original),
                                           "sha256": hashlib.sha256(original).hexdigest(), "changed": True})
        self.assertEqual([d["result"] for d in report["devices"]], ["confirmed", "confirmed", "failed"])
        self.assertEqual(report["devices"][2]["reason"],
                         "The update image changed on disk during the run, so nothing more was sent from it.")

    def test_outputs_never_harm_the_image(self):
        image = self.image()
        logs = os.path.join(self.dir, "logs")
        os.mkdir(logs)
        logged_image = os.path.join(logs, "x.log")  # the log of a port named /x
        os.link(image, logged_image)
        staging = os.path.join(self.work, "TempFileToDown")
        cases = [
            (["--port", "/missing", "--report", image], image, b"this output would overwrite the image"),
            (["--port", "/x", "--log-dir", logs], logged_image, b"this output would overwrite the image"),
            (["--port", "/missing", "--workdir", self.work, "--report", staging], staging,
             b"this output would overwrite a staging file"),
        ]
        before = digest(image)
        for args, output, message in cases:
            with self.subTest(args=args):
                run = subprocess.run([FLASH, *args, image], capture_output=True, timeout=WAIT)
                self.assertEqual((run.returncode, run.stderr),
                                 (1, b"orvane-flash: " + output.encode() + b": " + message + b"\n"))
                self.assertEqual(digest(image), before)
        self.assertFalse(os.path.exists(staging))

    def test_signals_do_exactly_what_they_ask(self):
        # Ignored when the run starts (nohup): the run goes on to the end.
        image = self.image(os_blocks=100)
        sim = self.device(image, "--slow-read", "8192:10")
        err_path = os.path.join(self.dir, "err")
        run = self.started(["nohup", FLASH, "--port", self.link, image], err_path, until=b"STEP 5")
        run.send_signal(signal.SIGHUP)
        self.assertEqual(run.wait(WAIT), 0, self.read(err_path))
        self.assertEqual(sim.wait(WAIT), 0)
        # Outside a transfer too: a digest of a large image stops at once.
        large = self.image()
        os.truncate(large, 8 << 30)
        check = self.started([FLASH, "--check", large], err_path, until=b"")
        time.sleep(0.3)
        stopped_at = time.monotonic()
        check.send_signal(signal.SIGINT)
        self.assertEqual(check.wait(WAIT), 130)
        self.assertLess(time.monotonic() - stopped_at, 1)
        self.assertEqual(self.read(err_path), b"orvane-flash: stopped by SIGINT\n")


class SlowFlashTest(FlashCase):
    """Faults whose handling takes the device's real time limits; each case is a test
    of its own for the test runner, so they run side by side."""

    def test_silence_after_the_os_remainder_is_sent_but_not_confirmed(self):
        code, sim_code, report, err = self.flash(self.image(), "--silence", "os:2")
        self.assertEqual(code, 3, err)
        self.assertRegex(closing(err), rb"^Update not confirmed: Every part was sent and accepted, but the device "
                                       rb"did not confirm the new OS\. Check that the PDA starts\. ")

    def test_port_that_never_comes_back(self):
        code, _, report, err = self.flash(self.image("--ud", "512"), "--no-return")
        self.assertEqual(code, 1, err)
        self.assertIn(b"Update failed: The device did not come back after its reset (No such file or directory).",
                      closing(err))

    def test_device_that_stops_taking_data(self):
        # Midway through a part-2 file too large for the port's buffers.
        code, _, report, err = self.flash(self.image("--kn", "300000"), "--stall", "part2:40000")
        self.assertEqual(code, 1, err)
        self.assertRegex(closing(err), rb"^Update failed: The device took no data for 30 seconds\. \d+ bytes sent in "
                                       rb"3\d\.\d s\.$")
        self.assertEqual(err.count(b"took no data"), 1, err)
        self.assertLess(self.flash_cpu_seconds, 2)

    def test_device_that_refuses_midway_and_stops_reading(self):
        # Its failure line comes before the write stalls: that is the ending.
        code, _, _, err = self.flash(self.image("--kn", "300000"), "--refuse-midway", "part2:40000:flash")
        self.assertEqual(code, 1, err)
        self.assertRegex(closing(err), rb'^Update failed: The device answered "Flash Incorrect\." to the part-2 '
                                       rb'file\. \d+ bytes sent in 3\d\.\d s\.$')


if __name__ == "__main__":
    names = sys.argv[1:] or ["FlashTest", "TruthTest"]
    unittest.main(argv=sys.argv[:1], defaultTest=names)
