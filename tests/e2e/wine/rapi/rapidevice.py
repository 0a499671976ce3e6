"""The stand-in RAPI device of the wine tests: the test-only rapi.dll installed in the
system folder of a session's prefix, where the sync software installs the real one,
the device's folder of files, its scripted faults, its call log, and the marker it
makes when the real Nalvex is started on it (what pdasim's --trigger waits for)."""

import os
import shutil

import winehost

FOLDER = os.path.join(winehost.WINDOWS_DIR, "tests", "e2e", "wine", "rapi")
RAPI_DLL = os.path.join(FOLDER, "rapi.dll")
PROBE = os.path.join(FOLDER, "rapi_probe.exe")
NALVEX = os.environ.get("ORVANE_NALVEX", "")


class Device:
    """The device of one session. Its settings travel in the session's environment,
    so they hold for every program started after they are made."""

    def __init__(self, session, root="C:\\device"):
        self.session = session
        self.root = root
        self.log = winehost.LogReader(session.path("C:\\rapi.log"))
        self.trigger = os.path.join(session.work, "downloader-requested")
        os.makedirs(session.path(root), exist_ok=True)
        session.env.update(ORVANE_RAPI_DEVICE=root, ORVANE_RAPI_LOG="C:\\rapi.log", ORVANE_RAPI_FAULTS="",
                           ORVANE_RAPI_NALVEX=winehost.windows_path(NALVEX),
                           ORVANE_RAPI_TRIGGER=winehost.windows_path(self.trigger))

    def install(self):
        shutil.copy(RAPI_DLL, self.installed())

    def uninstall(self):
        os.remove(self.installed())

    def installed(self):
        return os.path.join(self.session.path(winehost.SYSTEM), "rapi.dll")

    def faults(self, *faults):
        self.session.env["ORVANE_RAPI_FAULTS"] = " ".join(faults)

    def path(self, name):
        return os.path.join(self.session.path(self.root), name)

    def read(self, name):
        with open(self.path(name), "rb") as f:
            return f.read()

    def calls(self):
        """The calls logged since the last look."""
        return self.log.take()
