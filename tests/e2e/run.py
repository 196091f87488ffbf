#!/usr/bin/env python3
"""The installer under Wine on the prefix and Xvfb display that `--setup` makes
for a ctest run, driven with xdotool; message texts come from Wine's +msgbox
trace. Installer windows are captioned "Tovrel Installation"; only the dialog
is over 300 pixels wide (no window manager: X windows are client areas)."""

import collections, contextlib, json, os, random, re, resource, shutil, signal, subprocess, sys, tempfile, time, zlib
from pathlib import Path

ROOT = Path(os.environ.get("JOV_E2E_ROOT", "build/e2e"))
PREFIX, ART, STATE = ROOT / "prefix", ROOT / "artifacts", ROOT / "session.json"
DRIVE = PREFIX / "drive_c"
STUB, TOOL, EXAMPLE, ORACLE = (Path(os.environ.get(k, "")) for k in ("JOV_STUB", "JOV_TOOL", "JOV_EXAMPLE", "JOV_ORACLE"))


def keys(product="Tovrel", publisher="Morvane", program="Tovrel32.exe"):
    """The keys an installer of this identity records in: App Paths, Uninstall, per-user."""
    system = r"HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion"
    return rf"{system}\App Paths\{program}", rf"{system}\Uninstall\{product}", rf"HKCU\Software\{publisher}\{product}"


APP_KEY, UNINSTALL_KEY, USER_KEY = keys()
VERSION_KEY = r"HKCU\Software\Wine\AppDefaults\Setup.exe"  # Wine's Windows version for the installer
DEFAULT = r"C:\Program Files\Tovrel"
CAPTION = "Tovrel Installation"
MODIFIED = "This installer has been modified, possibly by a download error or a virus.\nNothing will be installed."
DAMAGED = "Archive data is damaged, probably caused by\ncorrupt disk or download error"


def env(debug="-all"):
    display = json.loads(STATE.read_text())["display"] if STATE.exists() else ""
    return dict(os.environ, WINEPREFIX=str(PREFIX), WINEARCH="win32", WINEDEBUG=debug,
                WINEDLLOVERRIDES="mscoree,mshtml=", DISPLAY=display)


def sh(*args, ok=True, **kw):
    # Output to files, not pipes: wine may start services that inherit them and outlive the call.
    with tempfile.TemporaryFile("w+", errors="replace") as out, tempfile.TemporaryFile("w+", errors="replace") as err:
        r = subprocess.run([str(a) for a in args], stdout=out, stderr=err, text=True, timeout=240, **kw)
        out.seek(0), err.seek(0)
        r.stdout, r.stderr = out.read(), err.read()
    assert r.returncode == 0 or not ok, f"{' '.join(map(str, args))} failed: {r.stderr.strip()[-400:]}"
    return r


def wine(*args, ok=True):
    return sh("wine", *args, ok=ok, env=env())


def xdo(*args):
    return sh("xdotool", *args, ok=False, env=env()).stdout


def setup():
    cleanup()
    shutil.rmtree(ROOT, ignore_errors=True)
    ART.mkdir(parents=True)
    read, write = os.pipe()
    xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write), "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
                            pass_fds=[write], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)
    os.close(write)
    with os.fdopen(read) as f:
        STATE.write_text(json.dumps({"display": ":" + f.readline().strip(), "xvfb": xvfb.pid}))
    sh("wineboot", "-i", env=env())
    server()


def server(restart=False):
    """A persistent wine server: later wine calls start quickly, and key access lists (which the
    registry files do not keep) hold from one call to the next."""
    if restart:
        sh("wineserver", "-k", ok=False, env=env())
    subprocess.Popen(["wineserver", "-p"], env=env(), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                     start_new_session=True)


def cleanup():
    if STATE.exists():
        sh("wineserver", "-k", ok=False, env=env())
        with contextlib.suppress(ProcessLookupError):
            os.kill(json.loads(STATE.read_text())["xvfb"], signal.SIGTERM)
        STATE.unlink()


def regs(*commands):
    """reg.exe commands in one start of wine (each start takes seconds): their outputs."""
    (DRIVE / "regs.bat").write_text("@echo off\r\n" + "".join(f"reg {c} /reg:32\r\necho :next\r\n" for c in commands))
    outputs = wine("cmd", "/c", r"C:\regs.bat", ok=False).stdout.split(":next")  # errorlevel: the last reg's
    assert len(outputs) == len(commands) + 1, f"regs.bat did not run through: {outputs}"
    return outputs[:-1]


