"""A venue run's fills walked into positions: round trips, the true offset of
every fill, and the position over time.

A round trip is one position from the fill that opens it to the fill that
brings it back to flat.  A fill that reverses the position (a sell of 8 lots
against a long of 5) ends one trip and starts the next: its first 5 lots
close the long, its other 3 open a short.  A liquidation closes every open
trip at its price, without a fee.  In hedge mode each leg is walked on its
own: a fill's side and offset say which leg it moves (a buy that opens and a
sell that closes move the long leg), and a leg never reverses.

A run of several instruments is walked one instrument at a time: a trip is
of one instrument, its fills are that instrument's, a liquidation closes the
trips of the instrument it names, and the trip is valued in that
instrument's ticks, lots and contract size.  The trips of all of them come
out in the order their opening fills came in.

Everything is counted in the run's integers (prices in ticks, quantities in
lots, money in cash units) and turned into units only in `round_trips`, so a
closed trip's gross profit is exact: what its closing fills sold for minus
what its opening fills cost, times the contract size, whatever happened in
between.  A trip of an inverse (coin-margined) instrument is valued as its
account books it: each fill's share in the coin, lots x contract value /
price, a buy rounded down and a sell up, so that its gross profit is what
its buys were worth less what its sells were, in the coin's cash units, and
the closed trips add up to the run's realized profit.

Fees are the fees of a trip's fills.  A reversing fill's fee is split by
quantity: the closing share is the fee times the closing lots over the fill's
lots, truncated toward zero, and the opening trip takes the rest, so the fees
of the trips add up to the run's exactly.

Funding is settled on the account at the venue's settlement times, not per
fill, and a run keeps only its total per instrument.  The trips of an
instrument therefore share its funding (`Run.funding_paid` for a run of
one) in proportion to how long each held how many lots (lots × nanoseconds),
rounded to cash units so that the shares add up to the total exactly.  This
is a sharing, not a record: a trip that was held through no settlement still
gets a share.
"""

from __future__ import annotations

import decimal
import functools
import math
from collections.abc import Mapping, Sequence
from dataclasses import dataclass, field
from fractions import Fraction
from typing import Any

from halvorn import _report_ticks, _run_units
from halvorn._optional import require

# Average prices are rarely whole ticks; as decimals they are written to this
# many places beyond the tick's own.
_AVERAGE_EXTRA_PLACES = 4
# Wide enough that moving the exponent of any count is exact.
_WIDE = decimal.Context(prec=60)


@dataclass(frozen=True)
class Market:
    """One instrument of a run as the walk values it: the id its fills carry
    (0 for the one instrument of a run, whose fills are all its own), its
    symbol and Instrument (None without a definition), and the cash value of
    one tick on one lot."""

    number: int
    symbol: str | None
    instrument: Any
    contract_size: int

    @functools.cached_property
    def coin_per_lot(self) -> Fraction | None:
        """For an inverse instrument, the cash units of its coin one lot is
        worth at a price of one tick; None for a linear one."""
        i = self.instrument
        if i is None or getattr(i, "kind", "linear") != "inverse":
            return None
        return (Fraction(str(i.lot_size)) * Fraction(str(i.contract_value)) * _cash_scale()
                / Fraction(str(i.tick_size)))

    def booked(self, price: int, lots: int, buy: bool) -> int:
        """What `lots` at `price` are booked at, cash units: an inverse
        instrument's coin value, rounded down for a buy and up for a sell (a
        price below one tick counts as one tick)."""
        coin = self.coin_per_lot
        assert coin is not None
        value = abs(lots) * coin / max(price, 1)
        return math.floor(value) if buy else math.ceil(value)


def _cash_scale() -> int:
    import halvorn
    return int(halvorn.CASH_SCALE)


def contract_size(run: Any, venue: Any) -> int:
    """The cash value of one tick on one lot: the instrument's, else the venue's,
    else a default Venue's."""
    instrument = getattr(run, "instrument", None)
    if instrument is not None and getattr(instrument, "contract_size", None):
        return int(instrument.contract_size)
    if venue is not None:
        return int(venue.contract_size)
    from halvorn.venue import Venue
    return int(Venue().contract_size)


