"""Timing of connection_hash and equality_hash on the 1,000,000-node tree.

Run against an installed build:  python bench/bench_hash.py [node_count] [--parts]

Besides the two hashes it reports how many bytes each one feeds to the hasher and
compares the rate with the hasher alone on the same byte count, measured two ways:
  * native: a tiny C++ program built on the fly from src/core/siphash.hpp (needs a C++20
    compiler on PATH; skipped otherwise), absorbing the same stream of 8-byte words;
  * CPython's built-in bytes hash, also SipHash-1-3 in C (when the interpreter uses it),
    over a fresh bytes object of the same length.
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

import common

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

NATIVE_SRC = r"""
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include "siphash.hpp"
int main(int argc, char** argv) {
    const unsigned long long words = std::strtoull(argv[1], nullptr, 10);
    const int u32s = std::atoi(argv[2]);   // leading 4-byte writes (unaligns the words)
    double best = 1e30;
    unsigned long long sink = 0;
    for (int rep = 0; rep < 5; ++rep) {
        auto t0 = std::chrono::steady_clock::now();
        quill::SipHasher13 h;
        for (int i = 0; i < u32s; ++i) h.write_u32_le(std::uint32_t(i));
        for (unsigned long long i = 0; i < words; ++i) h.write_u64_le(i ^ sink);
        sink ^= h.finish();
        auto t1 = std::chrono::steady_clock::now();
        double s = std::chrono::duration<double>(t1 - t0).count();
        if (s < best) best = s;
    }
    std::printf("%.9f %llu\n", best, sink & 1);
}
"""


def run_native(source, flags, extra_sources, args):
    """Builds `source` (C++20, src/core on the include path, plus `extra_sources`) with
    `flags`, runs it with `args` and returns its output split into words; None when no
    C++ compiler is on PATH.  A compiler that fails on the source stops the script with
    its first error: the harness no longer matches src/core."""
    core = os.path.join(ROOT, "src", "core")
    if shutil.which("c++") is None:
        return None
    with tempfile.TemporaryDirectory() as tmp:
        src = os.path.join(tmp, "main.cpp")
        exe = os.path.join(tmp, "main")
        with open(src, "w") as f:
            f.write(source)
        built = subprocess.run(["c++", *flags, "-std=c++20", "-I", core, src, *extra_sources,
                                "-o", exe], capture_output=True, text=True)
        if built.returncode != 0:
            errors = [line for line in built.stderr.splitlines() if "error" in line]
            raise SystemExit("c++ could not build the native harness: "
                             + (errors or built.stderr.splitlines() or ["?"])[0])
        return subprocess.run([exe, *map(str, args)], check=True, capture_output=True,
                              text=True).stdout.split()


def native_hasher_seconds(words, u32s):
    out = run_native(NATIVE_SRC, ["-O2"], [], [words, u32s])
    return None if out is None else float(out[0])


PARTS_SRC = r"""
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>
#include "canonical_walk.hpp"
#include "hash.hpp"
using namespace quill;
using Clock = std::chrono::steady_clock;
static double since(Clock::time_point t) {
    return std::chrono::duration<double>(Clock::now() - t).count();
}
int main(int argc, char** argv) {
    const std::uint64_t n = std::strtoull(argv[1], nullptr, 10);
    Graph g;  // the standard tree, as common.build_tree makes it
    std::vector<NodeId> values{g.add_value(0, 0)};
    std::uint64_t count = 1;
    for (std::size_t i = 0; i < values.size() && count + 3 <= n; ++i, count += 3) {
        const NodeId v = values[i], op = g.add_op(std::uint32_t(v & 0xFFFF));
        g.connect_value_to_op(v, op);
        for (int k = 0; k < 2; ++k) {
            const NodeId c = g.add_value(std::uint32_t(v), 1);
            g.connect_op_to_value(op, c);
            values.push_back(c);
        }
    }
    double walk = 1e30, gather = 1e30, call = 1e30;
    std::uint64_t sink = 0;
    for (int rep = 0; rep < 7; ++rep) {
        Poll poll;
        auto t = Clock::now();
        { const CanonicalWalk w(g, poll, [](Idx) {}); sink += w.pairs; }
        walk = std::min(walk, since(t));
        t = Clock::now();
        {
            const CanonicalWalk w(g, poll, [](Idx) {});
            gather_connections(g, w, poll, [&](const std::uint64_t* p, std::size_t k) {
                for (std::size_t i = 0; i < k; ++i) sink += p[i];
            });
        }
        gather = std::min(gather, since(t));
        t = Clock::now();
        sink += connection_hash(g);
        call = std::min(call, since(t));
    }
    std::printf("%.9f %.9f %.9f %llu\n", walk, gather, call, (unsigned long long)(sink & 1));
}
"""


def native_parts_seconds(nodes):
    """(walk, walk + gathering, connection_hash) in seconds, from a harness built on the
    fly over src/core with the release build's optimisation; None without a compiler."""
    core = os.path.join(ROOT, "src", "core")
    sources = sorted(os.path.join(core, f) for f in os.listdir(core) if f.endswith(".cpp"))
    out = run_native(PARTS_SRC, ["-O3", "-DNDEBUG"], sources, [nodes])
    return None if out is None else tuple(float(x) for x in out[:3])