def reg(*keys):
    """{name: (type, data)} of each key, None where there is no such key."""
    return [{m[0]: m[1:] for m in re.findall(r"^    (.*?)    (REG_\w+)    ?(.*)$", out, re.M)} if "HKEY_" in out else None
            for out in regs(*(f'query "{key}"' for key in keys))]


def unix(folder):
    assert folder[:3].upper() == "C:\\", f"not on drive C: {folder}"
    return DRIVE / folder[3:].replace("\\", "/")


def forget(*folders):
    """No trace of earlier installs (registry, tovrel.ini, Wine's version setting, `folders`)."""
    regs(*(f'delete "{key}" /f' for key in (APP_KEY, UNINSTALL_KEY, USER_KEY, VERSION_KEY)))
    (DRIVE / "windows" / "tovrel.ini").unlink(missing_ok=True)
    for folder in folders:
        for p in unix(folder).rglob("*"):
            p.chmod(0o755 if p.is_dir() else 0o644)
        shutil.rmtree(unix(folder), ignore_errors=True)


def windows(name=CAPTION):
    found = []
    for w in xdo("search", "--onlyvisible", "--name", f"^{re.escape(name)}$").split():
        g = dict(line.split("=", 1) for line in xdo("getwindowgeometry", "--shell", w).split() if "=" in line)
        found += [(w, int(g["WIDTH"]), int(g["HEIGHT"]), int(g["X"]), int(g["Y"]))] if "WIDTH" in g else []
    return found


def key(window, *keys, text=None):
    # Through XTEST to the focused window: events sent to a window lose their modifiers in Wine.
    xdo("windowfocus", "--sync", window[0])
    xdo(*(("type", "--delay", "30", text) if text else ("key", "--delay", "60", *keys)))


def click(window, units, x, y, count=1):
    """Click at (x, y) dialog units of a dialog `units` in size."""
    px, py = window[3] + window[1] * x // units[0], window[4] + window[2] * y // units[1]
    xdo("mousemove", str(px), str(py), "click", "--repeat", str(count), "--delay", "80", "1")


def wait_for(predicate, what, run=None, timeout=30):
    end = time.time() + timeout
    while time.time() < end:
        if result := predicate():
            return result
        assert not run or run.process.poll() is None, f"the installer ended while waiting for {what}"
        time.sleep(0.2)
    raise AssertionError(f"no {what} after {timeout} s; messages {run and run.messages()}")


class Run:
    """C:\\setups\\NAME\\Setup.exe (bytes, or [bytes, hole size, bytes]: a sparse file) run with `args`; +msgbox,`trace`."""

    def __init__(self, name, exe, args=(), caption=CAPTION, trace=""):
        self.exe, self.name, self.log, self.caption = DRIVE / "setups" / name / "Setup.exe", name, ART / f"{name}.log", caption
        shutil.rmtree(self.exe.parent, ignore_errors=True)
        self.exe.parent.mkdir(parents=True)
        with open(self.exe, "wb") as f:
            for part in [exe] if isinstance(exe, bytes) else exe:
                f.seek(part, os.SEEK_CUR) if isinstance(part, int) else f.write(part)
        with open(self.log, "w") as log:
            self.process = subprocess.Popen(["wine", self.exe, *args], env=env("+msgbox" + trace), stdout=log,
                                            stderr=log, cwd=self.exe.parent)

    def messages(self):
        found = re.findall(r'trace:msgbox:MSGBOX_OnInit L"(.*)"$', self.log.read_text(errors="replace"), re.M)
        return [m.encode("latin-1", "replace").decode("unicode_escape") for m in found]

    def window(self, *other, dialog=False):
        """The install dialog, or a message box or prompt: a window other than those given."""
        found = wait_for(lambda: next((w for w in windows(self.caption) if (w[1] > 300) >= dialog and w[0] not in other), None),
                         "install dialog" if dialog else "box", self)
        time.sleep(0.5)  # not yet ready for keys when it shows
        return found

    def done(self, texts=(), timeout=120, code=0):
        """Exit code `code` and these message texts (or long starts of them: Wine's trace cuts)."""
        try:
            assert self.process.wait(timeout) == code, f"{self.name}: exit code {self.process.returncode}, not {code}"
        except subprocess.TimeoutExpired:
            self.process.kill()
            raise AssertionError(f"{self.name} did not end within {timeout} s; messages {self.messages()}")
        shown = self.messages()
        assert len(shown) == len(texts) and all(s == t or len(s) > 270 and t.startswith(s) for s, t in zip(shown, texts)), \
            f"messages {shown!r}, expected {list(texts)!r}"


