"""The whole wizard, the real ORVANE.exe under wine, walked page by page as a user
would, against the simulated device: whole updates with and without a USB downloader
(the first with libraries of the system's names planted beside the program), a failed
transfer and the restart after it, a device that does not answer, a device that stops
taking data, a missing Nalvex, an image refused before the device is touched and one
gone by the time of the transfer, a staging file in the way, the cancels of steps 2
and 3, and a device left in its downloader whose port a service of the later sync
software holds. ORVANE_WALK names the class to run (all when unset)."""

import os
import stat
import time
import unittest

import expected
import syncsoft
import wizard
import winehost
from wizard import IDCANCEL, IDNO, IDOK, IDYES, SC_CLOSE, VK_ESCAPE, VK_RETURN, WM_COMMAND, WM_KEYDOWN, WM_SYSCOMMAND

SIGNALLED = "CeRapiInitEx cbSize=12 -> S_OK, event signalled"
LAUNCHED = "CeCreateProcess Nalvex.exe -> started, the device restarts into its downloader"
STEP_CAPTIONS_WITH_DOWNLOADER = [expected.STRINGS[i] for i in (144, 141, 145, 142, 146, 143)]
STEP_CAPTIONS = [expected.STRINGS[i] for i in (145, 142, 146, 143)]
ESC_AND_CLOSE = ((WM_KEYDOWN, VK_ESCAPE), (WM_SYSCOMMAND, SC_CLOSE))
WM_QUERYENDSESSION, WM_POWERBROADCAST = 0x11, 0x218
PBT_APMQUERYSUSPEND, PBT_APMRESUMEAUTOMATIC, BROADCAST_QUERY_DENY = 0x0, 0x12, 0x424D5144
DAMAGED = "The update image is damaged: its sections do not fit in the file."
STAGING_IN_THE_WAY = ("A file left by an earlier update is in the way and cannot be deleted, so the update cannot be "
                      "sent. Nothing has been sent to the PDA.\n\n    {}\n\nClose any program that uses it, delete "
                      "it, then start the update again.")
DOWNLOADER_THERE = ("The PDA could not be reached through the sync software, but its USB downloader port is there: "
                    "the PDA seems to be in its USB downloader already (after an update that did not finish, say).\n\n"
                    "Does the PDA's screen show the USB downloader, waiting for a download (\"figure 1\" of the next "
                    "page)?\n\nYes: go on with the update. No: see why the PDA could not be reached.")
SERVICES_RUNNING = ("These services of the sync software could not be stopped, and may keep the PDA's USB port busy:"
                    "\n\n    {}\n\nStopping them needs an administrator. If UPDATE on the next page stays disabled, "
                    "stop them yourself: open Services (Control Panel, Administrative Tools) as an administrator and "
                    "stop each of them; UPDATE then becomes enabled. ORVANE does not start them again afterwards: "
                    "start them in Services, or restart the PC.")
# The device reads and answers at a pace at which every step shows long enough to be seen.
PACE = ("--slow-read", "4096:2", "--dot-ms", "20")


class WizardTest(winehost.SessionTest):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.walk = wizard.Wizard(cls.session)

    def assert_update_runs_to_the_final_page(self, progress, layout, captions):
        """Enter and Esc do nothing on the progress page; it shows the steps in order,
        its bars move, and the worker ends it with the final page."""
        walk = self.walk
        state = walk.after_posting(progress, (WM_KEYDOWN, VK_RETURN), (WM_KEYDOWN, VK_ESCAPE), (WM_COMMAND, IDOK),
                                   (WM_COMMAND, IDCANCEL), (WM_SYSCOMMAND, SC_CLOSE))
        self.assertEqual(state[0], True, "the progress page stays")
        seen = walk.progress_seen()
        final = walk.page(wizard.FINAL, "final")
        self.assertEqual(seen.titles[-1:], [wizard.PROGRESS])
        self.assertEqual(seen.headings[-1:], [expected.STRINGS[147]])
        self.assertEqual([c for c in seen.captions if c], captions)
        self.assertEqual(seen.overall_ranges[-1], wizard.overall_range(layout))
        self.assertGreater(len(seen.overall_positions), 3, "the overall bar moves")
        self.assertGreater(len(seen.step_positions), 3, "the step bar moves")
        return final

    def finish(self, final):
        """FINISH: the program ends, the working files are gone before the sync software
        starts again."""
        walk = self.walk
        walk.software.manager_log()
        walk.press(final, wizard.FINISH)
        self.assertEqual(walk.exit_code(), 0)
        # A running program's own file cannot be deleted.
        self.assertEqual(walk.wizard_files(), ["ORVANE.exe"], "FINISH deletes the working files")
        log = walk.software.wait_for_log("temp holds")
        self.assertIn(f'start "{walk.software.manager}"', log)
        self.assertEqual({line for line in log if line.startswith("temp holds")}, {"temp holds ORVANE.exe"}, log)


