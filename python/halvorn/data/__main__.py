"""The command line of halvorn.data: a folder of daily CSV files into one tick
file, and a look at a file before it is trusted.

    python -m halvorn.data convert TRADES DEST --tick-size 0.10 --lot-size 0.001 \\
        [--quotes QUOTES] [--layout agg_trades] [--time-unit ms] [--symbol BTCUSDT] ...
    python -m halvorn.data inspect FILE [FILE ...] [--gap NS] [--stale-after NS]

TRADES and QUOTES are each a folder, a glob pattern or one file; their
files (.csv, .csv.gz, and .zip archives of CSV members) are read in name
order as one stream.  Exit status 0 when the file was written, 1 when the
data was refused (nothing is written then), 2 for bad arguments; errors are
one line on standard error.
"""

from __future__ import annotations

import argparse
import decimal
import glob
import gzip
import os
import sys
import zipfile
import zlib
from collections.abc import Iterator, Sequence
from typing import Any

from halvorn import data
from halvorn.data import _native
from halvorn.data._hazards import clock_warning, duplicate_warning, outside_warning, stale_warning
from halvorn.data._file_quality import GAP
from halvorn.data._tick_csv import OUTSIDE_BP, STALE_AFTER, convert_finding

PROGRAM = "python -m halvorn.data"
SUFFIXES = (".csv", ".csv.gz", ".zip")


class _Named:
    """A member of an archive under the name its errors should show."""

    def __init__(self, file: Any, name: str) -> None:
        self._file = file
        self.name = name

    def readinto(self, buffer: Any) -> int:
        n: int = self._file.readinto(buffer)
        return n


class Stream:
    """The files of one stream, opened one at a time in name order."""

    def __init__(self, what: str, pattern: str) -> None:
        self.what = what
        self.paths = self._find(pattern)
        self.current: str | None = None  # what is being read, for errors the file raises

    def _find(self, pattern: str) -> list[str]:
        if os.path.isdir(pattern):
            found = [os.path.join(pattern, n) for n in os.listdir(pattern)]
        elif os.path.isfile(pattern):
            return [pattern]
        else:
            found = glob.glob(pattern)
        paths = sorted(p for p in found if p.endswith(SUFFIXES) and os.path.isfile(p))
        if not paths:
            raise _Usage(f"no .csv, .csv.gz or .zip files in {self.what} {pattern!r}")
        return paths

    def size(self) -> int | None:
        """The uncompressed bytes, when every file says (a gzip file does not)."""
        total = 0
        for path in self.paths:
            if path.endswith(".gz"):
                return None
            if path.endswith(".zip"):
                try:
                    with zipfile.ZipFile(path) as z:
                        total += sum(i.file_size for i in z.infolist() if not i.is_dir())
                except (OSError, zipfile.BadZipFile):
                    return None
            else:
                total += os.path.getsize(path)
        return total

    def files(self) -> Iterator[Any]:
        for path in self.paths:
            self.current = path
            if path.endswith(".zip"):
                with zipfile.ZipFile(path) as archive:
                    for info in sorted(archive.infolist(), key=lambda i: i.filename):
                        if info.is_dir():
                            continue
                        self.current = f"{path}/{info.filename}"
                        with archive.open(info) as member:
                            yield _Named(member, self.current)
            elif path.endswith(".gz"):
                with gzip.open(path, "rb") as f:
                    yield f
            else:
                with open(path, "rb") as f:
                    yield f
        self.current = None


class _Usage(Exception):
    """An argument the parser could not check by itself."""


def _step(text: str) -> str:
    try:
        ok = decimal.Decimal(text).is_finite() and decimal.Decimal(text) > 0
    except decimal.InvalidOperation:
        ok = False
    if not ok:
        raise argparse.ArgumentTypeError(f"{text!r} is not a positive decimal number")
    return text