def install(name, exe, folder=None, keys=("Return",), prepare=None, caption=CAPTION):
    """Types `folder` (or keeps the proposal), lets `prepare` act, presses `keys` (Return: Install)."""
    run = Run(name, exe, caption=caption)
    dialog = run.window(dialog=True)
    if folder:
        key(dialog, text=folder)
    if prepare:
        prepare(run, dialog)
    key(dialog, *keys)
    return run, dialog


# Archives the packer never makes (empty, damaged, any name, data far behind the header).
E = collections.namedtuple("E", "name data attributes write", defaults=(None, 0x20, (0x52cf, 0x6cb5)))
W1, W2 = (0x4e64, 0x28c4), (0x557e, 0xbf7d)  # DOS (date, time): 2019-03-04 05:06:08, 2022-11-30 23:59:58


def setup_exe(entries=(E("a.txt", b"a"),), stub=None, gap=0, cut=None):
    """The stub, the archive header, `gap` unused bytes, the data (stored blocks, or as `cut` divides
    the stream) and the directory."""
    stream, blocks = b"", [b""]
    for e in entries:
        name, data = e.name.encode("cp1252"), e.data or b""
        if F.BLOCK_STORED_DATA_BYTE + len(blocks[-1]) + F.DIRECTORY_ENTRY_SIZE + len(name) > F.DIRECTORY_BLOCK_MAX_ENCODED:
            blocks.append(b"")
        folder = e.data is None
        blocks[-1] += F.record(F.ENTRY, F.DIRECTORY_ENTRY_SIZE, stream_offset=0 if folder else F.ARCHIVE_HEADER_SIZE + gap,
                               attributes=e.attributes, flags=F.ENTRY_FOLDER if folder else 0, length=len(data),
                               stream_position=0 if folder else len(stream), crc=zlib.crc32(data), name_length=len(name),
                               write_time=e.write[1], write_date=e.write[0]) + name
        if e.data is not None:
            crc = zlib.crc32(data).to_bytes(F.STREAM_RECORD_CRC_SIZE, "little")
            stream += F.record(F.STREAM_RECORD, F.STREAM_RECORD_FIXED_SIZE, file_length=len(data),
                               variable_length=len(name)) + name + data + crc
    most = F.STORED_BLOCK_MAX_DATA
    chunks = cut(stream) if cut else [stream[i:i + most] for i in range(0, len(stream), most)] or [b""]
    data = F.STREAM_SIGNATURE + b"".join(F.stored_block(c, i == len(chunks) - 1) for i, c in enumerate(chunks))
    directory = b"".join(F.DIRECTORY_SIGNATURE + F.stored_block(b) for b in blocks if b)
    size = F.ARCHIVE_HEADER_SIZE + gap + len(data)
    head = F.record(F.HEADER, F.ARCHIVE_HEADER_SIZE, magic=F.ARCHIVE_MAGIC, directory_offset=size,
                    entry_count=len(entries), archive_length=size + len(directory), data_length=len(data))
    exe = [(stub or STUB.read_bytes()) + head, gap, data + directory]
    return exe if gap else exe[0] + exe[2]


def sample():
    """Folders, times, read-only, hidden and system files, an empty file, the sample program."""
    return [E("Tovrel32.exe", EXAMPLE.read_bytes(), write=W1), E("docs"),
            E("docs\\readme.txt", b"Tovrel readme\r\n" * 50, write=W2), E("docs\\locked.txt", b"read-only\r\n", 0x21, W1),
            E("docs\\deep"), E("docs\\deep\\hidden.dat", bytes(range(256)) * 9, 0x22, W2),
            E("system.bin", b"\x00\x01system", 0x24, W1), E("empty.txt", b"", write=W2)]


def expect_tree(folder, entries, absent=()):
    """Bytes, last-write times and R/H/S attributes as recorded; `absent` names not there."""
    lines = wine("cmd", "/c", "attrib", "/s", folder + "\\*").stdout.splitlines()
    flags = {line[13:].strip()[len(folder) + 1:].lower(): set(line[:13]) & set("RHS") for line in lines}
    for e in entries:
        path = unix(folder) / e.name.replace("\\", "/")
        if e.data is None:
            assert path.is_dir(), f"folder {e.name} missing"
            continue
        assert path.is_file() and path.read_bytes() == e.data, f"{e.name}: missing or other bytes"
        (d, t), want = e.write, {c for bit, c in ((1, "R"), (2, "H"), (4, "S")) if e.attributes & bit}
        when = time.mktime((1980 + (d >> 9), d >> 5 & 15, d & 31, t >> 11, t >> 5 & 63, (t & 31) * 2, 0, 0, -1))
        assert abs(path.stat().st_mtime - when) < 2.5, f"{e.name}: last-write time differs"
        assert flags.get(e.name.lower()) == want, f"{e.name}: attributes {flags.get(e.name.lower())}, not {want}"
    for name in absent:
        assert not (unix(folder) / name.replace("\\", "/")).exists(), f"{name} was left behind"


