#!/usr/bin/env python3
"""End-to-end scenarios of the installer under Wine.

  run.py --setup | --cleanup      the shared prefix and display of one run
  run.py --list | --list-packer   the scenario names (those that need `jov pack`)
  run.py SCENARIO                 one scenario (ctest runs each as a test)

Paths come from the environment that tests/e2e/CMakeLists.txt sets:
JOV_E2E_ROOT (work folder), JOV_STUB (the sealed stub), JOV_EXAMPLE (the
sample Tovrel32.exe), JOV_TOOL (`jov`, where it is built).
"""

import os
import shutil
import subprocess
import sys
import time
import traceback
from pathlib import Path

sys.path.insert(0, str(Path(__file__).parent))
import mkarchive  # noqa: E402
from harness import APP_PATH_KEY, UNINSTALL_KEY, USER_KEY, VERSION_KEY, Failure, Run, Session, check  # noqa: E402

ROOT = Path(os.environ.get("JOV_E2E_ROOT", "build/e2e"))
STUB = Path(os.environ.get("JOV_STUB", "build/stub/stub.exe"))
SCENARIOS = {}
PACKER_SCENARIOS = set()  # need `jov pack` (JOV_TOOL)

MODIFIED_TEXT = "This installer has been modified, possibly by a download error or a virus.\nNothing will be installed."


def scenario(function):
    SCENARIOS[function.__name__] = function
    return function


def packer_scenario(function):
    PACKER_SCENARIOS.add(function.__name__)
    return scenario(function)


def make_installer(session, name, archive, stub=None, whole=None):
    """Setup.exe = stub + archive (or the `whole` file), in its own folder on
    drive C."""
    folder = session.drive_c / "setups" / name
    shutil.rmtree(folder, ignore_errors=True)
    folder.mkdir(parents=True)
    exe = folder / "Setup.exe"
    exe.write_bytes(whole if whole is not None else (stub if stub is not None else STUB.read_bytes()) + archive)
    return exe


def expect_nothing_recorded(session):
    for key in (APP_PATH_KEY, UNINSTALL_KEY, USER_KEY):
        check(session.reg_values(key) is None, f"{key} was written")
    check(not (session.drive_c / "windows" / "tovrel.ini").exists(), "tovrel.ini was written")


def single_message(session, name, archive, expected, stub=None):
    """Runs an installer that must show exactly one box with `expected` and end."""
    session.forget_installations()
    run = Run(session, make_installer(session, name, archive, stub), name)
    box = run.wait_message()
    session.screenshot(name)
    run.key(box, "Return")
    check(run.wait_exit() == 0, "exit code is not 0")
    check(run.messages() == [expected], f"messages {run.messages()!r}, expected {[expected]!r}")
    check(run.install_dialog() is None, "the install dialog opened")
    expect_nothing_recorded(session)


def small_archive():
    return mkarchive.build([mkarchive.Entry("readme.txt", b"hello\r\n")])


@scenario
def short_overlay(session):
    single_message(session, "short_overlay", b"JOV\n" + bytes(30), "Cannot read Setup.exe")


@scenario
def empty_archive(session):
    single_message(session, "empty_archive", mkarchive.build([]), "Archive contains no files")


@scenario
def modified_stub(session):
    stub = bytearray(STUB.read_bytes())
    # One byte of the resource section's dialog text and, separately, a file
    # shorter than the stub.
    at = bytes(stub).find("Install to Folder:".encode("utf-16-le"))
    check(at > 0, "dialog text not found in the stub")
    stub[at] ^= 0x20
    single_message(session, "modified_stub", small_archive(), MODIFIED_TEXT, bytes(stub))
    single_message(session, "truncated_stub", b"", MODIFIED_TEXT, STUB.read_bytes()[:-1])


@scenario
def dialog_cancel_and_close(session):
    """Cancel and the close box (Alt+F4 reaches it as SC_CLOSE) both end the
    run with nothing recorded or started; Esc does nothing."""
    for how in ("cancel", "close"):
        session.forget_installations()
        name = f"dialog_{how}"
        run = Run(session, make_installer(session, name, small_archive()), name)
        dialog = run.wait_install_dialog()
        session.screenshot(name)
        run.key(dialog, "Escape")
        run.key(dialog, "alt+c" if how == "cancel" else "alt+F4")
        check(run.wait_exit() == 0, "exit code is not 0")
        check(run.messages() == [], f"unexpected messages {run.messages()}")
        expect_nothing_recorded(session)
        check(not (session.drive_c / "Program Files" / "Tovrel").exists(), "the default folder was created")


