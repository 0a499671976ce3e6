"""The stand-in sync software of the wine tests: its manager program and its
connection program installed in a session's prefix under the process names the
wizard looks for, the manager's registration under the App Paths key, and the
manager's log; and the services of its successor on later systems, registered with
the prefix's service manager."""

import os
import re
import shutil
import time

import winehost

FOLDER = os.path.join(winehost.WINDOWS_DIR, "tests", "e2e", "wine", "sync")
PROBE = os.path.join(FOLDER, "sync_probe.exe")
APP_PATHS = "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\App Paths\\WCESMGR.EXE"


def read_until(log, start):
    """The lines a log reader takes from now on, up to one that starts so."""
    deadline = time.monotonic() + winehost.WAIT
    lines = []
    while not any(line.startswith(start) for line in lines):
        assert time.monotonic() < deadline, f"never logged: {start}; log: {lines}"
        time.sleep(0.05)
        lines += log.take()
    return lines


class SyncSoftware:
    """Installed in a folder whose path has blanks, under file names in other cases
    than the ones the wizard compares with."""

    def __init__(self, session, folder="C:\\Program Files\\Sync Soft"):
        self.session = session
        self.folder = folder
        self.manager = folder + "\\WCESMGR.EXE"
        self.comm = folder + "\\WcesComm.exe"
        self.log = winehost.LogReader(session.path(folder + "\\manager.log"))
        os.makedirs(session.path(folder), exist_ok=True)
        shutil.copy(os.path.join(FOLDER, "sync_manager.exe"), session.path(self.manager))
        shutil.copy(os.path.join(FOLDER, "sync_comm.exe"), session.path(self.comm))

    def reg(self, *args):
        return self.session.run("reg", *args).returncode

    def register(self, with_path=True):
        """The App Paths key, with the manager's path as its default value; or, as a
        key may be, with a Path value only and no default value."""
        self.unregister()
        value = ("/ve", "/d", self.manager) if with_path else ("/v", "Path", "/d", self.folder)
        assert self.reg("add", APP_PATHS, *value, "/f") == 0

    def unregister(self):
        self.reg("delete", APP_PATHS, "/f")  # fails harmlessly when there is no key

    def start(self, *manager_flags):
        """The manager and the connection program running, with every window and process
        there; both processes."""
        manager = self.session.start(self.session.path(self.manager), *manager_flags)
        comm = self.session.start(self.session.path(self.comm))
        assert self.probe("await")[-1:] == ["awaited"]
        return manager, comm

    def stop(self):
        """Shuts the sync software down and ends its processes, as the wizard does, and
        waits until nothing of it is left."""
        lines = self.probe("shutdown", "kill", "settle")
        assert lines[1:] == ["kill done", "settled"], lines

    def probe(self, *commands, cwd=None):
        """The probe's output lines; it must end well."""
        result = self.session.run(PROBE, *commands, cwd=cwd)
        lines = result.stdout.splitlines()
        assert result.returncode == 0, lines
        return lines

    def manager_log(self):
        """The manager's log since the last look."""
        return self.log.take()

    def wait_for_log(self, start):
        """The manager's log since the last look, up to a line that starts so."""
        return read_until(self.log, start)


class SyncServices:
    """The stand-in service installed under the names of both services of the sync
    software of Windows Vista and later; while one runs it holds the device's port
    whenever it is there, and reads what the device says."""

    NAMES = ("WcesComm", "RapiMgr")

    def __init__(self, session, folder="C:\\Program Files\\Device Center"):
        self.session = session
        self.program = folder + "\\sync_service.exe"
        self.log = winehost.LogReader(session.path(folder + "\\service.log"))
        os.makedirs(session.path(folder), exist_ok=True)
        shutil.copy(os.path.join(FOLDER, "sync_service.exe"), session.path(self.program))

    def sc(self, *args):
        return self.session.run("sc", *args).stdout

    def register(self):
        for name in self.NAMES:
            self.sc("create", name, "binPath=", self.program, "type=", "own", "start=", "demand")

    def start(self, name, *args):
        self.sc("start", name, *args)

    def state(self, name):
        """RUNNING, STOPPED, ..."""
        found = re.search(r"STATE\s*:\s*\d+\s+(\w+)", self.sc("query", name))
        return found.group(1) if found else None

    def wait_for_log(self, start):
        """The services' log since the last look, up to a line that starts so."""
        return read_until(self.log, start)
