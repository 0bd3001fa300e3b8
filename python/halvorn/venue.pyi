"""The whole engine from Python: fees, funding, margin brackets, latency,
queue position and impact, hedge mode, cancellations, stops, take-profits,
trailing stops, time in force, post-only and reduce-only orders, brackets,
feedback and full results."""

from decimal import Decimal
from inspect import Signature
from typing import Any, Callable, ClassVar, Final, Literal, Mapping, Sequence, final

import pandas

from halvorn import Tick, TickSource
from halvorn._unit_text import InstrumentResults
from halvorn.data import DepthSource, MarkSource

__all__ = [
    "L0",
    "L1",
    "L2",
    "Fixed",
    "Quantiles",
    "QueueFixed",
    "TradedShare",
    "Instrument",
    "Bracket",
    "FundingRate",
    "Venue",
    "EXAMPLE_BTCUSDT",
    "rate",
    "percent",
    "bps",
    "Order",
    "Stop",
    "TakeProfit",
    "TrailingStop",
    "ClosePosition",
    "OneCancelsOther",
    "BracketOrder",
    "Cancel",
    "CancelAll",
    "Compiled",
    "Fill",
    "Fills",
    "Liquidation",
    "Closed",
    "MarginStats",
    "Run",
    "TickBatch",
    "Column",
    "Context",
    "Units",
    "ModeComparison",
    "LookaheadReport",
    "run",
    "compare_modes",
    "lookahead_check",
]

@final
class Fixed:
    """A latency that is the same for every order (or every report), in nanoseconds."""

    def __new__(cls, ns: int) -> Fixed: ...
    @property
    def ns(self) -> int: ...
    def __getnewargs_ex__(self) -> tuple[tuple[Any, ...], dict[str, Any]]: ...

@final
class Quantiles:
    """A latency drawn per order from four buckets, in nanoseconds."""

    def __new__(cls, p50: int, p90: int, p99: int, p999: int) -> Quantiles: ...
    @property
    def p50(self) -> int: ...
    @property
    def p90(self) -> int: ...
    @property
    def p99(self) -> int: ...
    @property
    def p999(self) -> int: ...
    def __getnewargs_ex__(self) -> tuple[tuple[Any, ...], dict[str, Any]]: ...

@final
class QueueFixed:
    """The same quantity ahead of every new limit order, in lots."""

    def __new__(cls, lots: int) -> QueueFixed: ...
    @property
    def lots(self) -> int: ...
    def __getnewargs_ex__(self) -> tuple[tuple[Any, ...], dict[str, Any]]: ...

@final
class TradedShare:
    """Ahead of a new limit order: this percentage of the last traded volume."""

    def __new__(cls, pct: int) -> TradedShare: ...
    @property
    def pct(self) -> int: ...
    def __getnewargs_ex__(self) -> tuple[tuple[Any, ...], dict[str, Any]]: ...

@final
class L0:
    """Fills at the observed prices."""

    def __new__(cls) -> L0: ...
    def __getnewargs_ex__(self) -> tuple[tuple[Any, ...], dict[str, Any]]: ...

@final
class L1:
    """Fills after order latency and queue position, moved by price impact."""

    __signature__: ClassVar[Signature]

    def __new__(
        cls,
        *,
        order_latency: Fixed | Quantiles = ...,
        report_latency: Fixed | Quantiles = ...,
        queue: QueueFixed | TradedShare | None = ...,
        impact_pct: int = ...,
        cancel_latency: Fixed | Quantiles = ...,
        partial_fills: bool = ...,
    ) -> L1: ...
    @property
    def order_latency(self) -> Fixed | Quantiles: ...
    @property
    def report_latency(self) -> Fixed | Quantiles: ...
    @property
    def queue(self) -> QueueFixed | TradedShare | None: ...
    @property
    def impact_pct(self) -> int: ...
    @property
    def cancel_latency(self) -> Fixed | Quantiles: ...
    @property
    def partial_fills(self) -> bool: ...
    def __getnewargs_ex__(self) -> tuple[tuple[Any, ...], dict[str, Any]]: ...

