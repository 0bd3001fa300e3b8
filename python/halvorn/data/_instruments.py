"""The instrument a file is written for: settled from a converter's
arguments (`definition_of`), and read back from a file (`instrument_of`).

A tick or depth file holds counts, and the counts alone cannot tell a file
scaled by a tick of 0.01 from one scaled by 0.1.  Every converter therefore
writes the sizes it scaled with, the instrument's id and its symbol into the
file's instrument block, and `instrument_of` gives them back as the
`halvorn.venue.Instrument` a run on that file should use.
"""

from __future__ import annotations

import decimal
import os
from typing import TYPE_CHECKING, Any, NamedTuple

import halvorn
from halvorn.data import _native
from halvorn.data._arguments import path_of

if TYPE_CHECKING:
    from halvorn.venue import Instrument


class Definition(NamedTuple):
    """An instrument's definition as a file keeps it: the id, the symbol, the
    two sizes, and the contract's kind ("linear", or "inverse" with the USD
    value of one contract and the coin it settles in; both None for a linear
    one).  `read_definition` gives the one a file holds; a converter writes
    one settled from its arguments (sizes None when not given, which only
    `from_arrays` allows)."""

    # As given, or the Instrument's: the writer checks types and values with
    # texts of its own.
    id: Any
    symbol: Any
    tick_size: Any
    lot_size: Any
    kind: Any = "linear"
    contract_value: Any = None
    settle: Any = None

    def contract(self) -> dict[str, Any]:
        """The kind, value and coin as the native converters take them."""
        return {"kind": self.kind, "contract_value": self.contract_value,
                "settle": self.settle}


def _same_size(given: Any, own: str, arg: str) -> bool:
    """Whether the size text `given` has the value of the instrument's `own`
    ("0.1" and "0.10" do)."""
    if not isinstance(given, str):
        raise TypeError(f"argument '{arg}': expected the step as decimal text (\"0.10\"), got "
                        f"{type(given).__name__}")
    try:
        return decimal.Decimal(given) == decimal.Decimal(own)
    except decimal.InvalidOperation:
        return False


def _instrument_contract(instrument: Any, kind: Any, contract_value: Any,
                         settle: Any) -> tuple[Any, Any, Any]:
    """The kind, value and coin of a `venue.Instrument`, refusing any also
    given that differ from them."""
    own_kind = getattr(instrument, "kind", "linear")
    own_value = getattr(instrument, "contract_value", None)
    own_settle = getattr(instrument, "settle", None)
    if kind is not None and kind != own_kind:
        raise ValueError(f"argument 'kind': {kind!r} is not the instrument's kind {own_kind!r}; "
                         "leave it out, the instrument gives it")
    if contract_value is not None and (own_value is None or not _same_size(
            contract_value, own_value, "contract_value")):
        raise ValueError(f"argument 'contract_value': {contract_value!r} is not the instrument's "
                         f"contract_value {own_value!r}; leave it out, the instrument gives it")
    if settle is not None and settle != own_settle:
        raise ValueError(f"argument 'settle': {settle!r} is not the instrument's settle coin "
                         f"{own_settle!r}; leave it out, the instrument gives it")
    return own_kind, own_value, own_settle


def definition_of(function: str, instrument: Any, tick_size: Any, lot_size: Any, symbol: Any, *,
                  kind: Any = None, contract_value: Any = None, settle: Any = None,
                  sizes_required: bool = True) -> Definition:
    """The definition a converter named `function` writes.

    `instrument` is an id, or a `venue.Instrument`, which then gives the id,
    the symbol, both sizes and the contract's kind, value and coin; any of
    them also given must agree with it.  Without an Instrument, the sizes
    come from `tick_size` and `lot_size`, which `sizes_required` makes
    compulsory, and the contract is `kind` (None: linear), `contract_value`
    and `settle`.  Types and values are otherwise left for the writer to
    check, with its own texts.
    """
    from halvorn import venue

    if isinstance(instrument, venue.Instrument):
        contract = _instrument_contract(instrument, kind, contract_value, settle)
        for arg, given, own in (("tick_size", tick_size, instrument.tick_size),
                                ("lot_size", lot_size, instrument.lot_size)):
            if given is not None and not _same_size(given, own, arg):
                raise ValueError(f"argument '{arg}': {given!r} is not the instrument's {arg} "
                                 f"{own!r}; leave it out, the instrument gives it")
        if symbol is not None and symbol != instrument.symbol:
            raise ValueError(f"argument 'symbol': {symbol!r} is not the instrument's symbol "
                             f"{instrument.symbol!r}; leave it out, the instrument gives it")
        return Definition(instrument.id, instrument.symbol, instrument.tick_size,
                          instrument.lot_size, *contract)
    if sizes_required:
        missing = [arg for arg, given in (("tick_size", tick_size), ("lot_size", lot_size))
                   if given is None]
        if missing:
            raise ValueError(f"{function} needs {' and '.join(f'{arg}=' for arg in missing)} "
                             "(decimal text such as \"0.10\") to scale prices and quantities, "
                             "or instrument=venue.Instrument(symbol, tick_size, lot_size), "
                             "which gives both")
    return Definition(instrument, symbol, tick_size, lot_size,
                      "linear" if kind is None else kind, contract_value, settle)


