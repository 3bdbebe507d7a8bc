"""Griffe extension of the reference site: the stub docstrings, written as plain text for
editors' hover, are turned into the Markdown that the API page is rendered from.

- A line ending in "::" opens a literal block: the indented lines after it become a
  fenced code block (inside a list item when the line is part of one).
- A short line of its own at the margin with an indented block below it ("Arguments",
  "Exceptions", "Threads and Ctrl-C" in the module docstring) becomes a bold heading
  over the block, dedented so that its "* " items render as a list.
- A "Keys:" section of "name: text" entries (the keys of a TypedDict) becomes a list
  with the names as code.
- "**" between digits (2**32) is a power: it is escaped so that it is not taken for bold.

The Google sections (Args:, Returns:, Raises:, ...) are left to the docstring parser.
"""
from __future__ import annotations

import re
import textwrap

import griffe


def _indent(line: str) -> int:
    return len(line) - len(line.lstrip())


def _block(lines: list[str], start: int, margin: int) -> int:
    """The end of the block of lines after `start` indented beyond `margin` (blank lines
    inside it included, trailing blank lines not)."""
    end = start
    j = start
    while j < len(lines) and (not lines[j].strip() or _indent(lines[j]) > margin):
        j += 1
        if lines[j - 1].strip():
            end = j
    return end


def _is_heading(lines: list[str], i: int) -> bool:
    line = lines[i]
    return (bool(line.strip()) and _indent(line) == 0 and len(line) <= 40
            and not line.rstrip().endswith((":", ".", ",", ";")) and (i == 0 or not lines[i - 1].strip())
            and i + 1 < len(lines) and lines[i + 1].strip() != "" and _indent(lines[i + 1]) > 0)


def to_markdown(text: str) -> str:
    lines = text.split("\n")
    out: list[str] = []
    i = 0
    while i < len(lines):
        line = lines[i]
        stripped = line.strip()
        if line.rstrip().endswith("::") and stripped != "::":
            end = _block(lines, i + 1, _indent(line))
            code = textwrap.dedent("\n".join(lines[i + 1:end])).strip("\n").split("\n")
            pad = "    " if _indent(line) > 0 else ""
            out.append(_escape(line.rstrip()[:-1]))
            out += ["", pad + "```python", *[(pad + c).rstrip() for c in code], pad + "```", ""]
            i = end
        elif stripped == "Keys:" and _indent(line) == 0:
            end = _block(lines, i + 1, 0)
            body = textwrap.dedent("\n".join(lines[i + 1:end])).split("\n")
            out += ["**Keys**", ""]
            for entry in body:
                m = re.match(r"(\w+): (.*)", entry)
                if m:
                    out.append(f"- `{m.group(1)}`: {_escape(m.group(2))}")
                elif entry.strip():
                    out[-1] += " " + _escape(entry.strip())
            out.append("")
            i = end
        elif _is_heading(lines, i):
            end = _block(lines, i + 1, 0)
            lines[i + 1:end] = textwrap.dedent("\n".join(lines[i + 1:end])).split("\n")
            out += [f"**{stripped}**", ""]
            i += 1
        else:
            out.append(_escape(line))
            i += 1
    return "\n".join(out)


def _escape(line: str) -> str:
    return re.sub(r"(\d)\*\*(\d)", r"\1\\*\\*\2", line)


class StubDocstrings(griffe.Extension):
    def on_instance(self, *, obj: griffe.Object, **kwargs: object) -> None:
        if obj.docstring is not None:
            obj.docstring.value = to_markdown(obj.docstring.value)