@final
class L2:
    """L1 plus a depth book kept from recorded depth."""

    __signature__: ClassVar[Signature]

    def __new__(
        cls,
        *,
        order_latency: Fixed | Quantiles = ...,
        report_latency: Fixed | Quantiles = ...,
        queue: QueueFixed | TradedShare | None = ...,
        impact_pct: int = ...,
        cancel_latency: Fixed | Quantiles = ...,
        partial_fills: bool = ...,
    ) -> L2: ...
    @property
    def order_latency(self) -> Fixed | Quantiles: ...
    @property
    def report_latency(self) -> Fixed | Quantiles: ...
    @property
    def queue(self) -> QueueFixed | TradedShare | None: ...
    @property
    def impact_pct(self) -> int: ...
    @property
    def cancel_latency(self) -> Fixed | Quantiles: ...
    @property
    def partial_fills(self) -> bool: ...
    def __getnewargs_ex__(self) -> tuple[tuple[Any, ...], dict[str, Any]]: ...

@final
class Bracket:
    """One row of a maintenance-margin table (Cash, billionths, Cash)."""

    def __new__(cls, *, up_to: int, rate: int, amount: int) -> Bracket: ...
    @property
    def up_to(self) -> int: ...
    @property
    def rate(self) -> int: ...
    @property
    def amount(self) -> int: ...
    def __getnewargs_ex__(self) -> tuple[tuple[Any, ...], dict[str, Any]]: ...

@final
class FundingRate:
    """One funding settlement (ns, billionths, ticks)."""

    def __new__(cls, *, time: int, rate: int, price: int) -> FundingRate: ...
    @property
    def time(self) -> int: ...
    @property
    def rate(self) -> int: ...
    @property
    def price(self) -> int: ...
    def __getnewargs_ex__(self) -> tuple[tuple[Any, ...], dict[str, Any]]: ...

EXAMPLE_BTCUSDT: Final[tuple[Bracket, ...]]
"""The example BTCUSDT maintenance-margin table, the default of Venue."""

@final
class Venue:
    """The simulated venue a run trades on."""

    __signature__: ClassVar[Signature]

    def __new__(
        cls,
        *,
        tier: L0 | L1 | L2 = ...,
        maker_fee: int = ...,
        taker_fee: int = ...,
        funding: Sequence[FundingRate] | Mapping[str, Any] | pandas.DataFrame = ...,
        margin_tiers: Sequence[Bracket] = ...,
        hedge: bool = ...,
        track_margin: bool = ...,
        enforce_margin: bool = ...,
        contract_size: int = ...,
        instrument: int | Instrument = ...,
        resting_fills: Literal["limit", "quote"] = ...,
        triggered_fills: Literal["order", "trigger"] = ...,
    ) -> Venue: ...
    @property
    def tier(self) -> L0 | L1 | L2: ...
    @property
    def maker_fee(self) -> int: ...
    @property
    def taker_fee(self) -> int: ...
    @property
    def funding(self) -> tuple[FundingRate, ...]: ...
    @property
    def margin_tiers(self) -> tuple[Bracket, ...]: ...
    @property
    def hedge(self) -> bool: ...
    @property
    def track_margin(self) -> bool: ...
    @property
    def enforce_margin(self) -> bool: ...
    @property
    def contract_size(self) -> int: ...
    @property
    def instrument(self) -> int | Instrument: ...
    @property
    def resting_fills(self) -> Literal["limit", "quote"]: ...
    @property
    def triggered_fills(self) -> Literal["order", "trigger"]: ...
    def __getnewargs_ex__(self) -> tuple[tuple[Any, ...], dict[str, Any]]: ...