def run_markets(run: Any, venue: Any = None) -> list[Market]:
    """The instruments of `run` in the order of their ids; a run of one
    instrument (or of none defined) is one Market numbered 0.  `venue` is the
    Venue of a run of one, for the contract size of a run without an
    instrument."""
    by_id = _run_units.portfolio(run)
    if by_id is None:
        instrument = getattr(run, "instrument", None)
        symbol = None if instrument is None else str(instrument.symbol)
        return [Market(0, symbol, instrument, contract_size(run, venue))]
    return [Market(number, str(instrument.symbol), instrument, int(instrument.contract_size))
            for number, instrument in by_id.items()]


@dataclass
class Trip:
    """One position from open to flat, in the run's integers.

    Invariants: 0 <= closed <= opened; exit_ts is None exactly while the
    trip is open (closed < opened).
    """

    market: Market
    direction: int  # +1 long, -1 short
    entry_ts: int
    entry_order: int
    entry_fill: int  # index of the opening fill among all the run's fills
    opened: int = 0  # lots
    entry_value: int = 0  # ticks × lots of the opening fills
    closed: int = 0
    exit_value: int = 0  # ticks × lots of the closing fills
    entry_coin: int = 0  # inverse only: cash units the opening fills were booked at
    exit_coin: int = 0  # inverse only: cash units the closing fills were booked at
    fees: int = 0  # cash units, positive when paid
    held: int = 0  # lots × ns the position was held, for the share of funding
    funding: int = 0  # its share of its instrument's funding, cash units
    exit_ts: int | None = None
    exit_order: int | None = None
    liquidated: bool = False

    def gross(self, mark: int = 0) -> int:
        """Profit before fees and funding, cash units, when what is still
        open comes back at `mark` (ticks)."""
        left = self.opened - self.closed
        if self.market.coin_per_lot is None:
            sold = self.exit_value + left * mark
            return self.direction * (sold - self.entry_value) * self.market.contract_size
        # Closing a long sells, closing a short buys; a trip profits by its
        # buys' worth less its sells'.
        sold = self.exit_coin + (self.market.booked(mark, left, self.direction < 0) if left else 0)
        return self.direction * (self.entry_coin - sold)

    def net(self, mark: int = 0) -> int:
        """Profit after its fees and its share of funding, cash units."""
        return self.gross(mark) - self.fees + self.funding

    def cost(self) -> int:
        """What opening the trip was booked at, cash units."""
        if self.market.coin_per_lot is None:
            return self.entry_value * self.market.contract_size
        return self.entry_coin


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
class Track:
    """One instrument's position after each of its fills and liquidations."""

    market: Market
    times: list[int] = field(default_factory=list)
    positions: list[int] = field(default_factory=list)  # net lots: both legs together
    shorts: list[int] = field(default_factory=list)  # the short leg's lots, in hedge mode only

    def held(self) -> list[bool]:
        """Whether any leg was open after each: in hedge mode equal legs net
        to nothing and are still held."""
        if not self.shorts:
            return [position != 0 for position in self.positions]
        return [position != short or short != 0
                for position, short in zip(self.positions, self.shorts)]


@dataclass
class Walk:
    """What one pass over a run's fills finds."""

    trips: list[Trip]  # in the order of their opening fills
    offsets: list[str]  # per fill: "open", "close" or "close+open"
    tracks: list[Track]  # per instrument, in the order of their ids
    # The account after each fill and liquidation, in time order: net lots
    # for a run of one instrument; for several, whose lots do not add up, the
    # number of instruments with a position open.
    times: list[int]
    positions: list[int]


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


