"""Every page's text pane, filled in the real rich-edit control from the page's own
template, checked piece by piece; and the slice's progress bars, failure-dialog
controls and worker-thread EndDialog (pane_check.exe does the checking)."""

import os
import unittest

import winehost


class Panes(unittest.TestCase):
    def test_every_pane_and_slice_control(self):
        with winehost.WineSession("panes") as session:
            result = session.run(os.path.join(winehost.PROGRAMS, "pane_check.exe"))
            print(result.stdout)
            self.assertEqual(result.returncode, 0, [line for line in result.stdout.splitlines()
                                                    if line.startswith("FAIL")])
            self.assertIn("all passed", result.stdout)


if __name__ == "__main__":
    unittest.main()
