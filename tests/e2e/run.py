#!/usr/bin/env python3
"""End-to-end scenarios of the installer under Wine.

  run.py --setup | --cleanup      the shared prefix and display of one run
  run.py --list                   the scenario names
  run.py SCENARIO                 one scenario (ctest runs each as a test)

Paths come from the environment that tests/e2e/CMakeLists.txt sets:
JOV_E2E_ROOT (work folder), JOV_STUB (the sealed stub).
"""

import os
import shutil
import subprocess
import sys
import traceback
from pathlib import Path

sys.path.insert(0, str(Path(__file__).parent))
import mkarchive  # noqa: E402
from harness import APP_PATH_KEY, UNINSTALL_KEY, USER_KEY, Failure, Run, Session, check  # noqa: E402

ROOT = Path(os.environ.get("JOV_E2E_ROOT", "build/e2e"))
STUB = Path(os.environ.get("JOV_STUB", "build/stub/stub.exe"))
SCENARIOS = {}

MODIFIED_TEXT = "This installer has been modified, possibly by a download error or a virus.\nNothing will be installed."


def scenario(function):
    SCENARIOS[function.__name__] = function
    return function


def make_installer(session, name, archive, stub=None):
    """Setup.exe = stub + archive, in its own folder on drive C."""
    folder = session.drive_c / "setups" / name
    shutil.rmtree(folder, ignore_errors=True)
    folder.mkdir(parents=True)
    exe = folder / "Setup.exe"
    exe.write_bytes((stub if stub is not None else STUB.read_bytes()) + archive)
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


def main(argv):
    session = Session(ROOT)
    if argv[1:] == ["--setup"]:
        session.setup()
        return 0
    if argv[1:] == ["--list"]:
        print(" ".join(SCENARIOS))
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
