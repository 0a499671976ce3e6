"""The release's launcher, StartORVANE.exe, unpacked from the zip into a folder with a
blank in its name and run as Explorer runs it. Two launches at once give one ORVANE;
alone, it asks for the image, and libraries of the system's names planted beside it
and in the image's folder are never loaded; it lays the programs and the image out in
a fresh working folder of its own under %TEMP% and runs ORVANE there, with that folder
as ORVANE's temporary folder; an ORVANE started beside it refuses and deletes nothing;
once ORVANE has ended the folder is gone. Given a file that is no image, it says why
and makes no folder; given a read-only image at a path that only the wide calls can
spell, it takes it; started again as an administrator would start it, it runs ORVANE
in the folder it is given; under a %TEMP% that the ANSI code page cannot spell, ORVANE
gets the folder's short name."""

import os
import re
import shutil
import stat
import subprocess
import time
import unittest
import zipfile

import expected
import winehost

FOLDER = "C:\\ORVANE 1.0.0.1"
# Blanks, the characters a command line takes for its own, and some that no ANSI code
# page of Western Windows holds.
IMAGES = "C:\\PDA images; A & B, v=2"
IMAGE = IMAGES + "\\update \u2713 \u043e\u0431\u0440\u0430\u0437.dat"
NOT_AN_IMAGE = IMAGES + "\\notes.txt"
TEMP = winehost.TEMP
# A temporary folder whose name the ANSI code page (1252 here) cannot spell.
UNSPELLABLE_TEMP = TEMP + "\\\u0412\u0440\u0435\u043c\u0435\u043d\u043d\u044b\u0435 \u0444\u0430\u0439\u043b\u044b"
WORK_FOLDER = re.compile(r"ORVANE-[0-9a-f]{16}$")
PLACED = ("ORVANE.exe", "Nalvex.exe", "temp.dat")
# Libraries that Windows looks for beside a program, and in its current folder, before
# its system folder: those a program and the system's own libraries load by bare name.
PLANTED_NAMES = ("comctl32.dll", "version.dll", "uxtheme.dll", "dwmapi.dll", "propsys.dll", "cryptbase.dll",
                 "userenv.dll", "shell32.dll", "comdlg32.dll", "rsaenh.dll")
