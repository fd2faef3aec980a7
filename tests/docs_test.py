"""The documentation checks itself against the code and the built programs:
links and anchors resolve, Python blocks run against the built module, every
option a tool's --help lists is in its manual page, the paths ARCHITECTURE.md
names exist, the module's reference is complete, and the data-set table
describes what an archive really holds. Run by CTest with Debian's
python3 -m pytest, PYTHONPATH at the build's package folder; SPH_BENCH and
SPH_RECORD name the built tools (SPH_RECORD empty: no recorder built)."""
import glob
import os
import pydoc
import re
import subprocess
import sys

import numpy as np
import pytest

import sph

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PAGES = sorted(["README.md", "ARCHITECTURE.md", "CONTRIBUTING.md", "CHANGELOG.md"]
               + [os.path.relpath(p, ROOT) for p in glob.glob(os.path.join(ROOT, "docs", "*.md"))])

FENCE = re.compile(r"^(```|~~~)")
LINK = re.compile(r"!?\[(?:[^\]\[]|\[[^\]]*\])*\]\(([^)\s]+)(?:\s+\"[^\"]*\")?\)")


def read(page):
    with open(os.path.join(ROOT, page), encoding="utf-8") as source:
        return source.read().splitlines()


def prose_lines(lines):
    """(number, line) of the lines outside fenced code blocks."""
    inside = False
    for number, line in enumerate(lines, 1):
        if FENCE.match(line.strip()):
            inside = not inside
        elif not inside:
            yield number, line


def anchors(page):
    """The anchors GitHub makes of a page's headings (and explicit ids)."""
    found, seen = set(), {}
    for _, line in prose_lines(read(page)):
        heading = re.match(r"^#{1,6}\s+(.*?)\s*#*\s*$", line)
        if heading:
            text = re.sub(r"\[([^\]]*)\]\([^)]*\)", r"\1", heading.group(1))
            slug = re.sub(r"[^\w\- ]", "", text.lower()).replace(" ", "-")
            count = seen.get(slug, 0)
            seen[slug] = count + 1
            found.add(slug if count == 0 else f"{slug}-{count}")
        found.update(re.findall(r"<a\s+(?:id|name)=\"([^\"]+)\"", line))
    return found


def links(page):
    for number, line in prose_lines(read(page)):
        for target in LINK.findall(re.sub(r"`[^`]*`", "", line)):
            if not re.match(r"^[a-z][a-z0-9+.-]*:", target):  # not https:, mailto: and the like
                yield number, target


@pytest.mark.parametrize("page", PAGES)
def test_every_relative_link_and_anchor_resolves(page):
    broken = []
    for number, target in links(page):
        path, _, anchor = target.partition("#")
        resolved = os.path.normpath(os.path.join(os.path.dirname(page), path)) if path else page
        if not os.path.exists(os.path.join(ROOT, resolved)):
            broken.append(f"{page}:{number}: {target}: no {resolved}")
        elif anchor and resolved.endswith(".md") and anchor not in anchors(resolved):
            broken.append(f"{page}:{number}: {target}: no heading gives #{anchor} in {resolved}")
    assert not broken, "\n".join(broken)


def python_blocks():
    """(page, line, code) of every ```python block not marked to be skipped."""
    for page in PAGES:
        lines = read(page)
        number = 0
        while number < len(lines):
            if lines[number].strip() == "```python":
                end = next(i for i in range(number + 1, len(lines)) if lines[i].strip() == "```")
                before = lines[number - 1].strip() if number else ""
                if not (before.startswith("<!--") and "skip" in before):
                    yield pytest.param(page, "\n".join(lines[number + 1:end]), id=f"{page}:{number + 1}")
                number = end
            number += 1


@pytest.mark.parametrize("page, code", python_blocks())
def test_python_block_runs(page, code, tmp_path):
    result = subprocess.run([sys.executable, "-c", code], cwd=tmp_path, capture_output=True, text=True,
                            stdin=subprocess.DEVNULL, timeout=300)
    assert result.returncode == 0, f"the block in {page} failed:\n{code}\n{result.stderr}"


