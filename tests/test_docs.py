"""The reference site: mkdocs builds it strictly from the type stubs and docs/, and headless
Chromium, given the built pages, shows every name of the API with its documentation and
the diagrams that Graphviz drew from real graphs. The sessions on the pages print what
they show.

The tests that need mkdocs, Graphviz's dot or Chromium skip without them, unless
QUILLNET_DOCS_REQUIRED=1, which makes a missing tool a failure (the docs lane of CI)."""
import ast
import doctest
import html.parser
import importlib.util
import os
import re
import runpy
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import quillnet

ROOT = Path(__file__).resolve().parent.parent
DOCS = ROOT / "docs"
STUBS = ROOT / "src" / "quillnet-stubs" / "__init__.pyi"
REQUIRED = os.environ.get("QUILLNET_DOCS_REQUIRED") == "1"
DIAGRAMS = {"model": (5, 5), "cross_sections": (6, 5), "conditions": (9, 8)}  # nodes, edges


def need(what, present):
    if not present:
        if REQUIRED:
            pytest.fail(f"{what} is not available, and QUILLNET_DOCS_REQUIRED=1")
        pytest.skip(f"{what} is not available")


def installed(module):
    try:
        return importlib.util.find_spec(module) is not None
    except ModuleNotFoundError:  # its parent package is missing
        return False


def mkdocs_build(site_dir, env=None):
    return subprocess.run([sys.executable, "-m", "mkdocs", "build", "--strict", "--config-file",
                           ROOT / "mkdocs.yml", "--site-dir", site_dir],
                          cwd=ROOT, capture_output=True, text=True, timeout=120, env=env)


@pytest.fixture(scope="module")
def mkdocs():
    need("mkdocs with mkdocstrings (pip install \".[docs]\")",
         installed("mkdocs") and installed("mkdocstrings_handlers.python"))


@pytest.fixture(scope="module")
def site(mkdocs, tmp_path_factory):
    need("Graphviz's dot", shutil.which("dot"))
    site_dir = tmp_path_factory.mktemp("site")
    proc = mkdocs_build(site_dir)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    return site_dir


@pytest.fixture(scope="module")
def browser(tmp_path_factory):
    """dump(page) -> the DOM of a built page once headless Chromium has loaded it."""
    chromium = shutil.which("chromium") or shutil.which("chromium-browser")
    need("Chromium", chromium)
    profile = tmp_path_factory.mktemp("chromium-profile")

    def dump(page):
        args = [chromium, "--headless", "--disable-gpu", f"--user-data-dir={profile}",
                "--virtual-time-budget=10000", "--dump-dom", page.as_uri()]
        if os.geteuid() == 0:
            args.insert(1, "--no-sandbox")  # Chromium refuses to run its sandbox as root
        proc = subprocess.run(args, capture_output=True, text=True, timeout=60)
        assert proc.returncode == 0 and "</html>" in proc.stdout, proc.stderr[-2000:]
        return proc.stdout

    return dump


class Page(html.parser.HTMLParser):
    """The element ids of a page and its text, whitespace collapsed (scripts left out)."""

    def __init__(self, dom):
        super().__init__()
        self.ids, self.attrs, self._text, self._skip = set(), [], [], 0
        self.feed(dom)
        self.text = " ".join("".join(self._text).split())

    def handle_starttag(self, tag, attrs):
        attrs = dict(attrs)
        self.attrs.append((tag, attrs))
        if "id" in attrs:
            self.ids.add(attrs["id"])
        self._skip += tag in ("script", "style")

    def handle_endtag(self, tag):
        self._skip -= tag in ("script", "style")

    def handle_data(self, data):
        if not self._skip:
            self._text.append(data)


def stub_summaries():
    """The first paragraph of the stub docstring of every class, method and function, as
    text (the double backticks of inline code gone), by qualified name."""
    found = {}

    def visit(body, prefix):
        for node in body:
            if isinstance(node, (ast.ClassDef, ast.FunctionDef)) and ast.get_docstring(node):
                first = ast.get_docstring(node).split("\n\n")[0]
                found[prefix + node.name] = " ".join(first.replace("``", "").split())
                if isinstance(node, ast.ClassDef):
                    visit(node.body, prefix + node.name + ".")

    visit(ast.parse(STUBS.read_text()).body, "quillnet.")
    return found


