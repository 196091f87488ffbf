"""Driving the real stub under Wine: one private prefix and one Xvfb display
per e2e run (set up once by `run.py --setup`, torn down by `--cleanup`),
installers started with WINEDEBUG=+msgbox so that message-box texts can be
read from their log, keys and clicks sent with xdotool, screenshots kept as
artifacts.

Windows of the installer all carry the caption "Tovrel Installation"; without
a window manager Wine's X windows are the client areas, so the kind of a
window is told by its size and a click is placed in dialog units scaled from
the window's size.
"""

import json
import os
import re
import shutil
import signal
import subprocess
import time
from pathlib import Path

CAPTION = "Tovrel Installation"
APP_PATH_KEY = r"HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\App Paths\Tovrel32.exe"
UNINSTALL_KEY = r"HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\Tovrel"
USER_KEY = r"HKCU\Software\Morvane\Tovrel"
# Wine's per-program version setting, which the old-style browser scenario uses.
VERSION_KEY = r"HKCU\Software\Wine\AppDefaults\Setup.exe"

# Dialog sizes in dialog units, from the templates. At Wine's 96 dpi the
# install dialog is over 400 pixels wide, the prompt and the message boxes
# of these scenarios under 300.
INSTALL_DIALOG = (275, 90)
PROMPT_DIALOG = (150, 43)


class Failure(AssertionError):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


class Session:
    """The prefix and display shared by the scenarios of one run."""

    def __init__(self, root):
        self.root = Path(root)
        self.prefix = self.root / "prefix"
        self.artifacts = self.root / "artifacts"
        self.state_file = self.root / "session.json"
        self.display = None
        if self.state_file.exists():
            self.display = json.loads(self.state_file.read_text())["display"]

    @property
    def drive_c(self):
        return self.prefix / "drive_c"

    def env(self, debug="-all", **extra):
        env = dict(os.environ)
        env.update(WINEPREFIX=str(self.prefix), WINEARCH="win32", WINEDEBUG=debug,
                   WINEDLLOVERRIDES="mscoree,mshtml=", DISPLAY=self.display or "")
        env.update(extra)
        return env

    def setup(self):
        self.cleanup()
        shutil.rmtree(self.root, ignore_errors=True)
        self.artifacts.mkdir(parents=True)
        read, write = os.pipe()
        xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write), "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
                                pass_fds=[write], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                start_new_session=True)
        os.close(write)
        with os.fdopen(read) as f:
            self.display = ":" + f.readline().strip()
        self.state_file.write_text(json.dumps({"display": self.display, "xvfb": xvfb.pid}))
        subprocess.run(["wineboot", "-i"], env=self.env(), check=True, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=240)
        # A persistent server keeps every later wine call quick.
        subprocess.Popen(["wineserver", "-p"], env=self.env(), start_new_session=True)

    def cleanup(self):
        if not self.state_file.exists():
            return
        state = json.loads(self.state_file.read_text())
        self.display = state["display"]
        subprocess.run(["wineserver", "-k"], env=self.env(), stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=60)
        try:
            os.kill(state["xvfb"], signal.SIGTERM)
        except ProcessLookupError:
            pass
        self.state_file.unlink()

    def wine(self, *args, check_rc=True, timeout=60):
        r = subprocess.run(["wine", *args], env=self.env(), capture_output=True, text=True, timeout=timeout,
                           errors="replace")
        if check_rc and r.returncode != 0:
            raise Failure(f"wine {' '.join(args)} failed: {r.stderr.strip()[-400:]}")
        return r

    def reg_values(self, key):
        """{name: (type, data)} of a key, or None when it does not exist."""
        r = self.wine("reg", "query", key, "/reg:32", check_rc=False)
        if r.returncode != 0:
            return None
        values = {}
        for line in r.stdout.splitlines():
            m = re.match(r"^    (.*?)    (REG_\w+)    ?(.*)$", line)
            if m:
                values[m.group(1)] = (m.group(2), m.group(3))
        return values

    def forget_installations(self):
        """Registry keys and ini file of earlier runs removed, Wine's version setting reset."""
        for key in (APP_PATH_KEY, UNINSTALL_KEY, USER_KEY, VERSION_KEY):
            self.wine("reg", "delete", key, "/f", "/reg:32", check_rc=False)
        ini = self.drive_c / "windows" / "tovrel.ini"
        if ini.exists():
            ini.unlink()

    def windows_path(self, path):
        """C:\\... for a path inside drive_c."""
        return "C:\\" + str(Path(path).relative_to(self.drive_c)).replace("/", "\\")

    def unix_path(self, windows):
        check(windows[:3].upper() == "C:\\", f"not on drive C: {windows}")
        return self.drive_c / windows[3:].replace("\\", "/")

    def screenshot(self, name):
        subprocess.run(["import", "-window", "root", str(self.artifacts / f"{name}.png")], env=self.env(),
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=30)


