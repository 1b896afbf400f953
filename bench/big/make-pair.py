#!/usr/bin/env python3
"""Makes an old/new pair like a game's data archive between two versions:
random bytes (like compressed data, from openssl's AES-CTR), then in the
new file local edits, insertions, deletions and a moved block.

  bench/big/make-pair.py SIZE OUT_DIR [--seed N] [--edits N] [--insert BYTES]

SIZE takes K, M and G suffixes (powers of 1024). Writes OUT_DIR/old/data.pak
and OUT_DIR/new/data.pak, and prints what it changed.
"""
import argparse
import os
import random
import subprocess


def size_arg(s):
    mult = {"K": 1 << 10, "M": 1 << 20, "G": 1 << 30}
    return int(float(s[:-1]) * mult[s[-1].upper()]) if s[-1].upper() in mult else int(s)


def random_file(path, size, key):
    """size random bytes into path: AES-128-CTR of zeros under key."""
    with open(path, "wb") as out:
        zero = subprocess.Popen(["head", "-c", str(size), "/dev/zero"], stdout=subprocess.PIPE)
        subprocess.run(["openssl", "enc", "-aes-128-ctr", "-nosalt", "-K", key, "-iv", "0" * 32],
                       stdin=zero.stdout, stdout=out, check=True)
        zero.wait()


def copy_range(src, dst, start, n, chunk=16 << 20):
    src.seek(start)
    while n:
        b = src.read(min(chunk, n))
        dst.write(b)
        n -= len(b)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("size", type=size_arg)
    ap.add_argument("out")
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--edits", type=int, default=200)
    ap.add_argument("--insert", type=size_arg, default=4 << 20)
    a = ap.parse_args()
    rng = random.Random(a.seed)
    os.makedirs(os.path.join(a.out, "old"), exist_ok=True)
    os.makedirs(os.path.join(a.out, "new"), exist_ok=True)
    old = os.path.join(a.out, "old", "data.pak")
    new = os.path.join(a.out, "new", "data.pak")
    random_file(old, a.size, "%032x" % rng.getrandbits(128))
    extra = os.path.join(a.out, "insert.bin")
    random_file(extra, a.insert, "%032x" % rng.getrandbits(128))

    # The new file: the old one with a block moved to the front, one range
    # deleted and the insertion put in; then local edits written in place.
    n = a.size
    move_at, move_len = n // 2, max(1, n // 64)
    del_at, del_len = n // 5, max(1, n // 128)
    ins_at = (3 * n) // 4
    pieces = [(move_at, move_len), (0, del_at), (del_at + del_len, move_at - del_at - del_len),
              (move_at + move_len, ins_at - move_at - move_len), "insert", (ins_at, n - ins_at)]
    with open(old, "rb") as src, open(extra, "rb") as ins, open(new, "wb") as dst:
        for p in pieces:
            if p == "insert":
                copy_range(ins, dst, 0, a.insert)
            else:
                copy_range(src, dst, p[0], p[1])
    os.remove(extra)
    new_size = os.path.getsize(new)
    with open(new, "r+b") as f:
        for _ in range(a.edits):
            at = rng.randrange(new_size - 16)
            f.seek(at)
            f.write(bytes(rng.getrandbits(8) for _ in range(rng.randint(1, 16))))
    print("old %d bytes, new %d bytes: block of %d moved, %d deleted, %d inserted, %d local edits"
          % (n, new_size, move_len, del_len, a.insert, a.edits))


if __name__ == "__main__":
    main()
