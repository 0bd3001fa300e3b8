"""A venue run's fills walked into positions: round trips, the true offset of
every fill, and the position over time.

A round trip is one position from the fill that opens it to the fill that
brings it back to flat.  A fill that reverses the position (a sell of 8 lots
against a long of 5) ends one trip and starts the next: its first 5 lots
close the long, its other 3 open a short.  A liquidation closes every open
trip at its price, without a fee.  In hedge mode each leg is walked on its
own: a fill's side and offset say which leg it moves (a buy that opens and a
sell that closes move the long leg), and a leg never reverses.

Everything is counted in the run's integers (prices in ticks, quantities in
lots, money in cash units) and turned into units only in `round_trips`, so a
closed trip's gross profit is exact: what its closing fills sold for minus
what its opening fills cost, times the contract size, whatever happened in
between.

Fees are the fees of a trip's fills.  A reversing fill's fee is split by
quantity: the closing share is the fee times the closing lots over the fill's
lots, truncated toward zero, and the opening trip takes the rest, so the fees
of the trips add up to the run's exactly.

Funding is settled on the account at the venue's settlement times, not per
fill, and a run keeps only its total.  The trips therefore share
`Run.funding_paid` in proportion to how long each held how many lots (lots ×
nanoseconds), rounded to cash units so that the shares add up to the total
exactly.  This is a sharing, not a record: a trip that was held through no
settlement still gets a share.
"""

from __future__ import annotations

import decimal
from collections.abc import Mapping
from dataclasses import dataclass, field
from typing import Any

from halvorn._optional import require

# The contract size of a Venue made with no arguments: the cash value of one
# tick on one lot.
DEFAULT_CONTRACT_SIZE = 10_000

# Average prices are rarely whole ticks; as decimals they are written to this
# many places beyond the tick's own.
_AVERAGE_EXTRA_PLACES = 4
# Wide enough that moving the exponent of any count is exact.
_WIDE = decimal.Context(prec=60)


@dataclass
class Trip:
    """One position from open to flat, in the run's integers.

    Invariants: 0 <= closed <= opened; exit_ts is None exactly while the
    trip is open (closed < opened).
    """

    direction: int  # +1 long, -1 short
    entry_ts: int
    entry_order: int
    opened: int = 0  # lots
    entry_value: int = 0  # ticks × lots of the opening fills
    closed: int = 0
    exit_value: int = 0  # ticks × lots of the closing fills
    fees: int = 0  # cash units, positive when paid
    held: int = 0  # lots × ns the position was held, for the share of funding
    exit_ts: int | None = None
    exit_order: int | None = None
    liquidated: bool = False


@dataclass
class _Leg:
    size: int = 0  # signed lots
    since: int = 0  # time of the last change
    trip: Trip | None = None

    def hold_until(self, ts: int) -> None:
        if self.trip is not None:
            self.trip.held += abs(self.size) * max(0, ts - self.since)
        self.since = ts


@dataclass
class Walk:
    """What one pass over a run's fills finds."""

    trips: list[Trip]
    offsets: list[str]  # per fill: "open", "close" or "close+open"
    times: list[int]  # of each fill and liquidation, in order
    positions: list[int]  # net lots after each of those
    contract_size: int
    funding: list[int] = field(default_factory=list)  # each trip's share, cash units


def _share(amount: int, part: int, whole: int) -> int:
    """amount × part / whole, truncated toward zero."""
    magnitude = abs(amount) * part // whole
    return magnitude if amount >= 0 else -magnitude


def fill_records(run: Any, what: str) -> Any:
    """The run's fills as a NumPy structured array; TypeError for a RunResult."""
    if isinstance(getattr(run, "fills", None), int) or not hasattr(run, "fills"):
        raise TypeError(f"{what} needs the fills of a halvorn.venue.Run, with their times and "
                        f"sides; a {type(run).__name__} only counts them")
    np = require("numpy", "report", what)
    return np.asarray(run.fills)