DAMAGED_TEXT = "Archive data is damaged, probably caused by\ncorrupt disk or download error"
EXAMPLE = Path(os.environ.get("JOV_EXAMPLE", "build/stub/examples/Tovrel32.exe"))
DEFAULT_FOLDER = r"C:\Program Files\Tovrel"

# The tree of the main scenarios: folders, files with times, read-only,
# hidden and system attributes, an empty file, and the sample program.
W1 = (mkarchive.dos_date(2019, 3, 4), mkarchive.dos_time(5, 6, 8))
W2 = (mkarchive.dos_date(2022, 11, 30), mkarchive.dos_time(23, 59, 58))
C1 = (mkarchive.dos_date(2018, 1, 2), mkarchive.dos_time(3, 4, 6))


def sample_entries():
    E = mkarchive.Entry
    return [
        E("Tovrel32.exe", EXAMPLE.read_bytes(), write=W1),
        E("docs", folder=True),
        E("docs\\readme.txt", b"Tovrel readme\r\n" * 50, write=W2, create=C1),
        E("docs\\locked.txt", b"read-only\r\n", attributes=0x21, write=W1),
        E("docs\\deep", folder=True),
        E("docs\\deep\\hidden.dat", bytes(range(256)) * 9, attributes=0x22, write=W2),
        E("system.bin", b"\x00\x01system", attributes=0x24, write=W1),
        E("empty.txt", b"", write=W2),
    ]


def attributes(session, folder):
    """{relative name: set of attribute letters} as Wine reports them."""
    r = session.wine("cmd", "/c", "attrib", "/s", folder + "\\*")
    found = {}
    for line in r.stdout.splitlines():
        flags, _, path = line[:13], None, line[13:].strip()
        if path.lower().startswith(folder.lower() + "\\"):
            found[path[len(folder) + 1:]] = set(flags.replace(" ", ""))
    return found


def local_epoch(dos):
    date, time_word = dos
    d = mkarchive.dos_parts(date, time_word)
    return time.mktime(d + (0, 0, -1))


def expect_tree(session, folder, entries, skip=()):
    base = session.unix_path(folder)
    flags = attributes(session, folder)
    for e in entries:
        name = e.name.decode("cp1252")
        path = base / name.replace("\\", "/")
        if name in skip:
            check(not path.exists(), f"{name} should not be there")
            continue
        if e.folder:
            check(path.is_dir(), f"folder {name} missing")
            continue
        check(path.is_file(), f"file {name} missing")
        check(path.read_bytes() == e.data, f"{name}: bytes differ")
        check(abs(path.stat().st_mtime - local_epoch(e.write)) < 2.5, f"{name}: last-write time differs")
        want = {letter for bit, letter in ((1, "R"), (2, "H"), (4, "S")) if e.attributes & bit}
        have = flags.get(name, set()) & {"R", "H", "S"}
        check(have == want, f"{name}: attributes {sorted(have)}, expected {sorted(want)}")


def expect_recorded(session, folder):
    program = folder + "\\Tovrel32.exe"
    app = session.reg_values(APP_PATH_KEY) or {}
    check(app.get("(Default)") == ("REG_SZ", program), f"App Paths value {app}")
    user = session.reg_values(USER_KEY) or {}
    check(user.get("Setup") == ("REG_SZ", "1"), f"Setup value {user}")
    uninstall = session.reg_values(UNINSTALL_KEY) or {}
    check(uninstall.get("DisplayName") == ("REG_SZ", "Tovrel"), f"DisplayName {uninstall}")
    check(uninstall.get("UninstallString") == ("REG_SZ", f'"{program}" /uninstall'), f"UninstallString {uninstall}")


