"""Runs Windows programs under wine for the end-to-end tests: one template prefix per
test run, a private copy of it and a private X server for each test, a driver
program in the same prefix, and screenshots kept as artifacts.

    winehost.py make-template DIR     create the template prefix
    winehost.py remove-template DIR   stop its server and remove it
"""

import fcntl
import os
import pwd
import select
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

ARCH = os.environ.get("ORVANE_WINE_ARCH", "win64")
LOADER = {"win64": "/usr/lib/wine/wine64", "win32": "/usr/lib/wine/wine"}[ARCH]
SERVER = {"win64": "/usr/lib/wine/wineserver64", "win32": "/usr/lib/wine/wineserver32"}[ARCH]
TEMPLATE = os.environ.get("ORVANE_WINE_TEMPLATE", "")
WINDOWS_DIR = os.environ.get("ORVANE_WINDOWS_DIR", "")  # the Windows build that wine runs
# Screenshots go to a folder of their own; without one named, beside the template prefix.
ARTIFACTS = os.environ.get("ORVANE_ARTIFACTS", "")
WAIT = 30  # seconds: a bound against hangs, never an expectation
TEMP = "C:\\users\\%s\\Temp" % pwd.getpwuid(os.getuid()).pw_name  # the programs' %TEMP%
SYSTEM = "C:\\windows\\system32"  # the system folder of a prefix's own programs, 32-bit or 64-bit

ORVANE_EXE = os.path.join(WINDOWS_DIR, "app", "ORVANE.exe")
LAUNCHER_EXE = os.path.join(WINDOWS_DIR, "release", "StartORVANE.exe")
PROGRAMS = os.path.join(WINDOWS_DIR, "tests", "e2e", "wine", "programs")
PLANTED_DLL = os.path.join(PROGRAMS, "planted.dll")

# Without Managed=N every hidden window stalls and pages get no title bar; the pages'
# font is replaced by a metric-compatible one; a crash must end, not wait on a dialog.
PREFIX_SETTINGS = r"""REGEDIT4

[HKEY_CURRENT_USER\Software\Wine\X11 Driver]
"Managed"="N"

[HKEY_CURRENT_USER\Software\Wine\Fonts\Replacements]
"Times New Roman"="Liberation Serif"

[HKEY_CURRENT_USER\Software\Wine\WineDbg]
"ShowCrashDialog"=dword:00000000
"""


def wine_env(prefix, display=None):
    env = dict(os.environ, WINEPREFIX=prefix, WINEARCH=ARCH, WINELOADER=LOADER, WINESERVER=SERVER,
               WINEDEBUG=os.environ.get("ORVANE_WINEDEBUG", "-all"), WINEDLLOVERRIDES="mscoree,mshtml=")
    if display:
        env["DISPLAY"] = display
    else:
        env.pop("DISPLAY", None)
    return env


def windows_path(unix_path):
    """A Unix path as the prefix's Z: drive shows it."""
    return "Z:" + os.path.abspath(unix_path).replace("/", "\\")


def program_note():
    """Which program the wine tests run on this machine."""
    if ARCH == "win32":
        return "runs the shipped i686 ORVANE.exe under 32-bit wine"
    return ("runs the x86_64 build of the same sources under wine64: this machine cannot run 32-bit "
            "programs, and the shipped i686 ORVANE.exe is checked as a file only")


class LogReader:
    """A log that test programs append lines to: each look returns the whole lines
    added since the last one. The file is never cut or removed while programs may
    write to it, so no line is lost between two looks."""

    def __init__(self, path):
        self.path = path
        self.offset = 0

    def take(self):
        if not os.path.exists(self.path):
            return []
        with open(self.path, "rb") as f:
            f.seek(self.offset)
            data = f.read()
        whole = data[:data.rfind(b"\n") + 1]  # a line still being written waits for the next look
        self.offset += len(whole)
        return whole.decode("latin-1").splitlines()


def start_server(env):
    """The prefix's own wine server, detached from the caller's output and kept up for a
    while after its last program ends, so later programs start at once and a server
    left behind by an interrupted test still goes away by itself."""
    subprocess.run([SERVER, f"-p{WAIT}"], env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, start_new_session=True, check=True, timeout=WAIT)