def expect_recorded(folder, started=False, product="Tovrel", publisher="Morvane", program="Tovrel32.exe"):
    path = folder + "\\" + program
    app, uninstall, user = (values or {} for values in reg(*keys(product, publisher, program)))
    assert app.get("(Default)") == ("REG_SZ", path), f"App Paths {app}"
    assert user.get("Setup") == ("REG_SZ", "1"), f"per-user key {user}"
    assert uninstall.get("DisplayName") == ("REG_SZ", product) and \
        uninstall.get("UninstallString") == ("REG_SZ", f'"{path}" /uninstall'), f"Uninstall {uninstall}"
    if started:  # the sample program notes its start in started.txt and shows a window a few seconds
        wait_for((unix(folder) / "started.txt").exists, f"started.txt of {program}")
        wait_for(lambda: not xdo("search", "--name", "^Tovrel 0.93 Beta$").split(), "end of Tovrel32.exe")


def expect_nothing_recorded():
    assert reg(APP_KEY, UNINSTALL_KEY, USER_KEY) == [None] * 3, "the registry was written"
    assert not (DRIVE / "windows" / "tovrel.ini").exists() and not unix(DEFAULT).exists(), "tovrel.ini or folder made"


def changed(data, marker=b"", at=0):
    """One byte changed: `at` bytes into the first `marker`."""
    at += data.find(marker)
    assert at >= len(marker), f"{marker} not found"
    return data[:at] + bytes([data[at] ^ 0x20]) + data[at + 1:]


LONG = r"C:\TooLong", "n" * (259 - len(r"C:\TooLong"))  # a name one longer than fits behind the folder
LONG_TREE = [E("first.txt", b"1"), E(LONG[1], b"lost"), E("after.txt", b"3")]
LONG_TEXT = f"Cannot create {LONG[0]}\\{LONG[1][:-1]}\nPath too long"  # cut to what fits
FAR = [E("far.txt", b"far away\r\n" * 100, write=W1), E("docs"), E("docs\\deep.bin", bytes(range(256)) * 40)]

# Rows: the installer (default: stub and one file), its arguments; the folder typed and keys pressed
# in the dialog (none: a box instead); the answer to each box; the texts shown; the exit code (2 after
# a message, else 0); the entries installed and names left out (no tree: nothing written or recorded;
# lost: not recorded).
ROWS = {
    "short_overlay": dict(exe=lambda: STUB.read_bytes() + F.ARCHIVE_MAGIC + bytes(30), texts=["Cannot read Setup.exe"]),
    "empty_archive": dict(exe=lambda: setup_exe([]), texts=["Archive contains no files"]),
    "modified_stub": dict(exe=lambda: setup_exe(stub=changed(STUB.read_bytes(), "Install to".encode("utf-16-le"))),
                          texts=[MODIFIED]),
    "truncated_stub": dict(exe=lambda: STUB.read_bytes()[:-1], texts=[MODIFIED]),
    "dialog_cancel": dict(keys=("Escape", "alt+c"), code=1),  # Escape alone does nothing
    "dialog_close": dict(keys=("Escape", "alt+F4"), code=1),  # the close box, as SC_CLOSE
    "damaged_data": dict(exe=lambda: changed(setup_exe(sample()), b"Tovrel readme", 3), folder=r"C:\Damaged",
                         texts=[DAMAGED], tree=lambda: sample()[:2] + sample()[3:], absent=["docs\\readme.txt"]),
    # No window: the first failure ends the run, and the folder given takes the rest of the line.
    "silent_damaged": dict(exe=lambda: changed(setup_exe(sample()), b"Tovrel readme", 3), folder=r"C:\Damaged Too",
                           args=("/S", r"/D=C:\Damaged", "Too"), code=2, tree=lambda: sample()[:2],
                           absent=["docs\\readme.txt", "system.bin"], lost=True),
    "name_too_long_ok": dict(exe=lambda: setup_exe(LONG_TREE), folder=LONG[0], texts=[LONG_TEXT],
                             tree=lambda: LONG_TREE[::2], absent=[LONG[1]]),
    "name_too_long_cancel": dict(exe=lambda: setup_exe(LONG_TREE), folder=LONG[0], texts=[LONG_TEXT],
                                 answers=["Escape"], tree=lambda: LONG_TREE[:1], absent=[LONG[1], "after.txt"], lost=True),
    "archive_past_2_gib": dict(exe=lambda: setup_exe(FAR, gap=0x88000000), folder=r"C:\Far", tree=lambda: FAR),
}


