"""The test modules stand alone: shared helpers live in graphs.py and support.py, so no
test module (nor a script one of them runs in a child process) imports another test
module or the fixture file."""
import re
from pathlib import Path

HERE = Path(__file__).resolve().parent

# An import statement at the start of a line, or at the start of a string that holds one.
IMPORT = re.compile(r"""(?:^|["'])[ \t]*(?:import[ \t]+([\w., \t]+)|from[ \t]+([\w.]+)[ \t]+import\b)""", re.M)


def imported(source):
    for plain, source_module in IMPORT.findall(source):
        for name in (plain.split(",") if plain else [source_module]):
            if name.strip():
                yield name.split()[0].split(".")[0]


def test_no_test_module_imports_another_or_the_fixture_file():
    forbidden = {p.stem for p in HERE.glob("test_*.py")} | {"conftest"}
    found = {(p.name, name) for p in HERE.glob("*.py")
             for name in imported(p.read_text()) if name in forbidden}
    assert found == set()