def contract_size(run: Any, venue: Any) -> int:
    """The cash value of one tick on one lot: the instrument's, else the venue's,
    else a default Venue's."""
    instrument = getattr(run, "instrument", None)
    if instrument is not None and getattr(instrument, "contract_size", None):
        return int(instrument.contract_size)
    if venue is not None:
        return int(venue.contract_size)
    return DEFAULT_CONTRACT_SIZE


def walk(run: Any, *, hedge: bool = False, size: int = DEFAULT_CONTRACT_SIZE,
         end: int | None = None, what: str = "round_trips") -> Walk:
    """Walks the fills and liquidations of `run` in time order.

    Trips still open are held until `end` (ns) for their share of funding;
    by default until the last fill or liquidation.  In hedge mode a fill that
    closes more than its leg holds raises ValueError: the run was not made in
    hedge mode.
    """
    records = fill_records(run, what)
    columns = [records[name].tolist() for name in
               ("exch_ts", "order", "price", "qty", "fee", "side", "offset")]
    liquidations = sorted(((l.at, l.price) for l in getattr(run, "liquidations", ())),
                          key=lambda pair: pair[0])
    legs = [_Leg(), _Leg()]  # in net mode only the first is used
    trips: list[Trip] = []
    offsets: list[str] = []
    times: list[int] = []
    positions: list[int] = []
    pending = 0  # next liquidation

    def liquidate(at: int, price: int) -> None:
        for leg in legs:
            leg.hold_until(at)
            if leg.trip is not None:
                trip, lots = leg.trip, abs(leg.size)
                trip.closed += lots
                trip.exit_value += price * lots
                trip.exit_ts, trip.liquidated = at, True
                leg.size, leg.trip = 0, None
        times.append(at)
        positions.append(0)

    for index, (ts, order, price, qty, fee, side, offset) in enumerate(zip(*columns)):
        # A liquidation comes after the fills of its own tick: it is the
        # margin check that follows them.
        while pending < len(liquidations) and liquidations[pending][0] < ts:
            liquidate(*liquidations[pending])
            pending += 1
        buy = side == 0
        if hedge:
            leg = legs[0] if buy == (offset == 0) else legs[1]
        else:
            leg = legs[0]
        leg.hold_until(ts)
        direction = 1 if buy else -1
        before = leg.size
        closing = min(qty, abs(before)) if before and (before > 0) != buy else 0
        opening = qty - closing
        if hedge and (closing if offset == 0 else opening):
            raise ValueError(f"fill {index} ({'buy' if buy else 'sell'} "
                             f"{'close' if offset else 'open'} of {qty} lots) does not fit a "
                             f"leg of {before} lots: was the run made in hedge mode?")
        closing_fee = _share(fee, closing, qty) if closing and opening else (fee if closing else 0)
        if closing:
            trip = leg.trip
            assert trip is not None
            trip.closed += closing
            trip.exit_value += price * closing
            trip.fees += closing_fee
            leg.size += direction * closing
            if leg.size == 0:
                trip.exit_ts, trip.exit_order = ts, order
                leg.trip = None
        if opening:
            if leg.trip is None:
                leg.trip = Trip(direction=direction, entry_ts=ts, entry_order=order)
                trips.append(leg.trip)
            leg.trip.opened += opening
            leg.trip.entry_value += price * opening
            leg.trip.fees += fee - closing_fee
            leg.size += direction * opening
        offsets.append("close+open" if closing and opening else "close" if closing else "open")
        times.append(ts)
        positions.append(legs[0].size + legs[1].size)
    for at, price in liquidations[pending:]:
        liquidate(at, price)
    last = times[-1] if times else 0
    for leg in legs:
        leg.hold_until(max(last, end if end is not None else last))
    result = Walk(trips, offsets, times, positions, size)
    result.funding = share_funding(int(getattr(run, "funding_paid", 0)),
                                   [trip.held for trip in trips])
    return result


