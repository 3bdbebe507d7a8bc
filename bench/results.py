"""Runs the benchmark scripts several times each and writes RESULTS.md from their output.

    python bench/results.py                        # every section: writes bench/RESULTS.md
    python bench/results.py --quick                # smoke run of this script, to stdout
    python bench/results.py --only glue --only peers   # those sections, put in place of
                                                   # theirs in RESULTS.md, the rest kept

Each section is one script of this folder, run --runs times (each run a fresh process,
one after the other; peers.py starts a fresh process per library itself).  What a run
prints is read back (its tables and summary lines), and each figure is given as the best
and the worst over the runs, with the command, the number of runs, the load average
before and after, the date and time, the interpreter and the machine.  Ratios against
the peer libraries are computed per run from the two figures that run measured.

The prose comes from RESULTS.template.md beside this file: {{section.key}} there is a
figure's range over the runs, {{section.key:best}} its best run, {{section.key:num}} the
range as plain numbers, {{section.key:speed}} a ratio of a peer's time over quillnet's
in words ("3.1-3.3 times faster", "30 times slower"), and {{section.meta}},
{{section.table}} the section's run details and its table of figures.  The blocks
between <!-- section NAME --> and <!-- end NAME --> are the sections.
"""
import argparse
import datetime
import io
import json
import os
import pathlib
import platform
import re
import subprocess
import sys
import time

import common

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
TEMPLATE = os.path.join(HERE, "RESULTS.template.md")
RESULTS = os.path.join(HERE, "RESULTS.md")

# --------------------------------------------------------------------------------------
# Reading the scripts' output: Markdown tables (common.print_table) and summary lines,
# quantities as common.fmt_seconds / fmt_bytes print them.

SCALE = {"": 1, "x": 1, "ns": 1e-9, "µs": 1e-6, "ms": 1e-3, "s": 1, "B": 1, "bytes": 1,
         "KiB": 2**10, "MiB": 2**20, "GiB": 2**30, "MB": 1e6, "GB/s": 1e9}
QUANTITY = re.compile(r"\s*(-?[\d,]*\.?\d+)\s*([^\s(),]*)")


def quantity(text):
    """The leading number of a cell in base units: "37.5 ms" -> 0.0375, "73.6 MiB" ->
    bytes, "74,206" -> 74206.0.  A unit it does not know is an error: the script's
    output changed and this reader must follow."""
    m = QUANTITY.match(text)
    if not m or m[2] not in SCALE:
        raise ValueError(f"not a quantity: {text!r}")
    return float(m[1].replace(",", "")) * SCALE[m[2]]


def tables(text):
    """The Markdown tables in a script's output: a list of (title, rows), title being the
    line just above the table and rows a list of {header: cell}."""
    out, title, header, rows = [], "", None, None
    for line in text.splitlines() + [""]:
        if line.startswith("|"):
            cells = [c.strip() for c in line.strip().strip("|").split("|")]
            if header is None:
                header, rows = cells, []
            elif not line.startswith("|-"):
                rows.append(dict(zip(header, cells)))
            continue
        if header is not None:
            out.append((title, rows))
            header = None
        if line.strip():
            title = line.strip()
    return out


def slug(text):
    return re.sub(r"[^a-z0-9]+", "_", text.lower()).strip("_")


def search(pattern, text):
    m = re.search(pattern, text, re.M)
    if not m:
        raise ValueError(f"no line matching {pattern!r} in the output")
    return m


class Figures:
    """What one run gave: figures (key -> (label, value, unit, higher is better)) and
    facts (key -> text: sizes, versions) for the template."""

    def __init__(self):
        self.figures, self.facts = {}, {}

    def add(self, key, label, value, unit, higher=False):
        self.figures[key] = (label, value, unit, higher)

    def ratio(self, key, label, num, den, higher=False):
        """num / den of two figures already added (each from this same run)."""
        self.add(key, label, self.figures[num][1] / self.figures[den][1], "x", higher)


# --------------------------------------------------------------------------------------
# One reader per script: its output -> Figures.


