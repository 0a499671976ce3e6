"""ORVANE.exe walked through its pages under wine, as a user would: the program, Nalvex
and the update image laid out in %TEMP% as the release's launcher lays them out, the
stand-in RAPI.dll in the system folder, the stand-in sync software registered, and
pdasim as the device, whose port appears only once Nalvex has been started on the
device and the walker lets it appear. Shared by the wizard's tests, the benchmark of
the port watcher and the main-job demo."""

import json
import os
import shutil
import subprocess
import time

import expected
import rapidevice
import syncsoft
import winehost

PDASIM = os.environ.get("ORVANE_PDASIM", "pdasim")
MKIMAGE = os.environ.get("ORVANE_MKIMAGE", "orvane-mkimage")
BLOCK_BYTES = 16640
PACKET_BYTES = 12288
TEMP = winehost.TEMP
WIZARD_FILES = ["Nalvex.exe", "ORVANE.exe", "temp.dat", "TempFileToDown"]
# What ORVANE loads from the system folder, also the libraries those load in turn.
PLANTED_NAMES = ("rapi.dll", "riched32.dll", "riched20.dll", "psapi.dll", "comctl32.dll")

WM_KEYDOWN, WM_COMMAND, WM_SYSCOMMAND = 0x100, 0x111, 0x112
VK_RETURN, VK_ESCAPE, SC_CLOSE = 0x0D, 0x1B, 0xF060
IDOK, IDCANCEL, IDYES, IDNO, MESSAGE_TEXT = 1, 2, 6, 7, 0xFFFF

# Page captions, and the controls a user presses.
WELCOME, STEP2, STEP3 = "ORVANE", "ORVANE - STEP 2", "ORVANE - STEP 3"
PROGRESS, FINAL = expected.STRINGS[133], "ORVANE - FINAL STEP"
TRANSFER_FAILED, CONNECT_FAILED = "ORVANE - TRANSFER FAILED", expected.STRINGS[129]
WELCOME_NEXT, WELCOME_CANCEL, STEP2_CANCEL, STEP2_NEXT = 1001, 1002, 1003, 1004
UPDATE, STEP3_CANCEL, FINISH = 1005, 1009, 1011
TRANSFER_FAILED_OK, RESTART_CHECK, CONNECT_FAILED_OK = 1012, 1014, 1016


def overall_range(layout):
    """The overall bar's upper end for an image: pieces of all streams but BL, and one
    per block of the OS section."""
    return (layout["eb"] + layout["kn"] + layout["ud"] + layout["os"]) // PACKET_BYTES + layout["os"] // BLOCK_BYTES


class Recording:
    """What the driver saw of the progress page while it was up."""

    def __init__(self, fields):
        texts = [[bytes.fromhex(v).decode("latin-1") for v in f.split(",")] if f else [] for f in fields[:3]]
        numbers = [[int(v) for v in f.split(",")] if f else [] for f in fields[3:]]
        self.titles, self.headings, self.captions = texts
        self.overall_positions, self.overall_ranges, self.step_positions, self.step_ranges = numbers


