"""Timing of connection_hash and equality_hash on a 1,000,000-node tree.

Run by hand from the repository root, with the module importable, e.g.:

    PYTHONPATH=build python bench/bench_hash.py [node_count]

Besides the two hashes it reports how many bytes each one feeds to the hasher and
compares the rate with the hasher alone on the same byte count, measured two ways:
  * native: a tiny C++ program built on the fly from src/core/siphash.hpp (needs a C++20
    compiler on PATH; skipped otherwise), absorbing the same stream of 8-byte words;
  * CPython's built-in bytes hash, also SipHash-1-3 in C (when the interpreter uses it),
    over a fresh bytes object of the same length.
"""
import os
import subprocess
import sys
import tempfile
import time

import quillnet

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


def build_tree(n):
    """Root value; every value gets one option op with two child values (breadth first)."""
    g = quillnet.CoreGraph()
    add_v, add_o = g.add_value_with_payload, g.add_op_with_payload
    link_down, link_up = g.connect_value_to_op, g.connect_op_to_value
    frontier = [add_v(0, 0)]
    count = 1
    i = 0
    while count + 3 <= n:
        val = frontier[i]
        i += 1
        op = add_o(count)
        link_down(val, op)
        for _ in range(2):
            child = add_v(count, 1)
            link_up(op, child)
            frontier.append(child)
        count += 3
    g.set_root(0)
    return g


def best_of(fn, reps=5):
    best = float("inf")
    for _ in range(reps):
        t = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - t)
    return best


def native_hasher_seconds(words, u32s):
    with tempfile.TemporaryDirectory() as tmp:
        src = os.path.join(tmp, "hasher.cpp")
        exe = os.path.join(tmp, "hasher")
        with open(src, "w") as f:
            f.write(NATIVE_SRC)
        try:
            subprocess.run(["c++", "-O2", "-std=c++20", "-I", os.path.join(ROOT, "src", "core"),
                            src, "-o", exe], check=True, capture_output=True)
        except (OSError, subprocess.CalledProcessError):
            return None
        out = subprocess.run([exe, str(words), str(u32s)], check=True, capture_output=True,
                             text=True).stdout
        return float(out.split()[0])


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
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
    t = time.perf_counter()
    g = build_tree(n)
    print(f"built tree: {g.num_nodes()} nodes in {time.perf_counter() - t:.2f}s")
    nodes = g.num_nodes()
    pairs = 2 * (nodes - 1)          # every tree edge is stored on both ends
    assert len(g.connections()) == pairs

    rows = [
        ("connection_hash", g.connection_hash, 8 + 16 * pairs, 1 + 2 * pairs, 0),
        ("equality_hash", g.equality_hash, 4 * nodes + 16 * pairs, 2 * pairs, nodes),
    ]
    for name, fn, nbytes, words, u32s in rows:
        secs = best_of(fn)
        line = (f"{name:16s} {secs * 1e3:8.1f} ms  {nbytes / 1e6:7.1f} MB hashed  "
                f"{nbytes / secs / 1e9:5.2f} GB/s")
        native = native_hasher_seconds(words, u32s)
        if native is not None:
            line += f" | native hasher alone {native * 1e3:6.1f} ms ({nbytes / native / 1e9:.2f} GB/s," \
                    f" {native / secs:.0%} of the call)"
        cpy = cpython_hash_seconds(nbytes)
        if cpy is not None:
            line += f" | CPython bytes hash {cpy * 1e3:6.1f} ms"
        print(line)


if __name__ == "__main__":
    main()
