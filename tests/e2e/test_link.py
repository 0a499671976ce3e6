"""orvane-flash from the device's normal state: over its sync link (pdasim playing the
device from the facts of that link, on loopback, so no root is needed), the helper is
copied and started, the device restarts into its downloader and is flashed; devices
that must not be touched are refused before anything is written. And a bench of two
devices with the same addresses on two links of their own, in network namespaces."""

import hashlib
import json
import os
import socket
import subprocess
import sys
import time
import unittest

from test_flash import FLASH, PDASIM, WAIT, FlashCase, closing

NALVEX = os.environ.get("ORVANE_NALVEX", "Nalvex.exe")


def free_port(kind):
    """A port of that kind (socket.SOCK_STREAM or SOCK_DGRAM) free on loopback now."""
    with socket.socket(socket.AF_INET, kind) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class LinkCase(FlashCase):
    def setUp(self):
        super().setUp()
        self.listen = f"127.0.0.1:{free_port(socket.SOCK_STREAM)}"
        self.trigger = f"127.0.0.1:{free_port(socket.SOCK_DGRAM)}"

    def normal_device(self, image, kind, *faults):
        """pdasim as a device in its normal state, waiting for the trigger."""
        with open(os.path.join(self.dir, "sim.log"), "ab") as log:
            sim = subprocess.Popen([PDASIM, "--normal", kind, "--host", self.listen, "--trigger-at", self.trigger,
                                    "--restart-delay-ms", "300", "--link", self.link, "--out", self.out,
                                    "--image", image, "--max-seconds", str(WAIT), "--reset-delay-ms", "300",
                                    "--dot-ms", "0", "--linger-ms", "200", *faults], stderr=log)
        self.addCleanup(sim.wait)
        self.addCleanup(sim.kill)
        return sim

    def sim_report(self, sim):
        try:
            sim.wait(10)
        except subprocess.TimeoutExpired:
            sim.terminate()
            sim.wait(WAIT)
        with open(os.path.join(self.out, "report.json")) as f:
            return json.load(f)

    def from_normal_state(self, image, kind, *faults, flash_args=()):
        """The whole road onto a device in its normal state: both exit codes, pdasim's
        report and what orvane-flash printed."""
        sim = self.normal_device(image, kind, *faults)
        run = subprocess.run([FLASH, "--helper", NALVEX, "--listen", self.listen, "--trigger", self.trigger,
                              "--port", self.link, "--workdir", self.work, "--wait", "20", *flash_args, image],
                             capture_output=True, timeout=WAIT * 3)
        report = self.sim_report(sim)
        return run.returncode, sim.returncode, report, run.stderr


class LinkTest(LinkCase):
    def test_from_the_normal_state_to_a_confirmed_os(self):
        image = self.image("--ud", "4096", "--kn", "512")
        code, sim_code, report, err = self.from_normal_state(image, "wm6")
        self.assertEqual((code, sim_code), (0, 0), err)
        self.assertEqual(report["verification"], "ok")
        self.assertEqual(report["resets"], 1)
        state = report["normal_state"]
        with open(NALVEX, "rb") as f:
            helper = f.read()
        self.assertEqual([(f["name"], f["sha256"]) for f in state["files"]],
                         [("\\Nalvex.exe", hashlib.sha256(helper).hexdigest())])
        self.assertEqual([p["name"] for p in state["programs"]], ["\\Nalvex.exe"])
        self.assertIn(b"Device pdasim-wm6 (PDASIM WM6, PocketPC, OS 5.2)\n", err)
        self.assertRegex(closing(err), rb"^Update done: The device confirmed the new OS\. ")

        # What a device tells about itself, with nothing written to it.
        sim = self.normal_device(image, "wm5", "--battery", "64:ac-offline:high")
        info = subprocess.run([FLASH, "--device-info", "--listen", self.listen, "--trigger", self.trigger],
                              capture_output=True, timeout=WAIT * 2)
        self.assertEqual(info.returncode, 0, info.stderr)
        self.assertEqual(info.stdout, b"device pdasim-wm5\nmodel PDASIM WM5\nplatform PocketPC\nos 5.1.1702\n"
                                      b"power on battery, battery 64 %\n")
        state = self.sim_report(sim)["normal_state"]
        self.assertEqual((state["files"], state["programs"]), ([], []))

    def test_devices_that_must_not_be_touched_are_refused_before_anything_is_written(self):
        image = self.image()
        cases = [
            (("wm5", "--lock", "wm5"), b"The device is locked with a password"),
            (("wm6", "--battery", "30:ac-offline"), b"The device runs on its battery at 30 %"),
            (("wm5", "--os-version", "4.21.1088"), b"The device runs OS version 4.21"),
        ]
        for (kind, *faults), reason in cases:
            with self.subTest(faults=faults):
                code, sim_code, report, err = self.from_normal_state(image, kind, *faults)
                self.assertEqual(code, 1, err)
                self.assertIn(reason, closing(err))
                state = report["normal_state"]
                self.assertEqual([c["name"] for c in state["calls"] if c["name"] != "GetSystemPowerStatusEx"],
                                 [], "nothing asked of the device but its power")
                self.assertEqual(state["files"], [])
        # Someone who knows better may update a device on its battery.
        code, _, report, err = self.from_normal_state(image, "wm6", "--battery", "30:ac-offline",
                                                      flash_args=("--any-power",))
        self.assertEqual(code, 0, err)
        self.assertEqual(report["verification"], "ok")

    def test_the_helper_counts_as_started_when_its_answer_is_lost_but_not_when_refused(self):
        image = self.image()
        code, _, report, err = self.from_normal_state(image, "wm6", "--lose-launch-reply")
        self.assertEqual(code, 0, err)
        self.assertEqual(report["verification"], "ok")
        code, _, report, err = self.from_normal_state(image, "wm6", "--refuse-call", "CreateProcess:2148073478")
        self.assertEqual(code, 1, err)
        self.assertIn(b"CreateProcess failed on the device: the program's signature was refused (error 0x80090006)",
                      closing(err))


