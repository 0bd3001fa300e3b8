"""What a venue run, its instruments, a venue's checks and a sweep print:
USDT and the instruments' units, exactly, with the counts one attribute
away.  The texts are pinned: a person reads them."""

import concurrent.futures as cf
from decimal import Decimal

import pytest

import halvorn
from halvorn import _unit_text, sweep, venue

ETH = venue.Instrument("ETHUSDT", "0.01", "0.001")
BTC = venue.Instrument("BTCUSDT", "0.1", "0.001")
HOUR = 3_600 * 10**9
START = 1_704_067_200 * 10**9


def quotes(prices, start=START, every=HOUR):
    return [halvorn.Tick(exch_ts=start + i * every, last=p, bid=p - 1, ask=p + 1)
            for i, p in enumerate(prices)]


class Scripted:
    """Buys on its first call, sells on its third."""

    def __init__(self, qty="0.5"):
        self.qty, self.calls = qty, 0

    def on_tick(self, ctx):
        self.calls += 1
        if self.calls == 1:
            return [venue.Order("buy", self.qty)]
        if self.calls == 3:
            return [venue.Order("sell", self.qty)]
        return None


FEES = venue.Venue(instrument=ETH, taker_fee=venue.rate("0.0005"),
                   funding=[venue.FundingRate(time=START + 2 * HOUR, rate=venue.rate("0.0001"),
                                              price=245_000)])


@pytest.mark.parametrize("cash, text", [
    (999_799_890_956, "9997.99890956"), (1_000_000_000_000, "10000.00"), (-50_000_000, "-0.50"),
    (0, "0.00"), (1, "0.00000001"), (-1, "-0.00000001"), (2**63 - 1, "92233720368.54775807")])
def test_cash_is_written_as_the_usdt_it_is(cash, text):
    assert _unit_text.usdt(cash) == text
    assert Decimal(text) * halvorn.CASH_SCALE == cash


class TestARun:
    def run(self):
        return venue.run(Scripted(), quotes([245_000, 245_100, 245_300, 245_200]), "10000.50",
                         venue=FEES)

    def test_print_shows_usdt_and_the_position_in_units(self):
        run = self.run()
        # 0.5 ETH bought at the ask 2451.01 and sold at the bid 2451.99: 0.49
        # USDT realised; 0.05 % fees of 0.6127525 and 0.6129975; funding of
        # 0.01 % on 0.5 ETH at 2450.00 paid while long.
        assert repr(run) == ('Run(strategy="Scripted", tier=L0, ticks=4, fills=2, '
                             'final_equity=9999.64175 USDT)')
        assert str(run) == "\n".join([
            repr(run),
            "  final equity   9999.64175 USDT",
            "  lowest equity  9999.64175 USDT",
            "  realized       0.49 USDT",
            "  fees paid      1.22575 USDT",
            "  funding        -0.1225 USDT received, net of paid",
            "  ETHUSDT        position 0.000 at last 2452.00",
        ])
        # The counts are where they were.
        assert (run.final_equity, run.fees_paid, run.funding_paid) == (
            999_964_175_000, 122_575_000, -12_250_000)

    def test_per_instrument_prints_a_table_and_makes_a_frame(self):
        pandas = pytest.importorskip("pandas")
        results = self.run().per_instrument
        assert str(results) == repr(results) == "\n".join([
            "symbol   ticks  position  short_position     last  realized USDT  fees USDT  "
            "funding USDT",
            "ETHUSDT      4     0.000           0.000  2452.00           0.49    1.22575       "
            "-0.1225",
        ])
        assert isinstance(results, tuple) and results[0].fees == 122_575_000
        frame = results.to_frame()
        assert frame.loc["ETHUSDT", "fees_usdt"] == 1.22575 and frame["last"].dtype == "float64"
        exact = results.to_frame(units="decimal")
        assert exact.loc["ETHUSDT", "funding_usdt"] == Decimal("-0.1225")
        assert isinstance(frame, pandas.DataFrame)

    def test_a_run_without_an_instrument_prints_counts_named_so(self):
        run = venue.run(Scripted(qty=5), quotes([600_000, 600_010, 600_020]), 1_000)
        # 5 lots bought at 600_011 and held at 600_020: 9 ticks of 10_000 Cash.
        assert repr(run) == ('Run(strategy="Scripted", tier=L0, ticks=3, fills=1, '
                             'final_equity=1000.0045 USDT)')
        assert str(run.per_instrument).splitlines()[1].split() == [
            "-", "3", "5", "lots", "0", "lots", "600020", "ticks", "0.00", "0.00", "0.00"]

    def test_a_portfolio_prints_each_instrument(self):
        class BuysEth:
            def on_tick(self, ctx):
                if self.symbol == "ETHUSDT" and ctx.position == 0 and not ctx.working:
                    return [venue.Order("buy", "0.5")]
                return None

        run = venue.run(BuysEth(), {"ETHUSDT": quotes([245_000, 245_100, 245_300]),
                                     "BTCUSDT": quotes([600_000, 600_500, 600_100], start=START + 1)},
                        100_000, venue={"ETHUSDT": venue.Venue(instrument=ETH),
                                        "BTCUSDT": venue.Venue(instrument=BTC)})
        lines = str(run).splitlines()
        assert lines[-2:] == ["  ETHUSDT        position 0.500 at last 2453.00",
                              "  BTCUSDT        position 0.000 at last 60010.0"]
        assert [line.split()[0] for line in str(run.per_instrument).splitlines()] == [
            "symbol", "ETHUSDT", "BTCUSDT"]

    def test_a_liquidated_run_says_so(self):
        class AllIn:
            def on_tick(self, ctx):
                return [venue.Order("buy", "40")] if ctx.position == 0 else None

        run = venue.run(AllIn(), quotes([245_000, 245_000, 100_000, 100_000]), 1_000,
                        venue=venue.Venue(instrument=ETH))
        assert repr(run).endswith(" USDT, LIQUIDATED 1x)")
        assert repr(run).startswith('Run(strategy="AllIn", tier=L0, ticks=4, fills=1, '
                                    'final_equity=')