def wait_started(session, folder, starts=1, timeout=30):
    """The sample program notes each start in started.txt."""
    marker = session.unix_path(folder) / "started.txt"
    end = time.time() + timeout
    while time.time() < end:
        if marker.exists() and len(marker.read_text(errors="replace").splitlines()) >= starts:
            return
        time.sleep(0.3)
    raise Failure(f"Tovrel32.exe was not started ({marker})")


def wait_program_closed(session, timeout=30):
    """The sample program keeps its file open (and so locked) while its
    window shows, a few seconds; a reinstall over it waits for that."""
    end = time.time() + timeout
    while time.time() < end:
        r = subprocess.run(["xdotool", "search", "--name", "^Tovrel 0.93 Beta$"], env=session.env(),
                           capture_output=True, text=True)
        if not r.stdout.split():
            return
        time.sleep(0.3)
    raise Failure("Tovrel32.exe did not end")


def remove_folder(session, folder):
    path = session.unix_path(folder)
    if path.exists():
        for p in path.rglob("*"):
            p.chmod(0o755 if p.is_dir() else 0o644)
        shutil.rmtree(path)


def install(session, name, archive, folder=None, prepare=None, whole=None, exe=None):
    """Starts an installer (`exe`, or one made of the archive or the `whole`
    file), types `folder` (or keeps the proposal), lets `prepare` act on the
    open dialog, presses Install; returns the run."""
    run = Run(session, exe or make_installer(session, name, archive, whole=whole), name)
    dialog = run.wait_install_dialog()
    if folder is not None:
        run.type(dialog, folder)
    if prepare:
        prepare(run, dialog)
    session.screenshot(name)
    run.key(dialog, "Return")  # Install is the default button
    return run, dialog


@scenario
def first_install(session):
    """Default folder, everything on disk as recorded, four registry values,
    the program started, exit code 0."""
    session.forget_installations()
    remove_folder(session, DEFAULT_FOLDER)
    entries = sample_entries()
    run, _ = install(session, "first_install", mkarchive.build(entries))
    check(run.wait_exit() == 0, "exit code is not 0")
    check(run.messages() == [], f"unexpected messages {run.messages()}")
    expect_tree(session, DEFAULT_FOLDER, entries)
    expect_recorded(session, DEFAULT_FOLDER)
    wait_started(session, DEFAULT_FOLDER)


@scenario
def typed_folder_and_second_run(session):
    """A typed folder with two trailing separators; the second run proposes
    the recorded folder, asks about existing files, "&No" keeps a file and
    the next one is asked about again, "Yes To &All" stops the questions."""
    session.forget_installations()
    folder = r"C:\Apps\Tovrel"
    remove_folder(session, folder)
    entries = sample_entries()
    archive = mkarchive.build(entries)
    run, _ = install(session, "typed_folder", archive, folder + "\\\\")
    check(run.wait_exit() == 0, "exit code is not 0")
    expect_tree(session, folder, entries)
    expect_recorded(session, folder)
    wait_started(session, folder)
    wait_program_closed(session)

    kept = session.unix_path(folder) / "Tovrel32.exe"
    kept.write_bytes(b"kept by No")
    changed = session.unix_path(folder) / "docs" / "readme.txt"
    changed.write_bytes(b"changed")
    run, dialog = install(session, "second_run", archive)  # the proposal is the recorded folder
    prompt = run.wait_other("overwrite prompt for Tovrel32.exe")
    session.screenshot("overwrite_prompt")
    run.key(prompt, "Escape")  # not an answer: the prompt stays
    time.sleep(0.5)
    check(run.wait_other("overwrite prompt after Esc") == prompt, "Esc closed the prompt")
    run.key(prompt, "alt+n")
    prompt = run.wait_for(lambda: next((w for w, width, _ in run.windows() if width <= 300 and w != prompt), None),
                          "second overwrite prompt")
    run.key(prompt, "alt+a")
    check(run.wait_exit() == 0, "exit code is not 0")
    check(kept.read_bytes() == b"kept by No", "No did not keep the file")
    check(changed.read_bytes() == entries[2].data, "Yes To All did not replace readme.txt")
    expect_tree(session, folder, entries[1:])
    check(run.messages() == [], f"unexpected messages {run.messages()}")