class WholeUpdate(WizardTest):
    """An image with a USB downloader: three streams, and the port opened anew after
    the device's reset."""

    session_name = "wizard-update"

    def test_update_with_downloader(self):
        walk = self.walk
        layout = {"os": 200 * wizard.BLOCK_BYTES, "ud": 262144, "kn": 4096, "eb": 1024}
        image = walk.make_image("--bl", "8192", "--ud", str(layout["ud"]), "--kn", str(layout["kn"]), "--eb",
                                str(layout["eb"]), "--rev-blocks", "3", os_blocks=200)
        walk.lay_out(image)
        planted = walk.plant_libraries()
        walk.software.start()
        walk.start_device(image, *PACE)
        walk.device.calls()

        welcome = walk.start()
        walk.next_on_welcome(welcome)
        step2 = walk.page(wizard.STEP2, "step-2")
        calls = walk.device.calls()
        self.assertEqual(calls[0], SIGNALLED, "the push's connection")
        self.assertEqual(calls[-2:], [SIGNALLED, LAUNCHED], "Nalvex pushed and launched")
        self.assertEqual(walk.software.probe("settle"), ["settled"], "no window or process of the sync software")

        walk.press(step2, wizard.STEP2_NEXT)
        step3 = walk.page(wizard.STEP3, "step-3")
        update = walk.driver.child(step3, wizard.UPDATE)
        time.sleep(0.5)
        self.assertEqual(walk.driver.state(update), (True, False), "UPDATE waits for the port")
        progress = walk.start_update(step3)

        final = self.assert_update_runs_to_the_final_page(progress, layout, STEP_CAPTIONS_WITH_DOWNLOADER)
        report = walk.device_report()
        self.assertEqual([s["role"] for s in report["streams"]], ["package", "part2", "os-remainder"])
        self.assertEqual(report["resets"], 1)
        self.assertEqual(report["verification"], "ok", report["problems"])
        self.finish(final)
        self.assertEqual(planted.take(), [], "every library came from the system folder")


class Restart(WizardTest):
    """An image without a USB downloader: the first transfer fails after part 2, the
    user starts again, and the second goes through."""

    session_name = "wizard-restart"

    def test_failed_transfer_then_restart(self):
        walk = self.walk
        layout = {"os": 40 * wizard.BLOCK_BYTES, "ud": 0, "kn": 2048, "eb": 0}
        image = walk.make_image("--kn", str(layout["kn"]), "--rev-blocks", "12")
        walk.lay_out(image)
        walk.start_device(image, "--fail-after", "part2:flash", *PACE)

        walk.start_update(walk.to_step_3(walk.start()))
        # The last captions stand only a moment before the page ends: the first two tell
        # that the failure came after part 2.
        self.assertEqual([c for c in walk.progress_seen().captions if c][:2],
                         [expected.STRINGS[i] for i in (145, 142)])
        failed = walk.page(wizard.TRANSFER_FAILED, "transfer-failed")
        self.assertEqual(walk.device_report()["streams"][-1]["answer"], "Flash Incorrect.\n")
        self.assertEqual(walk.after_posting(failed, *ESC_AND_CLOSE), (True, True), "only OK ends the dialog")

        walk.start_device(image, *PACE)
        walk.device.calls()
        walk.software.manager_log()
        walk.press(failed, wizard.RESTART_CHECK)
        walk.press(failed, wizard.TRANSFER_FAILED_OK)
        welcome = walk.page(wizard.WELCOME, "welcome-again", skip=[failed])
        self.assertEqual(walk.wizard_files(), ["Nalvex.exe", "ORVANE.exe", "temp.dat"], "only the staging file goes")
        self.assertEqual(walk.software.manager_log(), [], "the sync software stays shut down")

        # The launch of the first attempt left its connection open: it is ended before
        # the push of the second begins.
        progress = walk.start_update(walk.to_step_3(welcome))
        calls = walk.device.calls()
        self.assertEqual(calls[:2], ["CeRapiUninit", SIGNALLED], calls)
        self.assertEqual(calls[-2:], [SIGNALLED, LAUNCHED])
        final = self.assert_update_runs_to_the_final_page(progress, layout, STEP_CAPTIONS)
        report = walk.device_report()
        self.assertEqual([s["role"] for s in report["streams"]], ["part2", "os-remainder"])
        self.assertEqual(report["verification"], "ok", report["problems"])
        self.finish(final)