@final
class Instrument:
    """What a run's integers mean: prices in ticks of `tick_size`, quantities
    in lots of `lot_size`, and the Cash value of one tick on one lot."""

    def __new__(
        cls,
        symbol: str,
        tick_size: str | int | float | Decimal,
        lot_size: str | int | float | Decimal,
        *,
        id: int = 1,
        kind: Literal["linear", "inverse"] = "linear",
        contract_value: str | int | float | Decimal | None = None,
        settle: str | None = None,
    ) -> Instrument: ...
    @property
    def symbol(self) -> str: ...
    @property
    def tick_size(self) -> str: ...
    @property
    def lot_size(self) -> str: ...
    @property
    def id(self) -> int: ...
    @property
    def contract_size(self) -> int: ...
    @property
    def kind(self) -> Literal["linear", "inverse"]: ...
    @property
    def contract_value(self) -> str | None: ...
    @property
    def settle(self) -> str | None: ...
    @property
    def price_step(self) -> Decimal: ...
    @property
    def qty_step(self) -> Decimal: ...
    def to_ticks(
        self, price: str | int | float | Decimal, /, *, rounding: Literal["exact", "down", "up"] = "exact"
    ) -> int: ...
    def to_lots(
        self, qty: str | int | float | Decimal, /, *, rounding: Literal["exact", "down", "up"] = "exact"
    ) -> int: ...
    def price_of(self, ticks: int, /) -> Decimal: ...
    def qty_of(self, lots: int, /) -> Decimal: ...
    def __getnewargs_ex__(self) -> tuple[tuple[Any, ...], dict[str, Any]]: ...

@final
class Compiled:
    """A strategy compiled to a C function, run on every tick (or batch)
    without the interpreter lock."""

    def __new__(
        cls,
        function: Any,
        state: Any = None,
        name: str = "compiled",
        capacity: int = 64,
        fill_words: int = 8,
        order_words: int = 6,
    ) -> Compiled: ...
    @property
    def function(self) -> Any: ...
    @property
    def address(self) -> int: ...
    @property
    def state(self) -> Any: ...
    @property
    def name(self) -> str: ...
    @property
    def capacity(self) -> int: ...
    @property
    def fill_words(self) -> int: ...
    @property
    def order_words(self) -> int: ...

def rate(value: str | int | float | Decimal, /) -> int:
    """A rate written as a decimal fraction, in billionths, exactly."""

def percent(value: str | int | float | Decimal, /) -> int:
    """A rate written in percent, in billionths, exactly."""

def bps(value: str | int | float | Decimal, /) -> int:
    """A rate written in basis points, in billionths, exactly."""

_Side = Literal["buy", "sell"]
_FiredBy = Literal["last", "mark"]
_Offset = Literal["open", "close"]
_Rounding = Literal["exact", "down", "up"]
# A count (an int: ticks or lots) or a value in the instrument's units.
_Count = int | str | float | Decimal

@final
class Order:
    """An order with the venue's terms: time in force, post-only, reduce-only, a tag."""

    def __new__(
        cls,
        side: _Side,
        qty: _Count,
        *,
        price: _Count | None = None,
        offset: _Offset | None = None,
        tif: Literal["gtc", "ioc", "fok"] = "gtc",
        post_only: bool = False,
        reduce_only: bool = False,
        tag: str | None = None,
        instrument: str | None = None,
        rounding: _Rounding = "exact",
    ) -> Order: ...
    @property
    def side(self) -> _Side: ...
    @property
    def qty(self) -> int | Decimal: ...
    @property
    def price(self) -> int | Decimal | None: ...
    @property
    def offset(self) -> _Offset | None: ...
    @property
    def tif(self) -> Literal["gtc", "ioc", "fok"]: ...
    @property
    def post_only(self) -> bool: ...
    @property
    def reduce_only(self) -> bool: ...
    @property
    def tag(self) -> str | None: ...
    @property
    def instrument(self) -> str | None: ...
    @property
    def rounding(self) -> _Rounding: ...
    def __getnewargs_ex__(self) -> tuple[tuple[Any, ...], dict[str, Any]]: ...

@final
class Stop:
    """A stop order, held until the price it watches (last or mark) reaches its trigger."""

    def __new__(
        cls,
        side: _Side,
        qty: _Count | None = None,
        *,
        trigger: _Count,
        price: _Count | None = None,
        offset: _Offset | None = None,
        reduce_only: bool = False,
        tag: str | None = None,
        fired_by: _FiredBy = "last",
        instrument: str | None = None,
        rounding: _Rounding = "exact",
    ) -> Stop: ...
    @property
    def side(self) -> _Side: ...
    @property
    def qty(self) -> int | Decimal | None: ...
    @property
    def trigger(self) -> int | Decimal: ...
    @property
    def price(self) -> int | Decimal | None: ...
    @property
    def offset(self) -> _Offset | None: ...
    @property
    def reduce_only(self) -> bool: ...
    @property
    def tag(self) -> str | None: ...
    @property
    def fired_by(self) -> _FiredBy: ...
    @property
    def instrument(self) -> str | None: ...
    @property
    def rounding(self) -> _Rounding: ...
    def __getnewargs_ex__(self) -> tuple[tuple[Any, ...], dict[str, Any]]: ...

