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
    """What a converter writes: the id, the symbol and the two sizes (None
    when not given, which only `from_arrays` allows)."""

    # As given, or the Instrument's: the writer checks types and values with
    # texts of its own.
    id: Any
    symbol: Any
    tick_size: Any
    lot_size: Any


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


def definition_of(function: str, instrument: Any, tick_size: Any, lot_size: Any, symbol: Any, *,
                  sizes_required: bool = True) -> Definition:
    """The definition a converter named `function` writes.

    `instrument` is an id, or a `venue.Instrument`, which then gives the id,
    the symbol and both sizes; a size or a symbol also given must agree with
    it.  Without an Instrument, the sizes come from `tick_size` and
    `lot_size`, which `sizes_required` makes compulsory.  Types and values
    are otherwise left for the writer to check, with its own texts.
    """
    from halvorn import venue

    if isinstance(instrument, venue.Instrument):
        for arg, given, own in (("tick_size", tick_size, instrument.tick_size),
                                ("lot_size", lot_size, instrument.lot_size)):
            if given is not None and not _same_size(given, own, arg):
                raise ValueError(f"argument '{arg}': {given!r} is not the instrument's {arg} "
                                 f"{own!r}; leave it out, the instrument gives it")
        if symbol is not None and symbol != instrument.symbol:
            raise ValueError(f"argument 'symbol': {symbol!r} is not the instrument's symbol "
                             f"{instrument.symbol!r}; leave it out, the instrument gives it")
        return Definition(instrument.id, instrument.symbol, instrument.tick_size,
                          instrument.lot_size)
    if sizes_required:
        missing = [arg for arg, given in (("tick_size", tick_size), ("lot_size", lot_size))
                   if given is None]
        if missing:
            raise ValueError(f"{function} needs {' and '.join(f'{arg}=' for arg in missing)} "
                             "(decimal text such as \"0.10\") to scale prices and quantities, "
                             "or instrument=venue.Instrument(symbol, tick_size, lot_size), "
                             "which gives both")
    return Definition(instrument, symbol, tick_size, lot_size)


def instrument_of(source: Any) -> Instrument | None:
    """The instrument a tick, depth or mark file was written for, or None.

    `source` is a path (str or os.PathLike), a `halvorn.TickSource`, a
    `halvorn.data.DepthSource` or a `halvorn.data.MarkSource`.  Only the
    header and the instrument block after the records are read, so this costs
    the same for a file of any size.  Returns a `halvorn.venue.Instrument` with the id, symbol and sizes
    the file was scaled with, or None for a file written without them (every
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
    from halvorn.data._depth_files import DepthSource
    from halvorn.data._marks import MarkSource

    if isinstance(source, halvorn.TickSource):
        path, kind = source.path, "tick"
    elif isinstance(source, DepthSource):
        path, kind = source.path, "depth"
    elif isinstance(source, MarkSource):
        path, kind = source.path, "mark"
    elif isinstance(source, (str, bytes, os.PathLike)):
        path, kind = path_of(source, "source"), None
    else:
        raise TypeError("argument 'source': expected a path, a TickSource, a DepthSource or a "
                        f"MarkSource, got {type(source).__name__}")
    found = _native.read_instrument(path, kind)
    if found is None:
        return None
    id, symbol, tick_size, lot_size = found
    try:
        return venue.Instrument(symbol, tick_size, lot_size, id=id)
    except ValueError as e:
        # Sizes a converter may scale by but no run can value a position in.
        raise ValueError(f"{path}: {e}") from None
