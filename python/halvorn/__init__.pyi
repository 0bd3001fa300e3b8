"""Evaluate the backtest you already have."""

from typing import Callable, Final, Protocol, Sequence, final

__all__ = [
    "__doc__",
    "sharpe_ratio",
    "moments",
    "probabilistic_sharpe_ratio",
    "deflated_sharpe_ratio",
    "probability_of_backtest_overfitting",
    "minimum_track_record_length",
    "CASH_SCALE",
    "Tick",
    "TickSource",
    "Context",
    "Order",
    "RunResult",
    "ModeComparison",
    "LookaheadReport",
    "load_ticks",
    "save_ticks",
    "run_backtest",
    "compare_modes",
    "lookahead_check",
]

def sharpe_ratio(returns: Sequence[float]) -> float:
    """Per-period Sharpe ratio: mean over sample standard deviation, no annualisation."""

def moments(returns: Sequence[float]) -> tuple[float, float, float]:
    """(Sharpe ratio, skewness, kurtosis); kurtosis is about 3 for normal returns, not 0."""

def probabilistic_sharpe_ratio(
    observed: float,
    benchmark: float,
    n_observations: int,
    skewness: float,
    kurtosis: float,
) -> float:
    """Probability that the true Sharpe ratio exceeds `benchmark`."""

def deflated_sharpe_ratio(
    all_sharpes: Sequence[float],
    n_observations: int,
    skewness: float,
    kurtosis: float,
) -> float:
    """Probabilistic Sharpe ratio of the best trial against what luck alone would give."""

def probability_of_backtest_overfitting(
    columns: Sequence[Sequence[float]],
    n_blocks: int = 16,
) -> float:
    """Share of cross-validation splits whose in-sample winner is at or below the median."""

def minimum_track_record_length(
    observed: float,
    benchmark: float,
    skewness: float,
    kurtosis: float,
    confidence: float = 0.95,
) -> float:
    """Observations needed before `observed` beats `benchmark` at `confidence`."""

CASH_SCALE: Final[int]
"""Cash units per whole currency unit: 1 USDT is 100_000_000."""

@final
class Tick:
    """One observation, as Python sees it.

    Prices are integers in their native tick units, exactly as the engine
    holds them.
    """

    def __new__(
        cls,
        exch_ts: int,
        last: int,
        local_ts: int | None = None,
        high: int | None = None,
        low: int | None = None,
        bid: int = 0,
        ask: int = 0,
        volume: int = 0,
    ) -> Tick: ...
    @property
    def exch_ts(self) -> int:
        """When the venue says it happened, in nanoseconds."""
    @property
    def local_ts(self) -> int:
        """When this process saw it, in nanoseconds."""
    @property
    def last(self) -> int:
        """Last traded price, in ticks."""
    @property
    def high(self) -> int:
        """High over the observation, in ticks."""
    @property
    def low(self) -> int:
        """Low over the observation, in ticks."""
    @property
    def bid(self) -> int:
        """Best bid, in ticks, or zero when the book had none."""
    @property
    def ask(self) -> int:
        """Best ask, in ticks, or zero when the book had none."""
    @property
    def volume(self) -> int:
        """Cumulative volume, in lots."""

@final
class TickSource:
    """A tick file, held by name rather than by contents.

    Every run opens its own reader on the path, so one source can feed any
    number of runs. Made only by `load_ticks`.
    """

    @property
    def path(self) -> str:
        """The file this reads."""
    @property
    def count(self) -> int:
        """Records the header claims, so `len()` costs no read."""
    @property
    def instrument(self) -> int:
        """The instrument the file was written for."""
    def __len__(self) -> int: ...

@final
class Context:
    """The tick plus the account, as Python sees it."""

    @property
    def tick(self) -> Tick:
        """The observation this call is about."""
    @property
    def last(self) -> int:
        """Last traded price, in ticks. Shorthand for `ctx.tick.last`."""
    @property
    def position(self) -> int:
        """Net long position, in lots."""
    @property
    def entry(self) -> int:
        """Average entry of the long position, in ticks."""
    @property
    def short_position(self) -> int:
        """Net short position, in lots."""
    @property
    def short_entry(self) -> int:
        """Average entry of the short position, in ticks."""
    @property
    def equity(self) -> int:
        """Account equity, in the cash unit's smallest denomination."""
    @property
    def working(self) -> int:
        """Orders resting at the venue."""