def row(name, exe=setup_exe, args=(), folder=None, keys=None, texts=(), answers=None, code=None, tree=None, absent=(),
        lost=False):
    forget(DEFAULT, *([folder] if folder else []))
    run, dialog = install(name, exe(), folder, keys or ("Return",)) if (folder or keys) and not args else \
        (Run(name, exe(), args), ("",))
    for answer in answers or ["Return"] * len(texts):
        key(run.window(dialog[0]), answer)
    run.done(texts, code=2 if code is None and texts else code or 0)
    run.exe.unlink()  # some are sparse, 2 GiB long
    if tree:
        expect_tree(folder, tree(), absent)
    if tree and not lost:
        expect_recorded(folder)
    else:
        expect_nothing_recorded()


def reinstall():
    """A typed folder with two trailing separators is proposed next time, with a prompt per file:
    Escape is no answer, "&No" keeps it, "Yes To &All" ends them; the box replaces all unasked."""
    folder, entries = r"C:\Apps\Tovrel", sample()
    forget(folder)
    install("typed_folder", setup_exe(entries), folder + "\\\\")[0].done()
    expect_tree(folder, entries)
    expect_recorded(folder, started=True)
    kept, replaced = unix(folder) / "Tovrel32.exe", unix(folder) / "docs" / "readme.txt"
    kept.write_bytes(b"kept by No")
    replaced.write_bytes(b"changed")
    run, dialog = install("second_run", setup_exe(entries))
    prompt = run.window(dialog[0])
    key(prompt, "Escape")
    assert run.window(dialog[0])[0] == prompt[0], "Escape closed the prompt"
    key(prompt, "alt+n")
    key(run.window(dialog[0], prompt[0]), "alt+a")
    run.done()
    assert kept.read_bytes() == b"kept by No", "No did not keep the file"
    expect_tree(folder, entries[1:])
    (unix(folder) / "docs" / "locked.txt").chmod(0o644)
    (unix(folder) / "docs" / "locked.txt").write_bytes(b"old")
    wine("cmd", "/c", "attrib", "+r", folder + r"\docs\locked.txt")
    tick_box = ("Tab",) * 4 + ("space", "Return")  # field, Install, Cancel, Browse, the box
    install("overwrite_box", setup_exe(entries), keys=tick_box)[0].done()
    expect_tree(folder, entries)


def default_folder_rules():
    """The proposal: the folder of the App Paths value if it is a string (a drive root keeps its
    separator, a bare name gives the Program Files rule), else of the tovrel.ini entry."""
    cases = (("REG_EXPAND_SZ", r"C:\Wrong\Tovrel32.exe", r"C:\FromIni\Tovrel32.exe", r"C:\FromIni"),
             ("REG_SZ", r"C:\Tovrel32.exe", None, "C:\\"), ("REG_SZ", "Tovrel32.exe", None, DEFAULT))
    for i, (kind, value, ini, expected) in enumerate(cases):
        forget()
        wine("reg", "add", APP_KEY, "/ve", "/t", kind, "/d", value, "/f", "/reg:32")
        if ini:
            (DRIVE / "windows" / "tovrel.ini").write_text(f"[Install]\r\nPath={ini}\r\n")
        marker = unix(expected) / f"rules{i}.txt"
        marker.unlink(missing_ok=True)
        install(f"default_folder_{i}", setup_exe([E(marker.name, b"r")]))[0].done()
        assert marker.is_file(), f"{value} ({kind}) did not propose {expected}"
        expect_recorded(expected.rstrip("\\"))
        marker.unlink()


def browse():
    """The shell's browser opens at the folder typed, OK proposes Tovrel in the chosen one, Cancel
    keeps it. On major version 3 the default is C:\\Tovrel; the old-style dialog ("Open File" in
    Wine) opens in the installer's folder, "[..]" goes up to C:\\setups, OK proposes Tovrel there."""
    def chooser(typed, titles, act):
        def prepare(run, dialog):
            key(dialog, text=typed)
            key(dialog, "alt+b")
            act(wait_for(lambda: sum(map(windows, titles), []), "folder chooser", run)[0])
            wait_for(lambda: not sum(map(windows, titles), []), "folder chooser closed", run)
        return prepare
    up = lambda w: (time.sleep(1), click(w, (171, 164), 25, 51, count=2), time.sleep(1), key(w, "Return"))
    (DRIVE / "Games" / "Sub").mkdir(parents=True, exist_ok=True)
    for i, (prepare, expected) in enumerate((
            (chooser(r"C:\Games", ["Browse for Folder"], lambda w: (time.sleep(1), key(w, "Return"))), r"C:\Games\Tovrel"),
            (chooser(r"C:\Games", ["Browse for Folder"], lambda w: (time.sleep(1), key(w, "Escape"))), r"C:\Games"),
            (None, r"C:\Tovrel"), (chooser(r"C:\Old", ["Select Folder", "Open File"], up), r"C:\setups\Tovrel"))):
        forget(expected)
        if i >= 2:
            wine("reg", "add", VERSION_KEY, "/v", "Version", "/d", "nt351", "/f")
        install(f"browse_{i}", setup_exe([E("browsed.txt", b"x")]), prepare=prepare)[0].done()
        assert (unix(expected) / "browsed.txt").is_file(), f"not installed into {expected}"