def read_foundation(text):
    f = Figures()
    overhead, build, walk = tables(text)[:3]
    f.add("loop", "the statement loop itself",
          quantity(search(r"loop itself costs (\S+ ns)", overhead[0])[1]), "s")
    for row in overhead[1]:
        key = slug(row["call"])
        f.add(key, f"{row['call']}, ns per call", quantity(row["ns per call"]) * 1e-9, "s")
        if row["call"] != "d.get(x)":   # the script's ratio, of the unrounded times
            f.add(key + "_x", f"{row['call']} / d.get(x)",
                  quantity(row["x floor d.get(x)"]), "x")
    f.facts["nodes"] = search(r"the ([\d,]+)-node tree", build[0])[1]
    cells = {row["measure"]: row["result"] for row in build[1]}
    f.add("build", f"build the {f.facts['nodes']}-node tree by per-call adds",
          quantity(cells["construction"]), "s/node")
    f.add("memory", "resident growth of that build", quantity(cells["resident growth"]),
          "B/node")
    rows = {row["call"]: row for row in walk[1]}
    f.add("floor", "array('Q', ids).tolist() (the floor)",
          quantity(rows["array('Q', ids).tolist() (floor)"]["time"]), "s")
    walk = rows["walk_from_root(False, True)"]
    f.add("walk", "walk_from_root(False, True)", quantity(walk["time"]), "s")
    f.add("walk_x", "walk_from_root(False, True) / floor", quantity(walk["x floor"]), "x")
    return f


def read_hash(text):
    f = Figures()
    f.facts["nodes"] = search(r"built the tree: ([\d,]+) nodes", text)[1]
    found = tables(text)
    for row in found[0][1]:
        name = row["call"]
        f.facts[name + "_bytes"] = row["hashed"]
        f.add(name, f"{name}()", quantity(row["time"]), "s")
        f.add(name + "_rate", f"{name}(): bytes hashed per second (higher is better)",
              quantity(row["rate"]), "B/s", higher=True)
        if row["native hasher alone"] != "-":
            f.add(name + "_hasher", f"the native hasher alone on {name}'s bytes",
                  quantity(row["native hasher alone"]), "s")
            f.ratio(name + "_x", f"{name}() / the hasher alone", name, name + "_hasher")
        if row["CPython bytes hash"] != "-":
            f.add(name + "_cpython", f"the interpreter's bytes hash on {name}'s byte count",
                  quantity(row["CPython bytes hash"]), "s")
    if len(found) > 1:
        parts = {row["part"].strip(): quantity(row["time"]) for row in found[1][1]}
        for key, part in (("walk", "the walk (order, positions, pair count)"),
                          ("gather", "+ gathering the pairs"),
                          ("hashing", "+ hashing them (rest of the call)"),
                          ("call", "the whole call"),
                          ("hasher", "the hasher alone on the same bytes")):
            f.add("parts_" + key, f"connection_hash in parts, native: {part}", parts[part], "s")
        f.ratio("parts_walk_x", "the walk alone / the hasher alone", "parts_walk",
                "parts_hasher")
        f.add("parts_floor_x", "(walk + hasher alone) / hasher alone: the least the call "
              "can take", (parts["the walk (order, positions, pair count)"]
                           + parts["the hasher alone on the same bytes"])
              / parts["the hasher alone on the same bytes"], "x")
        f.add("parts_walk_gather", "the walk and the gathering together",
              parts["the walk (order, positions, pair count)"] + parts["+ gathering the pairs"],
              "s")
    return f


def read_parts(text):
    """The parts table of bench_hash.py --parts alone (the hash section has the rest)."""
    f = read_hash(text)
    f.figures = {k: v for k, v in f.figures.items() if k.startswith("parts_")}
    if not f.figures:
        raise ValueError("no parts table in the output")
    return f


def read_clone(text):
    f = Figures()
    (title, rows), = tables(text)
    m = search(r"tree of ([\d,]+) nodes, chain of ([\d,]+) nodes", title)
    f.facts["tree_nodes"], f.facts["chain_nodes"] = m[1], m[2]
    for row in rows:
        f.add(slug(row["call"]), row["call"].replace(":   ", ": "), quantity(row["time"]), "s")
    for graph in ("tree", "chain"):
        f.ratio(graph + "_dict_x", f"{graph}: the dict / the native copy",
                graph + "_of_which_the_dict", graph + "_native_copy_wrap")
    return f


