#!/usr/bin/env python3
"""Whole inspection path against the reference engine, on the benchmark corpora.

For each corpus (ascii, unicode, digits, clean) it runs vintra-inspect-bench
(read, lossy decoding, the eleven detectors, validation and tally) and the
reference engine (its matching time alone, which leaves out its read and
decoding), each --runs times, and prints the medians, the ratio and our peak
resident memory while inspecting the file. Then the linearity check: the digits
corpus at half the size.

usage: compare.py --build BUILD_DIR [--size-mib 50] [--runs 3] [--seed N] [--skip-peer]
Corpora go to BUILD_DIR/bench-corpus-<size>-<seed>, the reference engine to
BUILD_DIR/peer (built with cargo when missing).
"""
import argparse
import os
import re
import statistics
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
# The reference engine and the corpus generator: the shared benchmark kit beside the checkout.
KIT = os.environ.get("VINTRA_REFERENCE_KIT_DIR", os.path.join(HERE, "..", "..", "..", "shared", "bench"))
FILES = ["ascii", "unicode", "digits", "clean"]


def corpus(build, size, seed):
    d = os.path.join(build, "bench-corpus-%g-%d" % (size, seed))
    if not os.path.exists(os.path.join(d, "manifest.json")):
        subprocess.run([sys.executable, os.path.join(KIT, "gen_corpus.py"), "--out", d, "--size-mib", str(size),
                        "--seed", str(seed)], check=True)
    return d


def peer_binary(build):
    peer = os.path.join(build, "peer", "peer-rust-regex")
    if not os.path.exists(peer):
        subprocess.run(["bash", os.path.join(KIT, "build-peer"), os.path.join(build, "peer")], check=True)
    return peer


def ours(build, path, runs):
    tool = os.path.join(build, "bench", "inspector", "vintra-inspect-bench")
    out = subprocess.run(["/usr/bin/time", "-f", "maxrss_kb=%M", tool, "--runs", str(runs), path],
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, check=True)
    totals = [float(m) for m in re.findall(r"run=\d+ .*?total_ms=([\d.]+)", out.stdout)]
    rss = int(re.search(r"maxrss_kb=(\d+)", out.stderr).group(1))
    return statistics.median(totals), rss


def peer(binary, path, runs):
    totals = []
    for _ in range(runs):
        out = subprocess.run([binary, path], stdout=subprocess.PIPE, text=True, check=True).stdout
        totals.append(float(re.search(r"^total count=\d+ ms=([\d.]+)", out, re.M).group(1)))
    return statistics.median(totals)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", required=True)
    ap.add_argument("--size-mib", type=float, default=50)
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--seed", type=int, default=20240601)
    ap.add_argument("--skip-peer", action="store_true")
    a = ap.parse_args()
    d = corpus(a.build, a.size_mib, a.seed)
    reference = None if a.skip_peer else peer_binary(a.build)
    print("%-12s %10s %10s %12s %10s %8s %14s" % ("corpus", "bytes", "ours ms", "ours MB/s", "peer ms",
                                                 "ratio", "peak RSS MiB"))
    for name in FILES:
        path = os.path.join(d, name + ".txt")
        size = os.path.getsize(path)
        ms, rss = ours(a.build, path, a.runs)
        pms = peer(reference, path, a.runs) if reference else float("nan")
        print("%-12s %10d %10.1f %12.1f %10.1f %8.1f %14.1f" % (name + ".txt", size, ms, size / 1e3 / ms, pms,
                                                               pms / ms, rss / 1024))
    half = corpus(a.build, a.size_mib / 2, a.seed)
    ms_half, _ = ours(a.build, os.path.join(half, "digits.txt"), a.runs)
    ms_full, _ = ours(a.build, os.path.join(d, "digits.txt"), a.runs)
    print("linearity: digits.txt %g MiB %.1f ms, %g MiB %.1f ms, ratio %.2f" % (a.size_mib / 2, ms_half, a.size_mib,
                                                                              ms_full, ms_full / ms_half))


if __name__ == "__main__":
    main()