def _path_and_kind(source: Any) -> tuple[str, str | None]:
    """The path of a file or a source, and the kind of file a source is."""
    from halvorn.data._depth_files import DepthSource
    from halvorn.data._marks import MarkSource

    if isinstance(source, halvorn.TickSource):
        return source.path, "tick"
    if isinstance(source, DepthSource):
        return source.path, "depth"
    if isinstance(source, MarkSource):
        return source.path, "mark"
    if isinstance(source, (str, bytes, os.PathLike)):
        return path_of(source, "source"), None
    raise TypeError("argument 'source': expected a path, a TickSource, a DepthSource or a "
                    f"MarkSource, got {type(source).__name__}")


def read_definition(source: Any) -> Definition | None:
    """The definition a tick, depth or mark file holds, or None.

    `source` is as for `instrument_of`, which reads the same block and makes
    an Instrument of it.  Returns a `Definition` of the texts as the file
    keeps them: the id, the symbol, the sizes and the contract's kind
    ("linear", or "inverse" with its `contract_value` in USD and the coin it
    settles in), or None for a file written without them.

    ```python
    d = data.read_definition("btcusd.hvtk")
    print(d.kind, d.contract_value, d.settle)
    ```

    Raises ValueError "{path}: {error}" as `instrument_of` does for a file
    or a block it cannot read; TypeError for any other `source`.
    """
    path, kind = _path_and_kind(source)
    found = _native.read_instrument(path, kind)
    return None if found is None else Definition(*found)


def instrument_of(source: Any) -> Instrument | None:
    """The instrument a tick, depth or mark file was written for, or None.

    `source` is a path (str or os.PathLike), a `halvorn.TickSource`, a
    `halvorn.data.DepthSource` or a `halvorn.data.MarkSource`.  Only the
    header and the instrument block after the records are read, so this costs
    the same for a file of any size.  Returns a `halvorn.venue.Instrument` with the id, symbol
    and sizes the file was scaled with (and an inverse contract's kind,
    contract value and coin), or None for a file written without them (every
    file written before they were kept, and integer `from_arrays` without
    sizes).

    ```python
    inst = data.instrument_of("btc.hvtk")
    print(inst.symbol, inst.tick_size, inst.lot_size)
    ```

    Raises ValueError "{path}: {error}": the reader's text for a file that is
    none of a tick, depth or mark file, or is damaged ("not a tick file:
    magic 0x03020100"), and the block's for a damaged block ("instrument block
    at byte 96: checksum mismatch: ..."), and the Instrument's own text for
    sizes it refuses (one tick on one lot that is no whole number of cash
    units); TypeError for any other `source`.
    """
    from halvorn import venue

    path, kind = _path_and_kind(source)
    found = _native.read_instrument(path, kind)
    if found is None:
        return None
    d = Definition(*found)
    # A linear file makes the Instrument it always made; an inverse one
    # carries its contract into the Instrument's own arguments.
    contract = {} if d.kind == "linear" else {"kind": d.kind,
                                              "contract_value": d.contract_value,
                                              "settle": d.settle}
    try:
        return venue.Instrument(d.symbol, d.tick_size, d.lot_size, id=d.id, **contract)
    except ValueError as e:
        # Sizes a converter may scale by but no run can value a position in.
        raise ValueError(f"{path}: {e}") from None
