"""pdasim over a real pty: answers, resets, faults, the report and its verdicts.

The host side here is a small client of its own, so pdasim is checked against the
formats rather than against the engine that will later talk to it."""

import errno
import json
import os
import select
import signal
import subprocess
import sys
import tempfile
import time
import tty
import unittest

from imagefmt import BLOCK_BYTES, PACKET_BYTES, Image, frame

PDASIM = os.environ.get("ORVANE_PDASIM", "pdasim")
MKIMAGE = os.environ.get("ORVANE_MKIMAGE", "orvane-mkimage")
WAIT = 20  # seconds; a bound against hangs, never an expectation


class Host:
    """The PC's end of the port."""

    def __init__(self, link):
        deadline = time.monotonic() + WAIT
        while not os.path.exists(link):
            if time.monotonic() > deadline:
                raise AssertionError(f"{link} never appeared")
            time.sleep(0.01)
        self.fd = os.open(link, os.O_RDWR | os.O_NOCTTY)
        tty.setraw(self.fd)

    def send(self, stream):
        for start in range(0, len(stream), PACKET_BYTES):
            piece = memoryview(stream)[start:start + PACKET_BYTES]
            while piece:
                piece = piece[os.write(self.fd, piece):]

    def read_line(self, timeout=WAIT):
        """One line with its line feed; None when nothing comes in time; b"" on hangup."""
        line = b""
        while not line.endswith(b"\n"):
            if not select.select([self.fd], [], [], timeout)[0]:
                return None
            try:
                byte = os.read(self.fd, 1)
            except OSError as error:
                if error.errno != errno.EIO:
                    raise
                byte = b""
            if not byte:
                return b""
            line += byte
        return line

    def lines_until(self, *answers):
        lines = []
        while not lines or lines[-1] not in answers:
            line = self.read_line()
            if not line:
                raise AssertionError(f"port silent or gone after {lines!r}")
            lines.append(line)
        return lines

    def close(self):
        os.close(self.fd)