# Wine's own system libraries load version.dll as the process starts, before any line
# of the program runs, and take it from beside the program; Windows's do not load it.
PLANTED_BESIDE = tuple(name for name in PLANTED_NAMES if name != "version.dll")
IDOK, IDYES, MESSAGE_TEXT, FILE_NAME_BOX = 1, 6, 0xFFFF, 0x47C
WELCOME_NEXT, WELCOME_CANCEL, CONNECT_FAILED_OK = 1001, 1002, 1016

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
        cls.session.plant_libraries([cls.folder], PLANTED_BESIDE)
        cls.planted = cls.session.plant_libraries([os.path.dirname(cls.image)], PLANTED_NAMES)

    def launch(self, *image):
        return self.session.start(os.path.join(self.folder, "StartORVANE.exe"), *image)

    def answer_box(self, caption, text, skip=(), button=IDOK):
        box = self.driver.find_box(caption, skip=skip)
        self.assertEqual(self.driver.text(self.driver.child(box, MESSAGE_TEXT)), text)
        self.session.screenshot("box")
        self.driver.click(self.driver.child(box, button))
        self.driver.gone(box)

    def work_folders(self, temp=None):
        temp = temp or self.temp
        return [os.path.join(temp, name) for name in os.listdir(temp) if WORK_FOLDER.match(name)]

    def orvane_processes(self):
        """(command line, Unix current folder) of each ORVANE.exe running in this
        session's prefix; wine runs a program in the Unix folder of its current one."""
        found = []
        for pid, words in self.session.host_processes():
            command = " ".join(words)
            if command.lower().split("\\")[-1] == "orvane.exe":
                try:
                    found.append((command, os.readlink(f"/proc/{pid}/cwd")))
                except OSError:
                    continue  # ended meanwhile
        return found

    def assert_runs_in_its_working_folder(self, temp=None):
        """One working folder, holding copies of the two programs and the image, none
        read-only; ORVANE runs from there, in it; nothing lies in %TEMP% itself. The
        folder."""
        folders = self.work_folders(temp)
        self.assertEqual(len(folders), 1, os.listdir(temp or self.temp))
        folder = folders[0]
        sources = (os.path.join(self.folder, "files", "ORVANE.exe"), os.path.join(self.folder, "files", "Nalvex.exe"),
                   self.image)
        for name, source in zip(PLACED, sources):
            placed = os.path.join(folder, name)
            with open(source, "rb") as want, open(placed, "rb") as have:
                self.assertTrue(have.read() == want.read(), f"{name} is a copy of {source}")
            self.assertTrue(os.stat(placed).st_mode & stat.S_IWUSR, f"{name} is not read-only")
        self.assertEqual([name for name in PLACED if os.path.exists(os.path.join(self.temp, name))], [])
        started = self.orvane_processes()
        self.assertEqual([cwd for _, cwd in started], [folder], "ORVANE once, in its working folder")
        return folder, started[0][0]

    def end_through_connect_failed(self, welcome):
        """NEXT finds the image through ORVANE's TEMP (no "No Image"); there is no RAPI
        in this prefix, so the connect-failed dialog follows, and OK ends ORVANE."""
        self.driver.click(self.driver.child(welcome, WELCOME_NEXT))
        self.answer_box("ORVANE", expected.STRINGS[140], skip=[welcome], button=IDYES)
        failed = self.driver.find(expected.STRINGS[129], "#32770")
        self.session.screenshot("connect-failed")
        self.driver.click(self.driver.child(failed, CONNECT_FAILED_OK))

    def test_1_two_launches_at_once_give_one_that_asks_for_the_image(self):
        launches = [self.launch(), self.launch()]
        self.answer_box(CAPTION, ALREADY_RUNNING)
        deadline = time.monotonic() + winehost.WAIT
        while all(launch.poll() is None for launch in launches):
            self.assertLess(time.monotonic(), deadline, "neither launch ended")
            time.sleep(0.05)
        refused = [launch for launch in launches if launch.poll() is not None]
        self.assertEqual([launch.returncode for launch in refused], [1])
        type(self).running = next(launch for launch in launches if launch.poll() is None)

        dialog = self.driver.find(OPEN_TITLE, "#32770")
        self.session.screenshot("launcher-open")
        self.driver.set_text(self.driver.child(dialog, FILE_NAME_BOX), IMAGE)
        self.driver.click(self.driver.child(dialog, IDOK))
        type(self).welcome = self.driver.find("ORVANE", "#32770")
        self.session.screenshot("welcome")
        type(self).work_folder, command = self.assert_runs_in_its_working_folder()
        self.assertTrue(command.lower().endswith(f"{TEMP}\\{os.path.basename(self.work_folder)}\\orvane.exe".lower()),
                        command)
        self.assertEqual(self.planted.take(), [], "no library beside the launcher or the image was loaded")

    def test_2_an_orvane_started_beside_it_refuses_and_deletes_nothing(self):
        beside = self.session.start(os.path.join(self.folder, "files", "ORVANE.exe"), cwd=self.temp)
        self.answer_box("ORVANE", ALREADY_RUNNING, skip=[self.welcome])
        self.assertEqual(beside.wait(timeout=winehost.WAIT), 0)
        self.assertEqual(sorted(os.listdir(self.work_folder)), sorted(PLACED))
        self.assertEqual(len(self.orvane_processes()), 1)

    def test_3_once_orvane_has_ended_its_working_folder_is_gone(self):
        self.end_through_connect_failed(self.welcome)
        self.assertEqual(self.running.wait(timeout=winehost.WAIT), 0, "ORVANE's own exit code")
        self.assertEqual(self.orvane_processes(), [])
        self.assertFalse(os.path.exists(self.work_folder))

    def test_4_a_file_that_is_no_image_is_refused_before_anything_is_made(self):
        launcher = self.launch(NOT_AN_IMAGE)
        self.answer_box(CAPTION, REFUSED)
        self.assertEqual(launcher.wait(timeout=winehost.WAIT), 1)
        self.assertEqual(self.work_folders(), [])

    def test_5_a_dropped_read_only_image_at_a_path_of_any_characters(self):
        launcher = self.launch(IMAGE)
        welcome = self.driver.find("ORVANE", "#32770")
        folder, _ = self.assert_runs_in_its_working_folder()
        self.driver.click(self.driver.child(welcome, WELCOME_CANCEL))
        box = self.driver.find_box(expected.STRINGS[132], skip=[welcome])
        self.driver.click(self.driver.child(box, IDYES))
        self.assertEqual(launcher.wait(timeout=winehost.WAIT), 0)
        self.assertFalse(os.path.exists(folder))

    def test_6_run_in_a_folder_as_the_launcher_started_as_an_administrator(self):
        # What the launcher does when it has started itself again, elevated: it runs
        # ORVANE in the folder given and leaves the folder to the launcher that made it.
        # (Wine's programs are elevated already, so the first launcher never asks.)
        name = "ORVANE-0123456789abcdef"
        folder = os.path.join(self.temp, name)
        os.makedirs(folder)
        for source, placed in zip((os.path.join(self.folder, "files", "ORVANE.exe"),
                                   os.path.join(self.folder, "files", "Nalvex.exe"), self.image), PLACED):
            shutil.copyfile(source, os.path.join(folder, placed))
        launcher = self.launch("/run-in", f"{TEMP}\\{name}")
        welcome = self.driver.find("ORVANE", "#32770")
        self.assert_runs_in_its_working_folder()
        self.end_through_connect_failed(welcome)
        self.assertEqual(launcher.wait(timeout=winehost.WAIT), 0)
        self.assertEqual(sorted(os.listdir(folder)), ["ORVANE.exe"], "ORVANE's own clean-up, and no more")
        shutil.rmtree(folder)

    def test_7_a_temporary_folder_that_the_code_page_cannot_spell(self):
        unspellable = self.session.path(UNSPELLABLE_TEMP)
        os.makedirs(unspellable)
        for name in ("TEMP", "TMP"):
            self.assertEqual(self.session.run("reg", "add", "HKCU\\Environment", "/v", name, "/d", UNSPELLABLE_TEMP,
                                              "/f").returncode, 0)
        launcher = self.launch(IMAGE)
        welcome = self.driver.find("ORVANE", "#32770")
        folder, command = self.assert_runs_in_its_working_folder(unspellable)
        self.assertTrue(command.isascii(), f"ORVANE from the short form of the folder: {command}")
        self.end_through_connect_failed(welcome)
        self.assertEqual(launcher.wait(timeout=winehost.WAIT), 0)
        self.assertFalse(os.path.exists(folder))


if __name__ == "__main__":
    unittest.main()
