"""The examples and the README do what they say, and the installed type stubs agree
with the module and with the code users write."""
import doctest
import importlib.util
import re
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
EXAMPLES = ROOT / "examples"

# Output each example must print. The hashes are the same in every process.
EXPECTED = {
    "quickstart.py": [
        "walk from the root: [0, 1, 2, 3, 4]",
        "connection hash: 0x1d2b70ce80c260ee",
        "glued graphs: 4",
        "conditions of R: [[0], [1, 2]]",
    ],
    "walks.py": [
        "walk from the root: [0, 1, 3, 4, 2]",
        "walk from b, both ways: [4, 1, 3, 0, 2]",
        "walk from b, upward only: [4, 1, 0, 2]",
        "leaves: [3, 4]",
    ],
    "traces.py": [
        "upward traces of L: [[5, 3, 2, 1, 0], [5, 4, 2, 1, 0]]",
        "downward traces of r: [[0, 1, 2, 3, 5], [0, 1, 2, 4, 5]]",
        "L below r, skipping o1 and o2: False",
        "L below r, skipping o1 only: True",
    ],
    "hashing.py": [
        "same shape, other numbering: True True",
        "other value id: True False",
        "connection hash: 0x161586e6f89747c2",
        "children of P after merging a into b: [3, 3]",
    ],
    "cross_sections.py": [
        "cut ['L', 'L2'] height 2\ncut ['m', 'L2'] height 1\ncut ['r'] height 0",
    ],
    "copies.py": [
        "copy has 4 of 5 nodes; corr: [(0, 0), (1, 1), (2, 2), (3, 3)]",
        "receiver still has 5 nodes",
        "attached leaves: [5]  remaining leaves: [2]",
    ],
    "gluing.py": [
        "all: ['abc', 'bbc', 'ccc', 'cbc']",
        "max_leaves=0: ['ccc']",
        "trees_only: ['abc']",
        "g is unchanged: abc",
    ],
    "conditions.py": [
        "apply, adopted: [[0, 1], [0, 2]]",
        "apply, cumulative: [[0, 1, 2]]",
        "where, callables adopted: [[0, 1, 2, 3], [0, 1, 2, 4], [0, 1, 3, 4]]",
        "out: [[0, 1, 2, 3], [0, 1, 2, 4], [0, 1, 3, 4]]",
    ],
    "errors_and_limits.py": [
        "PanicException: index out of bounds: the len is 1 but the index is 5",
        "TypeError: argument 'above': ",
        "RuntimeError: Already borrowed - nodes: 1",
        ": search took too long",
    ],
    "to_dot.py": [
        'digraph "model" {\n'
        '    graph [ordering=out, nodesep=0.35, ranksep=0.45];\n'
        '    node [fontname="Helvetica", fontsize=11, margin="0.12,0.04"];\n'
        '    edge [arrowsize=0.6, fontname="Helvetica", fontsize=9, fontcolor="#555555"];\n'
        '    n0 [shape=ellipse, peripheries=2, label="R\\nvalue 100, type 1"];\n'
        '    n1 [shape=box, style="rounded,filled", fillcolor="#e4e4e4", label="P\\nop 7"];\n'
        '    n2 [shape=box, style="rounded,filled", fillcolor="#e4e4e4", label="Q\\nop 8"];\n'
        '    n3 [shape=ellipse, label="a\\nvalue 1, type 5"];\n'
        '    n4 [shape=ellipse, label="b\\nvalue 2, type 5"];\n'
        '    n0 -> n1 [style=dashed];\n'
        '    n0 -> n2 [style=dashed];\n'
        '    n1 -> n3 [taillabel="0"];\n'
        '    n1 -> n4 [taillabel="1"];\n'
        '    n2 -> n4 [taillabel="0"];\n'
        '}\n',
    ],
}


def run(*args, timeout=120):
    return subprocess.run([sys.executable, *map(str, args)], cwd=ROOT, capture_output=True,
                          text=True, timeout=timeout)


def test_every_example_is_checked():
    assert sorted(p.name for p in EXAMPLES.glob("*.py")) == sorted(EXPECTED)


@pytest.mark.parametrize("name", sorted(EXPECTED))
def test_example_runs(name):
    proc = run(EXAMPLES / name)
    assert proc.returncode == 0, proc.stderr
    for text in EXPECTED[name]:
        assert text in proc.stdout


def readme_blocks(language):
    text = (ROOT / "README.md").read_text()
    for m in re.finditer(rf"^```{language}\n(.*?)^```", text, re.S | re.M):
        yield text.count("\n", 0, m.start()) + 2, m.group(1)


def test_readme_sessions_print_what_they_show():
    """The ```pycon blocks run in order in one namespace, as one session."""
    parser = doctest.DocTestParser()
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    globs = {"__name__": "readme"}
    blocks = 0
    for lineno, block in readme_blocks("pycon"):
        test = parser.get_doctest(block, globs, f"README.md:{lineno}", "README.md", lineno)
        runner.run(test, clear_globs=False)
        globs = test.globs
        blocks += 1
    result = runner.summarize(verbose=False)
    assert blocks >= 8 and result.failed == 0


def test_readme_python_blocks_run():
    for lineno, block in readme_blocks("python"):
        exec(compile(block, f"README.md:{lineno}", "exec"), {"__name__": "readme"})


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