def read_glue(text):
    f = Figures()
    (title, rows), = tables(text)
    f.facts["candidates"] = search(r"(\d+) candidates of one type", title)[1]
    for i, row in enumerate(rows):
        leaves, nodes, results = row["leaves"], row["nodes"], row["results"]
        f.facts[f"leaves{i}"], f.facts[f"nodes{i}"] = leaves, nodes
        f.facts[f"levels{i}"], f.facts[f"results{i}"] = row["levels"], results
        what = f"{leaves} leaves, {nodes} nodes"
        f.add(f"glue{i}", f"glue_leaves, {what} ({results} results)", quantity(row["time"]), "s")
        f.add(f"floor{i}", f"its output floor ({what})", quantity(row["output floor"]), "s")
        f.ratio(f"glue{i}_x", f"glue_leaves / its output floor ({what})", f"glue{i}", f"floor{i}")
        f.add(f"release{i}", f"release of those results ({what})",
              quantity(row["release of results"]), "s")
    m = search(r"([\d,]+) failing searches in ([\d.]+) s; resident memory (.+) -> (.+)$", text)
    runs = int(m[1].replace(",", ""))
    f.facts["failing_runs"] = m[1]
    f.add("failing", f"{m[1]} searches that fail deep down", float(m[2]), "s")
    f.add("failing_each", "one of those searches", float(m[2]) / runs, "s")
    f.add("failing_growth", f"resident growth across the {m[1]} searches",
          quantity(m[4]) - quantity(m[3]), "B")
    return f


def read_conditions(text):
    f = Figures()
    (_, rows), = tables(text)
    for row in rows:
        name = row["scenario"]
        f.add(name, f"{name} ({row['input']})", quantity(row["time"]), "s")
        f.add(name + "_peak", f"{name}: peak resident growth", quantity(row["peak growth"]), "B")
    return f


def read_churn(text):
    f = Figures()
    (title, rows), = tables(text)
    f.facts["setup"] = title.rstrip(":")
    for row in rows:
        order = row["connect order"]
        key = slug(order)
        f.add(key, f"{order}: resident bytes per new node",
              quantity(row["resident bytes per new node"]), "B/node")
        f.add(key + "_x", f"{order}: per new node / a 24-byte node",
              quantity(row["x 24 B node"]), "x")
        f.add(key + "_round", f"{order}: time per round", quantity(row["time per round"]), "s")
    return f


PEER_FIGURES = (("build", "build per node", "s/node"), ("walk", "walk (DFS)", "s"),
                ("copy", "copy", "s"), ("memory", "memory per node", "B/node"))


def read_peers(text):
    f = Figures()
    (title, rows), = tables(text)
    f.facts["nodes"] = search(r"([\d,]+)-node tree", title)[1]
    rows = [row for row in rows if not row["build per node"].startswith("error")]
    if not rows or not rows[0]["library"].startswith("quillnet "):
        raise ValueError("quillnet's round failed")
    for row in rows:
        lib = row["library"].partition(" ")[0]
        f.facts[lib] = row["library"]
        for key, header, unit in PEER_FIGURES:
            f.add(f"{lib}_{key}", f"{row['library']}: {header}", quantity(row[header]), unit)
    for row in rows[1:]:
        lib = row["library"].partition(" ")[0]
        for key, header, _ in PEER_FIGURES:
            # the script's "(Nx)", the ratio of the unrounded figures of this run
            f.add(f"{key}_{lib}", f"{header}: {lib} / quillnet (above 1: quillnet "
                  f"{'smaller' if key == 'memory' else 'faster'})",
                  float(search(r"\(([\d.e+-]+)x\)", row[header])[1]), "x", higher=True)
    return f


def read_threads(text):
    f = Figures()
    f.facts["interpreter"] = search(r"^(Python .*)$", text)[1]
    throughput, per_call = tables(text)[:2]
    for row in throughput[1]:
        name, key = row["workload"], slug(row["workload"].split(" (")[0])
        for threads in ("1 thread", "2 threads"):
            f.add(f"{key}_{threads[0]}", f"{name}: calls per second, {threads}",
                  quantity(row[threads]), "1/s", higher=True)
        f.add(key + "_x", f"{name}: 2 threads / 1", quantity(row["2 / 1"]), "x", higher=True)
    for row in per_call[1]:
        key = slug(row["call"])
        f.add(key, f"{row['call']}, ns per call", quantity(row["ns per call"]) * 1e-9, "s")
        if row["call"] != "d.get(x)":
            f.add(key + "_x", f"{row['call']} / d.get(x)", quantity(row["x d.get(x)"]), "x")
    return f


class Section:
    """A script, its arguments, its runs and its reader; `quick` replaces the arguments
    for --quick (by default they get --quick added)."""

    def __init__(self, script, args, runs, read, quick=None):
        self.script, self.args, self.runs, self.read = script, args, runs, read
        self.quick = args + ["--quick"] if quick is None else quick