@scenario
def overwrite_box_over_read_only_files(session):
    """The overwrite box replaces every file without a question, read-only,
    hidden and system ones included."""
    session.forget_installations()
    remove_folder(session, DEFAULT_FOLDER)
    entries = sample_entries()
    archive = mkarchive.build(entries)
    run, _ = install(session, "reinstall_first", archive)
    check(run.wait_exit() == 0, "exit code is not 0")
    wait_started(session, DEFAULT_FOLDER)
    wait_program_closed(session)
    locked = session.unix_path(DEFAULT_FOLDER) / "docs" / "locked.txt"
    locked.chmod(0o644)
    locked.write_bytes(b"old")
    session.wine("cmd", "/c", "attrib", "+r", DEFAULT_FOLDER + r"\docs\locked.txt")

    def tick_box(run, dialog):
        run.key(dialog, "Tab", "Tab", "Tab", "Tab", "space")  # field, Install, Cancel, Browse, box
    run, _ = install(session, "reinstall_box", archive, prepare=tick_box)
    check(run.wait_exit() == 0, "exit code is not 0 (a prompt may have opened)")
    check(run.messages() == [], f"unexpected messages {run.messages()}")
    expect_tree(session, DEFAULT_FOLDER, entries)


@scenario
def damaged_data(session):
    """A changed data byte: the damaged-data text once (OK goes on), the
    file is not left behind, the others are installed."""
    session.forget_installations()
    folder = r"C:\Damaged"
    remove_folder(session, folder)
    entries = sample_entries()
    archive = bytearray(mkarchive.build(entries))
    at = bytes(archive).find(b"Tovrel readme")
    archive[at + 3] ^= 0x01
    run, dialog = install(session, "damaged_data", bytes(archive), folder)
    box = run.wait_message(dialog=dialog)
    session.screenshot("damaged_data_message")
    run.key(box, "Return")
    check(run.wait_exit() == 0, "exit code is not 0")
    check(run.messages() == [DAMAGED_TEXT], f"messages {run.messages()}")
    expect_tree(session, folder, entries, skip={"docs\\readme.txt"})


@scenario
def name_too_long(session):
    """A name that does not fit behind the folder in 259 characters is that
    record's failure, shown cut to what fits: OK goes on with the next record
    and the install completes, Cancel stops it with nothing recorded."""
    folder = r"C:\TooLong"
    room = 259 - len(folder) - 1
    long_name = "n" * (room + 1)
    E = mkarchive.Entry
    entries = [E("first.txt", b"1"), E(long_name, b"lost"), E("after.txt", b"3")]
    expected = f"Cannot create {folder}\\{long_name[:room]}\nPath too long"
    for key, goes_on in (("Return", True), ("Escape", False)):
        session.forget_installations()
        remove_folder(session, folder)
        name = f"name_too_long_{'ok' if goes_on else 'cancel'}"
        run, dialog = install(session, name, mkarchive.build(entries), folder)
        box = run.wait_message(dialog=dialog)
        session.screenshot(name)
        run.key(box, key)
        check(run.wait_exit() == 0, "exit code is not 0")
        # Wine's trace cuts a text this long near its end.
        shown = run.messages()
        check(len(shown) == 1 and len(shown[0]) > 270 and expected.startswith(shown[0]),
              f"messages {shown!r}, expected {[expected]!r}")
        base = session.unix_path(folder)
        check(sorted(p.name for p in base.iterdir()) == (["after.txt", "first.txt"] if goes_on else ["first.txt"]),
              f"installed {sorted(p.name for p in base.iterdir())}")
        if goes_on:
            check(session.reg_values(UNINSTALL_KEY) is not None, "OK did not complete the install")
        else:
            expect_nothing_recorded(session)


