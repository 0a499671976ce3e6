#!/usr/bin/python3
"""The port watcher of the step-3 page, on the real ORVANE.exe under wine: the processor
time that ORVANE.exe (and the prefix's wine server) use while step 3 waits for a port
that is not there, against the same program idling on its welcome page for as long
in the same round; and the delay from the moment the port appears to UPDATE being
enabled, as the driver sees it.

usage: bench/watcher_bench.py BUILD_DIR [--rounds N] [--seconds S]"""

import argparse
import os
import statistics
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e", "wine"))
import byhand  # noqa: E402


def cpu_seconds(pid):
    """User and system time of a process so far."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def server_pid(session):
    """The wine server of the session's prefix."""
    for pid, words in session.host_processes():
        if words and os.path.basename(words[0]).startswith("wineserver"):
            return pid
    raise RuntimeError("no wine server for the prefix")


def share_of_a_core(pids, seconds):
    """The processor time each process uses over the interval, as a share of one core."""
    before = [cpu_seconds(pid) for pid in pids]
    time.sleep(seconds)
    return [(cpu_seconds(pid) - start) / seconds for pid, start in zip(pids, before)]


def round_(walk, wizard, seconds):
    """One program run: idle on the welcome page, then waiting at step 3, then the port."""
    walk.lay_out(walk.make_image())
    welcome = walk.start()
    pids = [walk.program.pid, server_pid(walk.session)]
    idle = share_of_a_core(pids, seconds)
    step3 = walk.to_step_3(welcome)
    update = walk.driver.child(step3, wizard.UPDATE)
    waiting = share_of_a_core(pids, seconds)

    master, slave = os.openpty()
    try:
        start = time.monotonic()
        os.symlink(os.ttyname(slave), walk.port)
        walk.driver.wait_enabled(update)
        delay = time.monotonic() - start
    finally:
        walk.press(step3, wizard.STEP3_CANCEL)
        walk.answer(wizard.expected.STRINGS[132], wizard.expected.STRINGS[131], wizard.IDYES, skip=[step3])
        walk.exit_code()
        os.remove(walk.port)
        os.close(master)
        os.close(slave)
    return idle, waiting, delay


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("build_dir")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--seconds", type=float, default=10.0)
    args = parser.parse_args()
    byhand.settle(args.build_dir, os.path.join(os.path.abspath(args.build_dir), "bench-watcher"))
    import winehost
    import wizard

    winehost.make_template(winehost.TEMPLATE)
    rounds = []
    try:
        with winehost.WineSession("watcher-bench", show_logs=False) as session:
            walk = wizard.Wizard(session)
            for n in range(args.rounds):
                rounds.append(round_(walk, wizard, args.seconds))
                idle, waiting, delay = rounds[-1]
                print(f"round {n + 1}: welcome page idle {idle[0]:.2%} of a core (server {idle[1]:.2%}); "
                      f"step 3 waiting {waiting[0]:.2%} (server {waiting[1]:.2%}); port to UPDATE {delay * 1000:.0f} ms",
                      flush=True)
    finally:
        winehost.main(["", "remove-template", winehost.TEMPLATE])
    waiting = statistics.median(r[1][0] for r in rounds)
    idle = statistics.median(r[0][0] for r in rounds)
    delay = statistics.median(r[2] for r in rounds)
    print(f"median: ORVANE.exe uses {waiting:.2%} of a core while step 3 waits {args.seconds:.0f} s for the port "
          f"(aim: at most 1%), {idle:.2%} idling on the welcome page; UPDATE enabled {delay * 1000:.0f} ms after "
          f"the port appears (aim: within 150 ms)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