# Runs per section: enough to see the spread, few enough that the whole run stays near
# ten minutes at a load of 3-4 on the two cores (one run of everything took 1.8 min
# there, peers 33 s of it and parts 36 s, as it compiles the core anew each run; parts
# and threads get fewer, peers as many as the rest: its ratios are the figures most
# quoted).  The order is the template's.
SECTIONS = {
    "foundation": Section("bench_foundation.py", [], 7, read_foundation),
    "hash": Section("bench_hash.py", [], 7, read_hash),
    "parts": Section("bench_hash.py", ["--parts"], 3, read_parts),
    "clone": Section("bench_clone.py", [], 7, read_clone),
    "glue": Section("bench_glue.py", [], 7, read_glue),
    "conditions": Section("bench_conditions.py", ["--rounds", "1"], 5, read_conditions),
    "churn": Section("bench_churn.py", [], 5, read_churn),
    "peers": Section("peers.py", ["--rounds", "1"], 7, read_peers),
    # ten times the standard tree: the walk's ratio to rustworkx came out near 2 at
    # 1,000,000 nodes and above 3 at 10,000,000, so the size is part of the claim;
    # against rustworkx alone, which keeps a run near 15 s
    "peers_large": Section("peers.py", ["--rounds", "1", "--nodes", "10000000", "--peer",
                                        "rustworkx"], 5, read_peers,
                           # --quick: a size that only checks the run and its reading
                           quick=["--rounds", "1", "--nodes", "300000", "--peer",
                                  "rustworkx"]),
    "threads": Section("bench_threads.py", [], 3, read_threads),
}


# --------------------------------------------------------------------------------------
# Running


def utc_now():
    return datetime.datetime.now(datetime.timezone.utc)


def load():
    return os.getloadavg()


def run_section(name, python, runs, quick, timeout):
    """Run one section's script `runs` times; its record for the template."""
    section = SECTIONS[name]
    args = section.quick if quick else section.args
    record = {"name": name, "command": " ".join(["python", "bench/" + section.script] + args),
              "start": utc_now(), "load_before": load(), "loads": [], "runs": [],
              "errors": []}
    for i in range(runs):
        record["loads"].append(load()[0])
        t = time.perf_counter()
        try:
            text = common.run_script(python, os.path.join(HERE, section.script), args, timeout)
            record["runs"].append(section.read(text))
            status = "ok"
        except common.ChildError as e:
            record["errors"].append(str(e))
            status = f"failed: {e}"
        except (ValueError, KeyError, IndexError, ZeroDivisionError) as e:
            # the output is not what the reader expects: the script changed
            record["errors"].append(f"cannot read the output: {type(e).__name__}: {e}")
            status = "failed: " + record["errors"][-1]
        print(f"  {name}: run {i + 1} of {runs}, {time.perf_counter() - t:6.1f} s, load "
              f"{record['loads'][-1]:.2f}: {status}", file=sys.stderr, flush=True)
    record["end"], record["load_after"] = utc_now(), load()
    return record


def interpreter(python):
    """(Python version, quillnet version and where it was installed from) of `python`."""
    probe = ("import sys, json, importlib.metadata as m\n"
             "d = m.distribution('quillnet')\n"
             "print(json.dumps([sys.version.split()[0], d.version,\n"
             "                  d.read_text('direct_url.json')]))")
    proc = subprocess.run([python, "-c", probe], capture_output=True, text=True)
    if proc.returncode != 0:
        raise SystemExit(f"{python}: no quillnet installed: "
                         f"{(proc.stderr.strip().splitlines() or ['?'])[-1]}")
    version, quill, direct = json.loads(proc.stdout)
    url = json.loads(direct).get("url", "") if direct else ""
    here = pathlib.Path(ROOT).as_uri()
    source = "from this checkout" if url.rstrip("/") == here else "from another source"
    return f"Python {version}", f"quillnet {quill} installed {source}"


def commit():
    def git(*args):
        return subprocess.run(["git", "-C", ROOT, *args], capture_output=True,
                              text=True).stdout.strip()
    head = git("rev-parse", "--short", "HEAD")
    if not head:
        return "an unknown commit"
    dirty = git("status", "--porcelain", "--untracked-files=no")
    return f"commit {head}" + (" with local changes" if dirty else "")


def machine():
    model = "unknown CPU"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                model = " ".join(line.split(":", 1)[1].split())
                break
    with open("/proc/meminfo") as f:
        kib = int(next(line for line in f if line.startswith("MemTotal")).split()[1])
    return (f"{os.cpu_count()} cores ({model}), {kib / 2**20:.1f} GiB of memory, "
            f"{platform.system()} {platform.machine()}")


