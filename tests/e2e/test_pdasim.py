"""pdasim over a real pty: answers, resets, faults, the report and its verdicts; and in
its normal state, over loopback TCP, up to the restart into its downloader.

The host side here is a small client of its own, so pdasim is checked against the
formats rather than against the engine that will later talk to it."""

import errno
import hashlib
import json
import os
import select
import signal
import socket
import struct
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


class PdaSimCase(unittest.TestCase):
    """A temporary folder, one pdasim run in it, and its report."""

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


class PdaSimTest(PdaSimCase):
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

# The worked examples of the sync link's facts, newer message layout, byte for byte.
NAME = "\\Nalvex.exe"
CREATE_FILE_EXAMPLE = bytes.fromhex(
    "34000000 16000000 18000000 5c004e0061006c00760065007800 2e00650078006500 0000"
    "00000040 00000000 02000000 80000000 00000000")
CREATE_FILE_REPLY_HEAD = bytes.fromhex("08000000 00000000")  # then the handle
WRITE_FILE_EXAMPLE = bytes.fromhex("10000000 18000000 78563412 04000000 41424344")
WRITE_FILE_REPLY_EXAMPLE = bytes.fromhex("0c000000 00000000 01000000 04000000")
CLOSE_HANDLE_EXAMPLE = bytes.fromhex("08000000 19000000 78563412")
CLOSE_HANDLE_REPLY_EXAMPLE = bytes.fromhex("08000000 00000000 01000000")
CREATE_PROCESS_EXAMPLE = bytes.fromhex(
    "40000000 2a000000 18000000 5c004e0061006c00760065007800 2e00650078006500 0000"
    "00000000" + "00000000" * 7)
POWER_EXAMPLE = bytes.fromhex("08000000 49000000 01000000")
VERSION_EXAMPLE = bytes.fromhex("04000000 43000000")
PASSWORD_EXAMPLE = bytes.fromhex("0800 6b5a 685a 695a 6e5a")  # "1234", key byte 0x5A, no NUL


def u32(*values):
    return struct.pack("<%dI" % len(values), *values)


def request(command, *parts):
    body = u32(command) + b"".join(parts)
    return u32(len(body)) + body


def write_file(handle, data):
    return request(0x18, u32(handle, len(data)), data)


def close_handle(handle):
    return request(0x19, u32(handle))


def password(text, key):
    data = bytes(byte ^ (key & 0xFF) for byte in text.encode("utf-16-le"))
    return struct.pack("<H", len(data)) + data


def read(conn, size):
    data = b""
    while len(data) < size:
        piece = conn.recv(size - len(data))
        if not piece:
            raise AssertionError(f"connection closed after {data!r}")
        data += piece
    return data


def words(conn, count):
    return struct.unpack("<%dI" % count, read(conn, 4 * count))


def call(conn, frame_bytes):
    """Sends one request; returns the whole reply frame."""
    conn.sendall(frame_bytes)
    size = read(conn, 4)
    return size + read(conn, struct.unpack("<I", size)[0])


def parse_info_block(block):
    """The device-information block as the facts lay it out; every byte accounted for."""
    at = 16
    major, minor, chars = struct.unpack_from("<3I", block, at)
    at += 12
    name = block[at:at + 2 * chars].decode("utf-16-le")
    terminator = block[at + 2 * chars:at + 2 * chars + 2]
    at += 2 * chars + 2 + 20
    texts = []
    for _ in range(2):
        (size,) = struct.unpack_from("<I", block, at)
        texts.append(block[at + 4:at + 4 + size])
        at += 4 + size
    extra = block[at]
    (components,) = struct.unpack_from("<I", block, at + 1)
    (key,) = struct.unpack_from("<I", block, at + 5 + 8 * components)
    assert at + 9 + 8 * components == len(block), "bytes after the key"
    assert terminator == b"\0\0" and extra == 0 and all(t.endswith(b"\0") for t in texts), block
    return {"major": major, "minor": minor, "name": name, "platform": texts[0][:-1].decode(),
            "model": texts[1][:-1].decode(), "key": key}