class LinkBenchTest(LinkCase):
    """Two devices with the same addresses, each on a link of its own (a veth pair into a
    network namespace), taken from their normal state to a confirmed OS at once."""

    def setUp(self):
        super().setUp()
        if os.geteuid() != 0:
            self.skipTest("network namespaces and port 990 need root")
        self.links = []
        tag = str(os.getpid() % 100000)
        for i in range(2):
            host, device, namespace = f"orvh{tag}{i}", f"orvd{tag}{i}", f"orvane{tag}{i}"
            try:
                for command in (["ip", "netns", "add", namespace],
                                ["ip", "link", "add", host, "type", "veth", "peer", "name", device],
                                ["ip", "link", "set", device, "netns", namespace],
                                ["ip", "addr", "add", "169.254.2.2/24", "dev", host],
                                ["ip", "link", "set", host, "up"],
                                ["ip", "-n", namespace, "addr", "add", "169.254.2.1/24", "dev", device],
                                ["ip", "-n", namespace, "link", "set", device, "up"],
                                ["ip", "-n", namespace, "link", "set", "lo", "up"]):
                    made = subprocess.run(command, capture_output=True)
                    if made.returncode != 0:
                        self.skipTest(f"cannot make a network namespace: {made.stderr.decode().strip()}")
            finally:
                self.addCleanup(subprocess.run, ["ip", "netns", "del", namespace], capture_output=True)
                self.addCleanup(subprocess.run, ["ip", "link", "del", host], capture_output=True)
            self.links.append((host, namespace))

    def test_two_devices_with_the_same_addresses_on_links_of_their_own(self):
        image = self.image("--kn", "512")
        ports, sims = [], []
        for i, (_, namespace) in enumerate(self.links):
            ports.append(os.path.join(self.dir, f"tty{i}"))
            out = os.path.join(self.dir, f"device{i}")
            with open(os.path.join(self.dir, f"sim{i}.log"), "wb") as log:
                sim = subprocess.Popen(["ip", "netns", "exec", namespace, PDASIM, "--normal", "wm6",
                                        "--host", "169.254.2.2:990", "--trigger-at", "169.254.2.1:5679",
                                        "--device-name", f"shelf{i}", "--restart-delay-ms", "300",
                                        "--link", ports[i], "--out", out, "--image", image,
                                        "--max-seconds", str(WAIT), "--dot-ms", "0", "--linger-ms", "200"],
                                       stderr=log)
            self.addCleanup(sim.wait)
            self.addCleanup(sim.kill)
            sims.append((sim, out))
        command = [FLASH, "--helper", NALVEX, "--wait", "20"]
        for (host, _), port in zip(self.links, ports):
            command += ["--link", host, "--port", port]
        run = subprocess.run([*command, image], capture_output=True, timeout=WAIT * 3)
        self.assertEqual(run.returncode, 0, run.stderr)
        for i, (sim, out) in enumerate(sims):
            self.assertEqual(sim.wait(WAIT), 0, f"device {i}")
            with open(os.path.join(out, "report.json")) as f:
                report = json.load(f)
            self.assertEqual(report["verification"], "ok")
            self.assertEqual(report["normal_state"]["device"]["name"], f"shelf{i}")


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1] + sys.argv[1:])
