"""The guide in docs/ runs: every ```python block of a chapter is executed,
in order, in one namespace per chapter, so that the examples cannot drift
from the module. Blocks whose info string says `no-run` are shown, not run.
Relative links between the chapters, and to their headings, must
resolve."""

import re
import traceback
from pathlib import Path

import pytest

DOCS = Path(__file__).resolve().parents[2] / "docs"
CHAPTERS = sorted(DOCS.glob("*.md"))
FENCE = re.compile(r"^```(\S*)(.*)$")
LINK = re.compile(r"\]\(([^)\s]+)\)")

# Each run compiles the chapters again and defines their classes anew, and
# the interpreter keeps a little of each (type and code caches), so the leak
# run leaves the guide out; the module paths its examples drive are covered
# by the other files.
pytestmark = pytest.mark.no_leak_check


def python_blocks(path):
    """(first code line, info words, code) of each ```python block."""
    blocks, open_block = [], None
    for number, line in enumerate(path.read_text(encoding="utf-8").splitlines(), start=1):
        fence = FENCE.match(line)
        if open_block is None:
            if fence is not None:
                open_block = (number + 1, fence.group(1), fence.group(2).split(), [])
        elif line.startswith("```"):
            start, language, words, lines = open_block
            if language == "python":
                blocks.append((start, words, "\n".join(lines) + "\n"))
            open_block = None
        else:
            open_block[3].append(line)
    assert open_block is None, f"{path.name}: unclosed code fence opened at line {open_block[0] - 1}"
    return blocks


@pytest.mark.parametrize("path", CHAPTERS, ids=[p.name for p in CHAPTERS])
def test_chapter_examples_run(path):
    namespace = {"__name__": f"docs.{path.stem}"}
    ran = 0
    for start, words, code in python_blocks(path):
        if "no-run" in words:
            continue
        try:
            # Leading blank lines make tracebacks point at the chapter's own lines.
            exec(compile("\n" * (start - 1) + code, str(path), "exec"), namespace)
        except Exception as error:
            pytest.fail(f"{path}: the block at line {start} failed:\n"
                        + "".join(traceback.format_exception(error)), pytrace=False)
        ran += 1
    assert ran or not python_blocks(path), f"docs/{path.name}: no block ran"


def anchors(path):
    """The heading anchors a Markdown renderer makes for `path`."""
    prose = re.sub(r"^```.*?^```", "", path.read_text(encoding="utf-8"), flags=re.M | re.S)
    headings = re.findall(r"^#+ (.+)$", prose, re.M)
    return {re.sub(r"[^\w\- ]", "", h.strip().lower()).replace(" ", "-") for h in headings}


def test_guide_exists_and_its_links_resolve():
    assert (DOCS / "README.md") in CHAPTERS
    index = (DOCS / "README.md").read_text(encoding="utf-8")
    for chapter in CHAPTERS:
        if chapter.name != "README.md":
            assert f"]({chapter.name})" in index, f"docs/README.md does not link {chapter.name}"
    for chapter in CHAPTERS:
        for target in LINK.findall(chapter.read_text(encoding="utf-8")):
            if "://" in target:
                continue
            file, _, anchor = target.partition("#")
            linked = (chapter.parent / file) if file else chapter
            assert linked.exists(), f"docs/{chapter.name} links to missing {target}"
            if anchor:
                assert anchor in anchors(linked), f"docs/{chapter.name} links to missing anchor {target}"


def test_collector_finds_blocks_and_their_lines(tmp_path):
    page = tmp_path / "page.md"
    page.write_text("# t\n\n```python\nx = 1\n```\n\n```sh\nls\n```\n\n```python no-run\nboom\n```\n")
    assert python_blocks(page) == [(4, [], "x = 1\n"), (12, ["no-run"], "boom\n")]


def test_a_failing_block_is_reported_with_its_line(tmp_path):
    page = tmp_path / "page.md"
    page.write_text("```python\nvalue = 1\n```\n\n```python no-run\nvalue = 2\n```\n\n"
                    "```python\nassert value == 1\nassert value == 2\n```\n")
    with pytest.raises(pytest.fail.Exception) as info:
        test_chapter_examples_run(page)
    message = str(info.value)
    # The no-run block did not run, so the second assert of the last block fails,
    # reported at the chapter's own line.
    assert "the block at line 10 failed" in message
    assert f'File "{page}", line 11' in message
