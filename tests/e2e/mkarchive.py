"""A plain writer of JOV archives for the end-to-end tests.

It stores every block (no compression), which is all the scenarios need to
build archives the packer would never produce: empty ones, damaged ones,
overlays cut short. Layout as src/format.h draws it: header, one data stream
of StreamRecords, directory blocks of whole DirectoryRecords.
"""

import struct
import zlib

BLOCK_MAX_OUTPUT = 1048575 - 7   # blockSize (20 bits) counts the 7 header bytes
DIRECTORY_BLOCK_MAX = 8184
FOLDER = 0x01


def dos_date(year, month, day):
    return ((year - 1980) << 9) | (month << 5) | day


def dos_time(hour, minute, second):
    return (hour << 11) | (minute << 5) | (second // 2)


def dos_parts(date, time_word):
    """(year, month, day, hour, minute, second) of DOS date and time words."""
    return (1980 + (date >> 9), (date >> 5) & 15, date & 31, time_word >> 11, (time_word >> 5) & 63,
            (time_word & 31) * 2)


def stored_block(data, last):
    """BlockHeader (45 bits) and selector, padded to byte 7, then the data."""
    bits = 0 | (int(last) << 4) | (len(data) << 5) | ((7 + len(data)) << 25)
    return bits.to_bytes(7, "little") + data


class Entry:
    def __init__(self, name, data=None, folder=False, attributes=0x20, write=None, create=None, flags=0):
        self.name = name.encode("cp1252") if isinstance(name, str) else name
        self.data = data if data is not None else b""
        self.folder = folder
        self.attributes = attributes
        self.write = write or (dos_date(2021, 6, 15), dos_time(13, 37, 42))
        self.create = create or (0, 0)
        self.flags = flags | (FOLDER if folder else 0)


def build(entries, entry_count=None):
    """The archive bytes for `entries`, in directory order."""
    head, tail = build_parts(entries, entry_count)
    return head + tail


def build_parts(entries, entry_count=None, gap=0):
    """(head, tail) of the archive for `entries` whose data stream starts
    `gap` unused bytes after the header: the archive is head, the gap, tail.
    A large gap written as a hole makes a sparse archive."""
    stream = bytearray()
    positions = {}
    for e in entries:
        if e.folder:
            continue
        positions[id(e)] = len(stream)
        stream += struct.pack("<IH5x", len(e.data), len(e.name)) + e.name + e.data
        stream += struct.pack("<I", zlib.crc32(e.data))

    data = bytearray(b"JOVLH\0")
    chunks = [bytes(stream[i:i + BLOCK_MAX_OUTPUT]) for i in range(0, len(stream), BLOCK_MAX_OUTPUT)] or [b""]
    for i, chunk in enumerate(chunks):
        data += stored_block(chunk, i == len(chunks) - 1)

    records = []
    for e in entries:
        (wdate, wtime), (cdate, ctime) = e.write, e.create
        fixed = struct.pack("<IIBBBBIIIHHHHHHH", 0, 42 + gap if not e.folder else 0, e.attributes, 0, 0, e.flags,
                            positions.get(id(e), 0), len(e.data), zlib.crc32(e.data), 0, len(e.name),
                            ctime, cdate, wtime, wdate, 0)
        records.append(fixed + e.name)

    directory = bytearray()
    block = bytearray()
    for r in records:
        if block and 7 + len(block) + len(r) > DIRECTORY_BLOCK_MAX:
            directory += b"JOVDE\0" + stored_block(bytes(block), True)
            block = bytearray()
        block += r
    if block:
        directory += b"JOVDE\0" + stored_block(bytes(block), True)

    directory_offset = 42 + gap + len(data)
    count = len(entries) if entry_count is None else entry_count
    length = directory_offset + len(directory)
    header = b"JOV\n" + struct.pack("<IIIIIIIIIH", directory_offset, count, 0, 0, length, len(data), 0, 0, 0, 0)
    return header, bytes(data) + bytes(directory)