@final
class Order:
    """An order a Python strategy wants placed."""

    def __new__(
        cls,
        side: str,
        qty: int,
        offset: str = "open",
        price: int | None = None,
    ) -> Order: ...
    @property
    def price(self) -> int | None:
        """Limit price in ticks, or `None` for a market order."""
    @property
    def side(self) -> str:
        """`"buy"` or `"sell"`."""
    @property
    def offset(self) -> str:
        """`"open"` or `"close"`."""
    @property
    def qty(self) -> int:
        """Lots."""

@final
class RunResult:
    """What a run produced."""

    @property
    def strategy(self) -> str:
        """The strategy's name."""
    @property
    def ticks(self) -> int:
        """Observations processed."""
    @property
    def fills(self) -> int:
        """Fills the strategy received."""
    @property
    def liquidations(self) -> int:
        """Times the venue closed the account."""
    @property
    def final_equity(self) -> int:
        """Equity at the end, in the cash unit's smallest denomination."""
    @property
    def min_equity(self) -> int:
        """The lowest equity the account showed."""
    @property
    def fees_paid(self) -> int:
        """Fees paid."""
    @property
    def funding_paid(self) -> int:
        """Funding paid."""
    @property
    def fill_prices(self) -> list[int]:
        """Prices of every fill, in order, in ticks."""
    @property
    def equity_curve(self) -> list[int]:
        """Equity samples: the starting balance, then the equity after every
        `equity_every`-th tick; empty when `equity_every` was 0."""

@final
class ModeComparison:
    """What batching cost, measured on this strategy and this data."""

    @property
    def batch(self) -> int:
        """Batch size the throughput run used."""
    @property
    def compat_fills(self) -> int:
        """Fills in the per-tick run."""
    @property
    def batched_fills(self) -> int:
        """Fills in the batched run."""
    @property
    def first_divergence(self) -> int | None:
        """Index of the first fill whose price differs, or `None` when every
        fill matched."""
    @property
    def equity_difference(self) -> int:
        """Difference in final equity, batched minus per-tick."""
    @property
    def identical(self) -> bool:
        """Whether the two runs are indistinguishable."""

@final
class LookaheadReport:
    """What the lookahead check found. See `lookahead_check`."""

    @property
    def signals(self) -> int:
        """Ticks on which the full run sent any order."""
    @property
    def checked(self) -> int:
        """How many of those were rerun on a prefix."""
    @property
    def clean(self) -> bool:
        """No rerun decided differently."""
    @property
    def sampled(self) -> bool:
        """Fewer points were rerun than there were signals."""
    @property
    def divergences(self) -> list[tuple[int, int, int]]:
        """Each disagreement as `(checked_at, tick, exch_ts)`."""

def load_ticks(path: str) -> TickSource:
    """Open a tick file for a run, without reading it.

    Only the header is read, so a wrong path or a corrupt header fails now
    (ValueError "{path}: {error}") rather than halfway through a backtest.
    """

def save_ticks(path: str, ticks: Sequence[Tick], instrument: int = 1) -> int:
    """Write ticks to a file `load_ticks` can read; returns how many.

    The file is replaced whole: a save that fails (ValueError
    "{path}: {reason}") leaves any file already at `path` as it was.
    """

class _PerTickStrategy(Protocol):
    """What `run_backtest` calls once per tick in compatibility mode."""

    def on_tick(self, ctx: Context) -> Sequence[Order] | None: ...

class _BatchStrategy(Protocol):
    """What `run_backtest` calls once per batch in throughput mode.  Before each
    call the run sets `position`, `entry`, `short_position`, `equity` and
    `last` on the object."""

    def on_batch(self, ticks: list[Tick]) -> Sequence[Order] | None: ...

def run_backtest(
    strategy: _PerTickStrategy | _BatchStrategy,
    ticks: Sequence[Tick] | TickSource,
    balance: int,
    batch: int = 1,
    enforce_margin: bool = True,
    equity_every: int = 0,
    contract_size: int = 10000,
) -> RunResult:
    """Run a Python strategy over a tick series.  `balance` is in whole
    currency units; `batch` 1 is compatibility mode, larger is throughput mode."""

def compare_modes(
    build: Callable[[], _PerTickStrategy | _BatchStrategy],
    ticks: Sequence[Tick] | TickSource,
    balance: int,
    batch: int,
    enforce_margin: bool = True,
    contract_size: int = 10000,
) -> ModeComparison:
    """Run one strategy both ways over the same ticks and report what batching
    changed."""

def lookahead_check(
    build: Callable[[list[Tick]], _PerTickStrategy],
    ticks: Sequence[Tick],
    balance: int,
    max_points: int = 200,
    enforce_margin: bool = True,
    contract_size: int = 10000,
) -> LookaheadReport:
    """Whether a strategy decides from the past alone."""