class Failures(WizardTest):
    """Roads that end the program early, one run each."""

    session_name = "wizard-failures"

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.image = cls.walk.make_image("--kn", "2048", "--rev-blocks", "12")

    def setUp(self):
        super().setUp()
        self.walk.lay_out(self.image)
        self.walk.device.faults()

    def assert_ended_clean(self):
        """The program has ended, with every working file but its own deleted and no
        sync software started."""
        self.assertEqual(self.walk.exit_code(), 0)
        self.assertEqual(self.walk.wizard_files(), ["ORVANE.exe"])
        self.assertEqual(self.walk.software.probe("settle"), ["settled"])

    def connect_failed(self):
        walk = self.walk
        walk.device.faults("refuse")
        walk.next_on_welcome(walk.start())
        failed = walk.page(wizard.CONNECT_FAILED, "connect-failed")
        self.assertEqual(walk.after_posting(failed, *ESC_AND_CLOSE), (True, True), "only OK ends the dialog")
        return failed

    def test_1_no_connection_and_give_up(self):
        self.walk.press(self.connect_failed(), wizard.CONNECT_FAILED_OK)
        self.assert_ended_clean()

    def test_2_no_connection_and_restart_then_nalvex_missing(self):
        walk = self.walk
        failed = self.connect_failed()
        walk.software.manager_log()
        walk.press(failed, wizard.RESTART_CHECK)
        walk.press(failed, wizard.CONNECT_FAILED_OK)
        welcome = walk.page(wizard.WELCOME, "welcome-again", skip=[failed])
        self.assertIn(f'start "{walk.software.manager}"', walk.software.wait_for_log("temp holds"),
                      "the sync software is started before the wizard starts anew")
        walk.software.stop()

        os.remove(os.path.join(walk.temp, "Nalvex.exe"))
        walk.next_on_welcome(welcome)
        walk.answer(expected.STRINGS[130], expected.STRINGS[126], IDOK, skip=[])
        self.assert_ended_clean()

    def test_3_image_gone_by_the_transfer_and_give_up(self):
        # The worker keeps its own check. Its box is owned by the progress page, which
        # stays disabled behind it and refuses a log-off meanwhile.
        walk = self.walk
        walk.start_device(self.image)
        step3 = walk.to_step_3(walk.start())
        os.remove(os.path.join(walk.temp, "temp.dat"))
        progress = walk.start_update(step3)
        box = walk.driver.find_box(wizard.WELCOME, skip=[progress])
        self.assertEqual(walk.driver.text(walk.driver.child(box, wizard.MESSAGE_TEXT)), "No Image")
        self.assertEqual(walk.driver.owner(box), progress)
        self.assertEqual(walk.driver.state(progress), (True, False))
        self.assertEqual(walk.driver.send(progress, WM_QUERYENDSESSION), 0, "a log-off is refused")
        self.assertEqual(walk.driver.send(progress, WM_POWERBROADCAST, PBT_APMQUERYSUSPEND), BROADCAST_QUERY_DENY,
                         "so is a suspend the system asks about")
        self.assertEqual(walk.driver.send(progress, WM_POWERBROADCAST, PBT_APMRESUMEAUTOMATIC), 1)
        walk.press(box, IDOK)
        walk.progress_seen()
        walk.press(walk.page(wizard.TRANSFER_FAILED, "transfer-failed"), wizard.TRANSFER_FAILED_OK)
        self.assert_ended_clean()

    def test_4_image_refused_before_the_device_is_touched(self):
        walk = self.walk
        with open(self.image, "rb") as f:
            damaged = f.read()[:20000]  # the header declares more than that
        with open(os.path.join(walk.temp, "temp.dat"), "wb") as f:
            f.write(damaged)
        walk.device.calls()
        walk.next_on_welcome(walk.start())
        walk.answer(wizard.WELCOME, DAMAGED, IDOK, skip=[])
        self.assert_ended_clean()
        self.assertEqual(walk.device.calls(), [], "no call of RAPI at all")

        # A staging file that cannot be deleted (here a folder of its name) would fail the
        # transfer only once the device waits in its downloader.
        walk.lay_out(self.image)
        os.makedirs(os.path.join(walk.temp, "TempFileToDown"))
        walk.next_on_welcome(walk.start())
        walk.answer(wizard.WELCOME, STAGING_IN_THE_WAY.format(f"{winehost.TEMP}\\TempFileToDown"), IDOK, skip=[])
        self.assertEqual(walk.exit_code(), 0)
        self.assertEqual(sorted(os.listdir(walk.temp)), ["ORVANE.exe", "TempFileToDown"])
        os.rmdir(os.path.join(walk.temp, "TempFileToDown"))
        self.assertEqual(walk.device.calls(), [], "no call of RAPI at all")

    def test_5_device_that_stops_taking_data(self):
        # Midway through a part-2 file larger than the port's buffers: once a write has
        # moved nothing in the whole 30 s it may take, the worker says so and the
        # transfer fails. Under wine the write that the device stops in comes back with
        # the bytes that went after its time, and the next one finds the stall.
        walk = self.walk
        image = walk.make_image("--kn", "300000", "--rev-blocks", "12")
        walk.lay_out(image)
        walk.start_device(image, "--stall", "part2:40000")
        progress = walk.start_update(walk.to_step_3(walk.start()))
        box = walk.driver.find(wizard.WELCOME, "#32770", timeout=120_000, skip=[progress])
        self.assertEqual(walk.driver.text(walk.driver.child(box, wizard.MESSAGE_TEXT)),
                         "The device took no data for 30 seconds.")
        self.session.screenshot("box-stalled")
        walk.press(box, IDOK)
        walk.progress_seen()
        walk.press(walk.page(wizard.TRANSFER_FAILED, "transfer-failed"), wizard.TRANSFER_FAILED_OK)
        self.assert_ended_clean()