def tools():
    """(man page, --help command) of each command that has both."""
    listed = [("sph-bench", [os.environ["SPH_BENCH"]]), ("sph-dataset", [sys.executable, "-m", "sph.dataset"])]
    if os.environ.get("SPH_RECORD"):
        listed.append(("sph-record", [os.environ["SPH_RECORD"]]))
    return [pytest.param(page, command, id=page) for page, command in listed]


def man_text(page):
    with open(os.path.join(ROOT, "dist", "man", page + ".1"), encoding="utf-8") as source:
        return re.sub(r"\\f[BIRP]|\\&", "", source.read()).replace("\\-", "-")


@pytest.mark.parametrize("page, command", tools())
def test_every_option_of_help_is_in_the_manual_page(page, command):
    result = subprocess.run(command + ["--help"], capture_output=True, text=True, check=True)
    options = set(re.findall(r"(?<![\w-])--[a-z][a-z0-9-]*", result.stdout))
    assert "--help" in options, result.stdout
    text = man_text(page)
    missing = sorted(option for option in options if not re.search(re.escape(option) + r"(?![a-z0-9-])", text))
    assert not missing, f"dist/man/{page}.1 does not mention {missing}, which --help lists"


def test_every_path_in_the_architecture_note_exists():
    named = {span.rstrip("/") for _, line in prose_lines(read("ARCHITECTURE.md"))
             for span in re.findall(r"`([\w.-]+/[\w./-]*)`", line)}
    named |= {target.partition("#")[0] for _, target in links("ARCHITECTURE.md") if not target.startswith("#")}
    assert len(named) > 20, named
    missing = sorted(path for path in named if not os.path.exists(os.path.join(ROOT, path)))
    assert not missing, f"ARCHITECTURE.md names paths that do not exist: {missing}"


def test_every_public_member_has_a_docstring_and_no_signature_shows_handle():
    members = [name for name in dir(sph.Simulation) if not name.startswith("_")]
    undocumented = [name for name in members if not (getattr(sph.Simulation, name).__doc__ or "").strip()]
    assert not undocumented, f"sph.Simulation members without a docstring: {undocumented}"
    undocumented = [name for name in sph.__all__ if callable(getattr(sph, name))
                    and not (getattr(sph, name).__doc__ or "").strip()]
    assert not undocumented, f"sph members without a docstring: {undocumented}"
    reference = pydoc.render_doc(sph.Simulation, renderer=pydoc.plaintext)
    assert "handle" not in reference, reference


def data_set_table():
    """{name: (dtype, shape text)} from the first table of docs/python.md's
    data-sets section whose first column is Array."""
    lines = read("docs/python.md")
    start = next(i for i, line in enumerate(lines) if re.match(r"^#+\s+Data sets\s*$", line))
    rows = {}
    for line in lines[start:]:
        cells = [cell.strip() for cell in line.strip().strip("|").split("|")] if line.startswith("|") else None
        if cells is None:
            if rows:
                break
            continue
        if cells[0] == "Array" or set(cells[0]) <= set("-: "):
            continue
        names, types = re.findall(r"`([^`]+)`", cells[0]), re.findall(r"`([^`]+)`", cells[1])
        types = types * len(names) if len(types) == 1 else types
        assert len(types) == len(names), line
        rows.update({name: (dtype, cells[2]) for name, dtype in zip(names, types)})
    return rows


def test_the_data_set_table_matches_a_written_archive(tmp_path):
    runs, frames, every, layers = 2, 7, 3, (3, 4, 5)
    archive = tmp_path / "runs.npz"
    subprocess.run([sys.executable, "-m", "sph.dataset", "--runs", str(runs), "--frames", str(frames), "--every",
                    str(every), "--layers", ",".join(map(str, layers)), "--out", str(archive)],
                   check=True, capture_output=True)
    sizes = {"R": runs, "F": frames, "S": frames // every + 1, "N": int(np.prod(layers))}
    table = data_set_table()
    with np.load(archive) as written:
        assert sorted(table) == sorted(written.files)
        for name, (dtype, shape) in table.items():
            expected = tuple(sizes.get(size, None) or int(size) for size in re.findall(r"\w+", shape))
            assert (written[name].dtype, written[name].shape) == (np.dtype(dtype), expected), name
