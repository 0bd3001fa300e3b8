"""The compiled strategies' slot layout is the library's: halvorn.compiled
takes its names from it, the document's tables are held to it here, and code
written for another version of it is refused."""

import pathlib
import re

import pytest

from halvorn import compiled, venue

DOC = pathlib.Path(__file__).parents[2] / "docs" / "compiled_strategies.md"
LAYOUT = venue._compiled_layout(compiled.SLOT_LAYOUT)
BY_GROUP = {}
for group, name, value in LAYOUT:
    BY_GROUP.setdefault(group, {})[name] = value
NAMES = {name: value for _, name, value in LAYOUT}


def doc_table(lead):
    """The rows of the document's table that follows the paragraph opening
    with `lead`, as lists of cells."""
    text = DOC.read_text()
    start = text.index("\n" + lead) + 1
    lines = text[start:].split("\n")
    first = next(i for i, line in enumerate(lines) if line.startswith("|"))
    rows = []
    for line in lines[first + 2:]:
        if not line.startswith("|"):
            break
        rows.append([cell.strip() for cell in line.strip("|").split("|")])
    return rows


def named_words(rows):
    """{name: word} of the rows that name their word."""
    return {cell.strip("`"): int(word) for word, cell, *_ in rows if cell}


def test_the_document_shows_the_library_layout():
    assert f"slot layout version {compiled.SLOT_LAYOUT}" in DOC.read_text()

    ticks = doc_table("`ticks`:")
    assert len(ticks) == NAMES["TICK_WORDS"]
    assert named_words(ticks) == BY_GROUP["tick"]

    account = doc_table("`account`:")
    assert named_words(account) == BY_GROUP["account"]
    assert account[-1][0] == f"{max(BY_GROUP['account'].values()) + 1}-{NAMES['ACCOUNT_WORDS'] - 1}"

    held = doc_table("After them, a record")
    assert len(held) == NAMES["POSITION_WORDS"]
    assert named_words(held) == BY_GROUP["held"]

    fills = doc_table("`fills`:")
    assert len(fills) == NAMES["FULL_FILL_WORDS"]
    assert named_words(fills) == BY_GROUP["fill"]
    assert all(not cell for _, cell, _ in fills[:NAMES["FILL_WORDS"]])

    # The order slot's words, and the codes of those that take codes, as
    # the document writes them ("kind: 1 market, 2 limit").
    orders = doc_table("`orders`:")
    assert named_words(orders) == BY_GROUP["order"]
    assert orders[-1][0] == f"{max(BY_GROUP['order'].values()) + 1}-{NAMES['FULL_ORDER_WORDS'] - 1}"
    coded = ("kind", "side", "offset", "tif", "flag", "fired_by", "group")
    for _, _, field in orders:
        group = field.split(":")[0]
        if group not in coded:
            continue
        codes = {int(n): what for n, what in re.findall(r"(\d+) (\w+)", field)}
        assert codes == {value: name.removeprefix("BY_").split("_")[0].lower()
                         for name, value in BY_GROUP[group].items()}, field
        coded = tuple(g for g in coded if g != group)
    assert coded == (), f"no row of the order slot gives the codes of {coded}"


def test_the_module_names_every_word_the_library_has():
    public = set(compiled.__all__)
    for group in ("size", "tick", "fill", "account", "held", "kind", "side", "offset", "tif", "flag",
                  "fired_by", "group"):
        for name, value in BY_GROUP[group].items():
            assert name in public and getattr(compiled, name) == value, name


def test_code_written_for_another_layout_is_refused(monkeypatch):
    with pytest.raises(ValueError, match=f"written for slot layout version {compiled.SLOT_LAYOUT + 1}"
                       f" .* use version {compiled.SLOT_LAYOUT}:"):
        venue._compiled_layout(compiled.SLOT_LAYOUT + 1)
    with pytest.raises(OverflowError):
        venue._compiled_layout(2**80)
    pytest.importorskip("numba")
    monkeypatch.setattr(compiled, "SLOT_LAYOUT", compiled.SLOT_LAYOUT + 1)
    with pytest.raises(ValueError, match="slot layout"):
        compiled.strategy(lambda ticks, account, fills, ends, state, orders: 0)
