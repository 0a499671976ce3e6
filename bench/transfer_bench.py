#!/usr/bin/python3
"""Throughput of a whole orvane-flash transfer through a pty into pdasim, against a plain
copy of the same byte count through a pty in the same run, and orvane-flash's peak
memory for two image sizes. With --base, the orvane-flash of another build runs in
each round too, alternated with this one, each into its own build's pdasim.

usage: bench/transfer_bench.py BUILD_DIR [--base BUILD_DIR] [--os-mib N] [--large-os-mib N]
                               [--rounds N]"""

import argparse
import os
import subprocess
import sys
import tempfile
import time
import tty

from measure import make_image, run_measured

PACKET_BYTES = 12288


def plain_copy(image, count):
    """dd writes count bytes of the image in PACKET_BYTES pieces into a raw pty whose
    other end a child drains, as pdasim would; the time until the last byte is read."""
    master, slave = os.openpty()
    tty.setraw(slave)
    reader = os.fork()
    if reader == 0:
        os.close(slave)
        left = count
        while left > 0:
            left -= len(os.read(master, 65536))
        os._exit(0)
    os.close(master)
    start = time.monotonic()
    subprocess.run(["dd", f"if={image}", f"of={os.ttyname(slave)}", f"bs={PACKET_BYTES}", f"count={count}",
                    "iflag=count_bytes", "status=none"], check=True)
    os.waitpid(reader, 0)
    elapsed = time.monotonic() - start
    os.close(slave)
    return elapsed


def flash(tools, image, work):
    """One whole transfer by the build's orvane-flash into its pdasim; wall time and
    orvane-flash's peak memory."""
    link = os.path.join(work, "ttyUSB0")
    out = tempfile.mkdtemp(dir="/dev/shm")
    sim = subprocess.Popen([f"{tools}/pdasim/pdasim", "--link", link, "--out", out, "--dot-ms", "0",
                            "--dot-bytes", str(1 << 30), "--linger-ms", "0", "--max-seconds", "600"],
                           stderr=subprocess.DEVNULL)
    while not os.path.exists(link):
        time.sleep(0.01)
    elapsed, peak, code, _ = run_measured([f"{tools}/orvane-flash/orvane-flash", "--port", link, image],
                                          stderr=subprocess.DEVNULL)
    sim.wait(60)
    subprocess.run(["rm", "-rf", out])
    if code != 0 or sim.returncode != 0:
        sys.exit(f"transfer failed: orvane-flash {code}, pdasim {sim.returncode}")
    return elapsed, peak


def median(values):
    return sorted(values)[len(values) // 2]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build")
    parser.add_argument("--base")
    parser.add_argument("--os-mib", type=int, default=128)
    parser.add_argument("--large-os-mib", type=int, default=512)
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()
    tools = os.path.join(args.build, "tools")
    flashers = {"new": tools}
    if args.base:
        flashers["base"] = os.path.join(args.base, "tools")

    with tempfile.TemporaryDirectory() as work:
        image = os.path.join(work, "update.img")
        size = make_image(tools, image, args.os_mib)
        ratios = {name: [] for name in flashers}
        peaks = {}
        for round_number in range(args.rounds):
            # Each flasher in turn, the order swapped every round, each against a plain
            # copy of its own taken just before it.
            names = list(flashers) if round_number % 2 == 0 else list(reversed(flashers))
            for name in names:
                copy = plain_copy(image, size)
                took, peaks[name] = flash(flashers[name], image, work)
                ratios[name].append(copy / took)
                print(f"{name}: {size / 2**20:.1f} MiB: plain copy {copy:.2f} s ({size / copy / 2**20:.1f} MiB/s), "
                      f"orvane-flash {took:.2f} s ({size / took / 2**20:.1f} MiB/s), peak {peaks[name]} KiB")
        for name in flashers:
            print(f"{name}: throughput ratio orvane-flash / plain copy: median {median(ratios[name]):.3f} "
                  f"({', '.join(f'{r:.3f}' for r in ratios[name])})")

        large = os.path.join(work, "large.img")
        large_size = make_image(tools, large, args.large_os_mib)
        os.unlink(image)
        for name in flashers:
            _, large_peak = flash(flashers[name], large, work)
            print(f"{name}: peak memory: {peaks[name]} KiB for {size / 2**20:.0f} MiB, {large_peak} KiB for "
                  f"{large_size / 2**20:.0f} MiB")


if __name__ == "__main__":
    main()