@scenario
def archive_past_2_gib(session):
    """An installer whose data stream and directory lie past 2 GiB (a sparse
    hole after the archive header) installs byte for byte."""
    session.forget_installations()
    folder = r"C:\Far"
    remove_folder(session, folder)
    E = mkarchive.Entry
    entries = [E("far.txt", b"far away\r\n" * 100, write=W1), E("docs", folder=True),
               E("docs\\deep.bin", bytes(range(256)) * 40, write=W2)]
    gap = 0x88000000
    head, tail = mkarchive.build_parts(entries, gap=gap)
    exe = make_installer(session, "archive_past_2_gib", head)
    try:
        with open(exe, "r+b") as f:
            f.seek(gap, os.SEEK_END)
            f.write(tail)
        check(exe.stat().st_blocks * 512 < (1 << 24), "the installer is not sparse")
        run, _ = install(session, "archive_past_2_gib", None, folder, exe=exe)
        check(run.wait_exit(120) == 0, "exit code is not 0")
        check(run.messages() == [], f"unexpected messages {run.messages()}")
        expect_tree(session, folder, entries)
    finally:
        exe.unlink()


@scenario
def cancel_during_extraction(session):
    """Cancel pressed while thousands of files are written: no file is left
    half written, nothing is recorded or started."""
    session.forget_installations()
    folder = r"C:\Cancelled"
    remove_folder(session, folder)
    entries = [mkarchive.Entry(f"f{i:05}.bin", bytes([i % 251]) * 4096) for i in range(3000)]
    run, dialog = install(session, "cancel_during_extraction", mkarchive.build(entries), folder)
    target = session.unix_path(folder)
    run.wait_for(lambda: target.exists() and len(list(target.iterdir())) > 5, "files being extracted")
    run.click(dialog, (275, 90), 250, 31)  # Cancel
    check(run.wait_exit(120) == 0, "exit code is not 0")
    written = {p.name: p.read_bytes() for p in target.iterdir()}
    check(0 < len(written) < len(entries), f"{len(written)} of {len(entries)} files: the cancel did not stop it")
    by_name = {e.name.decode(): e.data for e in entries}
    for name, data in written.items():
        check(data == by_name[name], f"{name} left incomplete")
    check(run.messages() == [], f"unexpected messages {run.messages()}")
    expect_nothing_recorded(session)


@scenario
def signed_installer(session):
    """Signed with a throw-away certificate: osslsigncode verifies it and the
    stub still accepts itself and installs."""
    session.forget_installations()
    work = session.root / "signing"
    shutil.rmtree(work, ignore_errors=True)
    work.mkdir()
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", work / "key.pem", "-out",
                    work / "cert.pem", "-days", "2", "-subj", "/CN=JOV Setup test"], check=True, capture_output=True)
    entries = sample_entries()
    unsigned = make_installer(session, "signed_installer", mkarchive.build(entries))
    signed = unsigned.with_name("Signed.exe")
    subprocess.run(["osslsigncode", "sign", "-certs", work / "cert.pem", "-key", work / "key.pem", "-n", "Tovrel",
                    "-in", unsigned, "-out", signed], check=True, capture_output=True)
    verify = subprocess.run(["osslsigncode", "verify", "-CAfile", work / "cert.pem", signed], capture_output=True,
                            text=True)
    check(verify.returncode == 0 and "Signature verification: ok" in verify.stdout, "osslsigncode verify failed")
    unsigned.unlink()
    signed.rename(unsigned)
    folder = r"C:\Signed"
    remove_folder(session, folder)
    run = Run(session, unsigned, "signed_installer")
    dialog = run.wait_install_dialog()
    run.type(dialog, folder)
    run.key(dialog, "Return")
    check(run.wait_exit() == 0, "exit code is not 0")
    check(run.messages() == [], f"unexpected messages {run.messages()}")
    expect_tree(session, folder, entries)
    expect_recorded(session, folder)


@scenario
def browse_shell(session):
    """The shell's folder browser opens at the folder in the field; OK
    proposes "Tovrel" inside the chosen folder, Cancel changes nothing."""
    session.forget_installations()
    (session.drive_c / "Games" / "Sub").mkdir(parents=True, exist_ok=True)
    for chosen, expected in ((True, r"C:\Games\Tovrel"), (False, r"C:\Games")):
        remove_folder(session, expected)
        name = f"browse_shell_{'ok' if chosen else 'cancel'}"

        def browse(run, dialog, chosen=chosen, name=name):
            run.type(dialog, r"C:\Games")
            run.key(dialog, "alt+b")
            browser = run.wait_for(lambda: [w for w, _, _ in run.windows("Browse for Folder")], "folder browser")[0]
            time.sleep(1)
            session.screenshot(name)
            run.key(browser, "Return" if chosen else "Escape")
            run.wait_for(lambda: not run.windows("Browse for Folder"), "browser closed")
        entries = [mkarchive.Entry("browsed.txt", b"x")]
        run, _ = install(session, name, mkarchive.build(entries), prepare=browse)
        check(run.wait_exit() == 0, "exit code is not 0")
        check((session.unix_path(expected) / "browsed.txt").is_file(), f"not installed into {expected}")
        remove_folder(session, expected)


