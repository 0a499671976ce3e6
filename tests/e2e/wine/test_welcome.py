"""The welcome page of the real ORVANE.exe: caption, the pane's text and the format of
every piece, the About command and box, the icon, and the cancel question."""

import os
import time
import unittest

import expected
import winehost

WM_KEYDOWN, WM_SYSCOMMAND, VK_ESCAPE, SC_MINIMIZE, SC_RESTORE = 0x100, 0x112, 0x1B, 0xF020, 0xF120
WS_MINIMIZE = 0x20000000
IDYES, IDNO, MESSAGE_TEXT = 6, 7, 0xFFFF
CFM_BOLD, CFM_ITALIC, CFM_UNDERLINE, CFM_STRIKEOUT, CFM_SIZE, CFM_COLOR = 1, 2, 4, 8, 0x80000000, 0x40000000
CFE_BOLD, CFE_AUTOCOLOR = 1, 0x40000000
ALL_FORMAT = CFM_BOLD | CFM_ITALIC | CFM_UNDERLINE | CFM_STRIKEOUT | CFM_SIZE | CFM_COLOR


class WelcomePage(winehost.SessionTest):
    """One run of the program, its steps in order; the last ends it."""

    session_name = "welcome"

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.program = cls.session.start(winehost.ORVANE_EXE)
        cls.driver = cls.session.driver()
        cls.page = cls.driver.find("ORVANE")
        cls.session.screenshot("welcome")

    def test_1_caption_and_frame(self):
        self.assertEqual(self.driver.text(self.page), "ORVANE")
        style, exstyle = self.driver.style(self.page)
        self.assertEqual(style & expected.WS_SYSMENU, 0, "no close box")
        self.assertTrue(exstyle & expected.WS_EX_APPWINDOW)
        self.assertEqual(self.driver.text(self.driver.child(self.page, 1001)), "NEXT")
        self.assertEqual(self.driver.text(self.driver.child(self.page, 1002)), "CANCEL")

    def test_2_pane_text_and_formats(self):
        pane = self.driver.child(self.page, 1000)
        texts = [expected.STRINGS[piece[0]] for piece in expected.WELCOME_PIECES]
        self.assertEqual(self.driver.text(pane).replace("\r\n", "\n"), "".join(texts))
        self.assertEqual(self.driver.state(pane), (True, False), "shown, and disabled")
        start = 0
        plain = None
        for piece, text in zip(expected.WELCOME_PIECES, texts):
            mask, effects, height, colour = self.driver.charformat(pane, start, start + len(text))
            with self.subTest(piece=piece[0]):
                self.assertEqual(mask & ALL_FORMAT, ALL_FORMAT, "one format over the whole piece")
                self.assertEqual(effects & ~(CFE_BOLD | CFE_AUTOCOLOR), 0, "no italic, underline or strike-out")
                if len(piece) > 1:
                    _, bold, want_colour, want_height = piece
                    self.assertEqual(bool(effects & CFE_BOLD), bold)
                    self.assertEqual(effects & CFE_AUTOCOLOR, 0, "its own colour, black included")
                    self.assertEqual((colour, height), (want_colour, want_height))
                else:
                    # Every plain piece follows a red bold one, yet keeps the pane's own format.
                    self.assertEqual(effects & CFE_BOLD, 0)
                    self.assertNotEqual((effects & CFE_AUTOCOLOR, colour), (0, expected.RED))
                    plain = plain or (effects, height, colour)
                    self.assertEqual((effects, height, colour), plain, "every plain piece alike")
            start += len(text)

    def test_3_other_system_commands(self):
        # Commands other than About take the system's own way: the page minimises,
        # paints its icon, and comes back. (Wine returns no icon handle across
        # processes, so the icon itself is seen only in the screenshot.)
        self.driver.post(self.page, WM_SYSCOMMAND, SC_MINIMIZE)
        self.wait_for_style(WS_MINIMIZE, WS_MINIMIZE)
        self.session.screenshot("minimised")
        self.driver.post(self.page, WM_SYSCOMMAND, SC_RESTORE)
        self.wait_for_style(WS_MINIMIZE, 0)

    def wait_for_style(self, bits, value):
        deadline = time.monotonic() + winehost.WAIT
        while self.driver.style(self.page)[0] & bits != value:
            self.assertLess(time.monotonic(), deadline, "the page's style never changed")
            time.sleep(0.05)

    def test_4_about_box(self):
        # The About command, also with the low bits that the system may set.
        for command in (0x10, 0x1F):
            self.driver.post(self.page, WM_SYSCOMMAND, command)
            about = self.driver.find("About ORVANE")
            self.assertEqual(self.driver.state(self.page), (True, False), "the page waits for the box")
            self.session.screenshot("about")
            ok = self.driver.child(about, 1)
            self.assertEqual(self.driver.text(ok), "??")
            self.driver.click(ok)
            self.driver.gone(about)
            self.assertEqual(self.driver.state(self.page), (True, True))

    def answer_cancel_question(self, answer):
        box = self.driver.find_box(expected.STRINGS[132], skip=[self.page])
        self.assertEqual(self.driver.text(box), expected.STRINGS[132])
        self.assertEqual(self.driver.text(self.driver.child(box, MESSAGE_TEXT)), expected.STRINGS[131])
        self.session.screenshot("cancel-question")
        self.driver.click(self.driver.child(box, answer))
        self.driver.gone(box)

    def test_5_cancel_no_then_yes(self):
        # The working files wait in %TEMP%; only Yes removes them, and nothing else there.
        temp = self.session.path(winehost.TEMP)
        os.makedirs(temp, exist_ok=True)
        names = ["Nalvex.exe", "ORVANE.exe", "temp.dat", "TempFileToDown", "keep.txt"]
        for name in names:
            with open(os.path.join(temp, name), "w") as f:
                f.write(name)
        self.driver.post(self.page, WM_KEYDOWN, VK_ESCAPE)
        self.answer_cancel_question(IDNO)
        self.assertEqual(self.driver.state(self.page), (True, True), "No leaves the page as it was")
        self.assertEqual(sorted(os.listdir(temp)), sorted(names))
        self.driver.click(self.driver.child(self.page, 1002))
        self.answer_cancel_question(IDYES)
        self.assertEqual(self.program.wait(timeout=winehost.WAIT), 0, "the program ends")
        self.assertEqual(os.listdir(temp), ["keep.txt"])


if __name__ == "__main__":
    unittest.main()
