"""The examples print exactly what they should, the README runs as a plain doctest, and
the installed type stubs agree with the module and with the code users write."""
import doctest
import importlib.util
import re
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
EXAMPLES = ROOT / "examples"
README = ROOT / "README.md"
DEVELOPMENT = ROOT / "DEVELOPMENT.md"

# The whole standard output of each example, keyed by its file name. The hashes are the
# same in every process, so they are compared as they print.
EXPECTED = {
    "quickstart.py": """\
nodes: 5
walk from the root: [0, 1, 2, 3, 4]
leaves: [2, 3, 4]
connections: [(0, 1), (1, 0), (1, 2), (1, 3), (1, 4), (2, 1), (3, 1), (4, 1)]
connection hash: 0x1d2b70ce80c260ee
equality hash:   0xaa85f705fb0d49dd
glued graphs: 4
  graph 0: 5 nodes, children of the op: [2, 3, 4]
  graph 1: 4 nodes, children of the op: [2, 2, 3]
  graph 2: 3 nodes, children of the op: [2, 2, 2]
  graph 3: 4 nodes, children of the op: [2, 3, 2]
conditions of R: [[0], [1, 2]]
""",
    "walks.py": """\
options of R: [1, 2]
children of P: [3, 4]
parents of b: [1, 2]
parent of Q: 0
payload of b: (2, 5) op id of P: 7
value nodes: [0, 3, 4] op nodes: [1, 2]
walk from the root: [0, 1, 3, 4, 2]
walk from b, both ways: [4, 1, 3, 0, 2]
walk from b, upward only: [4, 1, 0, 2]
leaves: [3, 4]
neighbours of b: [1, 2]
connections: [(0, 1), (0, 4), (1, 0), (1, 2), (1, 3), (2, 1), (3, 1), (3, 4), (4, 0), (4, 3)]
""",
    "traces.py": """\
upward traces of L: [[5, 3, 2, 1, 0], [5, 4, 2, 1, 0]]
value nodes only: [[5, 2, 0], [5, 2, 0]]
downward traces of r: [[0, 1, 2, 3, 5], [0, 1, 2, 4, 5]]
L below r: True
L below o2: True
L below L, include_self=False: False
L below r, skipping o1 and o2: False
L below r, skipping o1 only: True
""",
    "hashing.py": """\
same shape, other numbering: True True
other value id: True False
connection hash: 0x161586e6f89747c2
a and b same type: True  R and a: False
children of P after merging a into b: [3, 3]
parents of b: [1]  parents of a: []
leaves: [3]
""",
    "cross_sections.py": """\
path: ['L', 'm', 'r']
cut ['L', 'L2'] height 2
cut ['m', 'L2'] height 1
cut ['r'] height 0
""",
    "copies.py": """\
copy has 4 of 5 nodes; corr: [(0, 0), (1, 1), (2, 2), (3, 3)]
receiver still has 5 nodes
new graph: 6 nodes; options of y: [4]
attached leaves: [5]  remaining leaves: [2]
leaves of the new graph: [2, 5]
""",
    "gluing.py": """\
all: ['abc', 'bbc', 'ccc', 'cbc']
node counts: [5, 4, 3, 4]
max_leaves=0: ['ccc']
trees_only: ['abc']
no candidates: ['abc', 'bbc']
g is unchanged: abc
""",
    "conditions.py": """\
leaves: [2, 6, 7, 8, 4]
apply, adopted: [[0, 1], [0, 2]]
apply, cumulative: [[0, 1, 2]]
where, own conditions: [[0, 1, 2, 3], [0, 1, 2, 3, 4]]
where, callables adopted: [[0, 1, 2, 3], [0, 1, 2, 4], [0, 1, 3, 4]]
out: [[0, 1, 2, 3], [0, 1, 2, 4], [0, 1, 3, 4]]
combinations: [[0, 2], [1, 2]]
""",
    "errors_and_limits.py": """\
PanicException: index out of bounds: the len is 1 but the index is 5
TypeError: argument 'above': 'int' object cannot be cast as 'bool'
OverflowError: can't convert negative int to unsigned
TypeError: argument 'nodes': Can't extract `str` to `Vec`
ValueError: Graph has no valid root_id set
RuntimeError: Already borrowed - nodes: 1
stopped by the 0.2 s timer: search took too long
""",
    "to_dot.py": """\
digraph "model" {
    graph [ordering=out, nodesep=0.35, ranksep=0.45];
    node [fontname="Helvetica", fontsize=11, margin="0.12,0.04"];
    edge [arrowsize=0.6, fontname="Helvetica", fontsize=9, fontcolor="#555555"];
    n0 [shape=ellipse, peripheries=2, label="R\\nvalue 100, type 1"];
    n1 [shape=box, style="rounded,filled", fillcolor="#e4e4e4", label="P\\nop 7"];
    n2 [shape=box, style="rounded,filled", fillcolor="#e4e4e4", label="Q\\nop 8"];
    n3 [shape=ellipse, label="a\\nvalue 1, type 5"];
    n4 [shape=ellipse, label="b\\nvalue 2, type 5"];
    n0 -> n1 [style=dashed];
    n0 -> n2 [style=dashed];
    n1 -> n3 [taillabel="0"];
    n1 -> n4 [taillabel="1"];
    n2 -> n4 [taillabel="0"];
}
""",
}


