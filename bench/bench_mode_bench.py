#!/usr/bin/python3
"""Bench mode against a single run, in the same session: eight simulated devices, each
reading at its own pace (about 1 MiB/s, as a full-speed USB downloader), updated by one
orvane-flash at once, against one device alone. Prints the wall time of each, their
ratio, orvane-flash's peak memory and its CPU time per device.

usage: bench/bench_mode_bench.py BUILD_DIR [--devices N] [--os-mib N] [--rounds N]"""

import argparse
import os
import subprocess
import sys
import tempfile
import time

from measure import make_image, run_measured

# 4 KiB (what a pty hands over at once) every 4 ms: about 1 MiB/s.
PACE = ("--slow-read", "4096:4", "--reset-delay-ms", "300")


def run_bench(tools, work, image, devices):
    """One orvane-flash run onto that many fresh pdasims: wall seconds, peak RSS (KiB),
    CPU seconds."""
    sims, command = [], [f"{tools}/orvane-flash/orvane-flash"]
    for i in range(devices):
        link = os.path.join(work, f"tty{i}")
        sims.append(subprocess.Popen([f"{tools}/pdasim/pdasim", "--link", link, "--out", os.path.join(work, f"out{i}"),
                                      "--image", image, "--dot-ms", "0", "--linger-ms", "100", "--max-seconds", "600",
                                      *PACE], stderr=subprocess.DEVNULL))
        command += ["--port", link]
    try:
        while not all(os.path.exists(os.path.join(work, f"tty{i}")) for i in range(devices)):
            time.sleep(0.01)
        seconds, peak, code, cpu = run_measured([*command, image], stderr=subprocess.DEVNULL)
        if code != 0:
            sys.exit(f"orvane-flash failed with {devices} devices")
        for sim in sims:
            if sim.wait(60) != 0:
                sys.exit("a device did not verify")
        return seconds, peak, cpu
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
    args = parser.parse_args()
    tools = os.path.join(args.build, "tools")
    with tempfile.TemporaryDirectory() as work:
        image = os.path.join(work, "update.img")
        make_image(tools, image, args.os_mib, "--ud", "131072")
        ratios = []
        for _ in range(args.rounds):
            one = run_bench(tools, work, image, 1)
            many = run_bench(tools, work, image, args.devices)
            ratios.append(many[0] / one[0])
            print(f"1 device: {one[0]:.1f} s, peak {one[1]} KiB, CPU {one[2]:.2f} s; "
                  f"{args.devices} devices: {many[0]:.1f} s, peak {many[1]} KiB, CPU {many[2] / args.devices:.2f} s "
                  f"per device; memory {(many[1] - one[1]) / (args.devices - 1):.0f} KiB per added device")
        ratios.sort()
        print(f"wall time {args.devices} devices / 1 device: median {ratios[len(ratios) // 2]:.3f}")


if __name__ == "__main__":
    main()
