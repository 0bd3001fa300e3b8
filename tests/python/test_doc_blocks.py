"""Every fenced block of README.md and of the documents under docs/ runs as written.

How a document is run, as a reader would run it:

- Its ```python blocks, in order, are pasted one after another into one
  script, which a fresh interpreter runs in an empty temporary folder.  So a
  block sees what the blocks above it defined and the files they wrote, and
  what a block needs must come from the document itself, in a block above it.
  Each line of a block sits at its own line number in the script, so a
  traceback names the document's line.
- A ```sh block runs where it stands in that order, in the same folder, with
  `bash -e`, and must succeed.  A ```console block runs each command after
  "$ " and must print exactly the lines shown under it.  `python` there is the
  interpreter running these tests.
- Blocks that are not meant to run say so: ```text for a signature, a byte
  grammar, a file's layout or output shown to the reader, ```cpp for the C++
  interface.  A fence with no kind at all is refused, so that a block meant to
  run cannot go untested by lacking one.

Not run (EXEMPT below): the README's first two blocks, which install the
package and run the quickstart, and install what the tests need and run them
all, since CI runs exactly those itself; and its benchmark block, which takes
minutes and builds the C++ core.  Of those, the scripts and build targets
they name must exist.
"""

import dataclasses
import os
import re
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[2]
HERE = Path(__file__).resolve().parent

RUN = {"python", "sh", "console"}
NOT_RUN = {"text", "cpp"}

DOCUMENTS = ["README.md"] + sorted(f"docs/{path.relative_to(REPO / 'docs').as_posix()}"
                                   for path in (REPO / "docs").rglob("*.md"))

# (document, first line of the block): why it is not run here.
EXEMPT = {
    ("README.md", "pip install . && python examples/quickstart.py"):
        "CI installs the package and runs the quickstart itself",
    ("README.md", "./tools/test.sh"):
        "CI runs every test through it; run here, it would run this test again",
    ("README.md", "python bench/run_modes.py            # per-tick and batched runs against "
                  "pure-Python loops"):
        "benchmarks take minutes and build the C++ core",
}


@dataclasses.dataclass(frozen=True)
class Block:
    document: str
    line: int      # of the opening fence, from 1
    kind: str      # what follows the opening ``` ("" when nothing does)
    lines: tuple   # the block's own lines

    @property
    def exempt(self):
        return (self.document, self.lines[0] if self.lines else "") in EXEMPT


def blocks(text, document):
    """The fenced blocks of a Markdown text, in order."""
    found = []
    opened = None
    for number, line in enumerate(text.splitlines(), 1):
        if opened is None:
            if line.startswith("```"):
                opened = (number, line[3:].strip(), [])
        elif line.rstrip() == "```":
            found.append(Block(document, opened[0], opened[1], tuple(opened[2])))
            opened = None
        else:
            opened[2].append(line)
    assert opened is None, f"{document}:{opened[0]}: a block that is never closed"
    return found


def document_blocks(document):
    return blocks((REPO / document).read_text(encoding="utf-8"), document)


def script(text, document):
    """The document's Python blocks at their own line numbers, its shell blocks
    as calls at their opening fences, and nothing else."""
    found = blocks(text, document)
    lines = [""] * (len(text.splitlines()) + 1)
    shells = [b for b in found if b.kind in ("sh", "console") and not b.exempt]
    if shells:
        assert all(b.line > 1 for b in found), "line 1 is kept for the shell runner"
        lines[0] = ("import runpy; _doc_shell = runpy.run_path("
                    f"{str(HERE / 'doc_blocks_shell.py')!r})['run']")
    for b in found:
        if b.kind == "python" and not b.exempt:
            lines[b.line:b.line + len(b.lines)] = b.lines
        elif b in shells:
            # Guarded: a sweep's worker processes import the script again.
            lines[b.line - 1] = (f"if __name__ == '__main__': _doc_shell({b.kind!r}, "
                                 f"{chr(10).join(b.lines)!r}, '{document}:{b.line}')")
    return "\n".join(lines) + "\n"