# --------------------------------------------------------------------------------------
# Rendering


def figure_values(record):
    """key -> (label, [value of each run], unit, higher), in the order of the first run."""
    out = {}
    for run in record["runs"]:
        for key, (label, value, unit, higher) in run.figures.items():
            out.setdefault(key, (label, [], unit, higher))[1].append(value)
    return out


def fmt_range(lo, hi, unit, fmt=None):
    fmt = fmt or (lambda v: common.fmt_value(v, unit))
    a, b = fmt(lo), fmt(hi)
    if a == b:
        return a
    a_num, _, a_unit = a.partition(" ")
    b_num, _, b_unit = b.partition(" ")
    if a_unit and a_unit == b_unit:
        return f"{a_num}–{b}"
    return f"{a}–{b}"


def plain(v):
    return f"{v:.0f}" if v >= 10 else f"{v:.2g}" if v < 1 else f"{v:.1f}"


def speed(values):
    """A ratio of a peer's time over quillnet's in words."""
    lo, hi = min(values), max(values)
    if lo >= 1:
        return fmt_range(lo, hi, "", plain) + " times faster"
    if hi <= 1:
        return fmt_range(1 / hi, 1 / lo, "", plain) + " times slower"
    return f"between {plain(1 / lo)} times slower and {plain(hi)} times faster"


# the folders of an absolute path, dropped from error messages: no path of this machine
# goes into the file
FOLDERS = re.compile(r"(?<![\w.])/(?:[^/\s]+/)+")


def meta(record, python, build, at_commit):
    start, end = record["start"], record["end"]
    before = ", ".join(f"{v:.2f}" for v in record["load_before"])
    after = ", ".join(f"{v:.2f}" for v in record["load_after"])
    loads = record["loads"]
    ok = len(record["runs"])
    runs = f"{ok} of {len(loads)} runs" if ok < len(loads) else (
        "1 run" if ok == 1 else f"{ok} runs")
    lines = [f"    {record['command']}", "",
             f"{runs}, each a fresh process, on {start:%Y-%m-%d} from {start:%H:%M:%S} to "
             f"{end:%H:%M:%S} UTC. Load average (1, 5, 15 min) {before} before and "
             f"{after} after; at the start of each run {fmt_range(min(loads), max(loads), '', '{:.2f}'.format)}. "
             f"{python}, {build}; the scripts at {at_commit}."]
    if record.get("quick"):
        lines.append("")
        lines.append("A smoke run (`--quick`): small sizes, the figures say nothing.")
    for error in sorted(set(record["errors"])):
        lines.append("")
        lines.append(f"A run failed: `{FOLDERS.sub('', error)}`")
    return "\n".join(lines)


def table(record):
    rows = []
    for label, values, unit, higher in figure_values(record).values():
        best, worst = (max(values), min(values)) if higher else (min(values), max(values))
        rows.append([label, common.fmt_value(best, unit), common.fmt_value(worst, unit)])
    if not rows:
        return "(no run succeeded)"
    out = io.StringIO()
    common.print_table(["figure", "best", "worst"], rows, out)
    return out.getvalue().rstrip("\n")


PLACEHOLDER = re.compile(r"\{\{\s*([a-z_]+)\.([a-z0-9_]+)(?::([a-z]+))?\s*\}\}")


def fill(block, records, context, missing):
    """block with its placeholders replaced; unknown ones become "n/a" and are listed in
    `missing`."""
    def one(m):
        name, key, how = m[1], m[2], m[3]
        if name == "run":
            return context[key]
        if name not in records:           # a section that did not run in this call
            missing.append(m[0])
            return "n/a"
        record = records[name]
        if key == "meta":
            return meta(record, *context["interpreter"], context["commit"])
        if key == "table":
            return table(record)
        facts = [run.facts[key] for run in record["runs"] if key in run.facts]
        if facts:
            return facts[0]
        figures = figure_values(record)
        if key not in figures:
            missing.append(m[0])
            return "n/a"
        label, values, unit, higher = figures[key]
        if how == "best":
            return common.fmt_value(max(values) if higher else min(values), unit)
        if how == "num":
            return fmt_range(min(values), max(values), unit, plain)
        if how == "speed":
            return speed(values)
        return fmt_range(min(values), max(values), unit)
    return PLACEHOLDER.sub(one, block)


BLOCK = re.compile(r"<!-- section ([a-z_]+) -->\n.*?<!-- end \1 -->\n", re.S)