@final
class TakeProfit:
    """A take-profit order, held until the price it watches (last or mark) reaches its trigger."""

    def __new__(
        cls,
        side: _Side,
        qty: _Count | None = None,
        *,
        trigger: _Count,
        price: _Count | None = None,
        offset: _Offset | None = None,
        reduce_only: bool = False,
        tag: str | None = None,
        fired_by: _FiredBy = "last",
        instrument: str | None = None,
        rounding: _Rounding = "exact",
    ) -> TakeProfit: ...
    @property
    def side(self) -> _Side: ...
    @property
    def qty(self) -> int | Decimal | None: ...
    @property
    def trigger(self) -> int | Decimal: ...
    @property
    def price(self) -> int | Decimal | None: ...
    @property
    def offset(self) -> _Offset | None: ...
    @property
    def reduce_only(self) -> bool: ...
    @property
    def tag(self) -> str | None: ...
    @property
    def fired_by(self) -> _FiredBy: ...
    @property
    def instrument(self) -> str | None: ...
    @property
    def rounding(self) -> _Rounding: ...
    def __getnewargs_ex__(self) -> tuple[tuple[Any, ...], dict[str, Any]]: ...

@final
class TrailingStop:
    """A trailing stop-market order, its trigger following the best price."""

    def __new__(
        cls,
        side: _Side,
        qty: _Count | None = None,
        *,
        distance: _Count | None = None,
        rate: int | None = None,
        activation: _Count | None = None,
        offset: _Offset | None = None,
        reduce_only: bool = False,
        tag: str | None = None,
        fired_by: _FiredBy = "last",
        instrument: str | None = None,
        rounding: _Rounding = "exact",
    ) -> TrailingStop: ...
    @property
    def side(self) -> _Side: ...
    @property
    def qty(self) -> int | Decimal | None: ...
    @property
    def distance(self) -> int | Decimal | None: ...
    @property
    def rate(self) -> int | None: ...
    @property
    def activation(self) -> int | Decimal | None: ...
    @property
    def offset(self) -> _Offset | None: ...
    @property
    def reduce_only(self) -> bool: ...
    @property
    def tag(self) -> str | None: ...
    @property
    def fired_by(self) -> _FiredBy: ...
    @property
    def instrument(self) -> str | None: ...
    @property
    def rounding(self) -> _Rounding: ...
    def __getnewargs_ex__(self) -> tuple[tuple[Any, ...], dict[str, Any]]: ...

@final
class ClosePosition:
    """A market order for the whole position it faces."""

    def __new__(
        cls,
        side: _Side,
        *,
        offset: _Offset | None = None,
        tag: str | None = None,
        instrument: str | None = None,
    ) -> ClosePosition: ...
    @property
    def side(self) -> _Side: ...
    @property
    def offset(self) -> _Offset | None: ...
    @property
    def tag(self) -> str | None: ...
    @property
    def instrument(self) -> str | None: ...
    def __getnewargs_ex__(self) -> tuple[tuple[Any, ...], dict[str, Any]]: ...

_Leg = Order | Stop | TakeProfit | TrailingStop

@final
class OneCancelsOther:
    """Two orders of which at most one fills."""

    def __new__(cls, first: _Leg, second: _Leg) -> OneCancelsOther: ...
    @property
    def first(self) -> _Leg: ...
    @property
    def second(self) -> _Leg: ...
    def __getnewargs_ex__(self) -> tuple[tuple[Any, ...], dict[str, Any]]: ...