class PdaSimTest(unittest.TestCase):
    def setUp(self):
        tmp = tempfile.TemporaryDirectory()
        self.addCleanup(tmp.cleanup)
        self.dir = tmp.name
        self.link = os.path.join(self.dir, "wceusbsh001")
        self.out = os.path.join(self.dir, "out")

    def image(self, *args):
        path = os.path.join(self.dir, "temp.dat")
        subprocess.run([MKIMAGE, "--os-size", str(8 * BLOCK_BYTES), *args, path], check=True,
                       capture_output=True)
        return path, Image(path)

    def start(self, *args, image=None):
        command = [PDASIM, "--link", self.link, "--out", self.out, "--max-seconds", str(WAIT),
                   "--reset-delay-ms", "50", "--dot-ms", "0", "--linger-ms", "50", *args]
        if image:
            command += ["--image", image]
        self.log = open(os.path.join(self.dir, "pdasim.log"), "w+")
        self.addCleanup(self.log.close)
        self.proc = subprocess.Popen(command, stderr=self.log)
        self.addCleanup(self.proc.kill)

    def finish(self):
        code = self.proc.wait(WAIT + 5)
        with open(os.path.join(self.out, "report.json")) as f:
            report = json.load(f)
        self.log.seek(0)
        return code, report

    def received(self, name):
        with open(os.path.join(self.out, name), "rb") as f:
            return f.read()

    def exchange(self, host, payload, answer):
        """Sends one stream and checks the progress lines that lead to the answer."""
        host.send(frame(payload))
        lines = host.lines_until(answer)
        dots = len(payload) // BLOCK_BYTES
        self.assertEqual(lines, [b"%d LENGTH\n" % dots] + [b".\n"] * dots + [answer])

    def reconnect_after_reset(self, host):
        self.assertEqual(host.read_line(), b"", "the port should hang up after the reset")
        host.close()
        return Host(self.link)

    def test_update_with_downloader(self):
        path, image = self.image("--bl", "1024", "--ud", "40000", "--kn", "1536", "--eb", "512",
                                 "--flags", "0x41", "--rev-blocks", "3")
        self.start(image=path)
        host = Host(self.link)
        self.exchange(host, image.package(), b"device reset.\n")
        host = self.reconnect_after_reset(host)
        self.exchange(host, image.part2(), b"Reserved region ok.\n")
        # Closing and reopening the port between streams loses nothing.
        host.close()
        host = Host(self.link)
        self.exchange(host, image.remainder(), b"OS program ok!\n")
        code, report = self.finish()
        host.close()
        self.assertEqual(code, 0, report)
        self.assertEqual((report["result"], report["end"], report["verification"]), ("ok", "sequence complete", "ok"))
        self.assertEqual(report["resets"], 1)
        self.assertEqual([s["role"] for s in report["streams"]], ["package", "part2", "os-remainder"])
        for stream, payload in zip(report["streams"], (image.package(), image.part2(), image.remainder())):
            self.assertEqual((stream["length_field"], stream["checksum_ok"], stream["verified"]),
                             (len(payload) + 10, True, True))
            self.assertEqual(self.received(stream["file"]), payload)
        self.assertFalse(os.path.lexists(self.link))

    def test_update_without_downloader_and_slow_reader(self):
        path, image = self.image("--bl", "2048")
        self.start("--slow-read", "5000:1", "--host-os-code", "1001", image=path)
        host = Host(self.link)
        self.exchange(host, image.part2(1001), b"Reserved region ok.\n")
        self.exchange(host, image.remainder(), b"OS program ok!\n")
        code, report = self.finish()
        self.assertEqual(code, 0, report)
        self.assertEqual((report["resets"], len(report["streams"]), report["verification"]), (0, 2, "ok"))
        self.assertEqual(report["faults"], [{"fault": "slow-read", "detail": "5000 bytes per 1 ms", "applied": True}])

    def run_two_streams(self, image_args, part2, remainder, *args):
        """A session without a downloader whose host sends the given payloads."""
        path, _ = self.image(*image_args)
        self.start(*args, image=path)
        host = Host(self.link)
        host.send(frame(part2))
        host.lines_until(b"Reserved region ok.\n")
        host.send(frame(remainder))
        host.lines_until(b"OS program ok!\n")
        return self.finish()

    def test_verification_finds_what_the_host_got_wrong(self):
        _, image = self.image("--kn", "1024")
        good_part2, good_rest = image.part2(), image.remainder()
        swapped = bytearray(good_rest)
        swapped[5000], swapped[5001] = swapped[5001], swapped[5000]
        cases = {
            "host code": (image.part2(1000), good_rest, "part2: part-2 header word 24 is 0x3e8, expected 0x3eb"),
            "bytes swapped": (good_part2, bytes(swapped), "os-remainder: byte 5000 (OS remainder offset 5000)"),
            "stale tail": (good_part2 + b"\0" * 512, good_rest, "expected %d" % len(good_part2)),
            "flag kept": (bytes(good_part2[:4]) + b"\x4a" + good_part2[5:], good_rest, "header word 1 is 0x4a"),
        }
        for name, (part2, remainder, complaint) in cases.items():
            with self.subTest(name):
                self.setUp()
                code, report = self.run_two_streams(["--kn", "1024"], part2, remainder)
                self.assertEqual((code, report["verification"]), (1, "mismatch"))
                self.assertTrue(any(complaint in p for p in report["problems"]), report["problems"])

    def test_image_with_downloader_needs_a_package_first(self):
        _, image = self.image("--ud", "1000")
        code, report = self.run_two_streams(["--ud", "1000"], image.part2(), image.remainder())
        self.assertEqual(code, 1)
        self.assertIn("the image carries a UD section but the first stream was no downloader package",
                      report["problems"])

    def test_broken_streams_are_refused(self):
        _, image = self.image()
        payload = image.part2()
        cases = {
            "checksum": (frame(payload, checksum=(sum(payload) + 1) & 0xFFFF), "checksum"),
            "length field": (frame(payload, length=5), "length field 5 is below 10"),
        }
        for name, (stream, complaint) in cases.items():
            with self.subTest(name):
                self.setUp()
                self.start()
                host = Host(self.link)
                host.send(stream)
                self.assertEqual(host.read_line(), b"Flash Incorrect.\n")
                code, report = self.finish()
                self.assertEqual((code, report["end"]), (1, "failure line sent"))
                self.assertTrue(any(complaint in p for p in report["problems"]), report["problems"])
                self.assertEqual(report["streams"][0]["answer"], "Flash Incorrect.\n")

    def test_first_word_must_be_zero(self):
        _, image = self.image()
        self.start()
        host = Host(self.link)
        host.send(frame(image.part2(), first_word=7))
        host.lines_until(b"Reserved region ok.\n")
        host.send(frame(image.remainder()))
        host.lines_until(b"OS program ok!\n")
        code, report = self.finish()
        self.assertEqual((code, report["streams"][0]["first_word"]), (1, 7))
        self.assertIn("stream 1: first word is 7, expected 0", report["problems"])

    def test_scripted_failure_lines(self):
        path, image = self.image("--ud", "2000")
        cases = {
            ("--fail-after", "part2:flash"): (2, b"Flash Incorrect.\n"),
            ("--fail-after", "os:compat"): (3, b"OS not compatible.\n"),
            ("--bad-checksum", "package"): (1, b"Flash Incorrect.\n"),
        }
        for args, (failing, line) in cases.items():
            with self.subTest(args):
                self.setUp()
                self.start(*args, image=path)
                host = Host(self.link)
                for index, (payload, answer) in enumerate(((image.package(), b"device reset.\n"),
                                                           (image.part2(), b"Reserved region ok.\n"),
                                                           (image.remainder(), b"OS program ok!\n")), 1):
                    host.send(frame(payload))
                    lines = host.lines_until(answer, line)
                    if index == failing:
                        self.assertEqual(lines[-1], line)
                        break
                    if index == 1:
                        host = self.reconnect_after_reset(host)
                code, report = self.finish()
                # The host stopped where it had to and sent sound data until then.
                self.assertEqual((code, report["end"], len(report["streams"])), (0, "failure line sent", failing))
                self.assertEqual(report["verification"], "incomplete" if failing < 3 else "ok")
                self.assertTrue(report["faults"][0]["applied"])

    def test_bytes_after_a_failure_line_are_a_fault(self):
        _, image = self.image()
        self.start("--fail-after", "part2:flash", "--linger-ms", "1000")
        host = Host(self.link)
        host.send(frame(image.part2()))
        host.lines_until(b"Flash Incorrect.\n")
        host.send(frame(image.remainder()))
        code, report = self.finish()
        self.assertEqual(code, 1)
        self.assertGreater(report["unexpected_bytes"], 0)

    def test_stream_before_the_answer_is_a_fault(self):
        _, image = self.image()
        # The answer to the first stream takes most of a second of progress lines;
        # the second stream follows the first at once.
        self.start("--dot-ms", "300")
        host = Host(self.link)
        host.send(frame(image.part2()) + frame(image.remainder()))
        host.lines_until(b"Reserved region ok.\n")
        host.lines_until(b"OS program ok!\n")
        code, report = self.finish()
        self.assertEqual(code, 1)
        self.assertTrue(report["streams"][1]["early"])
        self.assertIn("stream 2 began before the answer to stream 1 was complete", report["problems"])

    def test_dropped_connection(self):
        _, image = self.image()
        self.start("--drop", "part2:5000")
        host = Host(self.link)
        with self.assertRaises(OSError):
            host.send(frame(image.part2()) * 20)
        code, report = self.finish()
        stream = report["streams"][0]
        self.assertEqual((code, report["end"]), (0, "connection dropped"))
        self.assertEqual((stream["received_bytes"], stream["dropped"], stream["complete"]), (5000, True, False))
        self.assertEqual(len(self.received("part2.bin")), 5000 - 8)
        self.assertFalse(os.path.lexists(self.link))

    def test_silence_after_some_lines(self):
        _, image = self.image()
        self.start("--silence", "part2:2")
        host = Host(self.link)
        host.send(frame(image.part2()))
        self.assertEqual(host.read_line(), b"2 LENGTH\n")
        self.assertEqual(host.read_line(), b".\n")
        self.assertIsNone(host.read_line(timeout=0.5))
        self.proc.send_signal(signal.SIGTERM)
        code, report = self.finish()
        self.assertEqual((code, report["end"], report["streams"][0]["lines_sent"]), (0, "silent until terminated", 2))

    def test_garbage_and_over_long_lines(self):
        _, image = self.image()
        self.start("--garbage", "12", "--long-lines", "2")
        host = Host(self.link)
        host.send(frame(image.part2()))
        lines = host.lines_until(b"Reserved region ok.\n")
        extra = lines[3:-1]
        self.assertEqual(len(extra), 14)
        self.assertTrue(all(line not in (b"Flash Incorrect.\n", b"OS not compatible.\n", b".\n") for line in extra))
        long_lines = [line for line in extra if len(line) > 127]
        self.assertEqual(len(long_lines), 2)
        self.assertTrue(long_lines[1].endswith(b"\0Flash Incorrect.\n"))
        host.send(frame(image.remainder()))
        host.lines_until(b"OS program ok!\n")
        self.assertEqual(self.finish()[0], 0)

    def test_port_that_never_comes_back(self):
        path, image = self.image("--ud", "500")
        self.start("--no-return", image=path)
        host = Host(self.link)
        self.exchange(host, image.package(), b"device reset.\n")
        code, report = self.finish()
        self.assertEqual((code, report["end"], report["resets"]), (0, "port not restored after reset", 1))
        self.assertFalse(os.path.lexists(self.link))

    def test_trigger_file_gates_the_port(self):
        trigger = os.path.join(self.dir, "downloader")
        self.start("--trigger", trigger)
        time.sleep(0.3)
        self.assertFalse(os.path.lexists(self.link))
        open(trigger, "w").close()
        Host(self.link).close()
        self.proc.send_signal(signal.SIGTERM)
        code, report = self.finish()
        self.assertEqual((code, report["end"], report["streams"]), (1, "terminated", []))

    def test_time_limit(self):
        self.start("--max-seconds", "1")
        code, report = self.finish()
        self.assertEqual((code, report["end"]), (1, "time limit"))
        self.assertIn("time limit of 1 s reached", report["problems"])

    def test_bad_command_lines(self):
        missing = os.path.join(self.dir, "missing.dat")
        for args in ([], ["--link", self.link], ["--link", self.link, "--out", self.out, "--drop", "part2"],
                     ["--link", self.link, "--out", self.out, "--fail-after", "4:flash"],
                     ["--link", self.link, "--out", self.out, "--silence", "os:x"],
                     ["--link", self.link, "--out", self.out, "--image", missing]):
            result = subprocess.run([PDASIM, *args], capture_output=True, text=True)
            self.assertEqual(result.returncode, 2, args)
        self.assertFalse(os.path.lexists(self.link))


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