def cpython_hash_seconds(nbytes):
    if sys.hash_info.algorithm != "siphash13":
        return None
    best = float("inf")
    for _ in range(5):
        data = os.urandom(nbytes)   # fresh object: bytes cache their hash
        t = time.perf_counter()
        hash(data)
        best = min(best, time.perf_counter() - t)
    return best


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("node_count", type=int, nargs="?", default=common.TREE_NODES)
    ap.add_argument("--quick", action="store_true", help="a 100,000-node tree")
    ap.add_argument("--parts", action="store_true",
                    help="also time the walk and the pair gathering of connection_hash "
                         "alone, in a native harness over src/core")
    a = ap.parse_args()
    n = 100_000 if a.quick else a.node_count
    t = time.perf_counter()
    g = common.build_tree(n)
    nodes = g.num_nodes()
    print(f"built the tree: {nodes:,} nodes in {time.perf_counter() - t:.2f} s")
    pairs = 2 * (nodes - 1)          # every tree edge is stored on both ends
    assert len(g.connections()) == pairs

    calls = [
        ("connection_hash", g.connection_hash, 8 + 16 * pairs, 1 + 2 * pairs, 0),
        ("equality_hash", g.equality_hash, 4 * nodes + 16 * pairs, 2 * pairs, nodes),
    ]
    rows = []
    for name, fn, nbytes, words, u32s in calls:
        secs, _ = common.best_of(fn)
        native = native_hasher_seconds(words, u32s)
        cpy = cpython_hash_seconds(nbytes)
        rows.append([
            name, common.fmt_seconds(secs), f"{nbytes / 1e6:.1f} MB",
            f"{nbytes / secs / 1e9:.2f} GB/s",
            "-" if native is None else
            f"{common.fmt_seconds(native)} ({nbytes / native / 1e9:.2f} GB/s), "
            f"{native / secs:.0%} of the call",
            "-" if cpy is None else common.fmt_seconds(cpy),
        ])
    print("best of 5 each:")
    common.print_table(["call", "time", "hashed", "rate", "native hasher alone",
                        "CPython bytes hash"], rows)
    if a.parts:
        parts = native_parts_seconds(n)
        if parts is None:
            print("parts: no C++ compiler on PATH")
            return
        walk, gather, call = parts
        hasher = native_hasher_seconds(1 + 2 * pairs, 0)
        print("connection_hash in parts, native harness, best of 7:")
        common.print_table(["part", "time"], [
            ["the walk (order, positions, pair count)", common.fmt_seconds(walk)],
            ["  + gathering the pairs", common.fmt_seconds(gather - walk)],
            ["  + hashing them (rest of the call)", common.fmt_seconds(call - gather)],
            ["the whole call", common.fmt_seconds(call)],
            ["the hasher alone on the same bytes", common.fmt_seconds(hasher)],
        ])


if __name__ == "__main__":
    main()