@final
class BracketOrder:
    """An entry with a stop-loss and a take-profit armed when it fills."""

    def __new__(
        cls,
        entry: Order | Stop | TakeProfit,
        *,
        stop_loss: Stop | TrailingStop | None = None,
        take_profit: TakeProfit | Order | None = None,
    ) -> BracketOrder: ...
    @property
    def entry(self) -> Order | Stop | TakeProfit: ...
    @property
    def stop_loss(self) -> Stop | TrailingStop | None: ...
    @property
    def take_profit(self) -> TakeProfit | Order | None: ...
    def __getnewargs_ex__(self) -> tuple[tuple[Any, ...], dict[str, Any]]: ...

@final
class Cancel:
    """Cancel the live order with this id."""

    def __new__(cls, order_id: int) -> Cancel: ...
    @property
    def order_id(self) -> int: ...
    def __getnewargs_ex__(self) -> tuple[tuple[Any, ...], dict[str, Any]]: ...

@final
class CancelAll:
    """Cancel every live order of the account."""

    def __new__(cls) -> CancelAll: ...
    def __getnewargs_ex__(self) -> tuple[tuple[Any, ...], dict[str, Any]]: ...

@final
class Fill:
    """One fill of a run (ns, ticks, lots, Cash)."""

    def __new__(
        cls,
        *,
        exch_ts: int,
        local_ts: int,
        order: int,
        seq: int,
        price: int,
        qty: int,
        side: str,
        offset: str,
        taker: bool,
        fee: int,
        instrument: int,
        tick: int,
        remaining: int,
    ) -> Fill: ...
    @property
    def exch_ts(self) -> int: ...
    @property
    def local_ts(self) -> int: ...
    @property
    def order(self) -> int: ...
    @property
    def seq(self) -> int: ...
    @property
    def price(self) -> int: ...
    @property
    def qty(self) -> int: ...
    @property
    def side(self) -> str: ...
    @property
    def offset(self) -> str: ...
    @property
    def taker(self) -> bool: ...
    @property
    def fee(self) -> int: ...
    @property
    def instrument(self) -> int: ...
    @property
    def tick(self) -> int: ...
    @property
    def remaining(self) -> int: ...
    def __getnewargs_ex__(self) -> tuple[tuple[Any, ...], dict[str, Any]]: ...

@final
class Fills:
    """The fills of a run: a sequence of Fill and a buffer of 72-byte records."""

    @property
    def remaining(self) -> memoryview: ...
    def __len__(self) -> int: ...
    def __getitem__(self, index: int, /) -> Fill: ...

@final
class Liquidation:
    """One closing-out of the account by the venue (ns, ticks, lots, Cash, Cash)."""

    def __new__(
        cls, *, at: int, price: int, quantity: int, balance: int, forfeited: int, instrument: int
    ) -> Liquidation: ...
    @property
    def at(self) -> int: ...
    @property
    def price(self) -> int: ...
    @property
    def quantity(self) -> int: ...
    @property
    def balance(self) -> int: ...
    @property
    def forfeited(self) -> int: ...
    @property
    def instrument(self) -> int: ...
    def __getnewargs_ex__(self) -> tuple[tuple[Any, ...], dict[str, Any]]: ...

@final
class Closed:
    """One leg of the account's position closed by the venue."""

    def __new__(cls, *, lots: int, price: int, at: int, instrument: int, side: str) -> Closed: ...
    @property
    def lots(self) -> int: ...
    @property
    def price(self) -> int: ...
    @property
    def at(self) -> int: ...
    @property
    def instrument(self) -> int: ...
    @property
    def side(self) -> str: ...
    def __getnewargs_ex__(self) -> tuple[tuple[Any, ...], dict[str, Any]]: ...

@final
class MarginStats:
    """The margin statistics of a run made with track_margin=True (Cash)."""

    def __new__(cls, *, peak_maintenance: int, min_headroom: int | None) -> MarginStats: ...
    @property
    def peak_maintenance(self) -> int: ...
    @property
    def min_headroom(self) -> int | None: ...
    def __getnewargs_ex__(self) -> tuple[tuple[Any, ...], dict[str, Any]]: ...

