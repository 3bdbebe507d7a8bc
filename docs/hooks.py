"""Build hook of the reference site: the diagrams on its pages are drawn from real graphs.

Each diagram is a CoreGraph built here (the model graph comes from examples/to_dot.py),
written as DOT by that example's `to_dot` and drawn by Graphviz's `dot` as SVG. The SVGs
join the site's files as `diagrams/NAME.svg`, so the pages show them as plain images and
a strict build checks every link to them. Without `dot` or the installed module the build
stops with a message that says what is missing.
"""
from __future__ import annotations

import runpy
import shutil
import subprocess
from pathlib import Path
from types import SimpleNamespace

from mkdocs.exceptions import PluginError
from mkdocs.structure.files import File

ROOT = Path(__file__).resolve().parent.parent


def _example():
    try:
        import quillnet  # noqa: F401  (to_dot needs the built module)
    except ImportError as e:
        raise PluginError(f"the diagrams need quillnet installed (pip install \".[docs]\"): {e}") from e
    # The example's names, without running its script part.
    return SimpleNamespace(**runpy.run_path(str(ROOT / "examples" / "to_dot.py")))


def _cross_section_graph(quillnet):
    """r over o2, which takes m and L2; m over o1, which takes the target leaf L."""
    c = quillnet.CoreGraph()
    r, o2, m, L2, o1, L = (c.add_value_with_payload(0, 0), c.add_op_with_payload(2),
                           c.add_value_with_payload(1, 0), c.add_value_with_payload(3, 0),
                           c.add_op_with_payload(1), c.add_value_with_payload(4, 0))
    for up, down in [(r, o2), (m, o1)]:
        c.connect_value_to_op(up, down)
    for op, child in [(o2, m), (o2, L2), (o1, L)]:
        c.connect_op_to_value(op, child)
    c.set_root(r)
    return c, {r: "r", o2: "o2", m: "m", L2: "L2", o1: "o1", L: "L"}


def _conditions_graph(quillnet):
    """out over where(c, x, y); x over apply(f, u, v), f a callable."""
    k = quillnet.CoreGraph()
    out, where = k.add_value_with_payload(1, 0), k.add_op_with_payload(10)
    c, x, y = (k.add_value_with_payload(i, 0) for i in (2, 3, 4))
    apply = k.add_op_with_payload(20)
    f, u, v = (k.add_value_with_payload(i, 0) for i in (50, 5, 6))
    k.connect_value_to_op(out, where)
    k.connect_value_to_op(x, apply)
    for child in (c, x, y):
        k.connect_op_to_value(where, child)
    for child in (f, u, v):
        k.connect_op_to_value(apply, child)
    k.set_root(out)
    return k, {out: "out", where: "where", c: "c", x: "x", y: "y", apply: "apply",
               f: "f", u: "u", v: "v"}


def diagrams():
    """The DOT text of each diagram, by name."""
    example = _example()
    import quillnet
    graphs = {
        "model": example.model_graph(),
        "cross_sections": _cross_section_graph(quillnet),
        "conditions": _conditions_graph(quillnet),
    }
    return {name: example.to_dot(graph, names, name) for name, (graph, names) in graphs.items()}


def find_dot() -> str:
    dot = shutil.which("dot")
    if dot is None:
        raise PluginError("Graphviz's 'dot' is not on PATH, so the diagrams cannot be drawn: "
                          "install Graphviz (the Debian package is graphviz)")
    return dot


def draw(dot: str, dot_text: str, name: str) -> str:
    proc = subprocess.run([dot, "-Tsvg"], input=dot_text, capture_output=True, text=True, timeout=60)
    if proc.returncode != 0 or "<svg" not in proc.stdout:
        raise PluginError(f"dot -Tsvg failed on the diagram {name!r}: {proc.stderr.strip()}")
    return proc.stdout


def on_files(files, config):
    dot = find_dot()
    for name, dot_text in diagrams().items():
        files.append(File.generated(config, f"diagrams/{name}.svg", content=draw(dot, dot_text, name)))
    return files
