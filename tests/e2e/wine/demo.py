#!/usr/bin/python3
"""The main job on the built-in simulated device: the real ORVANE.exe under wine, its
pages walked as a user walks them, updates pdasim with a generated image that carries
a USB downloader; then what the device verified, and where the screenshots of every
page are.

usage: demo.py BUILD_DIR"""

import os
import sys

import byhand


def main(build_dir):
    work = os.path.join(os.path.abspath(build_dir), "demo")
    byhand.settle(build_dir, work)
    import winehost
    import wizard

    print("== wine prefix (wine's first start in a fresh prefix takes a while)", flush=True)
    winehost.make_template(winehost.TEMPLATE)
    try:
        with winehost.WineSession("demo", show_logs=False) as session:
            report = walk(wizard.Wizard(session), wizard)
    finally:
        winehost.main(["", "remove-template", winehost.TEMPLATE])

    print("== what the device verified")
    for s in report["streams"]:
        print(f'  {s["role"]:<13} {s["received_bytes"]:>9} bytes  checksum {"ok" if s["checksum_ok"] else "BAD"}'
              f'  answered {s["answer"]!r}  verified {s["verified"]}')
    print(f'  flash contents against the image: {report["verification"]}; result: {report["result"]}')
    for problem in report["problems"]:
        print(f"  problem: {problem}")
    print(f"== screenshots of every page: {winehost.artifacts_folder(winehost.TEMPLATE)}")
    return 0 if report["verification"] == "ok" else 1


def step(text):
    print(f"  {text}", flush=True)


def walk(w, wizard):
    print("== ORVANE.exe under wine: an 8 MiB OS section with BL, UD, KN and EB sections", flush=True)
    image = w.make_image("--bl", "8192", "--ud", "131072", "--kn", "65536", "--eb", "4096", "--rev-blocks", "4",
                         os_blocks=504)
    w.lay_out(image)
    w.software.start()
    w.start_device(image)
    welcome = w.start()
    step("welcome page: NEXT, and Yes to the data-loss question")
    w.next_on_welcome(welcome)
    step2 = w.page(wizard.STEP2, "step-2")
    step("step 2: Nalvex copied to the device and started; the sync software shut down; NEXT")
    w.press(step2, wizard.STEP2_NEXT)
    step3 = w.page(wizard.STEP3, "step-3")
    step("step 3: UPDATE waits for the device's port; it appears; UPDATE, and Yes to the warning")
    w.start_update(step3)
    seen = w.progress_seen()
    for caption in filter(None, seen.captions):
        step(f"progress: {caption}")
    final = w.page(wizard.FINAL, "final")
    step("final page: FINISH")
    w.press(final, wizard.FINISH)
    code = w.exit_code()
    step(f"ORVANE.exe ended with {code}")
    return w.device_report()


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.stderr.write(__doc__.split("\n\n")[-1] + "\n")
        sys.exit(2)
    sys.exit(main(sys.argv[1]))
