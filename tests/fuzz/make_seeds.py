#!/usr/bin/env python3
"""Writes seeds of the fuzz targets (tests/fuzz/corpus/<target>/) from what
`jov pack --raw` makes of a small tree at several levels, and the same trees as
the pack target takes them. Run by hand after a
format change:  python3 tests/fuzz/make_seeds.py build/jov tests/fuzz/corpus
The same bytes every run; other committed seeds (regressions) stay as they are."""
import os, pathlib, random, struct, subprocess, sys, tempfile

jov, corpus = sys.argv[1:3]
sys.path.insert(0, os.path.dirname(os.path.abspath(jov)))  # the build writes jovformat.py beside jov
import jovformat as F
rng = random.Random(7)

def save(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    pathlib.Path(path).write_bytes(data)

def call_heavy_pe(size):  # a PE32 i386 image: a near call every 7 bytes to one of three targets
    pe = bytearray(b'\x90' * size)
    pe[0:2], pe[0x80:0x84], pe[0x84:0x86] = b'MZ', b'PE\0\0', struct.pack('<H', 0x14C)
    pe[0x3C:0x40] = struct.pack('<I', 0x80)
    for k, at in enumerate(range(0x200, size - 5, 7)):
        pe[at:at + 5] = b'\xE8' + struct.pack('<i', (0x400, 0x800, 0xA00)[k % 3] - (at + 5))
    return bytes(pe)

prose = ''.join(f'line {i * i % 17} of the readme, again and again\r\n' for i in range(40)).encode()
trees = {
    'tree': {'docs/readme.txt': prose, 'docs/empty.txt': b'', 'bin/tool.exe': call_heavy_pe(3000),
             'noise.bin': bytes(rng.randrange(256) for _ in range(700)), 'a.txt': b'a'},
    'many': {f'file{i}.txt': str(i).encode() for i in range(220)},
}
with tempfile.TemporaryDirectory() as tmp:
    for tree, files in trees.items():
        for path, data in files.items():
            save(os.path.join(tmp, tree, path), data)
    for root, folders, files in os.walk(tmp):  # records carry times: fixed ones keep the seeds stable
        for name in folders + files:
            os.utime(os.path.join(root, name), (1589723122, 1589723122))
    for tree, level in [('tree', 0), ('tree', 1), ('tree', 6), ('tree', 9), ('many', 6)]:
        name, out = f'{tree}-l{level}', os.path.join(tmp, 'out.jov')
        subprocess.run([jov, 'pack', '--raw', '-q', '-l', str(level), '-o', out, os.path.join(tmp, tree)], check=True)
        a = open(out, 'rb').read()
        save(f'{corpus}/extract/{name}', a)
        # The first block of the first stream (after the header and the stream's
        # signature), behind three kinds of history.
        block = a[F.ARCHIVE_HEADER_SIZE + F.SIGNATURE_SIZE:]
        if F.block_field(block, 'type') == F.BLOCK_COMPRESSED:
            for control in (0, 4, 7):
                data = block[:F.block_field(block, 'block_size')]
                save(f'{corpus}/decode_block/{name}-h{control}', bytes([control]) + data)

def pack_input(control, files, repeats={}):  # as fuzz_pack.cpp reads it: folders first
    out = bytes([control]) + b''.join(bytes([64 | len(f)]) + f.encode() for f in sorted({os.path.dirname(p) for p in files} - {''}))
    return out + b''.join(bytes([len(p)]) + p.replace('/', '\\').encode() + struct.pack('<H', len(d)) + d + bytes([repeats.get(p, 0)])
                          for p, d in files.items())
for tree, control in [('tree', 0), ('tree', 1), ('tree', 128 + 6), ('tree', 9), ('many', 128 + 6)]:
    save(f'{corpus}/pack/{tree}-l{control & 127}', pack_input(control, trees[tree]))
save(f'{corpus}/pack/repeats-l5', pack_input(5, {'a/long.txt': prose, 'b.bin': bytes(range(256))}, {'a/long.txt': 20, 'b.bin': 100}))
