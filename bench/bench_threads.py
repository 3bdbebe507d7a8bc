"""Threads: throughput of independent searches in 1 and 2 threads, and the per-call cost
of queries against the floor d.get(x), on whatever interpreter runs the script.

Run against an installed build:  python bench/bench_threads.py [--quick]
On a free-threaded interpreter (python3.13t) the threads run at once and two of them
should come close to twice the throughput of one on two idle cores; with the interpreter
lock they take turns and gain nothing.  The machine's load average is printed with each
table: on a shared machine the figures mean little when it is above the core count.
"""
import argparse
import os
import sys
import sysconfig
import threading
import time

import common
import quillnet


def load():
    return "load average %.2f %.2f %.2f" % os.getloadavg()


def diamond(depth):
    """v_i -> op_i -> [v_{i+1}, v_{i+1}]: 2**depth upward paths from the bottom leaf."""
    g = quillnet.CoreGraph()
    for _ in range(depth):
        g.add_value_with_payload(0, 0)
        g.add_op_with_payload(1)
    g.add_value_with_payload(0, 0)
    for i in range(depth):
        g.connect_value_to_op(2 * i, 2 * i + 1)
        g.connect_op_to_value(2 * i + 1, 2 * i + 2)
        g.connect_op_to_value(2 * i + 1, 2 * i + 2)
    g.set_root(0)
    return g, 2 * depth


def workloads(quick):
    """name -> a function making one thread's own graph and returning its call."""
    scale = 10 if quick else 1

    def glue():
        g, ls, cs = common.star(6, 2, 100)
        return lambda: quillnet.glue_leaves(g, ls, cs, False)

    def hashes():
        g = common.build_tree(200_000 // scale)
        return lambda: (g.connection_hash(), g.equality_hash())

    def traces():
        g, bottom = diamond(15 if not quick else 11)
        return lambda: g.traces(bottom)

    return {"glue_leaves (6 leaves, 2 candidates)": glue,
            "connection_hash + equality_hash (200k-node tree)": hashes,
            "traces (2**15 upward paths)": traces}


def throughput(make, threads, seconds):
    """Calls per second of `threads` threads, each calling its own graph's search in a
    loop for about `seconds`."""
    calls = [make() for _ in range(threads)]
    for call in calls:
        call()  # warm: first-touch of the graphs' pages is not counted
    start = threading.Barrier(threads + 1)
    counts = [0] * threads
    stop = [False]

    def run(i):
        call = calls[i]
        start.wait()
        n = 0
        while not stop[0]:
            call()
            n += 1
        counts[i] = n

    ts = [threading.Thread(target=run, args=(i,)) for i in range(threads)]
    for t in ts:
        t.start()
    start.wait()
    t0 = time.perf_counter()
    time.sleep(seconds)
    stop[0] = True
    for t in ts:
        t.join()
    return sum(counts) / (time.perf_counter() - t0)


def throughput_table(quick, rounds):
    seconds = 0.3 if quick else 1.0
    print(f"independent searches, calls per second, best of {rounds} rounds of "
          f"{seconds:g} s ({load()}):")
    rows = []
    for name, make in workloads(quick).items():
        best = {1: 0.0, 2: 0.0}
        for _ in range(rounds):
            for threads in (1, 2):
                best[threads] = max(best[threads], throughput(make, threads, seconds))
        rows.append([name, f"{best[1]:,.0f}", f"{best[2]:,.0f}", f"{best[2] / best[1]:.2f}"])
    common.print_table(["workload", "1 thread", "2 threads", "2 / 1"], rows)
    print(f"({load()})")


def per_call_table(rounds, number):
    g = quillnet.CoreGraph()
    for i in range(100):
        g.add_value_with_payload(i, 0)
    g.add_op_with_payload(1)
    g.connect_value_to_op(5, 100)
    d = {i: i for i in range(100)}
    env = {"x": 5, "op": 100, "is_value_node": g.is_value_node, "get_op_id": g.get_op_id,
           "payload": g.get_value_payload, "dget": d.get}
    stmts = {
        "d.get(x)": "dget(x)",
        "g.is_value_node(x)": "is_value_node(x)",
        "g.get_op_id(op)": "get_op_id(op)",
        "g.get_value_payload(x)": "payload(x)",
    }
    best = common.interleaved(stmts, env, rounds=rounds, number=number)
    floor = best["d.get(x)"]
    print(f"\nper-call cost, best of {rounds} interleaved rounds of {number:,} calls ({load()}):")
    common.print_table(["call", "ns per call", "x d.get(x)"],
                       [[k, f"{best[k] * 1e9:.1f}", f"{best[k] / floor:.2f}"] for k in stmts])


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true")
    args = ap.parse_args()
    lock = getattr(sys, "_is_gil_enabled", lambda: True)()
    kind = "free-threaded" if sysconfig.get_config_var("Py_GIL_DISABLED") else "with the lock"
    print(f"Python {sys.version.split()[0]} ({kind}; lock {'on' if lock else 'off'} at run time), "
          f"{os.cpu_count()} cores\n")
    throughput_table(args.quick, 2 if args.quick else 3)
    per_call_table(2 if args.quick else 7, 100_000 if args.quick else 1_000_000)


if __name__ == "__main__":
    main()
