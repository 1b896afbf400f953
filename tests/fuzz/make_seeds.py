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

The format-2 containers (f2_*) are built here too, for the differential
target: the word before the old file has its top bit set in most of them,
so that the target makes the CRCs of mutated containers hold again.

The LZMA seeds are raw streams from liblzma (Python's lzma module), each
behind the few bytes that tell the target how to decode it."""
import lzma
import os
import random
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def u16(v): return struct.pack('<H', v)
def u32(v): return struct.pack('<I', v)
def u64(v): return struct.pack('<Q', v)


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

def varint(v):
    out = b''
    while v >= 0x80:
        out += bytes([v & 0x7F | 0x80])
        v >>= 7
    return out + bytes([v])


def command(seek, copy, diff=False, extra=0):
    """seek zigzag-coded, copy length * 2 + diff, extra length"""
    zig = seek * 2 if seek >= 0 else -seek * 2 - 1
    return varint(zig) + varint(copy * 2 + int(diff)) + varint(extra)


def f2_entry(name, new, old=None):
    """a table entry: kind (1 whole, 2 delta), flags, name, new length and CRC-32, old length and CRC-32"""
    kind = 1 if old is None else 2
    e = bytes([kind, 0]) + u16(len(name)) + name + u64(len(new)) + u32(crc32(new))
    if old is not None:
        e += u64(len(old)) + u32(crc32(old))
    return e


def f2_stored(data):
    """a stream head (method 0, props 0, reserved, dictionary 0, packed, unpacked) and its bytes"""
    return b'\0\0' + u16(0) + u32(0) + u64(len(data)) + u64(len(data)), data


def f2_lzma(data, lc=3, lp=0, pb=2, dict_size=4096):
    """an LZMA stream head and its raw stream from liblzma (end marker included)"""
    packed = lzma.compress(data, format=lzma.FORMAT_RAW, filters=[{
        'id': lzma.FILTER_LZMA1, 'lc': lc, 'lp': lp, 'pb': pb, 'dict_size': dict_size}])
    return (bytes([1, (pb * 5 + lp) * 9 + lc]) + u16(0) + u32(dict_size) + u64(len(packed))
            + u64(len(data)), packed)


def f2_block(entries, control=b'', diff=b'', literal=b'', streams=None, table=None):
    """tag, count, the four stream heads (control, difference, literal, table), packed bytes, CRC"""
    streams = streams or [f2_stored(control), f2_stored(diff), f2_stored(literal)]
    streams = streams + [table or f2_stored(b''.join(entries))]
    block = (b'KB2\x1a' + u32(len(entries)) + b''.join(h for h, _ in streams)
             + b''.join(p for _, p in streams))
    return block + u32(crc32(block))


def f2_container(blocks, count, memory=0, open_=False):
    """magic, revision 3, flags, count, decoder memory, length, reserved, CRC; then the blocks"""
    body = b''.join(blocks)
    h = (b'\xff\xffK2' + u16(3) + u16(int(open_)) + u32(0 if open_ else count) + u32(memory)
         + u64(0 if open_ else 32 + len(body)) + u32(0))
    return h + u32(crc32(h)) + body


# the worked example: seek +4, copy 4, 2 literal bytes; seek -8, copy 2
F2_WORKED = f2_block([f2_entry(b'T.DAT', NEW_TDAT, OLD)],
                     control=command(4, 4, extra=2) + command(-8, 2), literal=b'XY')
DIFF_NEW = bytes([OLD[0] + 1, OLD[1]]) + b'Z'   # 'b', 'b' by differences, then Z
F2 = {
    'f2_worked_example': f2_container([F2_WORKED], 1),
    # a whole file and a copy with differences, then a block with an empty
    # whole file and the worked example again
    'f2_two_blocks': f2_container([
        f2_block([f2_entry(b'new.txt', b'hello'), f2_entry(b'sub\\D.BIN', DIFF_NEW, OLD)],
                 control=command(0, 2, diff=True, extra=1), diff=b'\x01\x00', literal=b'helloZ'),
        f2_block([f2_entry(b'empty', b''), f2_entry(b'T.DAT', NEW_TDAT, OLD)],
                 control=command(4, 4, extra=2) + command(-8, 2), literal=b'XY')], 4),
    # a restore file of a run that stopped: two blocks, then one cut short
    'f2_open_cut': f2_container([F2_WORKED, f2_block([f2_entry(b'A', b'abc')], literal=b'abc'),
                                 f2_block([f2_entry(b'B', b'xyz')], literal=b'xyz')[:-9]], 0, open_=True),
    # signing padding after the last block
    'f2_padded': f2_container([F2_WORKED], 1) + bytes(4),
    # control and literal bytes LZMA-coded (each buffer min(D, U) bytes)
    'f2_lzma': f2_container([f2_block(
        [f2_entry(b'T.DAT', NEW_TDAT, OLD), f2_entry(b'W.TXT', b'fox ' * 50)],
        streams=[f2_lzma(command(4, 4, extra=2) + command(-8, 2)), f2_stored(b''),
                 f2_lzma(b'XY' + b'fox ' * 50, lc=0, lp=2, pb=2)])], 2, memory=6 + 202),
    # the table LZMA-coded too
    'f2_lzma_table': f2_container([f2_block(
        [f2_entry(b'A.TXT', b'abc'), f2_entry(b'B.TXT', b'abc')], literal=b'abcabc',
        table=f2_lzma(f2_entry(b'A.TXT', b'abc') + f2_entry(b'B.TXT', b'abc'), lc=0, pb=0))], 2,
        memory=2 * 32 + 10),
    # a seek back past the old file's start
    'f2_seek_outside': f2_container([f2_block([f2_entry(b'T.DAT', NEW_TDAT, OLD)],
                                              control=command(4, 4, extra=2) + command(-9, 2),
                                              literal=b'XY')], 1),
    # a literal byte no record takes
    'f2_left_over': f2_container([f2_block([f2_entry(b'A', b'ab')], literal=b'abc')], 1),
}
# f2_* seeds whose CRCs are read as they are: not made to hold again
F2_CRCS_AS_THEY_ARE = {'f2_worked_example', 'f2_padded'}


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
for name, data in F2.items():
    fix = 0 if name in F2_CRCS_AS_THEY_ARE else 0x8000
    write('differential', name, u16(len(OLD) | fix) + OLD + data)
for name, (old, new) in PAIRS.items():
    write('roundtrip', name, u16(len(old)) + old + new)
for name, data in NAMES.items():
    write('names', name, data)
for name, data in LZMA.items():
    write('lzma', name, data)
