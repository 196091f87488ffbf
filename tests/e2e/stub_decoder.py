#!/usr/bin/env python3
"""The stub's decoding against the packer, under Wine.

The stub is built with smaller code paths than the host (CRC-32 with one
table, decoding straight from the reference lookups, byte-wise copies) and in
32 bits; the unit tests only ever run the host's. decode_check (built from
the stub's core, tests/e2e/decode_check.cpp) unpacks archives that `jov pack`
made from a varied tree at several levels, and every file must come out byte
for byte. Needs the e2e fixture (run.py --setup) and the environment of
tests/e2e/CMakeLists.txt, plus JOV_DECODE_CHECK.
"""

import os
import random
import shutil
import subprocess
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).parent))
from harness import Failure, Session, check  # noqa: E402

ROOT = Path(os.environ.get("JOV_E2E_ROOT", "build/e2e"))
SEED = 20240611
LEVELS = (0, 1, 6, 9)
WORDS = ("the of and to in is that for it as with was on be by this are from or at an which have not "
         "installer archive folder stream block window history decode table symbol length distance "
         "Tovrel Morvane registry 0 1 2 3 42 1998 C:\\Program\\ Files").split()


def text(rng, size):
    out, n = [], 0
    while n < size:
        line = " ".join(rng.choice(WORDS) for _ in range(rng.randint(3, 14))) + "\r\n"
        out.append(line)
        n += len(line)
    return "".join(out).encode()[:size]


def repeats(rng):
    """Runs and short periods (overlapping copies), longer than the longest match."""
    parts = []
    for period in list(range(1, 10)) + [16, 31, 64]:
        unit = bytes(rng.randrange(256) for _ in range(period))
        parts.append(unit * (rng.randint(40000, 70000) // period))
        parts.append(bytes(rng.randrange(256) for _ in range(rng.randint(1, 300))))
    return b"".join(parts)


def far_matches(rng):
    """Over two blocks of data whose later parts repeat pieces from up to
    640 KiB back: history across blocks, window rows and trimming."""
    data = bytearray(text(rng, 900_000))
    while len(data) < 2_300_000:
        back = rng.randint(1, min(len(data), 640 * 1024))
        start = len(data) - back
        data += data[start:start + rng.randint(2, 5000)]
        data += bytes(rng.randrange(256) for _ in range(rng.randint(0, 40)))
    return bytes(data)


def make_tree(tree, example):
    rng = random.Random(SEED)
    (tree / "sub" / "deeper").mkdir(parents=True)
    (tree / "empty folder").mkdir()
    (tree / "text.txt").write_bytes(text(rng, 400_000))
    (tree / "random.bin").write_bytes(rng.randbytes(150_000))
    (tree / "repeats.bin").write_bytes(repeats(rng))
    (tree / "sub" / "far.bin").write_bytes(far_matches(rng))
    (tree / "sub" / "empty.txt").write_bytes(b"")
    (tree / "sub" / "deeper" / "one.txt").write_bytes(b"x")
    (tree / "Tovrel32.exe").write_bytes(example.read_bytes())  # the call filter
    for i in range(40):  # many small files: more than one directory block
        (tree / "sub" / "deeper" / f"small file number {i:02}.txt").write_bytes(text(rng, rng.randint(1, 3000)))


def main():
    session = Session(ROOT)
    tool = Path(os.environ["JOV_TOOL"])
    decoder = Path(os.environ["JOV_DECODE_CHECK"])
    example = Path(os.environ["JOV_EXAMPLE"])
    work = session.drive_c / "decode_check"
    shutil.rmtree(work, ignore_errors=True)
    tree = work / "tree"
    make_tree(tree, example)
    failures = []
    for level in LEVELS:
        archive = work / f"level{level}.jov"
        subprocess.run([str(tool), "pack", "--raw", "-q", "-l", str(level), "-o", str(archive), str(tree)],
                       check=True)
        out = work / f"out{level}"
        r = session.wine(str(decoder), session.windows_path(archive), session.windows_path(out),
                         check_rc=False, timeout=240)
        if r.returncode != 0:
            failures.append(f"level {level}: decode_check exit {r.returncode}: {r.stderr.strip()[-400:]}")
            continue
        for path in sorted(tree.rglob("*")):
            copy = out / path.relative_to(tree)
            same = copy.is_dir() if path.is_dir() else copy.is_file() and copy.read_bytes() == path.read_bytes()
            if not same:
                failures.append(f"level {level}: {path.relative_to(tree)} differs")
        print(f"level {level}: {archive.stat().st_size} bytes, {r.stdout.strip()}")
    try:
        check(not failures, "\n".join(failures))
    except Failure as failure:
        print(f"FAILED stub_decoder (seed {SEED}): {failure}", file=sys.stderr)
        return 1
    shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