@final
class Run:
    """What a venue run produced."""

    @property
    def strategy(self) -> str: ...
    @property
    def ticks(self) -> int: ...
    @property
    def fills(self) -> Fills: ...
    @property
    def liquidations(self) -> tuple[Liquidation, ...]: ...
    @property
    def final_equity(self) -> int: ...
    @property
    def min_equity(self) -> int: ...
    @property
    def fees_paid(self) -> int:
        """Fees the account paid, in cash units."""
    @property
    def funding_paid(self) -> int:
        """Funding the account received net of the funding it paid, in cash
        units: negative when it paid."""
    @property
    def fill_prices(self) -> list[int]: ...
    @property
    def equity_curve(self) -> list[int]: ...
    @property
    def equity_times(self) -> list[int]: ...
    @property
    def realized(self) -> int: ...
    @property
    def max_adverse(self) -> int: ...
    @property
    def margin(self) -> MarginStats | None: ...
    @property
    def instrument(self) -> Instrument | None: ...
    @property
    def symbols(self) -> tuple[str, ...]: ...
    @property
    def instruments(self) -> dict[str, Instrument]: ...
    @property
    def per_instrument(self) -> InstrumentResults: ...
    @property
    def wallets(self) -> tuple[Wallet, ...]: ...
    def fills_frame(self, *, units: Literal["decimal", "float"] = "float") -> pandas.DataFrame: ...
    def equity_frame(self, *, units: Literal["decimal", "float"] = "float") -> pandas.DataFrame: ...
    @property
    def tier(self) -> str: ...
    @property
    def invalid_ticks(self) -> int: ...
    @property
    def foreign_intents(self) -> int: ...
    @property
    def exposed_ticks(self) -> int: ...
    @property
    def depth_records(self) -> int: ...
    @property
    def triggered(self) -> int: ...
    @property
    def expired(self) -> int: ...
    @property
    def rejected(self) -> dict[str, int]: ...
    @property
    def order_tags(self) -> dict[int, str]: ...

@final
class Context:
    """The tick plus the account as a strategy of halvorn.venue sees it:
    halvorn.Context's attributes, the tick's instrument and views in units."""

    @property
    def tick(self) -> Tick: ...
    @property
    def last(self) -> int: ...
    @property
    def position(self) -> int: ...
    @property
    def entry(self) -> int: ...
    @property
    def short_position(self) -> int: ...
    @property
    def short_entry(self) -> int: ...
    @property
    def equity(self) -> int: ...
    @property
    def working(self) -> int: ...
    @property
    def instrument(self) -> Instrument | None: ...
    @property
    def units(self) -> Units: ...
    @property
    def floats(self) -> Units: ...

@final
class Units:
    """The tick and the account in the instrument's units: exact Decimals
    (ctx.units) or the nearest floats (ctx.floats)."""

    @property
    def last(self) -> Any: ...
    @property
    def high(self) -> Any: ...
    @property
    def low(self) -> Any: ...
    @property
    def bid(self) -> Any: ...
    @property
    def ask(self) -> Any: ...
    @property
    def volume(self) -> Any: ...
    @property
    def position(self) -> Any: ...
    @property
    def entry(self) -> Any: ...
    @property
    def short_position(self) -> Any: ...
    @property
    def short_entry(self) -> Any: ...
    @property
    def equity(self) -> Any: ...

@final
class ModeComparison:
    """What batching cost on a venue; printed in USDT."""

    @property
    def batch(self) -> int: ...
    @property
    def compat_fills(self) -> int: ...
    @property
    def batched_fills(self) -> int: ...
    @property
    def first_divergence(self) -> int | None: ...
    @property
    def equity_difference(self) -> int: ...
    @property
    def identical(self) -> bool: ...

@final
class LookaheadReport:
    """What a venue's lookahead check found; its first divergence in UTC."""

    @property
    def signals(self) -> int: ...
    @property
    def checked(self) -> int: ...
    @property
    def clean(self) -> bool: ...
    @property
    def sampled(self) -> bool: ...
    @property
    def divergences(self) -> list[tuple[int, int, int]]: ...

@final
class Column:
    """One column of a TickBatch: a read-only 1-D int64 buffer."""

    def __len__(self) -> int: ...
    def __getitem__(self, index: int, /) -> int: ...
    @property
    def __array_interface__(self) -> dict[str, object]: ...

