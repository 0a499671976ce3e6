"""The sync-software shutdown, restart and temp clean-up on the real Win32 calls,
against stand-in sync software registered under the App Paths key: windows closed by
class and the manager asked to quit, its processes found and terminated whatever the
case of their names, the registered program started quoted and bare, the message boxes
of a missing registration in order, and exactly the four names deleted from TEMP."""

import os
import time
import unittest

import syncsoft
import winehost

MESSAGE_TEXT, IDOK = 0xFFFF, 1
WORK = "C:\\work"  # the probe's current directory
FOUR = ["Nalvex.exe", "ORVANE.exe", "temp.dat", "TempFileToDown"]


class Sync(winehost.SessionTest):
    """Steps in order, each leaving no sync software running."""

    session_name = "sync"

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.software = syncsoft.SyncSoftware(cls.session)
        cls.blankless = syncsoft.SyncSoftware(cls.session, "C:\\SyncSoft")
        cls.software.register()
        cls.driver = cls.session.driver()
        os.makedirs(cls.session.path(WORK))

    def probe(self, *commands):
        return self.software.probe(*commands, cwd=self.session.path(WORK))

    def start_software(self, *flags):
        self.software.manager_log()
        started = self.software.start(*flags)
        self.session.screenshot("sync-software")
        return started

    def test_1_shutdown_asks_the_running_manager_to_quit(self):
        manager, _ = self.start_software()
        self.assertEqual(self.probe("shutdown"), ["shutdown 1"])
        self.assertEqual(manager.wait(timeout=winehost.WAIT), 0, "the manager quit on its own")
        log = self.software.wait_for_log("quit obeyed")
        quit_line = f'start "{self.software.manager}" /quit'
        self.assertEqual([line for line in log if line in ("close CEAppMgr obeyed", "close SyncMgrUI obeyed",
                                                           quit_line, "quit requested", "quit obeyed")],
                         ["close CEAppMgr obeyed", "close SyncMgrUI obeyed", quit_line, "quit requested",
                          "quit obeyed"])
        # A terminated program ends with the exit code it reported: STILL_ACTIVE.
        self.assertEqual(self.probe("watch", "kill", "settle"), ["kill done", "exit wcescomm.exe 259", "settled"])

    def test_2_the_shutdown_pair_ends_a_manager_that_ignores_everything(self):
        manager, _ = self.start_software("--ignore-close", "--ignore-quit")
        # DccMan Class survives, so CEAppMgr and SyncMgrUI get no last WM_CLOSE.
        self.assertEqual(self.probe("watch", "shutdown", "kill", "settle"),
                         ["shutdown 0", "kill done", "exit wcescomm.exe 259", "exit wcesmgr.exe 259", "settled"])
        manager.wait(timeout=winehost.WAIT)
        closes = [line for line in self.software.manager_log() if line.startswith("close")]
        self.assertEqual(closes, ["close CEAppMgr ignored", "close SyncMgrUI ignored", "close SyncMgrUI ignored",
                                  "close DccMan Class ignored"])

    def test_3_restart_starts_the_registered_program_quoted_then_bare(self):
        # Wine hands a program started by a path with blanks its path in quotes, even
        # when it was started by the bare path; a path without blanks shows the bare start.
        try:
            for software, bare in ((self.software, f'"{self.software.manager}"'),
                                   (self.blankless, self.blankless.manager)):
                software.register()
                software.manager_log()
                self.assertEqual(self.probe("restart"), ["quoted 1", "restart done"])
                log = software.wait_for_log("already running")
                starts = sorted(line for line in log if line.startswith("start"))
                self.assertEqual(starts, sorted([f'start "{software.manager}"', f"start {bare}"]))
                software.stop()
        finally:
            self.software.register()

    def answer_boxes(self, *texts):
        probe = self.session.start(syncsoft.PROBE, "restart", cwd=self.session.path(WORK))
        for text in texts:
            box = self.driver.find_box("ORVANE")
            self.assertEqual(self.driver.text(self.driver.child(box, MESSAGE_TEXT)), text)
            self.session.screenshot("box")
            self.driver.click(self.driver.child(box, IDOK))
            self.driver.gone(box)
        self.assertEqual(probe.wait(timeout=winehost.WAIT), 0)
        with open(self.session.processes[-1][1]) as output:
            self.assertEqual(output.read().splitlines(), ["quoted 0", *[f"box {text}" for text in texts],
                                                          "restart done"])

    def test_4_without_a_registered_path_the_failures_show_in_order(self):
        self.software.manager_log()
        try:
            self.software.unregister()
            self.answer_boxes("RegOpenKey error", "CreateProcess failed: ActiveSync in Finish.")
            self.software.register(with_path=False)
            self.answer_boxes("RegQueryKey error: ActiveSync in Finish.", "CreateProcess failed: ActiveSync in Finish.")
            self.assertEqual(self.software.manager_log(), [], "nothing started")
        finally:
            self.software.register()

    def plant(self, windows_folder, names):
        for name in names:
            with open(os.path.join(self.session.path(windows_folder), name), "w") as f:
                f.write(name)

    def listing(self, windows_folder):
        return sorted(os.listdir(self.session.path(windows_folder)))

    def test_5_clean_up_deletes_the_four_names_in_temp_only(self):
        temp = self.probe("temp")[0].removeprefix("temp ")
        others = ["Nalvex.exe.old", "temp.dat.part", "notes.txt"]
        self.plant(temp, FOUR + others)
        self.plant(WORK, FOUR)
        self.assertEqual(self.probe("clean"), [f"cwd {temp}"], "TEMP stays the current directory")
        self.assertEqual(self.listing(temp), sorted(others))
        self.assertEqual(self.listing(WORK), sorted(FOUR))

        # A TEMP that cannot be entered, or none: nothing is deleted where the program is.
        self.assertEqual(self.probe("settemp", "C:\\no such folder", "clean", "settemp", "-", "clean"),
                         [f"cwd {WORK}", f"cwd {WORK}"])
        self.assertEqual(self.listing(WORK), sorted(FOUR))


if __name__ == "__main__":
    unittest.main()