def blocks(text):
    """{section name: its block, markers included} of a template or a written file."""
    return {m[1]: m[0] for m in BLOCK.finditer(text)}


def render(template, records, context, previous=None):
    """The file: the template's head and tail, the blocks of the sections that ran, and
    the blocks of `previous` (an earlier file) for those that did not."""
    missing = []
    old = blocks(previous) if previous else {}

    def section(m):
        name = m[1]
        if name in records:
            return fill(m[0], records, context, missing)
        return old.get(name, "")

    text = BLOCK.sub(section, fill_head(template, context))
    text = re.sub(r"\n{3,}", "\n\n", text)
    if missing:
        print("placeholders without a figure: " + ", ".join(sorted(set(missing))),
              file=sys.stderr)
    return text


def fill_head(template, context):
    """The placeholders outside the sections: {{run.KEY}} only."""
    parts, last = [], 0
    for m in BLOCK.finditer(template):
        parts.append(fill(template[last:m.start()], {}, context, []))
        parts.append(m[0])
        last = m.end()
    parts.append(fill(template[last:], {}, context, []))
    return "".join(parts)


# --------------------------------------------------------------------------------------


def arguments():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0],
                                 formatter_class=argparse.RawDescriptionHelpFormatter,
                                 epilog=__doc__.split("\n", 1)[1])
    ap.add_argument("--only", metavar="SECTION", action="append", choices=list(SECTIONS),
                    help="run only this section (repeatable): " + ", ".join(SECTIONS))
    ap.add_argument("--runs", type=int,
                    help="runs per section (default: each section's own, see --list; "
                         "--quick: 2)")
    ap.add_argument("--list", action="store_true",
                    help="list the sections with their commands and runs, and stop")
    ap.add_argument("--quick", action="store_true",
                    help="the scripts' --quick sizes, 2 runs, output to stdout: a check "
                         "of this script, not figures")
    ap.add_argument("--out", metavar="FILE",
                    help="where to write (default bench/RESULTS.md; --quick: stdout, "
                         "'-' is stdout)")
    ap.add_argument("--python", default=sys.executable,
                    help="interpreter whose quillnet build is measured (default: this one)")
    ap.add_argument("--timeout", type=float, default=900,
                    help="seconds one run of a script may take (default 900)")
    a = ap.parse_args()
    if a.runs is not None and a.runs < 1:
        ap.error("--runs must be at least 1")
    a.out = a.out or ("-" if a.quick else RESULTS)
    return a


def written(a, started, minutes):
    """The command as run, less --out and --python (their paths are this machine's), and
    when it ran."""
    argv = ["python bench/results.py"] + (["--quick"] if a.quick else []) + [
        f"--only {n}" for n in a.only or []] + ([f"--runs {a.runs}"] if a.runs else [])
    when = f"{started:%Y-%m-%d}, {started:%H:%M}–{utc_now():%H:%M} UTC ({minutes:.0f} min)"
    if a.only:
        when += "; the other sections are from earlier runs, each with its own date"
    return f"`{' '.join(argv)}`", when


def main():
    a = arguments()
    if a.list:
        for name, section in SECTIONS.items():
            print(f"{name:11s} {section.runs} runs of python bench/{section.script} "
                  + " ".join(section.args))
        return
    names = [n for n in SECTIONS if not a.only or n in a.only]
    previous = None
    if a.only and a.out != "-" and os.path.exists(a.out):
        with open(a.out) as f:
            previous = f.read()

    started = utc_now()
    t = time.perf_counter()
    context = {"interpreter": interpreter(a.python), "commit": commit(),
               "machine": machine()}
    print(f"{' '.join(context['interpreter'])}; {context['machine']}; "
          f"load average {load()[0]:.2f}", file=sys.stderr, flush=True)
    records = {}
    for name in names:
        runs = a.runs or (2 if a.quick else SECTIONS[name].runs)
        records[name] = run_section(name, a.python, runs, a.quick, a.timeout)
        records[name]["quick"] = a.quick
    minutes = (time.perf_counter() - t) / 60
    context["command"], context["written"] = written(a, started, minutes)
    with open(TEMPLATE) as f:
        text = render(f.read(), records, context, previous)
    if a.out == "-":
        sys.stdout.write(text)
    else:
        with open(a.out, "w") as f:
            f.write(text)
    print(f"{a.out}: {', '.join(names)} in {minutes:.1f} min; load average "
          f"{load()[0]:.2f}", file=sys.stderr)


if __name__ == "__main__":
    main()