def walk(run: Any, *, hedge: bool = False, markets: Sequence[Market] | None = None,
         end: int | None = None, what: str = "round_trips") -> Walk:
    """Walks the fills and liquidations of `run` in time order, each of
    `markets` (by default `run_markets(run)`) on its own.

    Trips still open are held until `end` (ns) for their share of funding;
    by default until the last fill or liquidation.  In hedge mode a fill that
    closes more than its leg holds raises ValueError: the run was not made in
    hedge mode.
    """
    records = fill_records(run, what)
    np = require("numpy", "report", what)
    markets = list(markets) if markets is not None else run_markets(run)
    names = ("exch_ts", "order", "price", "qty", "fee", "side", "offset")
    liquidations = sorted(((l.at, l.price, int(getattr(l, "instrument", 0)))
                           for l in getattr(run, "liquidations", ())), key=lambda l: l[0])
    last = max([*records["exch_ts"][-1:].tolist(), *(at for at, _, _ in liquidations[-1:])],
               default=0)
    until = max(last, end) if end is not None else last
    offsets = [""] * len(records)
    opened: list[Trip] = []
    tracks = []
    results = tuple(getattr(run, "per_instrument", ()))
    for market in markets:
        if market.number == 0:
            indices: Sequence[int] = range(len(records))
            own = [(at, price) for at, price, _ in liquidations]
            funding = int(getattr(run, "funding_paid", 0))
            chosen = records
        else:
            where = np.flatnonzero(records["instrument"] == market.number)
            indices = where.tolist()
            own = [(at, price) for at, price, number in liquidations if number == market.number]
            funding = int(results[market.number - 1].funding)
            chosen = records[where]
        columns = [chosen[name].tolist() for name in names]
        trips, track = _walk_one(market, columns, indices, own, hedge, offsets, until)
        shares = share_funding(funding, [trip.held for trip in trips])
        for trip, share in zip(trips, shares):
            trip.funding = share
        opened += trips
        tracks.append(track)
    if len(tracks) == 1:
        times, positions = tracks[0].times, tracks[0].positions
    else:
        opened.sort(key=lambda trip: trip.entry_fill)
        times, positions = _account(tracks)
    return Walk(opened, offsets, tracks, times, positions)


def _walk_one(market: Market, columns: list[list[int]], indices: Sequence[int],
              liquidations: list[tuple[int, int]], hedge: bool, offsets: list[str],
              until: int) -> tuple[list[Trip], Track]:
    """The trips of one instrument from its fills (`columns`, whose indices
    among all the run's fills are `indices`) and liquidations; writes each
    fill's offset into `offsets`."""
    legs = [_Leg(), _Leg()]  # in net mode only the first is used
    inverse = market.coin_per_lot is not None
    trips: list[Trip] = []
    track = Track(market)
    times, positions, shorts = track.times, track.positions, track.shorts
    pending = 0  # next liquidation

    def note(at: int) -> None:
        times.append(at)
        positions.append(legs[0].size + legs[1].size)
        if hedge:
            shorts.append(legs[1].size)

    def liquidate(at: int, price: int) -> None:
        for leg in legs:
            leg.hold_until(at)
            if leg.trip is not None:
                trip, lots = leg.trip, abs(leg.size)
                trip.closed += lots
                trip.exit_value += price * lots
                if inverse:
                    trip.exit_coin += market.booked(price, lots, trip.direction < 0)
                trip.exit_ts, trip.liquidated = at, True
                leg.size, leg.trip = 0, None
        note(at)

    for index, ts, order, price, qty, fee, side, offset in zip(indices, *columns):
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
            if inverse:
                trip.exit_coin += market.booked(price, closing, buy)
            trip.fees += closing_fee
            leg.size += direction * closing
            if leg.size == 0:
                trip.exit_ts, trip.exit_order = ts, order
                leg.trip = None
        if opening:
            if leg.trip is None:
                leg.trip = Trip(market=market, direction=direction, entry_ts=ts,
                                entry_order=order, entry_fill=index)
                trips.append(leg.trip)
            leg.trip.opened += opening
            leg.trip.entry_value += price * opening
            if inverse:
                leg.trip.entry_coin += market.booked(price, opening, buy)
            leg.trip.fees += fee - closing_fee
            leg.size += direction * opening
        offsets[index] = ("close+open" if closing and opening else
                          "close" if closing else "open")
        # The position after the fill, written out here: this loop runs once
        # per fill of the run.
        times.append(ts)
        positions.append(legs[0].size + legs[1].size)
        if hedge:
            shorts.append(legs[1].size)
    for at, price in liquidations[pending:]:
        liquidate(at, price)
    for leg in legs:
        leg.hold_until(until)
    return trips, track


