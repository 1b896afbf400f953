#!/usr/bin/env python3
"""Writes the seed inputs of the fuzz targets into corpus/seeds/<target>/.

The containers are the format's worked examples and a few neighbours of
them, built byte group by byte group. Run it again after changing a seed;
the files it writes are kept in git so the fuzz runs need no Python.

The seeds named mkpatch_* are not written here: they are containers that
`mkpatch build --container-only --format 1` made from two small folders (a whole
file, an empty file, and delta records in a sub-folder); for the
differential target they are preceded by the old file the delta record in
the sub-folder was made from.

The LZMA seeds are raw streams from liblzma (Python's lzma module), each
behind the few bytes that tell the target how to decode it."""
import lzma
import os
import random
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def u16(v): return struct.pack('<H', v)
def u32(v): return struct.pack('<I', v)


def header(count, reserved=0):
    return u16(count) + u16(reserved)          # record count, reserved


def whole(name, content, new_sum=0):
    return (u32(0) + u32(new_sum)               # old checksum 0, new checksum
            + name + b'\0'                      # name and its 0 byte
            + b'\x03' + u32(len(content))       # whole-file tag, length
            + content)                          # content, verbatim


def copy(length, offset):
    return b'\x01' + u32(length) + u32(offset)  # length first, then offset


def insert(data):
    return b'\x02' + u32(len(data)) + data


def delta(name, old_sum, new_sum, commands):
    return u32(old_sum) + u32(new_sum) + name + b'\0' + b''.join(commands) + b'\0'


OLD = b'abcdefghij'  # T.DAT of the worked example, XorSum 0x0C040404

CONTAINERS = {
    # one whole-file record: A.TXT holding a b c
    'whole_atxt': header(1) + whole(b'A.TXT', b'abc'),
    # rebuild T.DAT as e f g h X Y a b
    'delta_tdat': header(1) + delta(b'T.DAT', 0x0C040404, 0x0A063F3D,
                                    [copy(4, 4), insert(b'XY'), copy(2, 0)]),
    # first 10 bytes of the old file, then X Y
    'delta_copy10': header(1) + delta(b'B.BIN', 0x0C040404, 0,
                                      [copy(10, 0), insert(b'XY')]),
    # no records; reserved bytes hold anything
    'empty': header(0, 0xBEEF),
    # an empty stream, a whole file right after, then a delta in a folder
    'three': header(3) + delta(b'E.DAT', 0, 0, [])
             + whole(b'sub\\N.TXT', b'new file\r\n', 0)
             + delta(b'sub\\T.DAT', 0x0C040404, 0, [copy(0, 10), insert(b''), copy(1, 9)]),
    # a copy that reaches one byte past the old file, then a good record
    'copy_past_end': header(2) + delta(b'X', 0, 0, [copy(2, 9)]) + whole(b'Y', b'y'),
    # an undefined command after a good one
    'undefined_cmd': header(1) + delta(b'Z', 0, 0, [insert(b'ok'), b'\x03']),
}

def crc32(data):
    import zlib
    return zlib.crc32(data) & 0xFFFFFFFF


def with_trailer(container, entries, pad=0):
    """The container, then its integrity trailer: an entry per record (new
    length, new CRC, old length, old CRC), the CRC of the container, version
    1, reserved 0, the trailer's length and the tag; pad zero bytes after it
    as a signature's padding adds."""
    body = b''.join(u32(a) + u32(b) + u32(c) + u32(d) for a, b, c, d in entries)
    length = len(body) + 20
    return (container + body + u32(crc32(container)) + u16(1) + u16(0) + u32(length)
            + b'KVXTRLR\x1a' + b'\0' * pad)


NEW_TDAT = b'efghXYab'
CONTAINERS['trailer_tdat'] = with_trailer(
    CONTAINERS['delta_tdat'], [(len(NEW_TDAT), crc32(NEW_TDAT), len(OLD), crc32(OLD))])
CONTAINERS['trailer_three_padded'] = with_trailer(
    CONTAINERS['three'], [(0, 0, 0, 0), (10, crc32(b'new file\r\n'), 0, 0), (1, 0, 10, crc32(OLD))], pad=4)
CONTAINERS['trailer_empty'] = with_trailer(header(0), [])

NAMES = {
    # first byte: bit 0 = code page 936, the rest = folder length / 2
    'plain': b'\x41' + b'A.TXT',
    'subfolder': b'\x41' + b'data\\maps\\m1.dat',
    'gbk_trail_5c': b'\x41' + '数据'.encode('gbk') + b'\\' + b'\x95\x5c' + b'.txt',
    'dotdot': b'\x40' + b'..\\..\\X',
    'drive': b'\x40' + b'C:\\X',
    'rooted': b'\x40' + b'\\X',
    'stream': b'\x40' + b'A:B',
    'device': b'\x41' + b'sub\\nul.txt',
    'long': b'\xff' + b'n' * 140,
    'trailing_dot': b'\x41' + b'a\\. .\\b',
}


# old file, new file: for the encoder's round trip
PAIRS = {
    'same': (OLD, OLD),
    'inside': (OLD, b'defg'),
    'worked_example': (OLD, b'efghXYab'),
    'empty_new': (OLD, b''),
    'empty_old': (b'', b'all new bytes'),
    'repeats': (b'0123456789' * 8, b'89012345' * 12 + b'tail'),
    'stream_like': (OLD, b'\x01\x04\x00\x00\x00\x04\x00\x00\x00\x00'),
}


def lzma_seed(data, lc, lp, pb, dict_units):
    """props, dictionary size / 64, unpacked size / 4, piece seed, then a
    raw stream liblzma made (with its end marker)"""
    packed = lzma.compress(data, format=lzma.FORMAT_RAW, filters=[{
        'id': lzma.FILTER_LZMA1, 'lc': lc, 'lp': lp, 'pb': pb, 'dict_size': 4096}])
    return (bytes([(pb * 5 + lp) * 9 + lc]) + u16(dict_units) + u16(len(data) // 4)
            + bytes([len(data) % 251]) + packed)


LZMA = {
    'text_small_dict': lzma_seed(b'the quick brown fox jumps over the lazy dog. ' * 40, 3, 0, 2, 1),
    'random_lp4': lzma_seed(random.Random(5).randbytes(400), 0, 4, 0, 64),
    'zeros_pb4': lzma_seed(bytes(4000), 4, 0, 4, 2),
    'repeats': lzma_seed(b'abcdefgh' * 100 + b'0123' * 50 + b'abcdefgh' * 100, 2, 2, 1, 16),
    'empty': lzma_seed(b'', 3, 0, 2, 1),
}


def write(target, name, data):
    folder = os.path.join(HERE, 'corpus', 'seeds', target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), 'wb') as f:
        f.write(data)


for name, data in CONTAINERS.items():
    write('container', name, data)
    write('differential', name, u16(len(OLD)) + OLD + data)
for name, (old, new) in PAIRS.items():
    write('roundtrip', name, u16(len(old)) + old + new)
for name, data in NAMES.items():
    write('names', name, data)
for name, data in LZMA.items():
    write('lzma', name, data)
