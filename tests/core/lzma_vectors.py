#!/usr/bin/env python3
"""Writes raw LZMA test streams made by liblzma (Python's lzma module), the
outside oracle of the decoder's tests, with the bytes they unpack to.

Usage: lzma_vectors.py OUT.bin

Each record: name (zero-terminated), props (1), the stream's dictionary
size (4), unpacked size (4), packed size (4), the packed bytes (liblzma
ends them with an end marker), the unpacked bytes. Little-endian.
The data is made from fixed seeds, apart from the cut executable, which is
whatever the build machine has."""
import lzma
import os
import random
import struct
import sys

rng = random.Random(20261209)


def text(n):
    words = [''.join(rng.choice('etaoinshrdlucmfwy') for _ in range(rng.randint(1, 9)))
             for _ in range(400)]
    out = ''.join(rng.choice(words) + rng.choice('    ,.\n') for _ in range(n // 4))
    return out.encode()[:n]


def far_repeats():
    # a block, other bytes, the block again slightly changed: distances
    # of about 150 KB, which a 64 KB dictionary cannot reach
    block = rng.randbytes(50000)
    changed = bytearray(block)
    for i in range(0, len(changed), 997):
        changed[i] ^= 0x55
    return block + rng.randbytes(100000) + bytes(changed) + block[:20000]


def executable(n):
    for path in ('/usr/bin/cmake', '/usr/bin/python3', '/bin/bash', '/usr/bin/xz'):
        if os.path.exists(path):
            with open(os.path.realpath(path), 'rb') as f:
                return f.read(n)
    sys.exit('lzma_vectors: no executable found to cut')


# name, data, lc, lp, pb, dictionary size, preset
cases = [
    ('empty', b'', 3, 0, 2, 1 << 16, 6),
    ('one_byte', b'x', 3, 0, 2, 1 << 16, 6),
    ('random', rng.randbytes(100000), 0, 0, 0, 1 << 16, 6),
    ('zeros', bytes(300000), 4, 0, 4, 4096, 6),
    ('text_small_dict', text(400000), 3, 0, 2, 4096, 9),
    ('text_lp', text(200000), 1, 3, 1, 1 << 16, 2),
    ('far_repeats', far_repeats(), 2, 2, 3, 1 << 20, 6),
    ('executable', executable(1 << 20), 0, 4, 0, 1 << 16, 6),
    ('executable_default', executable(600000), 3, 0, 2, 1 << 20, 1),
]

with open(sys.argv[1], 'wb') as out:
    for name, data, lc, lp, pb, dict_size, preset in cases:
        packed = lzma.compress(data, format=lzma.FORMAT_RAW, filters=[{
            'id': lzma.FILTER_LZMA1, 'preset': preset, 'lc': lc, 'lp': lp, 'pb': pb,
            'dict_size': dict_size}])
        out.write(name.encode() + b'\0')
        out.write(struct.pack('<BIII', (pb * 5 + lp) * 9 + lc, dict_size, len(data), len(packed)))
        out.write(packed + data)