def stop_server(prefix):
    env = wine_env(prefix)
    subprocess.run([SERVER, "-k"], env=env, stderr=subprocess.DEVNULL, check=False)
    subprocess.run([SERVER, "-w"], env=env, check=False, timeout=WAIT)


def artifacts_folder(prefix):
    return ARTIFACTS or os.path.join(os.path.dirname(os.path.abspath(prefix)), "artifacts")


def make_template(prefix):
    shutil.rmtree(artifacts_folder(prefix), ignore_errors=True)  # this run's screenshots only
    if os.path.exists(prefix):
        stop_server(prefix)
        shutil.rmtree(prefix)
    os.makedirs(os.path.dirname(os.path.abspath(prefix)), exist_ok=True)
    env = wine_env(prefix)
    subprocess.run([LOADER, "wineboot", "-i"], env=env, check=True, timeout=120,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    settings = os.path.join(prefix, "drive_c", "settings.reg")
    with open(settings, "w") as f:
        f.write(PREFIX_SETTINGS)
    subprocess.run([LOADER, "regedit", "C:\\settings.reg"], env=env, check=True, timeout=WAIT)
    fonts = os.path.join(prefix, "drive_c", "windows", "Fonts")
    for name in os.listdir("/usr/share/wine/fonts"):
        shutil.copy(os.path.join("/usr/share/wine/fonts", name), fonts)
    stop_server(prefix)


class Driver:
    """The driver program, run in the session's prefix, one command a line."""

    def __init__(self, session):
        self.proc = subprocess.Popen([LOADER, os.path.join(PROGRAMS, "wine_driver.exe")], env=session.env,
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)

    def cmd(self, *fields, bound=WAIT + 10):
        self.proc.stdin.write("\t".join(str(f) for f in fields) + "\n")
        self.proc.stdin.flush()
        ready, _, _ = select.select([self.proc.stdout], [], [], bound)
        if not ready:
            raise AssertionError(f"the driver did not answer {fields}")
        answer = self.proc.stdout.readline().rstrip("\n").split("\t")
        if answer[0] != "ok":
            raise AssertionError(f"{fields}: {answer[1:]}")
        return answer[1:]

    def find(self, caption, cls="*", timeout=WAIT * 1000, skip=()):
        return self.cmd("find", cls, caption, timeout, *skip, bound=timeout / 1000 + 10)[0]

    def find_box(self, caption, skip=()):
        """A message box (window class #32770, as every dialog) by its caption; skip
        names the pages, which may have the same caption."""
        return self.find(caption, "#32770", skip=skip)

    def child(self, hwnd, control_id):
        return self.cmd("child", hwnd, control_id)[0]

    def text(self, hwnd):
        return bytes.fromhex(self.cmd("text", hwnd)[0]).decode("latin-1")

    def set_text(self, hwnd, text):
        self.cmd("settext", hwnd, text.encode("utf-8").hex())

    def state(self, hwnd):
        visible, enabled = self.cmd("state", hwnd)
        return visible == "1", enabled == "1"

    def style(self, hwnd):
        return tuple(int(v, 16) for v in self.cmd("style", hwnd))

    def owner(self, hwnd):
        """The window that owns it, "0" for none."""
        return self.cmd("owner", hwnd)[0]

    def click(self, hwnd):
        self.cmd("click", hwnd)

    def post(self, hwnd, message, wparam=0, lparam=0):
        self.cmd("post", hwnd, f"{message:x}", f"{wparam:x}", f"{lparam:x}")

    def send(self, hwnd, message, wparam=0, lparam=0):
        return int(self.cmd("send", hwnd, f"{message:x}", f"{wparam:x}", f"{lparam:x}")[0], 16)

    def gone(self, hwnd):
        self.cmd("gone", hwnd, WAIT * 1000)

    def charformat(self, pane, start, end):
        mask, effects, height, colour = self.cmd("charformat", pane, start, end)
        return int(mask, 16), int(effects, 16), int(height), int(colour, 16)

    def wait_enabled(self, hwnd, timeout=WAIT * 1000):
        """Waits until the window is enabled; the milliseconds that took."""
        return int(self.cmd("waitenabled", hwnd, timeout)[0])

    def record(self, caption):
        """In the background, waits for the progress page with that caption and
        watches it."""
        self.cmd("record", caption, WAIT * 1000)

    def recorded(self, seconds):
        """Waits until the page watched is gone: its caption, heading and step caption
        texts, and the overall and step bars' positions and upper ends, each as the
        values in the order they came."""
        return self.cmd("recorded", seconds * 1000, bound=seconds + 10)

    def read_memory(self, hwnd, rva, size):
        return bytes.fromhex(self.cmd("readmem", hwnd, f"{rva:x}", f"{size:x}")[0])

    def close(self):
        if self.proc.poll() is None:
            try:
                self.proc.stdin.write("quit\n")
                self.proc.stdin.close()
                self.proc.wait(timeout=WAIT)
            except (BrokenPipeError, subprocess.TimeoutExpired):
                self.proc.kill()


class WineSession:
    """A private copy of the template prefix with its own X server."""

    def __init__(self, name, show_logs=True):
        if not TEMPLATE or not os.path.isdir(TEMPLATE):
            raise AssertionError("no template prefix: run the wine_prefix test first")
        self.artifacts = artifacts_folder(TEMPLATE)
        os.makedirs(self.artifacts, exist_ok=True)
        self.name = name
        self.work = tempfile.mkdtemp(prefix=f"wine-{name}-", dir=os.path.dirname(TEMPLATE))
        self.prefix = os.path.join(self.work, "prefix")
        # A real copy: a prefix is written to while programs run in it.
        subprocess.run(["cp", "-a", TEMPLATE, self.prefix], check=True)
        self.show_logs = show_logs  # the programs' output, printed at the end
        self.processes = []
        self.drivers = []
        self.shots = 0
        self.starts = 0
        self.xvfb = None
        print(f"wine session {name}: {program_note()}", flush=True)
        try:
            self.xvfb, self.display = self._start_xvfb()
            self.env = wine_env(self.prefix, self.display)
            start_server(self.env)
        except BaseException:
            self.close()
            raise

    @staticmethod
    def _start_xvfb():
        """An X server on a display of its own. Tests start theirs at the same time, so
        the choice of a free display is made under a lock."""
        with open(os.path.join(os.path.dirname(TEMPLATE), "xvfb.lock"), "w") as lock:
            fcntl.flock(lock, fcntl.LOCK_EX)
            for number in range(100, 200):
                if os.path.exists(f"/tmp/.X{number}-lock") or os.path.exists(f"/tmp/.X11-unix/X{number}"):
                    continue
                xvfb = subprocess.Popen(["Xvfb", f":{number}", "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                deadline = time.monotonic() + WAIT
                while xvfb.poll() is None and not os.path.exists(f"/tmp/.X11-unix/X{number}"):
                    if time.monotonic() > deadline:
                        xvfb.kill()
                        break
                    time.sleep(0.02)
                if xvfb.poll() is None:
                    return xvfb, f":{number}"
        raise AssertionError("no X server could be started")

    def path(self, windows_path):
        """The Unix path of a C: path in the prefix."""
        assert windows_path[:3].upper() == "C:\\"
        return os.path.join(self.prefix, "drive_c", *windows_path[3:].split("\\"))

    def start(self, exe, *args, cwd=None):
        self.starts += 1
        log_path = os.path.join(self.work, f"{self.starts:02d}-{os.path.basename(exe)}.log")
        with open(log_path, "w") as log:
            proc = subprocess.Popen([LOADER, exe, *args], env=self.env, cwd=cwd, stdout=log, stderr=subprocess.STDOUT)
        self.processes.append((proc, log_path))
        return proc

    def run(self, exe, *args, cwd=None):
        """Runs a console program to its end: its exit status, and its output as text. The
        output goes through a file: wine's helper processes would hold a pipe open."""
        proc = self.start(exe, *args, cwd=cwd)
        proc.wait(timeout=WAIT)
        with open(self.processes[-1][1]) as log:
            return subprocess.CompletedProcess(proc.args, proc.returncode, log.read())

    def driver(self):
        driver = Driver(self)
        self.drivers.append(driver)
        return driver

    def host_processes(self):
        """(pid, command-line words) of each Linux process of this prefix: the wine
        programs, the server and its services."""
        found = []
        for pid in filter(str.isdigit, os.listdir("/proc")):
            try:
                with open(f"/proc/{pid}/environ", "rb") as f:
                    if f"WINEPREFIX={self.prefix}\0".encode() not in f.read():
                        continue
                with open(f"/proc/{pid}/cmdline", "rb") as f:
                    found.append((int(pid), f.read().decode("latin-1").rstrip("\0").split("\0")))
            except OSError:
                continue  # ended meanwhile, or not ours to read
        return found

    def plant_libraries(self, folders, names):
        """Libraries of the system's names (a DLL of the programs' own bitness), left in
        the Unix folders as any program that can write there could leave them; each
        tells in the log returned when it is loaded. Wine has a builtin of most such
        names and prefers it, unless told to take a file of that name first, as Windows
        does: for the programs started after this."""
        for folder in folders:
            for name in names:
                shutil.copy(PLANTED_DLL, os.path.join(folder, name))
        self.env["WINEDLLOVERRIDES"] += ";" + ",".join(os.path.splitext(name)[0] for name in names) + "=n,b"
        log = os.path.join(self.work, "planted.log")
        self.env["ORVANE_PLANTED_LOG"] = windows_path(log)
        return LogReader(log)

    def set_windows_version(self, version):
        """The version that wine reports to programs, as winecfg sets it."""
        result = self.run("reg", "add", "HKCU\\Software\\Wine", "/v", "Version", "/d", version, "/f")
        assert result.returncode == 0, result.stdout

    def screenshot(self, label):
        self.shots += 1
        path = os.path.join(self.artifacts, f"{self.name}-{self.shots:02d}-{label}.png")
        time.sleep(0.3)  # let the last paint land
        subprocess.run(["/usr/bin/import", "-display", self.display, "-window", "root", path], check=True,
                       timeout=WAIT)
        return path

    def close(self):
        """Ends everything the session started, each step whatever the others did; the
        first failure is raised at the end."""
        steps = [driver.close for driver in self.drivers]
        steps += [lambda entry=entry: self._end_process(*entry, self.show_logs) for entry in self.processes]
        steps.append(lambda: stop_server(self.prefix))
        if self.xvfb:
            steps.append(self._stop_xvfb)
        steps.append(lambda: shutil.rmtree(self.work, ignore_errors=True))
        failure = None
        for step in steps:
            try:
                step()
            except Exception as e:  # noqa: BLE001 - the rest must still run
                failure = failure or e
        if failure:
            raise failure

    @staticmethod
    def _end_process(proc, log_path, show_log):
        if proc.poll() is None:
            proc.kill()
        proc.wait(timeout=WAIT)
        with open(log_path) as log:
            output = log.read()
        if output and show_log:  # shown by the test runner when the test fails
            print(f"--- {os.path.basename(log_path)}\n{output}")

    def _stop_xvfb(self):
        self.xvfb.terminate()
        self.xvfb.wait(timeout=WAIT)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


class SessionTest(unittest.TestCase):
    """Tests that share one session, run in the order of their names. The session is
    closed however the set-up ends; once a test has failed, the session's state is
    unknown, and the tests after it are skipped rather than run in it."""

    session_name = "session"
    failed = False

    @classmethod
    def setUpClass(cls):
        cls.failed = False
        cls.session = WineSession(cls.session_name)
        cls.addClassCleanup(cls.session.close)

    def setUp(self):
        if type(self).failed:
            self.skipTest("an earlier test of this session failed")

    def run(self, result=None):
        if result is None:
            return super().run(result)
        before = len(result.failures) + len(result.errors)
        outcome = super().run(result)
        if len(result.failures) + len(result.errors) > before:
            type(self).failed = True
        return outcome


def main(argv):
    if len(argv) == 3 and argv[1] == "make-template":
        make_template(argv[2])
        return 0
    if len(argv) == 3 and argv[1] == "remove-template":
        if os.path.isdir(argv[2]):
            stop_server(argv[2])
            shutil.rmtree(argv[2])
        return 0
    sys.stderr.write("usage: winehost.py make-template DIR | remove-template DIR\n")
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
