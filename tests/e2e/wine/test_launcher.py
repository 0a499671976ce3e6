"""The release's launcher, StartORVANE.exe, unpacked from the zip into a folder with a
blank in its name and run as Explorer runs it: alone, it asks for the image; given a
file that is no image, it says why and copies nothing; given a read-only image at a
path that only the wide calls can spell, it lays the programs and the image out in
%TEMP% and runs ORVANE there; it refuses to start while ORVANE runs; and once ORVANE
has ended, no ORVANE.exe is left in %TEMP%."""

import os
import shutil
import stat
import subprocess
import unittest
import zipfile

import expected
import winehost

FOLDER = "C:\\ORVANE 1.0.0.1"
# Blanks, the characters a command line takes for its own, and some that no ANSI code
# page of Western Windows holds.
IMAGE = "C:\\PDA images; A & B, v=2\\update \u2713 \u043e\u0431\u0440\u0430\u0437.dat"
NOT_AN_IMAGE = "C:\\PDA images; A & B, v=2\\notes.txt"
TEMP = winehost.TEMP
PLACED = ("ORVANE.exe", "Nalvex.exe", "temp.dat")
IDOK, IDCANCEL, IDYES, MESSAGE_TEXT, WM_COMMAND = 1, 2, 6, 0xFFFF, 0x111

CAPTION = "Start ORVANE"
OPEN_TITLE = "Choose the update image for your PDA"
ALREADY_RUNNING = "ORVANE is already running. Let it finish, or cancel it, then start it again."
REFUSED = ("This file cannot be used as the update image, and nothing has been copied:\n\n    "
           f"{NOT_AN_IMAGE}\n\nThe update image is shorter than its 116-byte header.")


class Launcher(winehost.SessionTest):
    """One session, its steps in order."""

    session_name = "launcher"

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.folder = cls.session.path(FOLDER)
        with zipfile.ZipFile(os.environ["ORVANE_RELEASE_ZIP"]) as z:
            z.extractall(cls.folder)
        if winehost.ARCH == "win64":
            # No 32-bit wine on this machine: the x86_64 builds of the same sources
            # stand in for the zip's x86 programs (the zip test checks those).
            shutil.copy(winehost.LAUNCHER_EXE, cls.folder)
            shutil.copy(winehost.ORVANE_EXE, os.path.join(cls.folder, "files"))
        cls.image = cls.session.path(IMAGE)
        os.makedirs(os.path.dirname(cls.image))
        subprocess.run([os.environ["ORVANE_MKIMAGE"], cls.image], check=True, capture_output=True,
                       timeout=winehost.WAIT)
        os.chmod(cls.image, stat.S_IRUSR | stat.S_IRGRP | stat.S_IROTH)  # as on a CD
        with open(cls.session.path(NOT_AN_IMAGE), "w") as f:
            f.write("some notes")
        cls.temp = cls.session.path(TEMP)
        os.makedirs(cls.temp, exist_ok=True)
        # Explorer passes arguments as Unicode; wine takes them from the locale's charset.
        cls.session.env["LC_ALL"] = "C.UTF-8"
        cls.driver = cls.session.driver()

    def launch(self, *image):
        return self.session.start(os.path.join(self.folder, "StartORVANE.exe"), *image)

    def answer_box(self, text):
        box = self.driver.find_box(CAPTION)
        self.assertEqual(self.driver.text(self.driver.child(box, MESSAGE_TEXT)), text)
        self.session.screenshot("launcher-box")
        self.driver.click(self.driver.child(box, IDOK))

    def placed(self):
        return [name for name in PLACED if os.path.exists(os.path.join(self.temp, name))]

    def orvane_processes(self):
        """(command line, Unix current folder) of each ORVANE.exe running in this
        session's prefix; wine runs a program in the Unix folder of its current one."""
        found = []
        for pid, words in self.session.host_processes():
            command = " ".join(words)
            if command.lower().endswith("orvane.exe"):
                try:
                    found.append((command, os.readlink(f"/proc/{pid}/cwd")))
                except OSError:
                    continue  # ended meanwhile
        return found

    def assert_placed(self):
        sources = (os.path.join(self.folder, "files", "ORVANE.exe"), os.path.join(self.folder, "files", "Nalvex.exe"),
                   self.image)
        for name, source in zip(PLACED, sources):
            placed = os.path.join(self.temp, name)
            with open(source, "rb") as want, open(placed, "rb") as have:
                self.assertTrue(have.read() == want.read(), f"%TEMP%\\{name} is a copy of {source}")
            self.assertTrue(os.stat(placed).st_mode & stat.S_IWUSR, f"%TEMP%\\{name} is not read-only")

    def test_1_alone_it_asks_for_the_image(self):
        launcher = self.launch()
        dialog = self.driver.find(OPEN_TITLE, "#32770")
        self.session.screenshot("launcher-open")
        self.driver.post(dialog, WM_COMMAND, IDCANCEL)
        self.assertEqual(launcher.wait(timeout=winehost.WAIT), 1)
        self.assertEqual(self.placed(), [])
        self.assertEqual(self.orvane_processes(), [])

    def test_2_a_file_that_is_no_image_is_refused_before_anything_is_copied(self):
        launcher = self.launch(NOT_AN_IMAGE)
        self.answer_box(REFUSED)
        self.assertEqual(launcher.wait(timeout=winehost.WAIT), 1)
        self.assertEqual(self.placed(), [])

    def test_3_a_dropped_read_only_image(self):
        type(self).running = self.launch(IMAGE)
        self.driver.find("ORVANE")
        self.session.screenshot("welcome")
        self.assert_placed()
        started = [(command.lower(), folder) for command, folder in self.orvane_processes()]
        self.assertEqual(started, [(f"{TEMP}\\ORVANE.exe".lower(), self.temp)], "the copy in %TEMP%, once, there")
        self.assertIsNone(self.running.poll(), "the launcher waits for ORVANE")

    def test_4_no_second_start_while_orvane_runs(self):
        launcher = self.launch(IMAGE)
        self.answer_box(ALREADY_RUNNING)
        self.assertEqual(launcher.wait(timeout=winehost.WAIT), 1)
        self.assert_placed()
        self.assertEqual(len(self.orvane_processes()), 1)

    def test_5_once_orvane_has_ended_its_copy_is_gone(self):
        page = self.driver.find("ORVANE")
        self.driver.click(self.driver.child(page, 1002))
        box = self.driver.find_box(expected.STRINGS[132], skip=[page])
        self.driver.click(self.driver.child(box, IDYES))
        self.assertEqual(self.running.wait(timeout=winehost.WAIT), 0, "ORVANE's own exit code")
        self.assertEqual(self.orvane_processes(), [])
        # The copy of the image was writable, so ORVANE's clean-up could delete it.
        self.assertEqual(self.placed(), [])


if __name__ == "__main__":
    unittest.main()
