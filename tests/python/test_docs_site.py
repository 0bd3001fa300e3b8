"""The documentation site builds from docs/ and the installed package's
docstrings without a single warning, and a broken link, anchor or reference
fails its build rather than shipping a page that points nowhere."""

import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[2]

pytest.importorskip("mkdocs", reason="the site is built with halvorn[docs]")
pytest.importorskip("material", reason="the site is built with halvorn[docs]")
pytest.importorskip("mkdocstrings_handlers.python", reason="the site is built with halvorn[docs]")


def build(config, site):
    # The theme prints a notice about its own future on every build; it is
    # not about this site, and the switch that silences it is its own.
    env = dict(os.environ, NO_MKDOCS_2_WARNING="1")
    return subprocess.run([sys.executable, "-m", "mkdocs", "build", "--strict", "--config-file",
                           str(config), "--site-dir", str(site)], cwd=REPO, env=env,
                          capture_output=True, text=True, timeout=600)


def test_the_site_builds_without_a_warning(tmp_path):
    done = build(REPO / "mkdocs.yml", tmp_path / "site")
    said = done.stdout + done.stderr
    assert done.returncode == 0, said
    assert not re.search(r"WARNING|ERROR", said), said
    # Every document is a page, and the API reference carries the docstrings.
    for document in (REPO / "docs").rglob("*.md"):
        page = tmp_path / "site" / document.relative_to(REPO / "docs").with_suffix(".html")
        assert page.is_file(), page
    api = (tmp_path / "site" / "api" / "halvorn.html").read_text(encoding="utf-8")
    assert "run_backtest" in api and "Run a Python strategy over a tick series." in api
    report_api = (tmp_path / "site" / "api" / "report.html").read_text(encoding="utf-8")
    assert "The statistics of a venue.Run in USDT" in report_api


def test_a_broken_link_anchor_or_reference_fails_the_build(tmp_path):
    docs = tmp_path / "docs"
    shutil.copytree(REPO / "docs", docs)
    with open(docs / "index.md", "a", encoding="utf-8") as page:
        page.write("\n[gone](no_such_page.md), [nowhere](report.md#no-such-section) and "
                   "[a name][halvorn.no_such_name].\n")
    config = tmp_path / "mkdocs.yml"
    text = (REPO / "mkdocs.yml").read_text(encoding="utf-8")
    config.write_text(text.replace("docs_dir: docs", f"docs_dir: {docs}"), encoding="utf-8")
    done = build(config, tmp_path / "site")
    said = done.stdout + done.stderr
    assert done.returncode != 0
    assert "no_such_page.md" in said and "no-such-section" in said, said
    assert "halvorn.no_such_name" in said, said