class SyncHost:
    """The PC's end of the sync link on loopback: its listener and the trigger."""

    def __init__(self, test):
        self.test = test
        self.listener = socket.create_server(("127.0.0.1", 0))
        test.addCleanup(self.listener.close)
        self.address = "127.0.0.1:%d" % self.listener.getsockname()[1]
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
            probe.bind(("127.0.0.1", 0))
            self.trigger_address = probe.getsockname()

    def accept(self, timeout=WAIT):
        self.listener.settimeout(timeout)
        conn, _ = self.listener.accept()
        conn.settimeout(WAIT)
        self.test.addCleanup(conn.close)
        return conn

    def trigger(self):
        """Sends the trigger until the device connects, as the host resends it."""
        deadline = time.monotonic() + WAIT
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sender:
            while time.monotonic() < deadline:
                sender.sendto(b"\x7f", self.trigger_address)
                try:
                    return self.accept(timeout=0.1)
                except socket.timeout:
                    pass
        raise AssertionError("the device never connected")


class NormalStateTest(PdaSimCase):
    """pdasim as a device in its normal state, against a host played here from the
    facts of the sync link."""

    def start_normal(self, host, kind, *args, image=None):
        self.start("--normal", kind, "--host", host.address, "--restart-delay-ms", "100", *args, image=image)

    def handshake(self, control, request6):
        self.assertEqual(words(control, 1), (0,))
        control.sendall(u32(3))
        if request6:
            self.assertEqual(words(control, 1), (6,))
            control.sendall(u32(7, 8, 4, 5))
        self.assertEqual(words(control, 1), (4,))
        (length,) = words(control, 1)
        return parse_info_block(read(control, length))

    def channel(self, host, control, channel_id):
        control.sendall(u32(5, 4, channel_id))
        channel = host.accept()
        self.assertEqual(words(channel, 1), (channel_id,))
        return channel

    def ready(self, host, *args):
        """A WM5 device without a lock, its handshake done and channel 1 open."""
        self.start_normal(host, "wm5", *args)
        control = host.accept()
        self.handshake(control, request6=False)
        return control, self.channel(host, control, 1)

    def open_file(self, channel):
        reply = call(channel, CREATE_FILE_EXAMPLE)
        self.assertEqual(reply[:8], CREATE_FILE_REPLY_HEAD)
        return struct.unpack("<I", reply[8:])[0]

    def push(self, channel, content, piece=1000):
        handle = self.open_file(channel)
        for start in range(0, len(content), piece):
            data = content[start:start + piece]
            self.assertEqual(call(channel, write_file(handle, data)), WRITE_FILE_REPLY_EXAMPLE[:12] + u32(len(data)))
        self.assertEqual(call(channel, close_handle(handle)), CLOSE_HANDLE_REPLY_EXAMPLE)

    def test_wm6_device_from_trigger_to_a_verified_flash(self):
        # The host played here writes the facts' worked examples.
        self.assertEqual((write_file(0x12345678, b"ABCD"), close_handle(0x12345678)),
                         (WRITE_FILE_EXAMPLE, CLOSE_HANDLE_EXAMPLE))
        path, image = self.image()
        host = SyncHost(self)
        self.start_normal(host, "wm6", "--trigger-at", "%s:%d" % host.trigger_address, "--lock", "wm6:0",
                          "--device-name", "Ünit 6", image=path)
        with self.assertRaises(socket.timeout):
            host.accept(timeout=0.3)
        control = host.trigger()
        info = self.handshake(control, request6=True)
        self.assertEqual(info, {"major": 5, "minor": 2, "name": "Ünit 6", "platform": "PocketPC",
                                "model": "PDASIM WM6", "key": 0xFFFFFFFF})
        control.sendall(u32(8))
        self.assertEqual(words(control, 1), (0,))
        control.sendall(u32(0, 0x0C))
        channel = self.channel(host, control, 1)

        version = call(channel, VERSION_EXAMPLE)
        self.assertEqual(struct.unpack_from("<9I", version), (12 + 276, 0, 1, 276, 276, 5, 2, 1235, 3))
        self.assertEqual(call(channel, POWER_EXAMPLE)[:11], bytes.fromhex("1c000000 01000000 010164"))
        helper = b"MZ" + bytes(range(256)) * 10
        self.push(channel, helper)
        reply = call(channel, CREATE_PROCESS_EXAMPLE)
        self.assertEqual((len(reply), reply[:12]), (28, bytes.fromhex("18000000 00000000 01000000")))
        # The device restarts: every connection is reset, then its downloader appears.
        for conn in (channel, control):
            self.assertRaises(ConnectionResetError, conn.recv, 1)
        port = Host(self.link)
        self.exchange(port, image.part2(), b"Reserved region ok.\n")
        self.exchange(port, image.remainder(), b"OS program ok!\n")
        code, report = self.finish()
        port.close()

        self.assertEqual((code, report["verification"]), (0, "ok"), report["problems"])
        normal = report["normal_state"]
        handshake = normal["handshake"]
        self.assertEqual((handshake["request_6_answer"], handshake["unlocked"], handshake["unlock_words"],
                          handshake["channels"]), ([7, 8, 4, 5], True, [0, 12], [1]))
        self.assertEqual([c["name"] for c in normal["calls"]],
                         ["GetVersionEx", "GetSystemPowerStatusEx", "CreateFile", "WriteFile", "WriteFile",
                          "WriteFile", "CloseHandle", "CreateProcess"])
        self.assertEqual(normal["files"], [{"name": NAME, "bytes": len(helper), "closed": True,
                                            "sha256": hashlib.sha256(helper).hexdigest(),
                                            "path": "device-files/Nalvex.exe"}])
        self.assertEqual(self.received("device-files/Nalvex.exe"), helper)
        self.assertEqual([(p["name"], p["command_line"], p["helper"]) for p in normal["programs"]],
                         [(NAME, None, True)])
        self.assertEqual(normal["link_dropped"]["cause"], "the helper restarted the device")
        self.assertGreaterEqual(normal["restart_over_at_ms"] - normal["helper_started_at_ms"], 100)
        self.assertEqual([(f["fault"], f["applied"]) for f in normal["faults"]], [("lock", True)])

    def test_wm5_device_locked_with_a_password(self):
        self.assertEqual(password("1234", 0x5A), PASSWORD_EXAMPLE)
        host = SyncHost(self)
        self.start_normal(host, "wm5", "--lock", "wm5")
        control = host.accept()
        info = self.handshake(control, request6=False)
        self.assertEqual((info["major"], info["minor"], info["name"]), (5, 1, "pdasim-wm5"))
        self.assertNotIn(info["key"], (0, 0xFFFFFFFF))
        control.sendall(password("1234", info["key"]))
        self.assertEqual(read(control, 2), b"\0\0", "a password the device refuses")
        control.close()
        code, report = self.finish()
        normal = report["normal_state"]
        self.assertEqual((code, report["end"], report["streams"]), (0, "host closed the link", []))
        self.assertEqual((normal["handshake"]["password_attempts"], normal["calls"]), (["1234"], []))
        self.assertFalse(os.path.lexists(self.link))

    def test_faults_on_the_calls(self):
        helper = b"MZ" + bytes(2000)

        def refused_open(control, channel):
            self.assertEqual(call(channel, POWER_EXAMPLE)[8:11], bytes([0, 2, 30]))
            self.assertEqual(call(channel, CREATE_FILE_EXAMPLE), bytes.fromhex("08000000 05000000 ffffffff"))

        def refused_launch(control, channel):
            self.push(channel, helper)
            asked = time.monotonic()
            self.assertEqual(call(channel, CREATE_PROCESS_EXAMPLE),
                             bytes.fromhex("18000000 06000980 00000000") + bytes(16))
            self.assertGreaterEqual(time.monotonic() - asked, 0.3)

        def dropped_mid_write(control, channel):
            handle = self.open_file(channel)
            call(channel, write_file(handle, helper[:1000]))
            channel.sendall(write_file(handle, helper[1000:]))
            for conn in (channel, control):
                self.assertRaises(ConnectionResetError, conn.recv, 1)

        def lost_launch_reply(control, channel):
            self.push(channel, helper)
            channel.sendall(CREATE_PROCESS_EXAMPLE)
            self.assertRaises(ConnectionResetError, channel.recv, 1)
            Host(self.link).close()
            self.proc.send_signal(signal.SIGTERM)

        def launch_while_open(control, channel):
            call(channel, write_file(self.open_file(channel), helper))
            self.assertEqual(call(channel, CREATE_PROCESS_EXAMPLE)[4:12], u32(32, 0))

        def unasked_failure(control, channel):
            self.assertEqual(call(channel, CREATE_PROCESS_EXAMPLE)[4:8], u32(2))

        cases = {
            refused_open: (("--refuse-call", "CreateFile:5", "--battery", "30:ac-offline:low"),
                           0, "host closed the link", []),
            refused_launch: (("--refuse-call", "CreateProcess:0x80090006", "--launch-prompt-ms", "300"),
                             0, "host closed the link", [len(helper)]),
            dropped_mid_write: (("--drop-link-after-write", "1500"), 0, "link dropped after", [1000]),
            lost_launch_reply: (("--lose-launch-reply",), 1, "terminated", [len(helper)]),
            launch_while_open: ((), 1, "host closed the link", [len(helper)]),
            unasked_failure: ((), 1, "host closed the link", []),
        }
        for run, (args, exit_code, end, file_sizes) in cases.items():
            with self.subTest(run.__name__):
                self.setUp()
                host = SyncHost(self)
                control, channel = self.ready(host, *args)
                run(control, channel)
                control.close()
                code, report = self.finish()
                normal = report["normal_state"]
                self.assertEqual(code, exit_code, report["problems"])
                self.assertTrue(report["end"].startswith(end), report["end"])
                self.assertEqual([f["bytes"] for f in normal["files"]], file_sizes)
                self.assertTrue(all(f["applied"] for f in normal["faults"]), normal["faults"])
        self.assertIn("CreateProcess \\Nalvex.exe failed with lastError 2", report["problems"])

    def test_device_older_than_the_newer_layout(self):
        host = SyncHost(self)
        self.start_normal(host, "wm5", "--os-version", "4.21.1088")
        control = host.accept()
        info = self.handshake(control, request6=False)
        self.assertEqual((info["major"], info["minor"]), (4, 21))
        channel = self.channel(host, control, 1)
        channel.sendall(VERSION_EXAMPLE)
        self.assertRaises(ConnectionResetError, channel.recv, 1)
        code, report = self.finish()
        self.assertEqual((code, report["end"]), (1, "protocol error"))
        self.assertIn("predates it", report["problems"][0])

    def test_never_connect(self):
        host = SyncHost(self)
        self.start_normal(host, "wm6", "--never-connect", "--trigger-at", "%s:%d" % host.trigger_address)
        self.assertRaises(socket.timeout, host.accept, 0.2)  # nor before a trigger
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sender:
            for _ in range(2):
                sender.sendto(b"\x7f", host.trigger_address)
        self.assertRaises(socket.timeout, host.accept, 0.3)
        self.proc.send_signal(signal.SIGTERM)
        code, report = self.finish()
        normal = report["normal_state"]
        self.assertEqual((code, report["end"], normal["triggers"]), (0, "never connected, until terminated", 2))
        self.assertEqual(normal["faults"], [{"fault": "never-connect", "detail": "", "applied": True}])

    def test_bad_normal_command_lines(self):
        base = ["--link", self.link, "--out", self.out]
        host = ["--normal", "wm5", "--host", "127.0.0.1:9"]
        for args in (["--normal", "wm5"], ["--host", "127.0.0.1:9"], host + ["--trigger", "/tmp/x"],
                     host + ["--lock", "wm6:soon"], host + ["--battery", "101"],
                     host + ["--battery", "50:low:ac-online"], host + ["--refuse-call", "ReadFile:5"],
                     host + ["--device-name", "x" * 32], host + ["--os-version", "5.1"],
                     host + ["--host", "localhost:990"]):
            result = subprocess.run([PDASIM, *base, *args], capture_output=True, text=True)
            self.assertEqual(result.returncode, 2, args)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