def _whole(most: int, what: str) -> Any:
    """An argument type: a whole number from 0 to `most`."""
    def convert(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            value = -1
        if value < 0:
            raise argparse.ArgumentTypeError(f"{text!r} is not a whole number of at least 0")
        if value > most:
            raise argparse.ArgumentTypeError(f"{text!r} is more than {what} can be ({most:,})")
        return value
    return convert


def _basis_points(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        value = -1.0
    if not value >= 0:
        raise argparse.ArgumentTypeError(f"{text!r} is not a number of basis points of at least 0")
    return value


def _symbol(text: str) -> str:
    # Bytes of the command line that are no UTF-8 arrive as lone surrogates,
    # which no file's symbol can hold.
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        raise argparse.ArgumentTypeError(f"{text!r} is not UTF-8") from None
    return text


_count = _whole(2**63 - 1, "a count of rows")
_instrument = _whole(2**32 - 1, "an instrument id")


def _keys(stream: str) -> list[str]:
    """The short keys of the converters' layouts of `stream`."""
    return [key for _, key, kind in _native.LAYOUTS if kind == stream]


_SHORT_UNITS = ["ms", "us", "ns"]


def parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(prog=PROGRAM, description="Market data into tick files.")
    commands = p.add_subparsers(dest="command", required=True)
    c = commands.add_parser(
        "convert", help="convert daily CSV files of trades (and quotes) into one tick file",
        description="Convert daily CSV files of trades, and optionally best quotes, into one "
        "tick file.  Files are read in name order; .csv, .csv.gz and .zip (each CSV member, in "
        "name order) are read.  See docs/csv_conversion.md for layouts and rules.")
    c.add_argument("trades", help="folder, glob pattern or file of trade CSV files")
    c.add_argument("dest", help="the tick file to write (replaced only once complete)")
    c.add_argument("--quotes", help="folder, glob pattern or file of best-quote CSV files")
    c.add_argument("--tick-size", required=True, type=_step, help="price step, e.g. 0.10")
    c.add_argument("--lot-size", required=True, type=_step, help="quantity step, e.g. 0.001")
    c.add_argument("--layout", choices=_keys("trades"),
                   help="layout of the trade files (default: told from each file)")
    c.add_argument("--quote-layout", choices=_keys("quotes"),
                   help="layout of the quote files (default: told from each file)")
    c.add_argument("--time-unit", choices=_SHORT_UNITS,
                   help="unit of the trade times (default: told from each file)")
    c.add_argument("--quote-time-unit", choices=_SHORT_UNITS,
                   help="unit of the quote times (default: told from each file)")
    c.add_argument("--sort-window", type=_count, default=0, metavar="ROWS",
                   help="take rows up to ROWS rows out of time order (default 0)")
    c.add_argument("--allow-gaps", action="store_true",
                   help="accept missing aggregated trade ids")
    c.add_argument("--round", action="store_true",
                   help="round values that are not whole steps against the strategy")
    c.add_argument("--instrument", type=_instrument, default=1, help="instrument id (default 1)")
    c.add_argument("--symbol", type=_symbol, default=None,
                   help="the instrument's symbol, kept in the file with its id and sizes")
    c.add_argument("--kind", choices=["linear", "inverse"], default=None,
                   help="how a position is valued: linear (default) or inverse, a contract "
                   "quoted in USD and settled in its coin")
    c.add_argument("--contract-value", type=_symbol, default=None, metavar="USD",
                   help="an inverse contract's USD value of one unit of quantity, e.g. 100")
    c.add_argument("--settle", type=_symbol, default=None, metavar="COIN",
                   help="the coin an inverse contract settles in, e.g. BTC")
    c.add_argument("--duplicates", choices=["keep", "skip", "refuse"], default="keep",
                   help="what becomes of a trade repeating the id of one at its time: kept "
                   "(default) or skipped, and reported, or refused")
    c.add_argument("--stale-quotes", choices=["keep", "clear", "refuse"], default="clear",
                   help="what becomes of a trade tick whose latest quote is older than "
                   "--stale-after: cleared to no quote (default) or kept, and reported, or "
                   "refused")
    c.add_argument("--stale-after", type=_whole(2**63 - 1, "a number of nanoseconds"),
                   default=STALE_AFTER, metavar="NS",
                   help="how old a quote may be, in nanoseconds (default one minute)")
    c.add_argument("--outside-bp", type=_basis_points, default=OUTSIDE_BP, metavar="BP",
                   help="report trades priced outside their quote by more than BP basis points "
                   "(default 10)")
    c.add_argument("--progress", action=argparse.BooleanOptionalAction, default=None,
                   help="show a progress bar (default: when standard error is a terminal)")
    i = commands.add_parser(
        "inspect", help="report what would make a backtest on a tick, depth or mark file mislead",
        description="Read each file once and print, as a table, its time span, gaps, repeats, "
        "stale quotes, trades outside their quote, clocks and funding at old marks.  Exit "
        "status 0 when every file was read (whatever it holds), 1 when one could not be.")
    i.add_argument("files", nargs="+", metavar="FILE", help="tick, depth or mark files")
    i.add_argument("--gap", type=_whole(2**63 - 1, "a number of nanoseconds"), default=GAP,
                   metavar="NS", help="a step of time longer than this is a gap (default 1 min)")
    i.add_argument("--stale-after", type=_whole(2**63 - 1, "a number of nanoseconds"),
                   default=STALE_AFTER, metavar="NS",
                   help="a quote or mark older than this is stale (default 1 min)")
    i.add_argument("--outside-bp", type=_basis_points, default=OUTSIDE_BP, metavar="BP",
                   help="trades further outside their quote are counted (default 10)")
    return p


def inspect(args: argparse.Namespace) -> int:
    status = 0
    for n, path in enumerate(args.files):
        try:
            found = data.inspect(path, gap=args.gap, stale_after=args.stale_after,
                                 outside_bp=args.outside_bp)
        except (OSError, ValueError) as e:
            sys.stderr.write(f"{PROGRAM}: error: {e}\n")
            status = 1
            continue
        print(("\n" if n else "") + str(found))
    return status


def convert(args: argparse.Namespace) -> int:
    trades = Stream("trades", args.trades)
    quotes = Stream("quotes", args.quotes) if args.quotes else None
    show = args.progress if args.progress is not None else sys.stderr.isatty()
    total = None
    if show:
        sizes = [trades.size()] + ([quotes.size()] if quotes else [])
        total = None if None in sizes else sum(s for s in sizes if s is not None)
    streams = [trades] + ([quotes] if quotes else [])
    try:
        source, counts, found = convert_finding(
            args.dest, trades.files(), quotes.files() if quotes else None, layout=args.layout,
            quote_layout=args.quote_layout, tick_size=args.tick_size, lot_size=args.lot_size,
            instrument=args.instrument, symbol=args.symbol, time_unit=args.time_unit,
            quote_time_unit=args.quote_time_unit, sort_window=args.sort_window,
            allow_gaps=args.allow_gaps, round=args.round, progress=show, total=total,
            duplicates=args.duplicates, stale_after=args.stale_after,
            stale_quotes=args.stale_quotes, outside_bp=args.outside_bp, kind=args.kind,
            contract_value=args.contract_value, settle=args.settle)
    except (OSError, EOFError, zipfile.BadZipFile, zlib.error) as e:
        # Raised by a file as it was read, so its text may not say which.
        where = next((s.current for s in streams if s.current), None)
        text = str(e) or type(e).__name__
        if isinstance(e, zlib.error):
            text = f"damaged compressed data ({text})"
        if where and where not in text:
            text = f"{where}: {text}"
        raise _DataError(text) from e
    except (ValueError, OverflowError) as e:
        raise _DataError(str(e)) from e
    except MemoryError as e:
        raise _DataError(f"out of memory while converting {_reading(streams)}") from e
    ticks, n_trades, _, quote_ticks, read = counts
    print(f"wrote {source.path}: {ticks:,} ticks, {n_trades:,} of trades and {quote_ticks:,} of "
          f"quotes, from {read:,} bytes", file=sys.stderr)
    # What the file holds that the data did not mean: said after the summary,
    # since the file was written as asked.
    if found.duplicates:
        print(f"note: {duplicate_warning(found, args.duplicates == 'skip')}", file=sys.stderr)
    if found.stale_ticks:
        cleared = args.stale_quotes == "clear"
        stale = stale_warning(found, args.stale_after, cleared, "--stale-quotes keep")
        print(f"note: {stale}", file=sys.stderr)
    if found.outside:
        print(f"note: {outside_warning(found, args.outside_bp)}", file=sys.stderr)
    if clock := clock_warning(found.clock):
        print(f"note: {clock}", file=sys.stderr)
    return 0


class _DataError(Exception):
    """Data the conversion refused."""


def _reading(streams: Sequence[Stream]) -> str:
    return next((s.current for s in streams if s.current), "the input")


def main(argv: Sequence[str] | None = None) -> int:
    p = parser()
    args = p.parse_args(argv)
    try:
        return inspect(args) if args.command == "inspect" else convert(args)
    except _Usage as e:
        p.exit(2, f"{PROGRAM}: error: {e}\n")
    except _DataError as e:
        sys.stderr.write(f"{PROGRAM}: error: {e}\n")
        return 1
    except KeyboardInterrupt:
        left = f"; {args.dest} is as it was" if args.command == "convert" else ""
        sys.stderr.write(f"\n{PROGRAM}: interrupted{left}\n")
        return 130
    return 0


if __name__ == "__main__":
    sys.exit(main())