def reglock(action, *keys):
    helper = ROOT / "reglock.exe"
    if not helper.exists():
        sh("i686-w64-mingw32-gcc", "-Wall", "-Werror", "-o", helper, Path(__file__).with_name("reglock.c"), "-ladvapi32")
    wine(helper, action, *keys, ok=action == "lock")


def per_user_key_refused():
    """Per-user key refused (reglock.c): [Options] Setup=1 goes to tovrel.ini, the rest to the registry."""
    folder = r"C:\Refused"
    forget(folder)
    reglock("lock", USER_KEY)
    try:
        install("per_user_key_refused", setup_exe(), folder)[0].done()
        ini = (DRIVE / "windows" / "tovrel.ini").read_text(errors="replace")
        assert "[Options]" in ini and "Setup=1" in ini and "[Install]" not in ini, f"tovrel.ini holds {ini!r}"
        app, uninstall = reg(APP_KEY, UNINSTALL_KEY)
        assert (app or {}).get("(Default)") == ("REG_SZ", folder + "\\Tovrel32.exe"), f"App Paths {app}"
        assert "UninstallString" in (uninstall or {}), "no uninstall entry"
    finally:
        reglock("unlock", USER_KEY)


def acme():
    """An installer packed for "Acme Tools 2.1" by Acme (acme.exe, acme.ini) shows Acme's texts, installs into
    C:\\Program Files\\Acme Tools under Acme's names and starts acme.exe. /S with Acme's keys refused: no
    window, files replaced, the ini fallbacks, no start; /S /D= a folder with a space installs there."""
    work, folder, other = ROOT / "acme", r"C:\Program Files\Acme Tools", r"C:\Other Place"
    app, uninstall, user = acme_keys = keys("Acme Tools", "Acme", "acme.exe")
    shutil.rmtree(work, ignore_errors=True)
    (work / "tree").mkdir(parents=True)
    (work / "tree" / "acme.exe").write_bytes(EXAMPLE.read_bytes())
    (work / "tree" / "readme.txt").write_bytes(b"Acme\r\n")
    (work / "identity").write_text("# Acme\nproduct = Acme Tools\nproduct-version = 2.1\nprogram = acme.exe\n")
    sh(TOOL, "pack", "-q", "--stub", STUB, "--identity", work / "identity", "--publisher", "Acme", "--ini-file",
       "acme.ini", "-o", work / "Setup.exe", work / "tree")
    setup, ini = (work / "Setup.exe").read_bytes(), DRIVE / "windows" / "acme.ini"
    regs(*(f'delete "{key}" /f' for key in acme_keys))
    ini.unlink(missing_ok=True)
    forget(folder, other)
    # A program the user did not install, where an unquoted start of "C:\Program Files\..." looks first.
    decoy = DRIVE / "Program.exe"
    decoy.write_bytes(EXAMPLE.read_bytes())
    (DRIVE / "started.txt").unlink(missing_ok=True)
    run = Run("acme", setup, caption="Acme Tools Installation", trace=",+win")
    key(run.window(dialog=True), "Return")
    run.done()
    assert 'L"Click the Install button to install Acme Tools 2.1 to the folder below.\\n' in run.log.read_text(), \
        "no instruction text for Acme Tools 2.1"
    expect_recorded(folder, started=True, product="Acme Tools", publisher="Acme", program="acme.exe")
    decoy.unlink()
    assert not (DRIVE / "started.txt").exists(), "the installer started C:\\Program.exe, not acme.exe"

    (unix(folder) / "readme.txt").write_bytes(b"changed")
    reglock("lock", app, user)
    try:
        Run("acme_silent", setup, ["/S"]).done()
    finally:
        reglock("unlock", app, user)
    Run("acme_silent_folder", setup, ["/S", r"/D=C:\Other", "Place"]).done()
    time.sleep(1)  # a start would have written started.txt by now
    assert (unix(folder) / "readme.txt").read_bytes() == b"Acme\r\n", "/S kept an existing file"
    assert len((unix(folder) / "started.txt").read_text().splitlines()) == 1, "/S started the program"
    assert (unix(other) / "acme.exe").read_bytes() == EXAMPLE.read_bytes() and not (unix(other) / "started.txt").exists()
    text = ini.read_text(errors="replace")
    assert f"Path={folder}\\acme.exe" in text and "Setup=1" in text, f"acme.ini holds {text!r}"
    values = reg(app, APP_KEY, UNINSTALL_KEY, USER_KEY)
    assert values[0]["(Default)"] == ("REG_SZ", other + "\\acme.exe") and values[1:] == [None] * 3, f"keys {values}"
    assert not (DRIVE / "windows" / "tovrel.ini").exists(), "tovrel.ini written"


