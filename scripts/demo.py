#!/usr/bin/env python3
"""The demo: packs examples/ into Setup.exe with `jov pack`, runs it under
Wine on a private display, presses Install, and prints the installed tree,
the registry values and where the screenshots are.

  scripts/demo.py BUILD_DIR
"""

import shutil
import subprocess
import sys
import time
from pathlib import Path

root = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(root / "tests" / "e2e"))
from harness import APP_PATH_KEY, UNINSTALL_KEY, USER_KEY, Run, Session  # noqa: E402

build = Path(sys.argv[1] if len(sys.argv) > 1 else root / "build").resolve()
jov = build / "jov"
stub = build / "stub" / "stub.exe"
example = build / "stub" / "examples" / "Tovrel32.exe"
work = build / "demo"
folder = r"C:\Program Files\Tovrel"

if not jov.exists():
    sys.exit(f"demo: {jov} is missing; `jov pack` is needed to build Setup.exe")

shutil.rmtree(work, ignore_errors=True)
tree = work / "tree"
shutil.copytree(root / "examples" / "payload", tree)
shutil.copy(example, tree / "Tovrel32.exe")
setup = work / "Setup.exe"
subprocess.run([str(jov), "pack", "-o", str(setup), "--stub", str(stub), str(tree)], check=True)
print(f"demo: packed {tree} into {setup} ({setup.stat().st_size} bytes)")

session = Session(work / "wine")
print("demo: preparing a private Wine prefix and display ...")
session.setup()
try:
    target = session.drive_c / "Downloads"
    target.mkdir(parents=True, exist_ok=True)
    shutil.copy(setup, target / "Setup.exe")
    run = Run(session, target / "Setup.exe", "demo")
    dialog = run.wait_install_dialog(timeout=60)
    time.sleep(0.5)
    session.screenshot("install-dialog")
    run.key(dialog, "Return")
    code = run.wait_exit(timeout=120)
    marker = session.unix_path(folder) / "started.txt"
    for _ in range(50):
        if marker.exists():
            break
        time.sleep(0.2)
    time.sleep(1)
    session.screenshot("tovrel-running")

    print(f"\ndemo: the installer ended with exit code {code}; messages shown: {run.messages() or 'none'}")
    print(f"\ninstalled tree ({folder}):")
    base = session.unix_path(folder)
    for path in sorted(base.rglob("*")):
        relative = path.relative_to(base)
        size = "" if path.is_dir() else f"{path.stat().st_size:>8} "
        print(f"  {size or '  folder '}{relative}")
    print("\nregistry:")
    for key in (APP_PATH_KEY, USER_KEY, UNINSTALL_KEY):
        print(f"  {key}")
        for name, (kind, data) in (session.reg_values(key) or {}).items():
            print(f"    {name} {kind} {data}")
    print(f"\nTovrel32.exe started: {'yes' if marker.exists() else 'no'}")
    print(f"screenshots: {session.artifacts / 'install-dialog.png'}")
    print(f"             {session.artifacts / 'tovrel-running.png'}")
finally:
    session.cleanup()