def _account(tracks: Sequence[Track]) -> tuple[list[int], list[int]]:
    """The times of every instrument's events merged in order (equal times in
    the order of the instruments), with the number of instruments holding a
    position after each."""
    events = sorted(((at, number, held) for number, track in enumerate(tracks)
                     for at, held in zip(track.times, track.held())),
                    key=lambda event: (event[0], event[1]))
    holding = [False] * len(tracks)
    count = 0
    times, positions = [], []
    for at, number, held in events:
        count += held - holding[number]
        holding[number] = held
        times.append(at)
        positions.append(count)
    return times, positions


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


def walk_ticks(run: Any, ticks: Any, *, hedge: bool, venue: Any, what: str
               ) -> tuple[Walk, _report_ticks.Given]:
    """The walk of `run` and what `ticks` (as the report functions take them)
    say of each of its instruments; trips still open are held to the last
    tick."""
    np = require("numpy", "report", what)
    markets = run_markets(run, venue)
    given = _report_ticks.given(ticks, [market.symbol for market in markets], np)
    walked = walk(run, hedge=hedge, markets=markets,
                  end=given.whole.last_ts if given.whole else None, what=what)
    return walked, given


# --- units ---------------------------------------------------------------------------


def units_of(instrument: Any) -> dict[str, str]:
    """What a price and a quantity of `instrument` are counted in: its quote
    currency and base asset, or ticks and lots without one."""
    if instrument is None:
        return {"price": "ticks", "qty": "lots", "money": "USDT"}
    if getattr(instrument, "kind", "linear") == "inverse":
        # Quoted in USD a coin, traded in contracts, settled in the coin.
        return {"price": "USD", "qty": "contracts", "money": str(instrument.settle)}
    symbol = str(getattr(instrument, "symbol", "") or "")
    base = symbol[:-4] if symbol.upper().endswith("USDT") and len(symbol) > 4 else "base units"
    return {"price": "USDT", "qty": base, "money": "USDT"}


def unit_names(run: Any) -> dict[str, str]:
    """What the prices and quantities of `run`'s frames are counted in; for
    several instruments, each row's own."""
    by_id = _run_units.portfolio(run)
    if by_id is not None:
        first = units_of(next(iter(by_id.values())))
        if first["money"] != "USDT":
            return first
        return {"price": "USDT", "qty": "the base asset of each row's symbol", "money": "USDT"}
    return units_of(getattr(run, "instrument", None))


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