class Wizard:
    """One walk of the wizard in a session; a walk may run the program several times."""

    def __init__(self, session):
        self.session = session
        self.temp = session.path(TEMP)
        os.makedirs(self.temp, exist_ok=True)
        self.device = rapidevice.Device(session)
        self.software = syncsoft.SyncSoftware(session)
        self.software.register()
        self.driver = session.driver()
        self.port = os.path.join(session.prefix, "dosdevices", "wceusbsh001")
        self.published = os.path.join(session.work, "port-published")
        self.sim = None
        self.sim_out = None
        self.sims = 0
        self.program = None

    # -- the files, the device and the program

    def make_image(self, *args, os_blocks=40):
        path = os.path.join(self.session.work, "update.img")
        subprocess.run([MKIMAGE, "--os-size", str(os_blocks * BLOCK_BYTES), *args, path], check=True,
                       capture_output=True, timeout=winehost.WAIT)
        return path

    def lay_out(self, image):
        """The program, Nalvex and the image in %TEMP%, and RAPI.dll in the system folder."""
        shutil.copy(winehost.ORVANE_EXE, self.temp)
        shutil.copy(rapidevice.NALVEX, self.temp)
        shutil.copy(image, os.path.join(self.temp, "temp.dat"))
        self.device.install()

    def plant_libraries(self):
        """Libraries of the system's names beside the program, as any program that can
        write to %TEMP% could leave them; the log of those loaded."""
        return self.session.plant_libraries([self.temp], PLANTED_NAMES)

    def wizard_files(self):
        return sorted(name for name in os.listdir(self.temp) if name in WIZARD_FILES)

    def start_device(self, image, *faults, in_downloader=False):
        """A fresh pdasim, verifying against the image, whose port appears once the device
        has been sent to its downloader and publish_port lets it; or, for a device left
        in its downloader, at once."""
        for marker in (self.device.trigger, self.published):
            if os.path.exists(marker):
                os.remove(marker)
        self.sims += 1
        self.sim_out = os.path.join(self.session.work, f"device-{self.sims}")
        trigger = () if in_downloader else ("--trigger", self.published)
        self.sim = subprocess.Popen(
            [PDASIM, "--link", self.port, "--out", self.sim_out, "--image", image, *trigger,
             "--reset-delay-ms", "500", "--max-seconds", "300", *faults],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.session.processes.append((self.sim, os.devnull))
        if in_downloader:
            self.wait_for_port()

    def publish_port(self):
        assert os.path.exists(self.device.trigger), "Nalvex was not started on the device"
        with open(self.published, "w"):
            pass
        self.wait_for_port()

    def wait_for_port(self):
        deadline = time.monotonic() + winehost.WAIT
        while not os.path.lexists(self.port):
            assert self.sim.poll() is None, "pdasim ended early"
            assert time.monotonic() < deadline, "pdasim never published its port"
            time.sleep(0.02)

    def device_report(self):
        """pdasim's report once it has finished (it is told to, if it waits on)."""
        try:
            self.sim.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.sim.terminate()
            self.sim.wait(timeout=winehost.WAIT)
        with open(os.path.join(self.sim_out, "report.json")) as f:
            return json.load(f)

    def start(self):
        """ORVANE.exe from %TEMP%, its current directory; its welcome page."""
        self.program = self.session.start(os.path.join(self.temp, "ORVANE.exe"), cwd=self.temp)
        return self.page(WELCOME, "welcome")

    def exit_code(self):
        return self.program.wait(timeout=winehost.WAIT)

    # -- pages and boxes

    def page(self, caption, label, skip=()):
        hwnd = self.driver.find(caption, "#32770", skip=skip)
        self.session.screenshot(label)
        return hwnd

    def press(self, page, control):
        self.driver.click(self.driver.child(page, control))

    def after_posting(self, page, *messages):
        """Posts each (message, wparam) to the page; its (visible, enabled) state once they
        have had their time."""
        for message, wparam in messages:
            self.driver.post(page, message, wparam)
        time.sleep(0.3)
        return self.driver.state(page)

    def answer(self, caption, text, button, skip):
        """Answers the message box with that caption and text; skip names the pages."""
        box = self.driver.find_box(caption, skip=skip)
        assert self.driver.text(self.driver.child(box, MESSAGE_TEXT)) == text, self.driver.text(box)
        self.session.screenshot("box")
        self.press(box, button)
        self.driver.gone(box)

    def progress_seen(self, seconds=120):
        """What the progress page showed, once the worker has ended it."""
        return Recording(self.driver.recorded(seconds))

    # -- the road of one update

    def next_on_welcome(self, welcome):
        """NEXT, and Yes to the data-loss question."""
        self.press(welcome, WELCOME_NEXT)
        self.answer(WELCOME, expected.STRINGS[140], IDYES, skip=[welcome])

    def to_step_3(self, welcome):
        """From the welcome page to step 3: Nalvex pushed and started, step 2 passed."""
        self.next_on_welcome(welcome)
        step2 = self.page(STEP2, "step-2")
        self.press(step2, STEP2_NEXT)
        return self.page(STEP3, "step-3")

    def start_update(self, step3, publish=True):
        """Lets the port appear (unless it is there already), waits for UPDATE, presses
        it and confirms; the progress page, watched from its first moment
        (progress_seen tells what it showed)."""
        if publish:
            self.publish_port()
        self.driver.wait_enabled(self.driver.child(step3, UPDATE))
        self.session.screenshot("step-3-update-enabled")
        self.driver.record(PROGRESS)
        self.press(step3, UPDATE)
        self.answer("Warning", expected.STRINGS[149], IDYES, skip=[step3])
        return self.page(PROGRESS, "progress")