@scenario
def browse_old_style(session):
    """On major version 3 the default is C:\\Tovrel and Browse opens the
    old-style "Select Folder" dialog; the folder it shows follows the folder
    list, and its OK proposes "Tovrel" inside that folder."""
    session.forget_installations()
    session.wine("reg", "add", VERSION_KEY, "/v", "Version", "/d", "nt351", "/f")
    try:
        remove_folder(session, r"C:\Tovrel")
        run, _ = install(session, "old_style_default", mkarchive.build([mkarchive.Entry("v3.txt", b"3")]))
        check(run.wait_exit() == 0, "exit code is not 0")
        check((session.unix_path(r"C:\Tovrel") / "v3.txt").is_file(), r"not installed into C:\Tovrel")

        remove_folder(session, r"C:\setups\Tovrel")

        def browse(run, dialog):
            run.type(dialog, r"C:\Old")
            run.key(dialog, "alt+b")
            # Wine titles the old-style dialog "Open File" when no title is
            # given, where Windows keeps the template's "Select Folder".
            chooser = run.wait_for(lambda: run.windows("Select Folder") or run.windows("Open File"), "chooser")[0][0]
            time.sleep(1)
            session.screenshot("old_style_browser")
            # It opens in the installer's own folder (Wine ignores the
            # initial folder); "[..]", the first item of the folder list,
            # goes up to C:\setups.
            run.click(chooser, (171, 164), 25, 51, count=2)
            time.sleep(1)
            session.screenshot("old_style_browser_up")
            run.key(chooser, "Return")
            run.wait_for(lambda: not run.windows("Select Folder") and not run.windows("Open File"), "chooser closed")
        run, _ = install(session, "old_style_browse", mkarchive.build([mkarchive.Entry("v3.txt", b"3")]),
                         prepare=browse)
        check(run.wait_exit() == 0, "exit code is not 0")
        check((session.unix_path(r"C:\setups\Tovrel") / "v3.txt").is_file(), r"not installed into C:\setups\Tovrel")
    finally:
        session.wine("reg", "delete", VERSION_KEY, "/f", check_rc=False)


@scenario
def default_folder_rules(session):
    """The proposal comes from the App Paths value only when it is a string,
    else from tovrel.ini; the file name is cut off (a drive root keeps its
    separator); a bare file name leaves nothing, so the Program Files rule
    applies."""
    ini = session.drive_c / "windows" / "tovrel.ini"
    cases = (
        ("REG_EXPAND_SZ", r"C:\Wrong\Tovrel32.exe", r"C:\FromIni\Tovrel32.exe", r"C:\FromIni"),
        ("REG_SZ", r"C:\Tovrel32.exe", None, "C:\\"),
        ("REG_SZ", "Tovrel32.exe", None, DEFAULT_FOLDER),
    )
    for i, (kind, value, ini_value, expected) in enumerate(cases):
        session.forget_installations()
        session.wine("reg", "add", APP_PATH_KEY, "/ve", "/t", kind, "/d", value, "/f", "/reg:32")
        if ini_value:
            ini.write_text(f"[Install]\r\nPath={ini_value}\r\n")
        marker = session.unix_path(expected) / f"rules{i}.txt"
        if marker.exists():
            marker.unlink()
        run, _ = install(session, f"default_folder_{i}", mkarchive.build([mkarchive.Entry(f"rules{i}.txt", b"r")]))
        check(run.wait_exit() == 0, "exit code is not 0")
        check(marker.is_file(), f"{value} ({kind}) did not propose {expected}")
        app = session.reg_values(APP_PATH_KEY) or {}
        program = expected.rstrip("\\") + "\\Tovrel32.exe"
        check(app.get("(Default)") == ("REG_SZ", program), f"App Paths value {app}, expected {program}")
        marker.unlink()