def frame(run: Any, walked: Walk, *, units: str, marks: Mapping[int, int], end: int | None,
          limit: int | None = None) -> Any:
    """The first `limit` trips of a walk (all with None) as a DataFrame in
    units.  `marks` is the last price (ticks) of each Market number that a
    trip still open is valued at (one left out leaves its trips unvalued);
    `end` the run's last time (ns), to which such a trip is held."""
    pandas = require("pandas", "report", "report.round_trips")
    np = require("numpy", "report", "report.round_trips")
    trips = walked.trips[:limit]
    missing = None if units == "decimal" else float("nan")
    kind = object if units == "decimal" else np.float64

    def tick_step(trip: Trip) -> str | None:
        instrument = trip.market.instrument
        return None if instrument is None else str(instrument.tick_size)

    gross: list[Any] = []
    net: list[Any] = []
    exit_prices: list[Any] = []
    for trip in trips:
        left = trip.opened - trip.closed
        mark = marks.get(trip.market.number)
        if left and mark is None:
            gross.append(None)
            net.append(None)
            exit_prices.append(missing)
            continue
        sold = trip.exit_value + left * (mark or 0)
        gross.append(trip.gross(mark or 0))
        net.append(trip.net(mark or 0))
        exit_prices.append(average_price(sold, trip.opened, tick_step(trip), units))

    def cash(values: list[int]) -> Any:
        return _run_units._cash(np, np.array(values, dtype=np.int64), units)

    def cash_or_missing(values: list[Any]) -> Any:
        known = iter(cash([v for v in values if v is not None]).tolist())
        return np.array([next(known) if v is not None else missing for v in values], dtype=kind)

    fees = [trip.fees for trip in trips]
    funding = [trip.funding for trip in trips]
    lots = np.array([trip.opened for trip in trips], dtype=np.int64)
    markets = [track.market for track in walked.tracks]
    if len(markets) == 1:
        instrument = markets[0].instrument
        qty = (_run_units._scaled(np, lots, instrument.lot_size, units)
               if instrument is not None else lots)
    else:
        qty = _run_units.scaled_by(
            np, lots, np.array([trip.market.number for trip in trips], dtype=np.int64),
            {m.number: m.instrument.lot_size for m in markets}, units)
    last_ns = max(walked.times[-1] if walked.times else 0, end or 0)
    exit_ns = [trip.exit_ts for trip in trips]
    result = pandas.DataFrame({
        "symbol": pandas.Series([trip.market.symbol for trip in trips], dtype=object),
        "side": ["long" if trip.direction > 0 else "short" for trip in trips],
        "entry_time": pandas.to_datetime(np.array([trip.entry_ts for trip in trips],
                                                  dtype=np.int64), unit="ns", utc=True),
        "exit_time": pandas.to_datetime(pandas.array(exit_ns, dtype="Int64"), unit="ns",
                                        utc=True),
        "entry_price": np.array([average_price(trip.entry_value, trip.opened, tick_step(trip),
                                               units) for trip in trips], dtype=kind),
        "exit_price": np.array(exit_prices, dtype=kind),
        "qty": qty,
        "gross": cash_or_missing(gross),
        "fees": cash(fees),
        "funding": cash(funding),
        "net": cash_or_missing(net),
        # Net profit over what the position cost to open: comparable across
        # trips of any size.
        "return": np.array([n / trip.cost()
                            if n is not None and trip.cost() else float("nan")
                            for n, trip in zip(net, trips)], dtype=np.float64),
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
    # An inverse contract's money is not ticks x lots x a size: it has none,
    # and its contract value in USD instead.
    def size(m: Market) -> int | None:
        return m.contract_size if m.coin_per_lot is None else None
    result.attrs["contract_size"] = (size(markets[0]) if len(markets) == 1 else
                                     {m.symbol: size(m) for m in markets})
    inverse = {m.symbol: str(m.instrument.contract_value) for m in markets
               if m.coin_per_lot is not None}
    if inverse:
        result.attrs["contract_value"] = (next(iter(inverse.values())) if len(markets) == 1
                                          else inverse)
    result.attrs["funding"] = "each instrument's shared by lots × time held"
    return result


def fills_frame(run: Any, records: Any, offsets: list[str], *, units: str) -> Any:
    """Fill records (all of a run's, or its first few) as a DataFrame indexed
    by time (UTC), with each fill's offset as the walk found it: a fill that
    reverses a position is "close+open", and what its order had left after
    it (remaining, in the qty's units).  A run of several instruments has a
    symbol column, and each fill is in its own instrument's units."""
    pandas = require("pandas", "report", "report.fills_frame")
    np = require("numpy", "report", "report.fills_frame")
    by_id = _run_units.portfolio(run)
    instrument = getattr(run, "instrument", None)
    price, qty = records["price"], records["qty"]
    left = _run_units.remaining_of(run, len(records), np)
    columns: dict[str, Any] = {}
    if by_id is not None:
        columns["symbol"] = _run_units.symbols_of(np, records["instrument"], by_id)
        ids = records["instrument"]
        price = _run_units.scaled_by(np, price, ids, {n: i.tick_size for n, i in by_id.items()},
                                     units)
        lots = {n: i.lot_size for n, i in by_id.items()}
        qty = _run_units.scaled_by(np, qty, ids, lots, units)
        left = _run_units.scaled_by(np, left, ids, lots, units)
    elif instrument is not None:
        price = _run_units._scaled(np, price, instrument.tick_size, units)
        qty = _run_units._scaled(np, qty, instrument.lot_size, units)
        left = _run_units._scaled(np, left, instrument.lot_size, units)
    result = pandas.DataFrame({
        **columns,
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
        "remaining": left,
    }, index=pandas.DatetimeIndex(pandas.to_datetime(records["exch_ts"].astype(np.int64),
                                                     unit="ns", utc=True), name="time"))
    result.attrs["units"] = unit_names(run)
    return result