def share_funding(total: int, weights: list[int]) -> list[int]:
    """`total` split in proportion to `weights`, in whole cash units that add
    up to it exactly: each gets the truncated share, and what truncation left
    over goes a unit each to the largest remainders (earliest first on ties).
    With no weight at all nothing can be shared, and every share is 0."""
    whole = sum(weights)
    if not weights or total == 0 or whole == 0:
        return [0] * len(weights)
    magnitude = abs(total)
    shares = [magnitude * w // whole for w in weights]
    left = magnitude - sum(shares)
    by_remainder = sorted(range(len(weights)), key=lambda i: (-(magnitude * weights[i] % whole), i))
    for i in by_remainder[:left]:
        shares[i] += 1
    return shares if total > 0 else [-s for s in shares]


# --- units ---------------------------------------------------------------------------


def unit_names(run: Any) -> dict[str, str]:
    """What a price and a quantity are counted in: the quote currency and the
    base asset of the run's instrument, or ticks and lots without one."""
    instrument = getattr(run, "instrument", None)
    if instrument is None:
        return {"price": "ticks", "qty": "lots", "money": "USDT"}
    symbol = str(getattr(instrument, "symbol", "") or "")
    base = symbol[:-4] if symbol.upper().endswith("USDT") and len(symbol) > 4 else "base units"
    return {"price": "USDT", "qty": base, "money": "USDT"}


def _places(step: str) -> int:
    exponent = decimal.Decimal(step).as_tuple().exponent
    return -exponent if isinstance(exponent, int) and exponent < 0 else 0


def average_price(value: int, lots: int, step: str | None, units: str) -> Any:
    """value / lots ticks (an average price) in units of `step` (None: ticks):
    the double nearest the exact quotient, or a Decimal rounded half-even to
    a few places beyond the step's."""
    places = _places(step) if step is not None else 0
    whole = int(decimal.Decimal(step).scaleb(places)) if step is not None else 1
    if units == "float":
        # Python divides two ints correctly rounded: the nearest double.
        return value * whole / (lots * 10**places)
    # Counted in units of 10^-(places + extra), rounded half to even.
    quotient, remainder = divmod(value * whole * 10**_AVERAGE_EXTRA_PLACES, lots)
    if 2 * remainder > lots or (2 * remainder == lots and quotient % 2):
        quotient += 1
    return decimal.Decimal(quotient).scaleb(-(places + _AVERAGE_EXTRA_PLACES), _WIDE)


def round_trips(run: Any, *, venue: Any = None, units: str = "decimal",
                mark: int | None = None, end: int | None = None) -> Any:
    """The frame `halvorn.report.round_trips` documents.  `mark` is the last
    price (ticks) a trip still open is valued at, None to leave it unvalued;
    `end` the run's last time (ns), to which such a trip is held."""
    from halvorn import _run_units

    _run_units._check_units(units)
    walked = walk(run, hedge=bool(getattr(venue, "hedge", False)),
                  size=contract_size(run, venue), end=end)
    return frame(run, walked, units=units, mark=mark, end=end)


def frame(run: Any, walked: Walk, *, units: str, mark: int | None, end: int | None,
          limit: int | None = None) -> Any:
    """The first `limit` trips of a walk (all with None) as a DataFrame in units."""
    from halvorn import _run_units

    pandas = require("pandas", "report", "report.round_trips")
    np = require("numpy", "report", "report.round_trips")
    trips = walked.trips[:limit]
    funding = walked.funding[:limit]
    size = walked.contract_size
    instrument = getattr(run, "instrument", None)
    tick_step = instrument.tick_size if instrument is not None else None
    missing = None if units == "decimal" else float("nan")
    kind = object if units == "decimal" else np.float64

    gross: list[Any] = []
    exit_prices: list[Any] = []
    for trip in trips:
        left = trip.opened - trip.closed
        if left and mark is None:
            gross.append(None)
            exit_prices.append(missing)
            continue
        sold = trip.exit_value + left * (mark or 0)
        gross.append(trip.direction * (sold - trip.entry_value) * size)
        exit_prices.append(average_price(sold, trip.opened, tick_step, units))

    def cash(values: list[int]) -> Any:
        return _run_units._cash(np, np.array(values, dtype=np.int64), units)

    def cash_or_missing(values: list[Any]) -> Any:
        known = iter(cash([v for v in values if v is not None]).tolist())
        return np.array([next(known) if v is not None else missing for v in values], dtype=kind)

    fees = [trip.fees for trip in trips]
    net = [None if g is None else g - f + share for g, f, share in zip(gross, fees, funding)]
    lots = np.array([trip.opened for trip in trips], dtype=np.int64)
    last_ns = max(walked.times[-1] if walked.times else 0, end or 0)
    exit_ns = [trip.exit_ts for trip in trips]
    result = pandas.DataFrame({
        "side": ["long" if trip.direction > 0 else "short" for trip in trips],
        "entry_time": pandas.to_datetime(np.array([trip.entry_ts for trip in trips],
                                                  dtype=np.int64), unit="ns", utc=True),
        "exit_time": pandas.to_datetime(pandas.array(exit_ns, dtype="Int64"), unit="ns",
                                        utc=True),
        "entry_price": np.array([average_price(trip.entry_value, trip.opened, tick_step, units)
                                 for trip in trips], dtype=kind),
        "exit_price": np.array(exit_prices, dtype=kind),
        "qty": (_run_units._scaled(np, lots, instrument.lot_size, units)
                if instrument is not None else lots),
        "gross": cash_or_missing(gross),
        "fees": cash(fees),
        "funding": cash(funding),
        "net": cash_or_missing(net),
        # Net profit over what the position cost to open: comparable across
        # trips of any size.
        "return": np.array([n / (trip.entry_value * size) if n is not None and trip.entry_value
                            else float("nan") for n, trip in zip(net, trips)], dtype=np.float64),
        "duration": pandas.to_timedelta(
            np.array([(t if t is not None else last_ns) - trip.entry_ts
                      for t, trip in zip(exit_ns, trips)], dtype=np.int64), unit="ns"),
        "open": np.array([t is None for t in exit_ns], dtype=bool),
        "liquidated": np.array([trip.liquidated for trip in trips], dtype=bool),
    })
    tags = getattr(run, "order_tags", None)
    if isinstance(tags, Mapping) and tags:
        # Object columns: an untagged order reads None, not a string's NaN.
        result["tag"] = pandas.Series([tags.get(trip.entry_order) for trip in trips],
                                      dtype=object, index=result.index)
        result["exit_tag"] = pandas.Series(
            [None if trip.exit_order is None else tags.get(trip.exit_order) for trip in trips],
            dtype=object, index=result.index)
    result.index.name = "trip"
    result.attrs["units"] = unit_names(run)
    result.attrs["contract_size"] = size
    result.attrs["funding"] = "shared by lots × time held"
    return result


def fills_frame(run: Any, records: Any, offsets: list[str], *, units: str) -> Any:
    """Fill records (all of a run's, or its first few) as a DataFrame indexed
    by time (UTC), with each fill's offset as the walk found it: a fill that
    reverses a position is "close+open"."""
    from halvorn import _run_units

    pandas = require("pandas", "report", "report.fills_frame")
    np = require("numpy", "report", "report.fills_frame")
    instrument = getattr(run, "instrument", None)
    price, qty = records["price"], records["qty"]
    if instrument is not None:
        price = _run_units._scaled(np, price, instrument.tick_size, units)
        qty = _run_units._scaled(np, qty, instrument.lot_size, units)
    result = pandas.DataFrame({
        "exch_ts": records["exch_ts"].astype(np.int64),
        "local_ts": records["local_ts"].astype(np.int64),
        "order": records["order"].astype(np.int64),
        "seq": records["seq"].astype(np.int64),
        "price": price,
        "qty": qty,
        "side": np.array(["buy", "sell"], dtype=object)[records["side"]],
        "offset": np.array(offsets[:len(records)], dtype=object),
        "taker": records["taker"].astype(bool),
        "fee": _run_units._cash(np, records["fee"], units),
    }, index=pandas.DatetimeIndex(pandas.to_datetime(records["exch_ts"].astype(np.int64),
                                                     unit="ns", utc=True), name="time"))
    result.attrs["units"] = unit_names(run)
    return result