class Cancels(WizardTest):
    """Cancelling steps 2 and 3: No leaves the page, Yes ends the wizard and starts
    the sync software again."""

    session_name = "wizard-cancels"

    def answer_cancel(self, page, button):
        self.walk.answer(expected.STRINGS[132], expected.STRINGS[131], button, skip=[page])

    def test_1_step_2(self):
        walk = self.walk
        walk.lay_out(walk.make_image())
        walk.software.start()
        walk.next_on_welcome(walk.start())
        step2 = walk.page(wizard.STEP2, "step-2")
        walk.press(step2, wizard.STEP2_CANCEL)
        self.answer_cancel(step2, IDNO)
        self.assertEqual(walk.driver.state(step2), (True, True), "No leaves the page as it was")
        walk.software.manager_log()
        walk.driver.post(step2, WM_SYSCOMMAND, SC_CLOSE)
        self.answer_cancel(step2, IDYES)
        self.assertEqual(walk.exit_code(), 0)
        self.assertEqual(walk.wizard_files(), ["ORVANE.exe"])
        self.assertIn(f'start "{walk.software.manager}"', walk.software.wait_for_log("temp holds"))

    def test_2_step_3_stops_the_port_watcher(self):
        walk = self.walk
        image = walk.make_image()
        walk.lay_out(image)
        walk.start_device(image)
        self.addCleanup(walk.software.register)
        walk.software.unregister()
        step3 = walk.to_step_3(walk.start())
        update = walk.driver.child(step3, wizard.UPDATE)
        walk.driver.post(step3, WM_KEYDOWN, VK_ESCAPE)
        self.answer_cancel(step3, IDNO)
        walk.press(step3, wizard.STEP3_CANCEL)
        self.answer_cancel(step3, IDYES)
        # Without a registered sync software its start reports in boxes, while the page
        # is still there: its watcher has stopped already, and the port it waited for
        # no longer enables UPDATE.
        box = walk.driver.find_box(wizard.WELCOME, skip=[step3])
        walk.publish_port()
        time.sleep(0.5)
        self.assertEqual(walk.driver.state(update), (True, False), "the watcher ended with its page")
        self.assertEqual(walk.driver.text(walk.driver.child(box, wizard.MESSAGE_TEXT)), "RegOpenKey error")
        walk.press(box, IDOK)
        walk.driver.gone(box)
        walk.answer(wizard.WELCOME, "CreateProcess failed: ActiveSync in Finish.", IDOK, skip=[step3])
        self.assertEqual(walk.exit_code(), 0)
        self.assertEqual(walk.wizard_files(), ["ORVANE.exe"])