def run(*args, timeout=120):
    return subprocess.run([sys.executable, *map(str, args)], cwd=ROOT, capture_output=True,
                          text=True, timeout=timeout)


def test_every_example_is_checked():
    assert sorted(p.name for p in EXAMPLES.glob("*.py")) == sorted(EXPECTED)


@pytest.mark.parametrize("name", sorted(EXPECTED))
def test_example_prints_what_it_should(name):
    proc = run(EXAMPLES / name)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == EXPECTED[name]


# ---- the README ----

def readme_blocks(language):
    text = README.read_text()
    for m in re.finditer(rf"^```{language}\n(.*?)^```", text, re.S | re.M):
        yield text.count("\n", 0, m.start()) + 2, m.group(1)


def test_readme_runs_as_a_plain_doctest():
    """`python -m doctest README.md` passes (it prints nothing; a failure names its line),
    and the file holds one example per `>>>` line, so none is swallowed as part of another
    one's expected output."""
    proc = run("-m", "doctest", README)
    assert (proc.returncode, proc.stdout) == (0, ""), proc.stdout + proc.stderr
    text = README.read_text()
    prompts = sum(line.lstrip().startswith(">>>") for line in text.splitlines())
    assert len(doctest.DocTestParser().get_examples(text)) == prompts


def test_pytest_runs_the_readme_by_default():
    """A plain `python -m pytest` (the README's test command) collects the README as a
    doctest beside tests/."""
    proc = run("-m", "pytest", "--collect-only", "-q", "-p", "no:cacheprovider", "--ignore=tests")
    assert "README.md::README.md" in proc.stdout.splitlines(), proc.stdout + proc.stderr


def test_readme_python_blocks_run():
    for lineno, block in readme_blocks("python"):
        exec(compile(block, f"README.md:{lineno}", "exec"), {"__name__": "readme"})


def test_readme_set_up_gives_the_two_commands():
    text = README.read_text()
    setup = text[text.index("## Set-up"):text.index("\n## ", text.index("## Set-up") + 1)]
    commands = [line.strip() for line in setup.splitlines() if line.startswith("    ")]
    assert commands == ["pip install . && python examples/quickstart.py",
                        'pip install ".[test]" && python -m pytest -q']


MACHINE_PATH = re.compile(r"(?<![\w.~/-])/(?:tmp|work|root|home|Users|mnt|var|srv|opt)/")


def test_the_package_page_leaves_development_to_its_own_file():
    """README.md is the package page: it links DEVELOPMENT.md and holds none of its
    sections; neither file names an absolute path of a machine."""
    readme, development = README.read_text(), DEVELOPMENT.read_text()
    assert "](DEVELOPMENT.md)" in readme
    headings = re.compile(r"^#{1,6}\s+(.+?)\s*$", re.M)
    assert set(headings.findall(readme)) & set(headings.findall(development)) == set()
    for path, text in [(README, readme), (DEVELOPMENT, development)]:
        found = [text[max(0, m.start() - 30):m.end() + 30] for m in MACHINE_PATH.finditer(text)]
        assert found == [], path.name


# ---- type stubs ----

needs_mypy = pytest.mark.skipif(importlib.util.find_spec("mypy") is None, reason="mypy is not installed")


@needs_mypy
def test_examples_and_user_code_type_check(tmp_path):
    """mypy --strict passes the examples and tests/typing_cases.py, whose deliberately
    wrong calls must each be reported (an unused ignore fails the run)."""
    origin = Path(importlib.util.find_spec("quillnet").origin)
    assert (origin.parent / "quillnet-stubs" / "__init__.pyi").is_file(), "stubs not installed beside the module"
    proc = run("-m", "mypy", "--strict", "--no-error-summary", "--cache-dir", tmp_path,
               EXAMPLES, ROOT / "tests" / "typing_cases.py")
    assert proc.returncode == 0, proc.stdout + proc.stderr


@needs_mypy
def test_stubs_match_the_module():
    proc = run("-m", "mypy.stubtest", "quillnet")
    assert proc.returncode == 0, proc.stdout + proc.stderr
