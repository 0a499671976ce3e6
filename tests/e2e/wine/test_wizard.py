"""The whole wizard, the real ORVANE.exe under wine, walked page by page as a user
would, against the simulated device: whole updates with and without a USB downloader,
a failed transfer and the restart after it, a device that does not answer, a missing
Nalvex, and the cancels of steps 2 and 3. ORVANE_WALK names the class to run (all
when unset)."""

import os
import time
import unittest

import expected
import wizard
import winehost
from wizard import IDNO, IDYES, WM_COMMAND, IDOK, IDCANCEL, WM_KEYDOWN, VK_RETURN, VK_ESCAPE, WM_SYSCOMMAND, SC_CLOSE

SIGNALLED = "CeRapiInitEx cbSize=12 -> S_OK, event signalled"
LAUNCHED = "CeCreateProcess Nalvex.exe -> started, the device restarts into its downloader"
FAILURE_TEXT = expected.STRINGS[131]
STEP_CAPTIONS_WITH_DOWNLOADER = [expected.STRINGS[i] for i in (144, 141, 145, 142, 146, 143)]
STEP_CAPTIONS = [expected.STRINGS[i] for i in (145, 142, 146, 143)]
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
        for message, wparam in ((WM_KEYDOWN, VK_RETURN), (WM_KEYDOWN, VK_ESCAPE), (WM_COMMAND, IDOK),
                                (WM_COMMAND, IDCANCEL), (WM_SYSCOMMAND, SC_CLOSE)):
            walk.driver.post(progress, message, wparam)
        time.sleep(0.3)
        self.assertEqual(walk.driver.state(progress)[0], True, "the progress page stays")
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
        walk.start_software()
        walk.start_device(image, *PACE)
        walk.device.calls()

        welcome = walk.start()
        walk.next_on_welcome(welcome)
        step2 = walk.page(wizard.STEP2, "step-2")
        calls = walk.device.calls()
        self.assertEqual(calls[0], SIGNALLED, "the push's connection")
        self.assertEqual(calls[-2:], [SIGNALLED, LAUNCHED], "Nalvex pushed and launched")
        walk.assert_probe(["settled"], "settle")  # no window or process of the sync software left

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
        for message, wparam in ((WM_KEYDOWN, VK_ESCAPE), (WM_SYSCOMMAND, SC_CLOSE)):
            walk.driver.post(failed, message, wparam)
        time.sleep(0.3)
        self.assertEqual(walk.driver.state(failed), (True, True), "only OK ends the dialog")

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


if __name__ == "__main__":
    unittest.main(defaultTest=os.environ.get("ORVANE_WALK"))
