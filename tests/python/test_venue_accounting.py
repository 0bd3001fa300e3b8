"""What a venue run must refuse, and the numbers it must not get wrong: closes
in hedge mode, the price a liquidation is tested and closed at, the margin
record of the tick that liquidates, balances and ticks that do not belong,
margin tables and funding schedules no venue would publish, and the price
and time of an L1 fill."""

import io

import pytest

import halvorn
from halvorn import data, venue

SCALE = halvorn.CASH_SCALE


class Script:
    """Returns scripted orders by call index; hears how orders ended."""

    def __init__(self, script=None):
        self.script = script or {}
        self.calls = 0
        self.ended = []

    def on_tick(self, ctx):
        self.calls += 1
        return self.script.get(self.calls - 1)

    def on_end(self, order_id, how):
        self.ended.append((order_id, how))


def flat_ticks(n, price=100, t0=1_000):
    return [halvorn.Tick(t0 + i, price, bid=price - 1, ask=price + 1) for i in range(n)]


class TestHedgeCloses:
    def test_a_close_larger_than_its_leg_fills_and_pays_only_what_it_closed(self):
        # Taker 0.1 %: buy-open 2 at the ask 101, then sell-close 5 at the bid 99
        # with a long leg of 2, then sell-close 1 against the flat leg.
        v = venue.Venue(hedge=True, taker_fee=1_000_000)
        s = Script({0: [halvorn.Order("buy", 2)], 1: [halvorn.Order("sell", 5, "close")],
                    2: [halvorn.Order("sell", 1, "close")]})
        r = venue.run(s, flat_ticks(5), 1_000, venue=v)
        assert [(f.side, f.offset, f.qty, f.price) for f in r.fills] == [
            ("buy", "open", 2, 101), ("sell", "close", 2, 99)]
        fee = lambda qty, price: qty * price * 10_000 * 1_000_000 // 1_000_000_000  # noqa: E731
        assert r.fees_paid == fee(2, 101) + fee(2, 99)
        assert r.realized == 2 * (99 - 101) * 10_000
        assert s.ended == [(1, "filled"), (2, "filled"), (3, "canceled")]

    def test_net_mode_still_flips_on_a_larger_sell(self):
        r = venue.run(Script({0: [halvorn.Order("buy", 2)], 1: [halvorn.Order("sell", 5, "close")]}),
                      flat_ticks(4), 1_000)
        assert [f.qty for f in r.fills] == [2, 5]


class TestLiquidationPrice:
    # A long of 100 lots at 600_000 on 1_000 USDT: liquidatable at 502_008
    # and below.  A settlement priced far from the last trade must test and
    # close the account at one price in hedge mode, as in net mode.
    @pytest.mark.parametrize("last, settle_at, liquidated_at", [
        # Healthy at the market, breached at the settlement's price: closed there.
        (510_000, 502_000, 502_000),
        # Barely healthy at the market, well off at the settlement's price: not
        # closed at 602_000 at a profit the venue keeps, but at the next tick,
        # once the payment has taken what was left of the headroom.
        (502_009, 602_000, 502_009),
    ])
    def test_hedge_mode_tests_and_closes_at_the_settlement_price_as_net_mode_does(
            self, last, settle_at, liquidated_at):
        ticks = ([halvorn.Tick(t, 600_000, bid=600_000, ask=600_000) for t in (1, 2)] +
                 [halvorn.Tick(t, last, bid=last, ask=last) for t in (3, 20, 21)])
        funding = [venue.FundingRate(time=10, rate=1_000_000, price=settle_at)]
        results = []
        for hedge in (False, True):
            v = venue.Venue(hedge=hedge, funding=funding)
            r = venue.run(Script({0: [halvorn.Order("buy", 100)]}), ticks, 1_000, venue=v)
            results.append((r.final_equity, r.realized, r.funding_paid,
                            [(q.price, q.quantity, q.forfeited) for q in r.liquidations]))
        assert results[0] == results[1]
        assert [price for price, _, _ in results[0][3]] == [liquidated_at]


class TestMarginRecord:
    def test_the_tick_that_liquidates_is_in_the_margin_record(self):
        ticks = [halvorn.Tick(1, 600_000, bid=600_000, ask=600_000),
                 halvorn.Tick(2, 600_000, bid=600_000, ask=600_000),
                 halvorn.Tick(3, 502_008, bid=502_008, ask=502_008)]
        r = venue.run(Script({0: [halvorn.Order("buy", 100)]}), ticks, 1_000,
                      venue=venue.Venue(track_margin=True))
        assert len(r.liquidations) == 1
        # Equity 2_008_000_000 against maintenance 2_008_032_000 at 502_008.
        assert r.margin.min_headroom == 2_008_000_000 - 2_008_032_000
        assert r.margin.peak_maintenance >= 2_008_032_000

    def test_an_account_liquidated_on_its_first_exposed_tick_has_a_record(self):
        ticks = [halvorn.Tick(1, 600_000, bid=600_000, ask=600_000),
                 halvorn.Tick(2, 400_000, bid=400_000, ask=600_000)]
        r = venue.run(Script({0: [halvorn.Order("buy", 100)]}), ticks, 1_000,
                      venue=venue.Venue(track_margin=True))
        assert len(r.liquidations) == 1 and r.margin.min_headroom < 0


