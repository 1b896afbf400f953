#!/usr/bin/env python3
"""Compares mkpatch with delta tools on the corpus that fetch-corpus.sh made.

For every package in bench/corpus, the files that both versions hold and
that differ are the pairs. Ours encodes them in one `mkpatch build
--container-only` run over folders of links to those pairs, in format 2
("ours f2") and in the bare format ("ours f1", with --format 1
--no-trailer); each peer runs once per pair. Sizes are summed, times summed, peak memory is the largest
of the runs (all from /usr/bin/time). Then the encoder benchmark checks
every pair against a separately computed optimum and times our suffix sort
against libdivsufsort.

  bench/mkpatch/run-bench.py --build BUILD_DIR [--corpus DIR] [--peers NAME,...] [--features]
                             [PACKAGE...]

--peers picks peer rows by name (default: all), e.g.
--peers "xdelta3 -9 -S none -D,xdelta3 -9 -D,bsdiff,zstd -19 --patch-from".
The ratios are also printed for the pairs whose name does not end in .gz
(ours: a second container per package over those pairs only).

--features adds, per package, format 2's size with each feature or coder
parameter changed on its own (mkpatch_format2_bench).

BUILD_DIR is a native-release build (mkpatch, mkpatch_encoder_bench and
mkpatch_format2_bench).
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile

# xdelta3 by default decompresses gzip (and other) inputs before diffing,
# which ours does not; -D turns that off, so the -D rows are the fair ones.
PEERS = [
    ("xdelta3 -9 -S none -D", lambda o, n, out: ["xdelta3", "-9", "-S", "none", "-D", "-f", "-e", "-s", o, n, out]),
    ("xdelta3 -9 -D", lambda o, n, out: ["xdelta3", "-9", "-D", "-f", "-e", "-s", o, n, out]),
    ("xdelta3 -9 -S none", lambda o, n, out: ["xdelta3", "-9", "-S", "none", "-f", "-e", "-s", o, n, out]),
    ("xdelta3 -9", lambda o, n, out: ["xdelta3", "-9", "-f", "-e", "-s", o, n, out]),
    ("bsdiff", lambda o, n, out: ["bsdiff", o, n, out]),
    ("zstd -19 --patch-from", lambda o, n, out: ["zstd", "-q", "-f", "-19", "--patch-from=" + o, n, "-o", out]),
]


def timed(cmd):
    """Runs cmd under /usr/bin/time; returns (seconds, peak KiB)."""
    r = subprocess.run(["/usr/bin/time", "-f", "%e %M"] + cmd, stdout=subprocess.DEVNULL,
                       stderr=subprocess.PIPE, text=True)
    if r.returncode != 0:
        sys.exit("failed: %s\n%s" % (" ".join(cmd), r.stderr))
    secs, kib = r.stderr.strip().splitlines()[-1].split()
    return float(secs), int(kib)


def changed_pairs(root):
    pairs = []
    old_root, new_root = os.path.join(root, "old"), os.path.join(root, "new")
    for dirpath, _, files in os.walk(new_root):
        for f in files:
            n = os.path.join(dirpath, f)
            rel = os.path.relpath(n, new_root)
            o = os.path.join(old_root, rel)
            if os.path.islink(n) or os.path.islink(o) or not os.path.isfile(o):
                continue
            with open(o, "rb") as a, open(n, "rb") as b:
                if a.read() != b.read():
                    pairs.append((rel, o, n))
    return sorted(pairs)


def fmt_size(n):
    return "{:,}".format(n)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", required=True)
    ap.add_argument("--corpus", default=os.path.join(os.path.dirname(__file__), "..", "corpus"))
    ap.add_argument("--peers", help="comma-separated peer names (default: all)")
    ap.add_argument("--features", action="store_true")
    ap.add_argument("packages", nargs="*")
    args = ap.parse_args()
    peers = PEERS
    if args.peers:
        wanted = [w.strip() for w in args.peers.split(",")]
        known = [p[0] for p in PEERS]
        for w in wanted:
            if w not in known:
                sys.exit("unknown peer %r; known: %s" % (w, ", ".join(known)))
        peers = [p for p in PEERS if p[0] in wanted]
    mkpatch = os.path.join(args.build, "tools/mkpatch/mkpatch")
    encbench = os.path.join(args.build, "bench/mkpatch/mkpatch_encoder_bench")
    f2bench = os.path.join(args.build, "bench/mkpatch/mkpatch_format2_bench")
    features = {}  # variant -> {package: size}
    packages = args.packages or sorted(p for p in os.listdir(args.corpus)
                                       if os.path.isdir(os.path.join(args.corpus, p, "new")))
    work = tempfile.mkdtemp(prefix="mkpatch-bench-")
    names = ["ours f2", "ours f1", "ours f1 | xz -9"] + [p[0] for p in peers]
    totals = {k: [0, 0.0, 0] for k in names}
    nongz = {k: 0 for k in names}  # sizes over the pairs not ending in .gz
    nongz_pairs = nongz_new = 0
    all_pairs = []
    rows = []
    total_old = total_new = 0
    for pkg in packages:
        pairs = changed_pairs(os.path.join(args.corpus, pkg))
        if not pairs:
            continue
        all_pairs += pairs
        old_bytes = sum(os.path.getsize(o) for _, o, _ in pairs)
        new_bytes = sum(os.path.getsize(n) for _, _, n in pairs)
        biggest = max(os.path.getsize(o) + os.path.getsize(n) for _, o, n in pairs)
        total_old += old_bytes
        total_new += new_bytes
        pw = os.path.join(work, pkg)
        for side, idx in (("old", 1), ("new", 2)):
            for p in pairs:
                link = os.path.join(pw, side, p[0])
                os.makedirs(os.path.dirname(link), exist_ok=True)
                os.symlink(os.path.abspath(p[idx]), link)
        res = {}
        for name, form in (("ours f2", []), ("ours f1", ["--format", "1", "--no-trailer"])):
            container = os.path.join(pw, "patch.bin")
            secs, kib = timed([mkpatch, "build", os.path.join(pw, "old"), os.path.join(pw, "new"),
                               "-o", container, "--container-only", "--force"] + form)
            res[name] = (os.path.getsize(container), secs, kib)
            v = subprocess.run([mkpatch, "verify", container, os.path.join(pw, "old"),
                                os.path.join(pw, "new")], capture_output=True, text=True)
            if v.returncode != 0:
                sys.exit("verify failed for %s (%s):\n%s" % (pkg, name, v.stderr))
        secs, kib = timed(["xz", "-9", "-k", "-f", container])
        res["ours f1 | xz -9"] = (os.path.getsize(container + ".xz"), secs, kib)
        if args.features:
            cmd = [f2bench]
            for _, o, n in pairs:
                cmd += [o, n]
            out = subprocess.run(cmd, capture_output=True, text=True, check=True).stdout
            for line in out.strip().splitlines():
                variant, size = line.rsplit(": ", 1)
                features.setdefault(variant, {})[pkg] = int(size)
        plain = [p for p in pairs if not p[0].endswith(".gz")]
        nongz_pairs += len(plain)
        nongz_new += sum(os.path.getsize(n) for _, _, n in plain)
        if plain:
            pg = os.path.join(pw, "nongz")
            for side, idx in (("old", 1), ("new", 2)):
                for p in plain:
                    link = os.path.join(pg, side, p[0])
                    os.makedirs(os.path.dirname(link), exist_ok=True)
                    os.symlink(os.path.abspath(p[idx]), link)
            c2 = os.path.join(pg, "patch.bin")
            for name, form in (("ours f2", []), ("ours f1", ["--format", "1", "--no-trailer"])):
                subprocess.run([mkpatch, "build", os.path.join(pg, "old"), os.path.join(pg, "new"),
                                "-o", c2, "--container-only", "--force"] + form, check=True,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                nongz[name] += os.path.getsize(c2)
            subprocess.run(["xz", "-9", "-k", "-f", c2], check=True)
            nongz["ours f1 | xz -9"] += os.path.getsize(c2 + ".xz")
        for name, make in peers:
            size = secs_sum = peak = 0
            for i, (rel, o, n) in enumerate(pairs):
                out = os.path.join(pw, "peer.out")
                s, k = timed(make(o, n, out))
                size += os.path.getsize(out)
                if not rel.endswith(".gz"):
                    nongz[name] += os.path.getsize(out)
                secs_sum += s
                peak = max(peak, k)
            res[name] = (size, secs_sum, peak)
        rows.append((pkg, len(pairs), old_bytes, new_bytes, biggest, res))
        for k, (s, t, m) in res.items():
            totals[k][0] += s
            totals[k][1] += t
            totals[k][2] = max(totals[k][2], m)
        print("%s: %d pairs done" % (pkg, len(pairs)), file=sys.stderr)

    print("Sizes in bytes (time in s, peak memory in MiB), changed files only:\n")
    head = "| package | pairs | new bytes | " + " | ".join(names) + " |"
    print(head)
    print("|" + "---|" * (3 + len(names)))
    for pkg, npairs, ob, nb, biggest, res in rows:
        cells = ["%s (%.1f s, %.0f MiB)" % (fmt_size(res[k][0]), res[k][1], res[k][2] / 1024.0)
                 for k in names]
        print("| %s | %d | %s | %s |" % (pkg, npairs, fmt_size(nb), " | ".join(cells)))
    cells = ["**%s** (%.1f s, %.0f MiB)" % (fmt_size(totals[k][0]), totals[k][1], totals[k][2] / 1024.0)
             for k in names]
    print("| **total** | %d | %s | %s |" % (len(all_pairs), fmt_size(total_new), " | ".join(cells)))
    print()
    ours = totals["ours f1"][0]
    for plain, xz in (("xdelta3 -9 -S none -D", "xdelta3 -9 -D"), ("xdelta3 -9 -S none", "xdelta3 -9")):
        if plain in totals and xz in totals:
            print("ours f1 / %s: %.2fx; ours f1|xz -9 / %s: %.2fx; encode time ours f1 / %s: %.2fx" % (
                plain, ours / totals[plain][0], xz, totals["ours f1 | xz -9"][0] / totals[xz][0],
                xz, totals["ours f1"][1] / totals[xz][1]))
    print("total, ours f2 / peer: " + "  ".join("%s %.3fx" % (k, totals["ours f2"][0] / totals[k][0])
                                               for k in names[1:]))
    print("per package, ours f2 / peer:")
    for pkg, npairs, ob, nb, biggest, res in rows:
        print("  %-22s %s" % (pkg, "  ".join("%s %.2fx" % (k, res["ours f2"][0] / res[k][0])
                                              for k in names[1:])))
    print("pairs not ending in .gz (%d pairs, %s new bytes): sizes %s" % (
        nongz_pairs, fmt_size(nongz_new), "; ".join("%s %s" % (k, fmt_size(nongz[k])) for k in names)))
    for plain, xz in (("xdelta3 -9 -S none -D", "xdelta3 -9 -D"), ("xdelta3 -9 -S none", "xdelta3 -9")):
        if plain in nongz and xz in nongz and nongz[plain] and nongz[xz]:
            print("  not .gz: ours f1 / %s: %.2fx; ours f1|xz -9 / %s: %.2fx" % (
                plain, nongz["ours f1"] / nongz[plain], xz, nongz["ours f1 | xz -9"] / nongz[xz]))
    if "bsdiff" in nongz and nongz["bsdiff"]:
        print("  not .gz: ours f2 / bsdiff: %.3fx" % (nongz["ours f2"] / nongz["bsdiff"]))
    worst = max(r[5]["ours f2"][2] * 1024.0 / r[4] for r in rows)
    print("ours peak memory per byte of the largest old+new pair of a package: at most %.1f" % worst)
    print()
    if features:
        ref = "bsdiff" if "bsdiff" in totals else None
        print("Format 2 with one feature or coder parameter changed (mkpatch_format2_bench; one block):\n")
        print("| variant | total | against format 2 |" + (" against bsdiff |" if ref else ""))
        print("|---|---|---|" + ("---|" if ref else ""))
        base = sum(features["format 2"].values())
        for variant, sizes in features.items():
            total = sum(sizes.values())
            print("| %s | %s | %.3fx |%s" % (variant, fmt_size(total), total / base,
                                             " %.3fx |" % (total / totals[ref][0]) if ref else ""))
        print()
    sys.stdout.flush()
    cmd = [encbench]
    for _, o, n in all_pairs:
        cmd += [o, n]
    r = subprocess.run(cmd, capture_output=True, text=True)
    lines = r.stdout.strip().splitlines()
    print("Encoder benchmark (" + os.path.basename(encbench) + "):")
    for line in lines[-2:]:
        print("  " + line)
    if r.returncode != 0:
        print(r.stdout)
        shutil.rmtree(work, ignore_errors=True)
        sys.exit(1)
    shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
