#!/usr/bin/python3
"""Bench mode against a single run, in the same session: eight simulated devices, each
reading at its own pace (about 1 MiB/s, as a full-speed USB downloader), updated by one
orvane-flash at once, against one device alone. Prints the wall time of each, their
ratio, orvane-flash's peak memory and its CPU time per device.

With --from-normal (root: network namespaces), every device starts in its normal state
on a USB network link of its own (a veth pair into a namespace, all with the same
addresses) and is taken into its downloader over it first; the link's part of each run
(from the first trigger to the helper's start, read from the logs) is shown apart, and
a plain single run's CPU time beside, as the baseline for the whole road's.

usage: bench/bench_mode_bench.py BUILD_DIR [--devices N] [--os-mib N] [--rounds N] [--from-normal]"""

import argparse
import glob
import os
import re
import subprocess
import sys
import tempfile
import time

from measure import make_image, run_measured

# 4 KiB (what a pty hands over at once) every 4 ms: about 1 MiB/s.
PACE = ("--slow-read", "4096:4", "--reset-delay-ms", "300")
HOST, DEVICE = "169.254.2.2", "169.254.2.1"


class Links:
    """A link per device: a veth pair, the device's end in a namespace of its own."""

    def __init__(self, count):
        self.made = []
        try:
            for i in range(count):
                self.add(f"orvb{i}", f"orvbench{i}")
        except BaseException:
            self.close()
            raise

    def add(self, host, namespace):
        self.made.append((host, namespace))
        for command in (["ip", "netns", "add", namespace],
                        ["ip", "link", "add", host, "type", "veth", "peer", "name", "dev0", "netns", namespace],
                        ["ip", "addr", "add", f"{HOST}/24", "dev", host], ["ip", "link", "set", host, "up"],
                        ["ip", "-n", namespace, "addr", "add", f"{DEVICE}/24", "dev", "dev0"],
                        ["ip", "-n", namespace, "link", "set", "dev0", "up"],
                        ["ip", "-n", namespace, "link", "set", "lo", "up"]):
            subprocess.run(command, check=True, capture_output=True)

    def close(self):
        for host, namespace in self.made:
            subprocess.run(["ip", "link", "del", host], capture_output=True)
            subprocess.run(["ip", "netns", "del", namespace], capture_output=True)


def link_seconds(logs):
    """From each log, the seconds from looking for the device to the helper's start."""
    parts = []
    for path in glob.glob(os.path.join(logs, "*.log")):
        stamps = {}
        with open(path) as f:
            for line in f:
                match = re.match(r"\[\s*([\d.]+)\] (Looking for the device|Waiting for the device's USB downloader)", line)
                if match:
                    stamps.setdefault(match.group(2), float(match.group(1)))
        if len(stamps) == 2:
            parts.append(stamps["Waiting for the device's USB downloader"] - stamps["Looking for the device"])
    return sorted(parts)


def run_bench(tools, work, image, devices, links=None, helper=None):
    """One orvane-flash run onto that many fresh pdasims: wall seconds, peak RSS (KiB),
    CPU seconds, and the links' parts when the devices start in their normal state."""
    sims, command = [], [f"{tools}/orvane-flash/orvane-flash"]
    logs = tempfile.mkdtemp(dir=work)
    if links is not None:
        command += ["--helper", helper, "--log-dir", logs, "--wait", "60"]
    for i in range(devices):
        link = os.path.join(work, f"tty{i}")
        sim = [f"{tools}/pdasim/pdasim", "--link", link, "--out", os.path.join(work, f"out{i}"), "--image", image,
               "--dot-ms", "0", "--linger-ms", "100", "--max-seconds", "600", *PACE]
        if links is not None:
            host, namespace = links.made[i]
            sim = ["ip", "netns", "exec", namespace, *sim, "--normal", "wm6", "--host", f"{HOST}:990",
                   "--trigger-at", f"{DEVICE}:5679", "--restart-delay-ms", "1000"]
            command += ["--link", host]
        sims.append(subprocess.Popen(sim, stderr=subprocess.DEVNULL))
        command += ["--port", link]
    try:
        if links is None:
            while not all(os.path.exists(os.path.join(work, f"tty{i}")) for i in range(devices)):
                time.sleep(0.01)
        else:
            time.sleep(0.5)  # each device's trigger service listening, as a device attached a while ago
        seconds, peak, code, cpu = run_measured([*command, image], stderr=subprocess.DEVNULL)
        if code != 0:
            sys.exit(f"orvane-flash failed with {devices} devices")
        for sim in sims:
            if sim.wait(60) != 0:
                sys.exit("a device did not verify")
        return seconds, peak, cpu, link_seconds(logs)
    finally:
        for sim in sims:
            sim.kill()
            sim.wait()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build")
    parser.add_argument("--devices", type=int, default=8)
    parser.add_argument("--os-mib", type=int, default=8)
    parser.add_argument("--rounds", type=int, default=2)
    parser.add_argument("--from-normal", action="store_true")
    args = parser.parse_args()
    tools = os.path.join(args.build, "tools")
    helper = os.path.join(args.build, "device_helper", "Nalvex.exe")
    links = Links(args.devices) if args.from_normal else None
    try:
        with tempfile.TemporaryDirectory() as work:
            image = os.path.join(work, "update.img")
            make_image(tools, image, args.os_mib, "--ud", "131072")
            ratios = []
            for _ in range(args.rounds):
                one = run_bench(tools, work, image, 1, links, helper)
                many = run_bench(tools, work, image, args.devices, links, helper)
                ratios.append(many[0] / one[0])
                print(f"1 device: {one[0]:.1f} s, peak {one[1]} KiB, CPU {one[2]:.2f} s; "
                      f"{args.devices} devices: {many[0]:.1f} s, peak {many[1]} KiB, "
                      f"CPU {many[2] / args.devices:.2f} s per device; "
                      f"memory {(many[1] - one[1]) / (args.devices - 1):.0f} KiB per added device")
                if links is not None:
                    plain = run_bench(tools, work, image, 1)
                    print(f"  the link's part: {one[3][0]:.2f} s alone, {many[3][0]:.2f} to {many[3][-1]:.2f} s "
                          f"with {args.devices}; a plain single run (no link) used CPU {plain[2]:.2f} s")
            ratios.sort()
            print(f"wall time {args.devices} devices / 1 device: median {ratios[len(ratios) // 2]:.3f}")
    finally:
        if links is not None:
            links.close()


if __name__ == "__main__":
    main()