class Recovery(WizardTest):
    """A device left in its USB downloader by an earlier update: the sync software
    cannot reach it, but its port is there, held by a service of the later sync
    software, which reads what the device says. No keeps the connect-failed dialog;
    Yes goes on to step 2, which stops the service, and the update goes through (the
    service would have taken the device's answers); FINISH starts the service again,
    and only it. A service that takes no stop is named in a box, and the wizard goes
    on."""

    session_name = "wizard-recovery"

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.image = cls.walk.make_image("--kn", "2048", "--rev-blocks", "12")
        cls.services = syncsoft.SyncServices(cls.session)
        cls.services.register()

    def setUp(self):
        super().setUp()
        self.walk.lay_out(self.image)
        self.walk.device.faults("refuse")

    def device_in_downloader(self, *service_arguments):
        """pdasim's port there at once, held by WcesComm."""
        self.walk.start_device(self.image, *PACE, in_downloader=True)
        self.services.start("WcesComm", *service_arguments)
        self.services.wait_for_log("WcesComm holds the port")

    def in_downloader_already(self, answer):
        walk = self.walk
        walk.next_on_welcome(walk.start())
        walk.answer(wizard.WELCOME, DOWNLOADER_THERE, answer, skip=[])

    def test_1_no_keeps_the_connect_failed_dialog(self):
        self.device_in_downloader()
        self.in_downloader_already(IDNO)
        self.walk.press(self.walk.page(wizard.CONNECT_FAILED, "connect-failed"), wizard.CONNECT_FAILED_OK)
        self.assertEqual(self.walk.exit_code(), 0)
        self.assertEqual(self.walk.wizard_files(), ["ORVANE.exe"])
        self.assertEqual(self.services.state("WcesComm"), "RUNNING", "nothing was stopped")

    def test_2_yes_updates_the_device_and_finish_starts_the_service_again(self):
        walk = self.walk
        # A staging file of an earlier run, read-only: NEXT deletes it.
        stale = os.path.join(walk.temp, "TempFileToDown")
        with open(stale, "wb") as f:
            f.write(b"stale")
        os.chmod(stale, stat.S_IRUSR)
        self.in_downloader_already(IDYES)
        step2 = walk.page(wizard.STEP2, "step-2")
        self.assertEqual(self.services.wait_for_log("WcesComm stopped")[-1:], ["WcesComm stopped"])
        walk.press(step2, wizard.STEP2_NEXT)
        progress = walk.start_update(walk.page(wizard.STEP3, "step-3"), publish=False)
        final = self.assert_update_runs_to_the_final_page(progress, {"os": 40 * wizard.BLOCK_BYTES, "ud": 0,
                                                                     "kn": 2048, "eb": 0}, STEP_CAPTIONS)
        self.assertEqual(walk.device_report()["verification"], "ok")
        self.services.log.take()
        walk.press(final, wizard.FINISH)
        self.assertEqual(walk.exit_code(), 0)
        self.services.wait_for_log("WcesComm started")
        self.assertEqual((self.services.state("WcesComm"), self.services.state("RapiMgr")), ("RUNNING", "STOPPED"),
                         "what was stopped, and only that, runs again")

    def test_3_a_service_that_takes_no_stop_is_named(self):
        self.services.sc("stop", "WcesComm")
        self.services.wait_for_log("WcesComm stopped")
        self.device_in_downloader("--no-stop")
        self.in_downloader_already(IDYES)
        walk = self.walk
        walk.answer(wizard.WELCOME, SERVICES_RUNNING.format("WcesComm"), IDOK, skip=[])
        step2 = walk.page(wizard.STEP2, "step-2")
        walk.press(step2, wizard.STEP2_CANCEL)
        walk.answer(expected.STRINGS[132], expected.STRINGS[131], IDYES, skip=[step2])
        self.assertEqual(walk.exit_code(), 0)
        self.assertEqual(self.services.state("WcesComm"), "RUNNING")


if __name__ == "__main__":
    unittest.main(defaultTest=os.environ.get("ORVANE_WALK"))