def cancel_during_extraction():
    """Cancel while thousands of files are written: none is half written, nothing recorded."""
    folder = r"C:\Cancelled"
    forget(folder, DEFAULT)
    entries = [E(f"f{i:05}.bin", bytes([i % 251]) * 4096) for i in range(3000)]
    run, dialog = install("cancel_during_extraction", setup_exe(entries), folder)
    wait_for(lambda: unix(folder).exists() and len(list(unix(folder).iterdir())) > 5, "files being written", run)
    click(dialog, (275, 90), 250, 31)  # Cancel
    run.done(code=1)
    written = {p.name: p.read_bytes() for p in unix(folder).iterdir()}
    assert 0 < len(written) < len(entries), f"{len(written)} of {len(entries)} files: the cancel did not stop it"
    assert all(data == entries[int(name[1:6])].data for name, data in written.items()), "a file is incomplete"
    expect_nothing_recorded()


def tiny_blocks():
    """A file in a 600,000-byte block and 2,000,000 one-byte blocks (17 MB), each behind a full window of
    history, installed silently with under 8 s of CPU (not the clock: the machine may be busy); over 20 s
    when each block moved the whole window."""
    data, cpu = random.Random(22).randbytes(2_600_000), lambda: sum(resource.getrusage(resource.RUSAGE_CHILDREN)[:2])
    forget(r"C:\Tiny")
    cut = lambda s: [s[:600_000]] + [s[i:i + 1] for i in range(600_000, len(s))]
    exe, start = setup_exe([E("t.bin", data)], cut=cut), cpu()
    Run("tiny_blocks", exe, ("/S", r"/D=C:\Tiny")).done(timeout=200)
    assert (unix(r"C:\Tiny") / "t.bin").read_bytes() == data and cpu() - start < 8, f"t.bin or {cpu() - start:.1f} s of CPU"