def run_document(text, document, folder, timeout=900):
    """Runs the document's blocks in `folder`/work; the completed process."""
    folder = Path(folder).resolve()
    work, bin_dir = folder / "work", folder / "bin"
    work.mkdir()
    bin_dir.mkdir()
    # A script, not a link: an interpreter reached through a link in another
    # folder finds no virtual environment beside it and runs the base
    # installation, with whatever halvorn that happens to hold.
    launcher = bin_dir / "python"
    launcher.write_text(f'#!/bin/sh\nexec "{sys.executable}" "$@"\n', encoding="utf-8")
    launcher.chmod(0o755)
    path = folder / (re.sub(r"\W", "_", document) + ".py")
    path.write_text(script(text, document), encoding="utf-8")
    env = dict(os.environ, PATH=f"{bin_dir}{os.pathsep}{os.environ.get('PATH', '')}")
    return subprocess.run([sys.executable, str(path)], cwd=work, env=env, capture_output=True,
                          text=True, timeout=timeout)


def runnable(document):
    return any(b.kind in RUN and not b.exempt for b in document_blocks(document))


@pytest.mark.parametrize("document", DOCUMENTS)
def test_every_block_says_whether_it_runs(document):
    for b in document_blocks(document):
        assert b.kind in RUN | NOT_RUN, (
            f"{document}:{b.line}: a block marked {b.kind!r}; mark what runs python, sh or "
            "console, and what does not text (or cpp)")


@pytest.mark.parametrize("document", [d for d in DOCUMENTS if runnable(d)])
def test_the_blocks_run_in_order(document, tmp_path):
    done = run_document((REPO / document).read_text(encoding="utf-8"), document, tmp_path)
    assert done.returncode == 0, (
        f"{document}: its blocks failed (line numbers are the document's)\n"
        f"--- stdout ---\n{done.stdout[-5_000:]}\n--- stderr ---\n{done.stderr[-10_000:]}")


def test_the_exempt_blocks_name_what_is_there():
    exempt = [b for d in DOCUMENTS for b in document_blocks(d) if b.exempt]
    assert sorted((b.document, b.lines[0]) for b in exempt) == sorted(EXEMPT), (
        "an exemption names a block no document has, or one it has twice")
    cmake = (REPO / "CMakeLists.txt").read_text(encoding="utf-8")
    for b in exempt:
        for line in b.lines:
            command = line.split("#")[0]
            for script_path in re.findall(r"[\w./-]+\.(?:py|sh)\b", command):
                assert (REPO / script_path).is_file(), f"{b.document}:{b.line}: {script_path}"
            for folder, target in re.findall(r"build/bench/bench/(\w+)/(\w+)", command):
                listed = (REPO / "bench" / folder / "CMakeLists.txt").read_text(encoding="utf-8")
                assert f"halvorn_bench(NAME {target} " in listed, f"{b.document}:{b.line}: {target}"
            for option in re.findall(r"-D(HALVORN_\w+)=", command):
                assert f"option({option} " in cmake, f"{b.document}:{b.line}: {option}"
    assert os.access(REPO / "tools" / "test.sh", os.X_OK)


class TestTheRunner:
    """What a document does wrong is seen, and placed at the document's line."""

    def test_a_failing_block_is_named_by_its_line(self, tmp_path):
        text = textwrap.dedent("""\
            # A page

            ```python
            value = 1
            ```

            Then:

            ```python
            assert value == 2, "the second block sees the first one's value"
            ```
            """)
        done = run_document(text, "page.md", tmp_path, timeout=120)
        assert done.returncode != 0
        assert 'line 10' in done.stderr and "the second block sees the first" in done.stderr

    def test_blocks_and_commands_run_in_order_in_one_folder(self, tmp_path):
        text = textwrap.dedent("""\
            # A page

            ```python
            open("made.txt", "w").write("by python\\n")
            ```

            ```sh
            cat made.txt > copied.txt
            ```

            ```console
            $ cat copied.txt; \\
              python -c "print('and ' + 'more')"
            by python
            and more
            ```

            ```python
            assert open("copied.txt").read() == "by python\\n"
            ```
            """)
        done = run_document(text, "page.md", tmp_path, timeout=120)
        assert done.returncode == 0, done.stderr

    @pytest.mark.parametrize("block, complaint", [
        ("```sh\nfalse\n```", "page.md:3: the sh block exited with 1"),
        ("```console\n$ echo printed\nshown\n```", "+printed"),
    ], ids=["sh", "console"])
    def test_a_shell_block_that_fails_or_prints_otherwise(self, tmp_path, block, complaint):
        done = run_document(f"# A page\n\n{block}\n", "page.md", tmp_path, timeout=120)
        assert done.returncode != 0 and complaint in done.stderr