@final
class TickBatch:
    """The ticks of one batch as columns: what on_columns(batch) receives."""

    def __len__(self) -> int: ...
    @property
    def exch_ts(self) -> Column: ...
    @property
    def local_ts(self) -> Column: ...
    @property
    def last(self) -> Column: ...
    @property
    def high(self) -> Column: ...
    @property
    def low(self) -> Column: ...
    @property
    def bid(self) -> Column: ...
    @property
    def ask(self) -> Column: ...
    @property
    def volume(self) -> Column: ...
    @property
    def instrument(self) -> Column: ...

@final
class Position(tuple[Any, ...]):
    """The account's position in one instrument of a portfolio."""

    __match_args__: Final = ("symbol", "position", "entry", "short_position", "short_entry", "working")
    n_fields: ClassVar[int]
    n_sequence_fields: ClassVar[int]
    n_unnamed_fields: ClassVar[int]
    @property
    def symbol(self) -> str: ...
    @property
    def position(self) -> int: ...
    @property
    def entry(self) -> int: ...
    @property
    def short_position(self) -> int: ...
    @property
    def short_entry(self) -> int: ...
    @property
    def working(self) -> int: ...

@final
class InstrumentResult(tuple[Any, ...]):
    """What one instrument of a run added up to (Run.per_instrument)."""

    __match_args__: Final = (
        "symbol", "ticks", "realized", "fees", "funding", "position", "short_position", "last"
    )
    n_fields: ClassVar[int]
    n_sequence_fields: ClassVar[int]
    n_unnamed_fields: ClassVar[int]
    @property
    def symbol(self) -> str | None: ...
    @property
    def ticks(self) -> int: ...
    @property
    def realized(self) -> int: ...
    @property
    def fees(self) -> int: ...
    @property
    def funding(self) -> int: ...
    @property
    def position(self) -> int: ...
    @property
    def short_position(self) -> int: ...
    @property
    def last(self) -> int: ...

@final
class Wallet(tuple[Any, ...]):
    """One wallet of a run whose instruments settle in more than one currency
    (Run.wallets): what it held and added up to, in its own currency."""

    __match_args__: Final = (
        "currency",
        "balance",
        "equity",
        "realized",
        "fees",
        "funding",
        "forfeited",
        "equity_curve",
    )
    n_fields: ClassVar[int]
    n_sequence_fields: ClassVar[int]
    n_unnamed_fields: ClassVar[int]
    @property
    def currency(self) -> str: ...
    @property
    def balance(self) -> int: ...
    @property
    def equity(self) -> int: ...
    @property
    def realized(self) -> int: ...
    @property
    def fees(self) -> int: ...
    @property
    def funding(self) -> int: ...
    @property
    def forfeited(self) -> int: ...
    @property
    def equity_curve(self) -> tuple[int, ...]: ...

def run(
    strategy: object,
    ticks: Sequence[Tick] | TickSource | Mapping[str, Any] | Any,
    balance: int | str | Mapping[str, int | str],
    *,
    venue: Venue | Mapping[str, Venue] | None = None,
    batch: int = 1,
    equity_every: int = 0,
    progress: bool | Callable[[int, int | None], object] | None = None,
    flush: bool = False,
    depth: DepthSource | Mapping[str, DepthSource] | None = None,
    marks: MarkSource | Mapping[str, MarkSource] | Mapping[str, Any] | pandas.DataFrame | None = None,
) -> Run:
    """Run a strategy over a tick series on a venue (None: Venue())."""

def compare_modes(
    build: Callable[[], object],
    ticks: Sequence[Tick] | TickSource | Mapping[str, Any],
    balance: int | str | Mapping[str, int | str],
    batch: int,
    *,
    venue: Venue | Mapping[str, Venue] | None = None,
    depth: DepthSource | Mapping[str, DepthSource] | None = None,
    marks: MarkSource | Mapping[str, MarkSource] | Mapping[str, Any] | pandas.DataFrame | None = None,
) -> ModeComparison:
    """Run one strategy per tick and in batches on a venue and compare."""

def lookahead_check(
    build: Callable[[Any], object],
    ticks: Sequence[Tick] | Mapping[str, Sequence[Tick]],
    balance: int | str | Mapping[str, int | str],
    *,
    max_points: int = 200,
    venue: Venue | Mapping[str, Venue] | None = None,
) -> LookaheadReport:
    """Whether a strategy decides from the past alone, on a venue."""
