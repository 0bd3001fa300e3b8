"""A per-tick strategy called over the ticks on which no order can fill or
fire, without the run stepping the account through each, against the same
run with every tick stepped (HALVORN_STEPPED): what the strategy is shown
on every tick, which ticks it is called on, how it fails and the run it
makes must be the same."""

import random

import pytest

import halvorn
from halvorn import venue

BTC = venue.Instrument("BTCUSDT", "0.1", "0.001")
START = 1_000


def series(n, seed, *, step=1_000_000):
    rng = random.Random(seed)
    last, ticks = 50_000, []
    for i in range(n):
        last = max(100, last + rng.choice((-60, -9, -3, 0, 3, 9, 60)))
        ticks.append(halvorn.Tick(START + i * step, last, bid=last - 1, ask=last + 1,
                                  high=last + rng.randint(0, 40), low=last - rng.randint(0, 40),
                                  volume=i, local_ts=START + i * step + 7))
    return ticks


def seen(ctx):
    t = ctx.tick
    return (t.exch_ts, t.local_ts, t.last, t.bid, t.ask, t.high, t.low, t.volume, ctx.last,
            ctx.position, ctx.entry, ctx.short_position, ctx.short_entry, ctx.equity,
            ctx.working)


class Trader:
    """Acts on about one tick in forty (which, and how, is seeded): enters,
    flips or closes, now and then with a stop and a take-profit left waiting;
    notes what every call was shown, and fails on tick `fail_at`."""

    def __init__(self, seed, *, fail_at=None, wrong_at=None, hedge=False):
        self.rng = random.Random(seed)
        self.fail_at, self.wrong_at, self.hedge = fail_at, wrong_at, hedge
        self.seen, self.heard = [], []

    def on_tick(self, ctx):
        i = len(self.seen)
        self.seen.append(seen(ctx))
        if i == self.fail_at:
            raise LookupError(f"tick {i}")
        if i == self.wrong_at:
            return "buy"
        if self.rng.random() > 0.025:
            return None if self.rng.random() < 0.9 else []
        side = self.rng.choice(("buy", "sell"))
        other = "sell" if side == "buy" else "buy"
        out = [venue.CancelAll(), venue.Order(side, self.rng.randint(1, 40) * 10)]
        # Hedged, each entry opens its own leg, and both legs come to be held.
        if not self.hedge and self.rng.random() < 0.6:
            away = self.rng.randint(50, 900)
            below, above = ctx.last - away, ctx.last + away
            out.append(venue.Stop(other, trigger=below if side == "buy" else above))
            out.append(venue.TakeProfit(other, trigger=above if side == "buy" else below))
        return out

    def on_fill(self, fill):
        self.heard.append(("fill", repr(fill), len(self.seen)))

    def on_end(self, order_id, how):
        self.heard.append(("end", order_id, how, len(self.seen)))


def outcome(make, ticks, balance, v):
    """What a run made and what its strategy saw, or how it failed."""
    strategy = make()
    try:
        run = venue.run(strategy, ticks, balance, venue=v, equity_every=7)
    except ValueError as error:
        return ("failed", str(error), getattr(error, "__notes__", None), strategy.seen,
                strategy.heard)
    return (bytes(memoryview(run.fills)), run.liquidations, run.final_equity, run.min_equity, run.max_adverse, run.fees_paid,
            run.funding_paid, run.equity_curve, run.equity_times, run.ticks, run.exposed_ticks,
            run.margin, run.triggered, run.realized, strategy.seen, strategy.heard)


def stepped_and_scanned(monkeypatch, make, ticks, balance, v):
    monkeypatch.setenv("HALVORN_STEPPED", "1")
    stepped = outcome(make, ticks, balance, v)
    monkeypatch.delenv("HALVORN_STEPPED")
    return stepped, outcome(make, ticks, balance, v)


FUNDING = tuple(venue.FundingRate(time=START + t * 1_000_000 + 500, rate=venue.rate(r), price=0)
                for t, r in ((150, "0.002"), (777, "-0.003"), (1_900, "0.004")))

VENUES = {
    "plain": venue.Venue(instrument=BTC, taker_fee=venue.rate("0.0005")),
    "funded and tracked": venue.Venue(instrument=BTC, funding=FUNDING, track_margin=True,
                                      taker_fee=venue.rate("0.0005")),
    "hedged": venue.Venue(instrument=BTC, hedge=True),
    # Orders and their reports travel: a fill is heard ticks after it was made.
    "L1": venue.Venue(instrument=BTC, tier=venue.L1(order_latency=venue.Fixed(2_500_000),
                                                    report_latency=venue.Fixed(1_500_000)),
                      taker_fee=venue.rate("0.0005")),
    "core": None,
}


class TestQuietTicks:
    @pytest.mark.parametrize("case", sorted(VENUES))
    def test_every_call_sees_what_a_stepped_run_shows(self, case, monkeypatch, tmp_path):
        v = VENUES[case]
        fired = 0
        for seed in range(4):
            ticks = series(2_500, seed)
            path = str(tmp_path / f"walk{seed}.hvtk")
            halvorn.save_ticks(path, ticks)
            # A small balance: some of the positions end in a liquidation.
            balance = 30 if seed % 2 else 2_000
            for given in (ticks, halvorn.load_ticks(path)):
                stepped, scanned = stepped_and_scanned(
                    monkeypatch, lambda: Trader(seed, hedge=case == "hedged"), given, balance, v)
                assert stepped[0] != "failed"
                assert len(stepped[-2]) == len(ticks)
                assert scanned == stepped
                fired += stepped[12]
        if case != "hedged":
            assert fired > 0, "no stop or take-profit fired: the scan never met one"

    def test_a_failure_inside_a_quiet_stretch_is_the_stepped_runs(self, monkeypatch):
        ticks = series(3_000, 11)
        v = VENUES["funded and tracked"]
        for kwargs in ({"fail_at": 1_234}, {"wrong_at": 2_001}, {"fail_at": 0}):
            stepped, scanned = stepped_and_scanned(monkeypatch, lambda: Trader(3, **kwargs),
                                                   ticks, 2_000, v)
            assert stepped[0] == "failed"
            assert scanned == stepped
            where = kwargs.get("fail_at", kwargs.get("wrong_at"))
            assert len(stepped[3]) == where + 1, "the strategy was called after it failed"

    def test_a_strategy_that_interrupts_inside_a_quiet_stretch_stops_there(self, monkeypatch):
        class Interrupts(Trader):
            def on_tick(self, ctx):
                if len(self.seen) == 1_500:
                    raise KeyboardInterrupt
                return super().on_tick(ctx)

        ticks = series(3_000, 2)
        seen = {}
        for name in ("stepped", "scanned"):
            if name == "stepped":
                monkeypatch.setenv("HALVORN_STEPPED", "1")
            else:
                monkeypatch.delenv("HALVORN_STEPPED")
            strategy = Interrupts(4)
            with pytest.raises(KeyboardInterrupt):
                venue.run(strategy, ticks, 2_000, venue=VENUES["plain"])
            seen[name] = strategy.seen
        assert len(seen["stepped"]) == 1_500
        assert seen["scanned"] == seen["stepped"]
