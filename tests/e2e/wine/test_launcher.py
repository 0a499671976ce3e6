"""The release's launcher, ORVANE.cmd, unpacked from the zip into a folder with a blank
in its name and run by wine's cmd.exe as Explorer runs it when an image is dropped on
it: the programs and the image land in %TEMP%, and ORVANE starts there; refusals
say why, wait for a key and start nothing."""

import os
import shutil
import subprocess
import time
import unittest
import zipfile

import expected
import winehost

FOLDER = "C:\\ORVANE 1.0.0.1"
IMAGE, OTHER_IMAGE = "C:\\my images\\update image.dat", "C:\\my images\\other.dat"
TEMP = winehost.TEMP
PLACED = ("ORVANE.exe", "Nalvex.exe", "temp.dat")
IDYES = 6


class Launcher(winehost.SessionTest):
    """One session, its steps in order: refused without an image, then a dropped image
    starts ORVANE, a second drop meanwhile changes nothing, and CANCEL ends it."""

    session_name = "launcher"

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.folder = cls.session.path(FOLDER)
        with zipfile.ZipFile(os.environ["ORVANE_RELEASE_ZIP"]) as z:
            z.extractall(cls.folder)
        if winehost.ARCH == "win64":
            # No 32-bit wine on this machine: the x86_64 build of the same sources
            # stands in for the zip's x86 program (the zip test checks that one).
            shutil.copy(winehost.ORVANE_EXE, os.path.join(cls.folder, "ORVANE.exe"))
        cls.image = cls.session.path(IMAGE)
        os.makedirs(os.path.dirname(cls.image))
        for path, data in ((cls.image, os.urandom(70000)), (cls.session.path(OTHER_IMAGE), b"another image")):
            with open(path, "wb") as f:
                f.write(data)
        cls.temp = cls.session.path(TEMP)
        cls.driver = cls.session.driver()

    def launch(self, *image):
        """Runs ORVANE.cmd to its end, a key waiting on its input for the pause; its
        exit code and what it printed."""
        script = FOLDER + "\\ORVANE.cmd"
        keys = os.path.join(self.session.work, "keys.txt")
        output = os.path.join(self.session.work, "launcher.txt")
        with open(keys, "w") as f:
            f.write("\r\n")
        with open(keys) as stdin, open(output, "w") as stdout:
            run = subprocess.Popen([winehost.LOADER, script, *image], env=self.session.env, stdin=stdin,
                                   stdout=stdout, stderr=subprocess.STDOUT)
        try:
            code = run.wait(timeout=winehost.WAIT)
        finally:
            if run.poll() is None:
                run.kill()
                run.wait()
        with open(output, encoding="latin-1") as f:
            return code, f.read()

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

    def assert_placed(self, image):
        sources = (os.path.join(self.folder, "ORVANE.exe"), os.path.join(self.folder, "Nalvex.exe"), image)
        for name, source in zip(PLACED, sources):
            with open(source, "rb") as want, open(os.path.join(self.temp, name), "rb") as have:
                self.assertTrue(have.read() == want.read(), f"%TEMP%\\{name} is a copy of {source}")

    def test_1_without_an_image(self):
        code, printed = self.launch()
        self.assertEqual(code, 1)
        self.assertIn("ORVANE needs the update image file.", printed)
        self.assertIn("Press any key", printed, "it waits so that the message can be read")
        self.assertEqual([name for name in PLACED if os.path.exists(os.path.join(self.temp, name))], [])
        self.assertEqual(self.orvane_processes(), [])

    def test_2_a_dropped_image(self):
        code, printed = self.launch(IMAGE)
        self.assertEqual((code, printed), (0, ""))
        self.assert_placed(self.image)
        self.driver.find("ORVANE")
        self.session.screenshot("welcome")
        started = [(command.lower(), folder) for command, folder in self.orvane_processes()]
        self.assertEqual(started, [(f"{TEMP}\\ORVANE.exe".lower(), self.temp)], "the copy in %TEMP%, once, there")

    def test_3_a_second_drop_while_orvane_runs(self):
        # The running program's file cannot be replaced, so the launcher stops before
        # it touches the image the program may be sending.
        code, printed = self.launch(OTHER_IMAGE)
        self.assertEqual(code, 1)
        self.assertIn("Could not copy ORVANE.exe into the temporary folder", printed)
        self.assert_placed(self.image)
        self.assertEqual(len(self.orvane_processes()), 1)

    def test_4_cancel_ends_orvane(self):
        page = self.driver.find("ORVANE")
        self.driver.click(self.driver.child(page, 1002))
        box = self.driver.find_box(expected.STRINGS[132], skip=[page])
        self.driver.click(self.driver.child(box, IDYES))
        deadline = time.monotonic() + winehost.WAIT
        while self.orvane_processes():
            self.assertLess(time.monotonic(), deadline, "ORVANE did not end")
            time.sleep(0.1)


if __name__ == "__main__":
    unittest.main()
