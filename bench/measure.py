"""What the benchmarks share: the test image, and the measure of one child process (its
wall time, CPU time and peak memory).

The peak comes from the child's own VmHWM, read while it runs: the rusage of a child
counts the resident size of the forked parent before the exec, which here is larger
than the program measured."""

import os
import subprocess
import time

SAMPLE_SECONDS = 0.02
BLOCK_BYTES = 16640


def make_image(tools, path, os_mib, *sections):
    """An image of about os_mib MiB of OS with a KN section and the sections given; its
    size."""
    blocks = (os_mib * 1024 * 1024 + BLOCK_BYTES - 1) // BLOCK_BYTES
    subprocess.run([f"{tools}/orvane-mkimage/orvane-mkimage", "--os-size", str(blocks * BLOCK_BYTES),
                    "--kn", "65536", *sections, path], check=True)
    return os.path.getsize(path)


def high_water_kib(pid):
    try:
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


def run_measured(command, **kwargs):
    """Runs the command; (wall seconds, peak KiB, exit code, CPU seconds)."""
    start = time.monotonic()
    proc = subprocess.Popen(command, **kwargs)
    peak = 0
    while True:
        pid, status, usage = os.wait4(proc.pid, os.WNOHANG)
        if pid != 0:
            break
        peak = max(peak, high_water_kib(proc.pid))
        time.sleep(SAMPLE_SECONDS)
    proc.returncode = os.waitstatus_to_exitcode(status)
    return time.monotonic() - start, peak, proc.returncode, usage.ru_utime + usage.ru_stime
