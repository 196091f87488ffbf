#!/usr/bin/env python3
"""The demo: packs examples/ into Setup.exe with `jov pack`, as the installer of
"Tovrel Demo 1.0" by "JOV Setup" that starts Tovrel32.exe, runs it under
Wine on a private prefix and display with the end-to-end harness
(tests/e2e/run.py), presses Install, and prints the installed tree, the
registry values and where the screenshots are.

  scripts/demo.py --check     only checks that the tools the demo drives exist
  scripts/demo.py BUILD_DIR   the demo itself

Exits non-zero unless the installer ended with exit code 0, every file of
the tree is installed byte for byte and the installed program was started.
"""

import os
import shutil
import subprocess
import sys
from pathlib import Path

root = Path(__file__).resolve().parent.parent
TOOLS = ("wine", "wineboot", "wineserver", "Xvfb", "xdotool", "import", "i686-w64-mingw32-g++")

if sys.argv[1:] == ["--check"]:
    missing = [t for t in TOOLS if not shutil.which(t)]
    if missing:
        sys.exit(f"demo: missing {', '.join(missing)}; run scripts/setup.sh (as root) first")
    sys.path.insert(0, str(root / "tests" / "e2e"))
    import run  # noqa: F401  (the harness must at least load)
    sys.exit(0)

build = Path(sys.argv[1] if len(sys.argv) > 1 else root / "build").resolve()
work = build / "demo"
os.environ.update(JOV_E2E_ROOT=str(work / "wine"), JOV_STUB=str(build / "stub" / "stub.exe"),
                  JOV_TOOL=str(build / "jov"), JOV_EXAMPLE=str(build / "stub" / "examples" / "Tovrel32.exe"))
sys.path.insert(0, str(root / "tests" / "e2e"))
import run as e2e  # noqa: E402

for needed in (e2e.TOOL, e2e.STUB, e2e.EXAMPLE):
    if not needed.exists():
        sys.exit(f"demo: {needed} is missing; build first (cmake -S . -B build && cmake --build build)")

shutil.rmtree(work, ignore_errors=True)
tree = work / "tree"
shutil.copytree(root / "examples" / "payload", tree)
shutil.copy(e2e.EXAMPLE, tree / "Tovrel32.exe")
setup = work / "Setup.exe"
IDENTITY = dict(product="Tovrel Demo", publisher="JOV Setup", program="Tovrel32.exe")
subprocess.run([str(e2e.TOOL), "pack", "--product", IDENTITY["product"], "--product-version", "1.0", "--publisher",
                IDENTITY["publisher"], "--program", IDENTITY["program"], "-o", str(setup), str(tree)], check=True)
print(f"demo: packed {tree} into {setup} ({setup.stat().st_size} bytes)")

print("demo: preparing a private Wine prefix and display ...")
e2e.setup()
folder, keys = r"C:\Program Files\Tovrel Demo", e2e.keys(**IDENTITY)
try:
    e2e.forget(folder)
    run, dialog = e2e.install("demo", setup.read_bytes(), caption="Tovrel Demo Installation", prepare=lambda run, dialog:
                              e2e.sh("import", "-window", "root", e2e.ART / "install-dialog.png", ok=False, env=e2e.env()))
    run.done()
    print("demo: the installer ended with exit code 0 and showed no message")
    installed = e2e.unix(folder)
    for path in sorted(tree.rglob("*")):
        copy = installed / path.relative_to(tree)
        assert copy.is_dir() if path.is_dir() else copy.read_bytes() == path.read_bytes(), f"{copy} differs"
    e2e.expect_recorded(folder, started=True, **IDENTITY)
    print(f"\ninstalled tree ({folder}), byte for byte as packed:")
    for path in sorted(installed.rglob("*")):
        size = "  folder " if path.is_dir() else f"{path.stat().st_size:>8} "
        print(f"  {size}{path.relative_to(installed)}")
    print("\nregistry:")
    for key_name, values in zip(keys, e2e.reg(*keys)):
        print(f"  {key_name}")
        for name, (kind, data) in (values or {}).items():
            print(f"    {name} {kind} {data}")
    started = (installed / "started.txt").read_text(errors="replace").strip()
    print(f"\nTovrel32.exe was started: {started}")
    print(f"screenshot of the dialog: {e2e.ART / 'install-dialog.png'}")
finally:
    e2e.cleanup()
print("\ndemo: passed")