def test_api_page_shows_every_name_with_its_documentation(site, browser):
    page = Page(browser(site / "api.html"))
    methods = [name for name in dir(quillnet.CoreGraph) if not name.startswith("_")]
    names = [f"quillnet.CoreGraph.{m}" for m in methods] + [f"quillnet.{n}" for n in quillnet.__all__]
    names += ["quillnet.OpEntry", "quillnet.PanicException"]
    assert len(methods) == 29 and len(quillnet.__all__) == 6
    assert [n for n in names if n not in page.ids] == []
    summaries = stub_summaries()
    assert set(names) - {"quillnet.PanicException"} <= set(summaries)
    assert {name: text for name, text in summaries.items() if text not in page.text} == {}
    # Signatures come from the stubs: annotations and defaults are shown.
    assert "max_leaves: SupportsIndex | None = None" in page.text
    assert "BaseException" in page.text
    # The stubs' plain text came out as Markdown: lists and code blocks rendered, powers
    # not taken for bold.
    assert " * " not in page.text and "::" not in page.text
    assert "ids must lie in 0 to 2**64 - 1, the three payload ids in 0 to 2**32 - 1" in page.text


# Run in the model page once it has loaded: records, on the body, each SVG image the
# browser decoded with its drawn size.
PROBE = """<script>
addEventListener("load", () => {
  document.body.dataset.svgImages = Array.from(document.images)
    .filter(img => img.getAttribute("src").endsWith(".svg"))
    .map(img => `${img.getAttribute("src")} ${img.complete ? img.naturalWidth : 0}`).join(";");
});
</script>"""


def test_model_page_shows_the_diagrams_drawn_from_the_graphs(site, browser):
    html_text = (site / "model.html").read_text()
    probed = site / "model-probe.html"
    probed.write_text(html_text.replace("</body>", PROBE + "</body>"))
    page = Page(browser(probed))
    body = next(attrs for tag, attrs in page.attrs if tag == "body")
    shown = dict(entry.split(" ") for entry in body["data-svg-images"].split(";"))
    assert sorted(shown) == sorted(f"diagrams/{name}.svg" for name in DIAGRAMS)
    assert all(int(width) > 100 for width in shown.values()), shown
    for name, (nodes, edges) in DIAGRAMS.items():
        svg = (site / "diagrams" / f"{name}.svg").read_text()
        assert (svg.count('class="node"'), svg.count('class="edge"')) == (nodes, edges), name
    model = (site / "diagrams" / "model.svg").read_text()
    for label in ["R", "P", "Q", "a", "b", "value 100, type 1", "op 7", "op 8"]:
        assert f">{label}</text>" in model
    assert "the canonical order" in page.text and "Cross sections" in page.text


def test_build_without_dot_stops_and_says_so(mkdocs, tmp_path):
    """Without Graphviz the build fails with a message naming it; it never leaves the
    diagrams out quietly."""
    empty = tmp_path / "bin"
    empty.mkdir()
    proc = mkdocs_build(tmp_path / "site", env={**os.environ, "PATH": str(empty)})
    assert proc.returncode != 0
    assert "Graphviz's 'dot' is not on PATH" in proc.stdout + proc.stderr
    assert not (tmp_path / "site" / "diagrams").exists()


@pytest.mark.parametrize("page", ["api.md", "model.md"])
def test_page_sessions_print_what_they_show(page):
    """The ```pycon blocks of a page run in order in one namespace, as one session."""
    text = (DOCS / page).read_text()
    parser = doctest.DocTestParser()
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    globs = {"__name__": "docs"}
    blocks = 0
    for m in re.finditer(r"^```pycon\n(.*?)^```", text, re.S | re.M):
        lineno = text.count("\n", 0, m.start()) + 2
        test = parser.get_doctest(m.group(1), globs, f"{page}:{lineno}", page, lineno)
        runner.run(test, clear_globs=False)
        globs = test.globs
        blocks += 1
    assert blocks >= 1 and runner.summarize(verbose=False).failed == 0


def test_dot_output_survives_awkward_names_and_repeated_children():
    to_dot = runpy.run_path(str(ROOT / "examples" / "to_dot.py"))["to_dot"]
    g = quillnet.CoreGraph()
    top, op, leaf = g.add_value_with_payload(1, 2), g.add_op_with_payload(3), g.add_value_with_payload(4, 2)
    g.connect_value_to_op(top, op)
    g.connect_op_to_value(op, leaf)
    g.connect_op_to_value(op, leaf)  # the same child at positions 0 and 1
    text = to_dot(g, {top: 'say "hi"\\', leaf: "two\nlines"})
    assert 'label="say \\"hi\\"\\\\\\nvalue 1, type 2"' in text
    assert 'label="two\\nlines\\nvalue 4, type 2"' in text
    assert text.count("n1 -> n2") == 2 and '"0"' in text and '"1"' in text
    if shutil.which("dot"):
        proc = subprocess.run(["dot", "-Tsvg"], input=text, capture_output=True, text=True, timeout=30)
        assert proc.returncode == 0 and proc.stdout.count('class="edge"') == 3, proc.stderr