def packed_tree(tree):
    """Text, noise, short periods (overlapping copies), matches up to 640 KiB back across blocks,
    empty files and folders, forty small files, the sample program (the call filter)."""
    rng = random.Random(20240611)
    (tree / "empty folder").mkdir(parents=True)
    words = b"the of and to in is installer archive folder stream block window table 0 1 42 1998 C:\\Program \r\n"
    text = b" ".join(rng.choice(words.split(b" ")) for _ in range(200000))
    far = bytearray(text[:900_000])
    while len(far) < 2_300_000:
        start = len(far) - rng.randint(1, min(len(far), 640 * 1024))
        far += far[start:start + rng.randint(2, 5000)] + rng.randbytes(rng.randint(0, 40))
    periods = b"".join(rng.randbytes(p) * (50000 // p) + rng.randbytes(rng.randint(1, 300)) for p in (*range(1, 10), 31))
    files = {"Tovrel32.exe": EXAMPLE.read_bytes(), "text.txt": text[:400_000], "random.bin": rng.randbytes(150_000),
             "periods.bin": periods, "sub/far.bin": bytes(far), "sub/empty.txt": b"",
             **{f"sub/deeper/small {i:02}.txt": text[i * 3000:i * 3000 + rng.randint(1, 3000)] for i in range(40)}}
    for name, data in files.items():
        (tree / name).parent.mkdir(parents=True, exist_ok=True)
        (tree / name).write_bytes(data)


def signed(work, setup):
    """Signed with a throw-away certificate: it verifies, the seal holds and still guards the stub."""
    pem, cert, out, broken = work / "key.pem", work / "cert.pem", work / "Signed.exe", work / "Broken.exe"
    sh("openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", pem, "-out", cert, "-days", "2",
       "-subj", "/CN=JOV Setup test")
    sh("osslsigncode", "sign", "-certs", cert, "-key", pem, "-n", "Tovrel", "-in", setup, "-out", out)
    assert "Signature verification: ok" in sh("osslsigncode", "verify", "-CAfile", cert, out).stdout, "bad signature"
    sh(TOOL, "test", out)
    broken.write_bytes(changed(out.read_bytes(), at=600))
    r = sh(TOOL, "test", broken, ok=False)
    assert r.returncode != 0 and "stub does not match its seal" in r.stderr, f"a changed stub byte: {r.stderr!r}"
    return out


def packed(level):
    """`jov pack` at `level`: the stub's own decoder gives back every file byte for byte."""
    work, folder = ROOT / f"packed{level}", f"C:\\Packed{level}"
    forget(folder)
    shutil.rmtree(work, ignore_errors=True)
    packed_tree(work / "tree")
    sh(TOOL, "pack", "-q", "-l", level, "-o", work / "Setup.exe", "--stub", STUB, work / "tree")
    setup = signed(work, work / "Setup.exe") if level == 9 else work / "Setup.exe"
    install(f"packed{level}", setup.read_bytes(), folder)[0].done()
    for path in (work / "tree").rglob("*"):
        copy = unix(folder) / path.relative_to(work / "tree")
        assert copy.is_dir() if path.is_dir() else copy.read_bytes() == path.read_bytes(), f"{copy} differs"
    expect_recorded(folder, started=True)
    shutil.rmtree(work)


def oracle():
    """The test builder's hard cases, which tests/roundtrip/oracle_test.cpp makes and extracts with `jov`
    as the reference reader reads them: behind the stub, each installs as the tree `jov extract` gave."""
    work = ROOT / "oracle"
    shutil.rmtree(work, ignore_errors=True)
    sh(ORACLE, "--gtest_filter=Oracle.*", env=dict(os.environ, JOV_ORACLE_OUT=str(work)))
    tree = lambda root: {p.relative_to(root): p.is_file() and p.read_bytes() for p in root.rglob("*")}
    for archive in sorted(work.glob("*.jov")):
        folder = "C:\\Oracle\\" + archive.stem
        forget(folder)
        install(f"oracle_{archive.stem}", STUB.read_bytes() + archive.read_bytes(), folder)[0].done()
        assert tree(unix(folder)) == tree(work / archive.stem), f"{archive.stem}: not the tree jov extracted"
    shutil.rmtree(work)


def case_pairs():
    """Names Windows takes for one file (the same name in another case, the 1252 pair 0x9A/0x8A): the
    later record replaces the earlier, which keeps its spelling; `jov extract` gives the same tree."""
    folder, work = r"C:\Pairs", ROOT / "pairs"
    forget(folder)
    entries = [E("Tovrel32.exe", b"first"), E("TOVREL32.EXE", b"second"), E("x\u0161", b"small"), E("x\u0160", b"capital")]
    run = Run("case_pairs", setup_exe(entries), ("/S", "/D=" + folder))
    run.done()
    tree = lambda root: {p.name: p.read_bytes() for p in root.iterdir()}
    assert tree(unix(folder)) == {"Tovrel32.exe": b"second", "x\u0161": b"capital"}, tree(unix(folder))
    shutil.rmtree(work, ignore_errors=True)
    sh(TOOL, "extract", "-q", "--overwrite=all", "-C", work, run.exe)
    assert tree(work) == tree(unix(folder)), f"jov extract gave {tree(work)}"
    shutil.rmtree(work)


SCENARIOS = {name: (lambda name=name, args=args: row(name, **args)) for name, args in ROWS.items()}
SCENARIOS.update({f.__name__: f for f in (reinstall, default_folder_rules, browse, per_user_key_refused,
                                          cancel_during_extraction, acme, oracle, tiny_blocks, case_pairs)})
SCENARIOS.update({f"packed_level{level}": (lambda level=level: packed(level)) for level in (0, 1, 6, 9)})

if __name__ == "__main__":
    arg = sys.argv[1] if len(sys.argv) == 2 else ""
    if arg in ("--setup", "--cleanup", "--list"):
        sys.exit({"--setup": setup, "--cleanup": cleanup, "--list": lambda: print(" ".join(SCENARIOS))}[arg]())
    assert arg in SCENARIOS, f"usage: run.py --setup | --cleanup | --list | {' | '.join(SCENARIOS)}"
    sys.path.insert(0, str(TOOL.parent))  # the build writes jovformat.py (format.h's layouts) beside jov
    import jovformat as F
    try:
        SCENARIOS[arg]()
    except BaseException:
        sh("import", "-window", "root", ART / f"{arg}-failed.png", ok=False, env=env())
        server(restart=True)  # what this scenario left running must not meet the next
        raise
    print(f"passed {arg}")