class TestRefusedInput:
    def test_a_balance_whose_cash_does_not_fit_is_refused_by_name_of_its_unit(self):
        most = (2**63 - 1) // SCALE
        assert venue.run(Script(), flat_ticks(2), most).final_equity == most * SCALE
        for balance in (most + 1, -most - 1, 10_000 * SCALE):
            with pytest.raises(ValueError, match="whole USDT"):
                venue.run(Script(), flat_ticks(2), balance)
        with pytest.raises(ValueError, match="whole USDT"):
            venue.compare_modes(Script, flat_ticks(2), most + 1, 2)
        with pytest.raises(ValueError, match="whole USDT"):
            venue.lookahead_check(lambda known: Script(), flat_ticks(2), most + 1)
        # The module's own run functions saturate, as they always have.
        assert halvorn.run_backtest(Script(), flat_ticks(2), most + 1).final_equity == 2**63 - 1

    def test_a_balance_in_decimal_text_is_exact_to_the_cash_unit(self):
        assert venue.run(Script(), flat_ticks(2), "10000.50").final_equity == 1_000_050_000_000
        assert venue.run(Script(), flat_ticks(2), "0.00000001").final_equity == 1
        for text in ("0.000000001", "1e20", "ten", "", "nan"):
            with pytest.raises(ValueError, match="cash unit"):
                venue.run(Script(), flat_ticks(2), text)

    def test_a_tick_file_of_another_instrument_is_refused(self, tmp_path):
        path = str(tmp_path / "eth.hvtk")
        halvorn.save_ticks(path, flat_ticks(3), instrument=2)
        source = halvorn.load_ticks(path)
        with pytest.raises(ValueError, match="instrument 2, and the venue trades instrument 1"):
            venue.run(Script(), source, 1_000)
        with pytest.raises(ValueError, match="instrument 2"):
            venue.compare_modes(Script, source, 1_000, 2)
        assert venue.run(Script(), source, 1_000, venue=venue.Venue(instrument=2)).ticks == 3
        assert halvorn.run_backtest(Script(), source, 1_000).ticks == 3

    def test_margin_tables_whose_maintenance_falls_are_refused_by_bracket(self):
        venue.Venue(margin_tiers=venue.EXAMPLE_BTCUSDT)  # continuous: accepted
        top = 2**63 - 1
        with pytest.raises(ValueError, match="bracket 1 asks less maintenance just above 100"):
            venue.Venue(margin_tiers=[venue.Bracket(up_to=100, rate=10_000_000, amount=0),
                                      venue.Bracket(up_to=top, rate=5_000_000, amount=0)])
        with pytest.raises(ValueError, match="bracket 1 asks less"):
            # The amount jumps by more than the rate increase times the edge.
            venue.Venue(margin_tiers=[venue.Bracket(up_to=1_000_000_000, rate=4_000_000, amount=0),
                                      venue.Bracket(up_to=top, rate=5_000_000, amount=1_000_001)])
        venue.Venue(margin_tiers=[venue.Bracket(up_to=1_000_000_000, rate=4_000_000, amount=0),
                                  venue.Bracket(up_to=top, rate=5_000_000, amount=1_000_000)])

    def test_two_funding_rates_at_one_time_are_refused(self, tmp_path):
        with pytest.raises(ValueError, match="rates 0 and 1 are both at 10"):
            venue.Venue(funding=[venue.FundingRate(time=10, rate=100, price=600_000),
                                 venue.FundingRate(time=10, rate=100, price=600_000)])
        path = str(tmp_path / "t.hvtk")
        halvorn.save_ticks(path, [halvorn.Tick(t * 1_000_000, 600_000)
                                  for t in range(1_700_000_000_000, 1_700_000_100_000, 10_000)])
        row = b"1700000050000,8,0.00010000\n"
        overlapping = io.BytesIO(b"calc_time,funding_interval_hours,last_funding_rate\n" + row + row)
        with pytest.raises(ValueError, match="both at 1700000050000000000 ns"):
            data.funding_from_csv(overlapping, ticks=halvorn.load_ticks(path))


class TestL1Fills:
    def test_impact_reads_an_absent_low_as_the_last_price(self):
        # 4 lots of 16 traded: half the range.  Without a low the range is
        # high - last = 2, not high - 0 = 102.
        ticks = [halvorn.Tick(1, 100, bid=99, ask=100, volume=0),
                 halvorn.Tick(2, 100, high=102, low=0, bid=99, ask=100, volume=16)]
        v = venue.Venue(tier=venue.L1(impact_pct=100))
        r = venue.run(Script({0: [halvorn.Order("buy", 4)]}), ticks, 1_000, venue=v)
        assert [f.price for f in r.fills] == [101]

    def test_impact_pushes_no_sell_below_one_tick(self):
        ticks = [halvorn.Tick(1, 5, bid=5, ask=6, volume=0),
                 halvorn.Tick(2, 5, high=100_000, low=5, bid=5, ask=6, volume=1)]
        v = venue.Venue(tier=venue.L1(impact_pct=100), enforce_margin=False)
        r = venue.run(Script({0: [halvorn.Order("sell", 1)]}), ticks, 1_000, venue=v)
        assert [f.price for f in r.fills] == [1]

    def test_a_fill_never_carries_a_time_before_its_order_arrived(self):
        # A buy at 95 sent on the tick at 0 reaches the venue at 5; the move
        # from 100 to 90 that crosses it ends with the tick at 10.
        ticks = [halvorn.Tick(0, 100, bid=99, ask=101), halvorn.Tick(10, 90, bid=89, ask=91)]
        v = venue.Venue(tier=venue.L1(order_latency=venue.Fixed(5)))
        r = venue.run(Script({0: [halvorn.Order("buy", 1, price=95)]}), ticks, 1_000, venue=v)
        (fill,) = r.fills
        assert (fill.price, fill.exch_ts) == (95, 5)
        # Without latency the order was there for the whole move.
        r0 = venue.run(Script({0: [halvorn.Order("buy", 1, price=95)]}), ticks, 1_000,
                       venue=venue.Venue(tier=venue.L1()))
        assert [(f.price, f.exch_ts) for f in r0.fills] == [(95, 0)]
