#!/usr/bin/env python3
"""Decodes the LZMA encoder test's streams with liblzma, the outside oracle.

Reads DIR/cases.txt (one line a case: name lc lp pb dict endMarker) and for
each the stream DIR/name.lzma and the original DIR/name.bin. Prints one
line a case, "ok name" or "FAIL name: why"; exits with 1 when a case fails
or there is none.

A stream without an end marker is decoded in the .lzma container with its
size known, where liblzma also requires the range coder to end cleanly; one
with a marker as a raw stream, which must end at the marker and nowhere else.
"""
import lzma
import struct
import sys
from pathlib import Path


def check(d, name, lc, lp, pb, dict_size, end):
    stream = (d / f"{name}.lzma").read_bytes()
    want = (d / f"{name}.bin").read_bytes()
    if end:
        dec = lzma.LZMADecompressor(format=lzma.FORMAT_RAW, filters=[
            {"id": lzma.FILTER_LZMA1, "lc": lc, "lp": lp, "pb": pb, "dict_size": dict_size}])
    else:
        props = (pb * 5 + lp) * 9 + lc
        stream = struct.pack("<BIQ", props, dict_size, len(want)) + stream
        dec = lzma.LZMADecompressor(format=lzma.FORMAT_ALONE)
    got = dec.decompress(stream)
    if got != want:
        return f"{len(got)} bytes decoded, {len(want)} expected" if len(got) != len(want) else "bytes differ"
    if not dec.eof:
        return "the stream does not end"
    if dec.unused_data:
        return f"{len(dec.unused_data)} bytes after the end"
    return None


def main():
    d = Path(sys.argv[1])
    passed = failed = 0
    for line in (d / "cases.txt").read_text().split("\n"):
        if not line:
            continue
        name, *nums = line.split()
        lc, lp, pb, dict_size, end = map(int, nums)
        try:
            why = check(d, name, lc, lp, pb, dict_size, end)
        except lzma.LZMAError as e:
            why = str(e)
        print(f"ok {name}" if why is None else f"FAIL {name}: {why}", flush=True)
        passed += why is None
        failed += why is not None
    print(f"{passed} passed, {failed} failed")
    return 0 if passed > 0 and failed == 0 else 1


sys.exit(main())