class Run:
    """One installer process."""

    def __init__(self, session, exe, name, debug="+msgbox", **env):
        self.session = session
        self.name = name
        self.log_path = session.artifacts / f"{name}.log"
        self.log = open(self.log_path, "w")
        self.process = subprocess.Popen(["wine", str(exe)], env=session.env(debug, **env), stdout=self.log,
                                        stderr=subprocess.STDOUT, cwd=str(Path(exe).parent))

    def xdo(self, *args, check_rc=True):
        r = subprocess.run(["xdotool", *args], env=self.session.env(), capture_output=True, text=True, timeout=30)
        if check_rc and r.returncode != 0:
            raise Failure(f"xdotool {' '.join(args)}: {r.stderr.strip()}")
        return r.stdout

    def windows(self, name=CAPTION):
        """[(window, width, height)] of visible windows with that caption."""
        out = self.xdo("search", "--onlyvisible", "--name", f"^{re.escape(name)}$", check_rc=False)
        found = []
        for w in out.split():
            geometry = self.xdo("getwindowgeometry", "--shell", w, check_rc=False)
            size = dict(line.split("=", 1) for line in geometry.split() if "=" in line)
            if "WIDTH" in size:
                found.append((w, int(size["WIDTH"]), int(size["HEIGHT"])))
        return found

    def wait_for(self, predicate, what, timeout=30):
        end = time.time() + timeout
        while time.time() < end:
            result = predicate()
            if result:
                return result
            if self.process.poll() is not None:
                raise Failure(f"{self.name}: the installer ended (code {self.process.returncode}) "
                              f"while waiting for {what}; messages: {self.messages()}")
            time.sleep(0.2)
        raise Failure(f"{self.name}: no {what} after {timeout} s; messages: {self.messages()}")

    def install_dialog(self):
        return next((w for w, width, _ in self.windows() if width > 300), None)

    def wait_install_dialog(self, timeout=30):
        return self.wait_for(self.install_dialog, "install dialog", timeout)

    def wait_other(self, what, timeout=30):
        """A window with the caption other than the install dialog: the
        overwrite prompt or a message box, as the scenario expects."""
        return self.wait_for(lambda: next((w for w, width, _ in self.windows() if width <= 300), None), what,
                             timeout)

    def wait_window(self, name, timeout=30):
        return self.wait_for(lambda: self.windows(name), f"window {name!r}", timeout)[0][0]

    def key(self, window, *keys):
        self.focus(window)
        self.xdo("key", "--delay", "60", *keys)

    def type(self, window, text):
        self.focus(window)
        self.xdo("type", "--delay", "30", text)

    def focus(self, window):
        # Synthetic events sent to a window lose their modifiers in Wine
        # (capitals come out small), so keys go through XTEST to the window
        # that holds the X focus.
        self.xdo("windowfocus", "--sync", window, check_rc=False)

    def click(self, window, dialog_size, x, y, count=1):
        """Click at dialog units (x, y) of a dialog of `dialog_size` units."""
        geometry = dict(l.split("=", 1) for l in self.xdo("getwindowgeometry", "--shell", window).split() if "=" in l)
        px = int(geometry["X"]) + int(int(geometry["WIDTH"]) * x / dialog_size[0])
        py = int(geometry["Y"]) + int(int(geometry["HEIGHT"]) * y / dialog_size[1])
        self.xdo("mousemove", str(px), str(py), "click", "--repeat", str(count), "--delay", "80", "1")

    def messages(self):
        """Texts of the message boxes shown so far, in order."""
        if not self.log.closed:
            self.log.flush()
        texts = []
        for line in self.log_path.read_text(errors="replace").splitlines():
            m = re.search(r'trace:msgbox:MSGBOX_OnInit L"(.*)"$', line)
            if m:
                texts.append(m.group(1).encode("latin-1", "replace").decode("unicode_escape"))
        return texts

    def wait_message(self, count=1, dialog=None, timeout=30):
        """Waits for the count-th message box; returns its window (any window
        with the caption other than `dialog`, the install dialog if open)."""
        self.wait_for(lambda: len(self.messages()) >= count, f"message box {count}", timeout)
        return self.wait_for(lambda: next((w for w, _, _ in self.windows() if w != dialog), None),
                             "message box window", timeout)

    def wait_exit(self, timeout=60):
        try:
            code = self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            self.session.screenshot(f"{self.name}-stuck")
            self.process.kill()
            raise Failure(f"{self.name}: the installer did not end within {timeout} s; messages: {self.messages()}")
        self.log.close()
        return code