class Flip:
    def on_tick(self, ctx):
        return self.decide(ctx.position)

    def on_batch(self, ticks):
        return self.decide(self.position)

    def decide(self, position):
        return [venue.Order("sell" if position > 0 else "buy", "0.5")]


def test_a_venue_comparison_prints_its_difference_in_usdt():
    ticks = quotes([245_000 + (7 * i) % 13 for i in range(40)])
    v = venue.Venue(instrument=ETH, taker_fee=venue.rate("0.0005"))
    c = venue.compare_modes(Flip, ticks, 10_000, 4, venue=v)
    # Batches of 4 decide on ticks 4, 8, ..., 40; the last has no tick to fill on.
    assert repr(c) == ("ModeComparison(batch=4, fills 39 vs 9, first divergence Some(0), "
                       "equity +" + _unit_text.usdt(c.equity_difference) + " USDT)")
    assert c.equity_difference > 0 and isinstance(c.equity_difference, int)
    assert repr(venue.compare_modes(lambda: Scripted(), ticks, 10_000, 1, venue=v)) == \
        "ModeComparison(batch=1, identical)"


def test_a_venue_lookahead_check_prints_when_it_first_diverged():
    class Peeks:
        def __init__(self, known):
            self.rises = known[-1].last > known[0].last

        def on_tick(self, ctx):
            return [venue.Order("buy", 1)] if self.rises and ctx.position == 0 else None

    report = venue.lookahead_check(Peeks, quotes([100, 99, 98, 120]), 1_000)
    assert repr(report) == ("LookaheadReport(signals=1, checked=1, clean=False, divergences=1, "
                            "first at tick 0, 2024-01-01T00:00:00Z)")
    clean = venue.lookahead_check(lambda known: Scripted(1), quotes([100, 101, 102]), 1_000)
    assert repr(clean) == "LookaheadReport(signals=2, checked=2, clean=True, divergences=0)"


class Trades:
    def __init__(self, every, size):
        self.every, self.size, self.n = every, size, 0

    def on_tick(self, ctx):
        self.n += 1
        if self.n % self.every == 0:
            return [venue.Order("sell" if ctx.position > 0 else "buy", self.size)]
        return None


class TestASweep:
    def result(self, balance="10000.50"):
        ticks = quotes([245_000 + (i * 7) % 11 for i in range(400)])
        with cf.ThreadPoolExecutor(1) as pool:
            return sweep.run(Trades, {"every": [5, 9], "size": ["0.5", "1"]}, ticks, balance,
                             venue=venue.Venue(instrument=ETH, taker_fee=venue.rate("0.0004")),
                             equity_every=20, executor=pool)

    def test_its_table_and_rows_show_usdt(self):
        result = self.result()
        lines = str(result).splitlines()
        assert lines[0] == repr(result)
        assert lines[1].split() == ["every", "size", "sharpe", "total_return", "fills",
                                    "liquidations", "ticks", "final_equity", "USDT", "min_equity",
                                    "USDT", "fees_paid", "USDT", "funding_paid", "USDT"]
        row = result.rows[0]
        assert lines[2].split()[:2] == ["5", "'0.5'"]
        assert lines[2].split()[-4:] == [_unit_text.usdt(row.final_equity),
                                         _unit_text.usdt(row.min_equity),
                                         _unit_text.usdt(row.fees_paid), "0.00"]
        assert result.table() == "\n".join(lines[1:]) and len(lines) == 6
        assert repr(row).startswith(f"Row(params={{'every': 5, 'size': '0.5'}}, sharpe=")
        assert f"final_equity={_unit_text.usdt(row.final_equity)} USDT" in repr(row)
        assert isinstance(row.final_equity, int) and row.fees_paid > 0

    def test_the_balance_as_decimal_text_as_the_venue_takes_it(self):
        assert self.result("10000.50").rows == self.result("10000.5").rows
        assert self.result(10_000).rows[0].final_equity != self.result("10000.5").rows[0].final_equity
        for bad, error in (("10000.000000001", ValueError), ("1_000", ValueError),
                           (" 100", ValueError), ("-5", ValueError), ("0", ValueError),
                           ("\u0661\u0660\u0660", ValueError), ("1e12", ValueError),
                           (10**12, ValueError),
                           (10_000.5, TypeError), (True, TypeError)):
            with pytest.raises(error, match="balance"):
                self.result(bad)
