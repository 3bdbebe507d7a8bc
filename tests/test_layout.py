"""The source tree keeps its two layers apart and the Layout section of DEVELOPMENT.md is
a true map of it: every source file is named on exactly one line of the table of its folder,
and every name there is a file that exists."""
import re
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
SRC = ROOT / "src"
INCLUDE = re.compile(r'^\s*#\s*include\s*[<"]([^>"]+)[>"]', re.M)


def sources(folder):
    return sorted(p for p in (SRC / folder).iterdir() if p.is_file())


def layout_rows(folder):
    """The first cells of the table that follows DEVELOPMENT.md's "`src/<folder>/`:" line."""
    text = (ROOT / "DEVELOPMENT.md").read_text()
    layout = text[text.index("## Layout"):]
    after = layout[layout.index(f"`src/{folder}/`:"):]
    rows, started = [], False
    for line in after.splitlines()[1:]:
        if line.startswith("|"):
            started = True
            cell = line.split("|")[1]
            if not set(cell.strip()) <= set("-") and cell.strip() != "File":
                rows.append(cell)
        elif started:
            break
    return rows


def named_files(folder, cell):
    """The files a first cell names: `a.hpp`, `a.hpp/.cpp` (both) or `a.*` (every a.x)."""
    names = []
    for token in re.findall(r"`([^`]+)`", cell):
        if token.endswith(".*"):
            stem = token[:-2]
            found = [p.name for p in sources(folder) if p.name.split(".")[0] == stem]
            assert found, f"DEVELOPMENT.md names {token} in src/{folder}, which has no such file"
            names += found
        else:
            first, *more = token.split("/")
            stem = first.rsplit(".", 1)[0]
            names += [first] + [stem + ext for ext in more]
    return names


@pytest.mark.parametrize("folder", ["core", "python"])
def test_layout_names_every_source_file_once(folder):
    named = [name for cell in layout_rows(folder) for name in named_files(folder, cell)]
    present = [p.name for p in sources(folder)]
    assert sorted(set(named) - set(present)) == [], "named in DEVELOPMENT.md but not in the tree"
    assert sorted(set(present) - set(named)) == [], "in the tree but not in DEVELOPMENT.md's Layout"
    assert sorted(n for n in set(named) if named.count(n) > 1) == [], "named on two lines"


def test_the_core_never_reaches_into_the_interpreter_or_the_binding():
    binding = {p.name for p in sources("python")}
    for path in sources("core"):
        for header in INCLUDE.findall(path.read_text()):
            assert header != "Python.h" and not header.startswith("python"), (path.name, header)
            assert header not in binding, (path.name, header)