@scenario
def per_user_key_refused(session):
    """When the per-user key cannot be created, tovrel.ini receives
    [Options] Setup=1 and the other values still go to the registry. Wine
    refuses the key like Windows does once its access list is empty
    (tests/e2e/reglock.c)."""
    session.forget_installations()
    helper = session.root / "reglock.exe"
    if not helper.exists():
        subprocess.run(["i686-w64-mingw32-gcc", "-Wall", "-Wextra", "-Werror", "-o", str(helper),
                        str(Path(__file__).parent / "reglock.c"), "-ladvapi32"], check=True)
    subkey = USER_KEY.split("\\", 1)[1]
    session.wine(str(helper), "lock", subkey)
    try:
        folder = r"C:\Refused"
        remove_folder(session, folder)
        run, _ = install(session, "per_user_key_refused", small_archive(), folder)
        check(run.wait_exit() == 0, "exit code is not 0")
        ini = (session.drive_c / "windows" / "tovrel.ini").read_text(errors="replace")
        check("[Options]" in ini and "Setup=1" in ini, f"tovrel.ini holds {ini!r}")
        check("[Install]" not in ini, "the application path went to the ini file too")
        app = session.reg_values(APP_PATH_KEY) or {}
        check(app.get("(Default)") == ("REG_SZ", folder + "\\Tovrel32.exe"), f"App Paths value {app}")
        check("UninstallString" in (session.reg_values(UNINSTALL_KEY) or {}), "no uninstall entry")
    finally:
        session.wine(str(helper), "unlock", subkey, check_rc=False)


@packer_scenario
def packed_installer(session):
    """An installer made by `jov pack` at its strongest level (compressed
    blocks, the call filter on Tovrel32.exe) installs byte for byte."""
    session.forget_installations()
    tool = Path(os.environ["JOV_TOOL"])
    work = session.root / "packed"
    shutil.rmtree(work, ignore_errors=True)
    tree = work / "tree"
    shutil.copytree(Path(__file__).resolve().parents[2] / "examples" / "payload", tree)
    shutil.copy(EXAMPLE, tree / "Tovrel32.exe")
    (tree / "docs" / "big.txt").write_bytes(b"".join(b"line %d of a longer text\r\n" % i for i in range(60000)))
    setup = work / "Setup.exe"
    subprocess.run([str(tool), "pack", "-l", "9", "-o", str(setup), "--stub", str(STUB), str(tree)], check=True)
    folder = r"C:\Packed"
    remove_folder(session, folder)
    run, _ = install(session, "packed_installer", None, folder, whole=setup.read_bytes())
    check(run.wait_exit(120) == 0, "exit code is not 0")
    check(run.messages() == [], f"unexpected messages {run.messages()}")
    base = session.unix_path(folder)
    for path in tree.rglob("*"):
        installed = base / path.relative_to(tree)
        check(installed.is_dir() if path.is_dir() else installed.read_bytes() == path.read_bytes(),
              f"{path.relative_to(tree)} differs")
    expect_recorded(session, folder)
    wait_started(session, folder)


def main(argv):
    session = Session(ROOT)
    if argv[1:] == ["--setup"]:
        session.setup()
        return 0
    if argv[1:] in (["--list"], ["--list-packer"]):
        packer = argv[1] == "--list-packer"
        print(" ".join(name for name in SCENARIOS if (name in PACKER_SCENARIOS) == packer))
        return 0
    if argv[1:] == ["--cleanup"]:
        session.cleanup()
        return 0
    if len(argv) != 2 or argv[1] not in SCENARIOS:
        print(f"usage: run.py --setup | --cleanup | {' | '.join(SCENARIOS)}", file=sys.stderr)
        return 2
    try:
        SCENARIOS[argv[1]](session)
    except Failure as failure:
        session.screenshot(f"{argv[1]}-failed")
        print(f"FAILED {argv[1]}: {failure}", file=sys.stderr)
        return 1
    except Exception:
        traceback.print_exc()
        return 1
    print(f"passed {argv[1]}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
