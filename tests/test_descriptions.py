"""A malformed method description, or a wrapper that disagrees with its description, must
stop the build: each case compiles a one-entry table against the binder header and
expects the compiler to refuse it with the binder's own message."""
import os
import shlex
import shutil
import subprocess
import sysconfig
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import pytest

SRC = Path(__file__).resolve().parent.parent / "src"


def find_compiler():
    configured = shlex.split(sysconfig.get_config_var("CXX") or "")
    for name in configured[:1] + ["c++", "g++", "clang++"]:
        path = shutil.which(name)
        if path:
            return path
    return None


COMPILER = find_compiler()
pytestmark = [
    pytest.mark.skipif(COMPILER is None, reason="no C++ compiler found"),
    pytest.mark.skipif(not (SRC / "python" / "binder.hpp").is_file(), reason="sources not beside the tests"),
]

TEMPLATE = """\
#include "binder.hpp"
namespace quillpy {{
namespace {{
using quill::Graph;
PyObject* probe({params}) {{ return nullptr; }}
}}
#define PROBE(X) X(probe, {entry})
QN_TABLE(PROBE, probe_defs, probe_sigs)
}}
"""


def flags(*include_first):
    include = sysconfig.get_paths()["include"]
    dirs = [*include_first, SRC / "core", SRC / "python", include]
    return ["-std=c++20", *(f"-I{d}" for d in dirs)]


def precompile_header(directory):
    """binder.hpp.gch in `directory`, which the probes search first: a GCC build then
    parses the header once instead of once per probe.  A compiler that does not take it
    reads the header itself."""
    cmd = [COMPILER, *flags(), "-x", "c++-header", str(SRC / "python" / "binder.hpp"),
           "-o", str(directory / "binder.hpp.gch")]
    subprocess.run(cmd, capture_output=True, timeout=300)


def compile_probe(pch_dir, directory, params, entry):
    source = directory / "probe.cpp"
    source.write_text(TEMPLATE.format(params=params, entry=entry))
    cmd = [COMPILER, *flags(pch_dir), "-fsyntax-only", str(source)]
    done = subprocess.run(cmd, capture_output=True, text=True, timeout=300)
    return done.returncode, done.stderr


# Every kind, every kind of default and every accepted way of taking an argument.
SOUND = [
    ("const Graph&, NodeId, bool, std::span<const NodeId>, std::optional<std::uint64_t>",
     'Shared, General, {"a", Id}, {"b", Bool, "False"}, {"c", IdList, "..."}, {"d", OptId, "None"}'),
    ("Graph&, std::uint32_t, bool", 'Exclusive, Scalar, {"a", U32}, {"b", Bool, "True"}'),
    ("const Graph&, std::vector<NodeId>&&, const std::vector<NodeId>&, UnborrowedGraph, PyObject*, "
     "std::vector<quill::Conditions>&&",
     'None, General, {"g", GraphArg}, {"a", IdList}, {"b", IdList}, {"l", GraphLater}, {"d", Dict}, '
     '{"c", CondsByChild}'),
]

DEFAULT = "a default text does not fit its parameter's kind"
CONTAINER = "a scalar-only method takes a container argument"
SIGNATURE = "a wrapper parameter's type does not fit the kind of its description"
RECEIVER = "a method's wrapper takes its receiver first"
COUNT = "the wrapper takes one parameter per described parameter"

MALFORMED = [
    # defaults that do not fit their kind
    ("const Graph&, bool", 'Shared, General, {"a", Bool, "1"}', DEFAULT),
    ("const Graph&, std::span<const NodeId>", 'Shared, General, {"a", IdList, "[]"}', DEFAULT),
    ("const Graph&, std::optional<std::uint64_t>", 'Shared, General, {"a", OptId, "0"}', DEFAULT),
    ("const Graph&, NodeId", 'Shared, General, {"a", Id, "0"}', DEFAULT),
    ("PyObject*", 'None, General, {"a", Dict, "None"}', DEFAULT),
    ("const Graph&, NodeId, bool", 'Shared, General, {"a", Id}, {"a", Bool}',
     "two parameters share a name"),
    ("const Graph&, bool, NodeId", 'Shared, General, {"a", Bool, "True"}, {"b", Id}',
     "a required parameter follows an optional one"),
    # a second graph to borrow during conversion
    ("const Graph&, const Graph&", 'Shared, General, {"elem", GraphArg}, {"other", GraphArg}',
     "more than one graph argument"),
    # scalar-only with a container
    ("const Graph&, std::span<const NodeId>", 'Shared, Scalar, {"a", IdList}', CONTAINER),
    ("const Graph&, PyObject*", 'Shared, Scalar, {"a", Dict}', CONTAINER),
    ("const Graph&, const Graph&", 'Shared, Scalar, {"a", GraphArg}', CONTAINER),
    # wrappers that disagree with their description
    ("const Graph&, std::uint32_t", 'Shared, General, {"a", Id}', SIGNATURE),
    ("const Graph&, bool, NodeId", 'Shared, General, {"a", Id}, {"b", Bool}', SIGNATURE),
    ("const Graph&, std::vector<NodeId>", 'Shared, General, {"a", IdList}', SIGNATURE),
    ("const Graph&, NodeId", 'Shared, General, {"a", OptId, "None"}', SIGNATURE),
    ("const Graph&, Graph&", 'Shared, General, {"a", GraphArg}', SIGNATURE),
    ("const Graph&, NodeId", 'Exclusive, Scalar, {"a", Id}', RECEIVER),
    ("Graph&, NodeId", 'Shared, Scalar, {"a", Id}', RECEIVER),
    ("const Graph&", 'Shared, General, {"a", Id}', COUNT),
    ("NodeId", 'None, General, {"a", Id}, {"b", Id}', COUNT),
]


@pytest.fixture(scope="module")
def compiled(tmp_path_factory):
    """Every case compiled once, several at a time: (params, entry) -> (code, stderr)."""
    cases = SOUND + [(params, entry) for params, entry, _ in MALFORMED]
    pch_dir = tmp_path_factory.mktemp("pch")
    precompile_header(pch_dir)
    dirs = [tmp_path_factory.mktemp("probe") for _ in cases]
    with ThreadPoolExecutor(max_workers=os.cpu_count() or 2) as pool:
        results = list(pool.map(lambda job: compile_probe(pch_dir, job[0], *job[1]), zip(dirs, cases)))
    return dict(zip(cases, results))


@pytest.mark.parametrize("params, entry", SOUND)
def test_sound_descriptions_compile(compiled, params, entry):
    # The control: the harness itself compiles, so the refusals below are the checks'.
    code, err = compiled[params, entry]
    assert code == 0, err


@pytest.mark.parametrize("params, entry, message", MALFORMED)
def test_malformed_descriptions_do_not_compile(compiled, params, entry, message):
    code, err = compiled[params, entry]
    assert code != 0
    assert f"quillnet binder: {message}" in err, err
