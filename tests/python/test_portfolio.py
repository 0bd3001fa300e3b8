"""Portfolio runs: several instruments' ticks in one cross-margined account."""

import random

import pytest

import halvorn
from halvorn import data, venue

BTC = venue.Instrument("BTCUSDT", "0.1", "0.001")  # 10_000 cash a tick-lot
ETH = venue.Instrument("ETHUSDT", "0.01", "0.001")  # 1_000
USDT = halvorn.CASH_SCALE
ONE_PERCENT = [venue.Bracket(up_to=2**63 - 1, rate=venue.percent("1"), amount=0)]


def quotes(*rows):
    return [halvorn.Tick(exch_ts=t, last=last, bid=bid or last, ask=ask or last)
            for t, last, bid, ask in rows]


class Script:
    """Returns what is scripted for each call, and notes what it was shown."""

    def __init__(self, script=None):
        self.script, self.calls, self.shown, self.ends = script or {}, 0, [], []

    def on_tick(self, ctx):
        self.calls += 1
        self.shown.append((self.symbol, ctx.tick.exch_ts, ctx.position,
                           {s: (p.position, p.working) for s, p in self.positions.items()}))
        return self.script.get(self.calls - 1)

    def on_end(self, order_id, how):
        self.ends.append((order_id, how))


def pair(**extra):
    return {"BTCUSDT": venue.Venue(instrument=BTC, margin_tiers=ONE_PERCENT, **extra),
            "ETHUSDT": venue.Venue(instrument=ETH, margin_tiers=ONE_PERCENT, **extra)}


class TestAccount:
    def test_the_account_is_liquidated_whole_where_no_leg_alone_would_be(self):
        # Long 1 BTC at 60_000.0 and short 20 ETH at 3_000.00 on 2_000 USDT:
        # 600 USDT of maintenance each.  BTC at 59_600.0 and ETH at 3_020.00
        # lose 400 each: equity 1_200 meets the 596 + 604 both need, though
        # either leg alone would stand on 1_600.
        ticks = {"BTCUSDT": quotes((1, 600_000, 599_999, 600_000), (3, 600_000, 599_999, 600_000),
                                   (4, 596_000, 0, 0), (9, 597_000, 0, 0)),
                 "ETHUSDT": quotes((2, 300_000, 300_000, 300_001), (5, 302_000, 0, 0))}
        orders = {0: [venue.Order("buy", 1_000), venue.Order("sell", 20_000, instrument="ETHUSDT")]}
        run = venue.run(Script(orders), ticks, 2_000, venue=pair())
        assert [(f.instrument, f.price, f.qty) for f in run.fills] == [(2, 300_000, 20_000),
                                                                    (1, 600_000, 1_000)]
        assert [(q.instrument, q.at, q.price, q.quantity, q.forfeited)
                for q in run.liquidations] == [(1, 5, 596_000, 1_000, 0),
                                               (2, 5, 302_000, -20_000, 1_200 * USDT)]
        assert run.final_equity == 0 and run.realized == -800 * USDT
        assert [(r.symbol, r.realized) for r in run.per_instrument] == [
            ("BTCUSDT", -400 * USDT), ("ETHUSDT", -400 * USDT)]
        for symbol, order in (("BTCUSDT", venue.Order("buy", 1_000)),
                              ("ETHUSDT", venue.Order("sell", 20_000))):
            alone = venue.run(Script({0 if symbol == "BTCUSDT" else 0: [order]}),
                              {symbol: ticks[symbol]}, 2_000, venue={symbol: pair()[symbol]})
            assert alone.liquidations == () and len(alone.fills) == 1

    def test_fees_and_funding_are_each_instruments_own(self):
        ticks = {"BTCUSDT": quotes((1, 600_000, 599_999, 600_000), (3, 600_000, 599_999, 600_000),
                                   (11, 600_000, 0, 0)),
                 "ETHUSDT": quotes((2, 300_000, 300_000, 300_001), (13, 300_000, 0, 0))}
        venues = {
            "BTCUSDT": venue.Venue(instrument=BTC, taker_fee=venue.rate("0.0005"),
                                   funding=[venue.FundingRate(time=10, rate=venue.rate("0.0001"),
                                                              price=600_000)]),
            "ETHUSDT": venue.Venue(instrument=ETH, taker_fee=venue.rate("0.001"),
                                   funding=[venue.FundingRate(time=12, rate=venue.rate("0.0002"),
                                                              price=300_000)]),
        }
        orders = {0: [venue.Order("buy", 1_000), venue.Order("sell", 20_000, instrument="ETHUSDT")]}
        run = venue.run(Script(orders), ticks, 100_000, venue=venues)
        # 60_000 USDT of notional each: 30 and 60 USDT of fees; the long pays
        # 6 USDT of BTC funding, the short receives 12 of ETH's.
        assert [(r.fees, r.funding) for r in run.per_instrument] == [
            (30 * USDT, -6 * USDT), (60 * USDT, 12 * USDT)]
        assert sorted(f.fee for f in run.fills) == [30 * USDT, 60 * USDT]
        assert (run.fees_paid, run.funding_paid) == (90 * USDT, 6 * USDT)
        assert run.final_equity == (100_000 - 90 + 6) * USDT

    def test_the_strategy_sees_every_instrument_and_a_foreign_order_is_refused_visibly(self):
        ticks = {"BTCUSDT": quotes((1, 600_000, 599_999, 600_000), (3, 600_000, 599_999, 600_000)),
                 "ETHUSDT": quotes((2, 300_000, 300_000, 300_001), (4, 300_000, 0, 0))}
        s = Script({0: [halvorn.Order("buy", 5), venue.Order("buy", 1, instrument="XRPUSDT"),
                        venue.Order("buy", 1, price=1, instrument="ETHUSDT")]})
        run = venue.run(s, ticks, 10_000, venue=pair())
        assert s.shown == [
            ("BTCUSDT", 1, 0, {"BTCUSDT": (0, 0), "ETHUSDT": (0, 0)}),
            ("ETHUSDT", 2, 0, {"BTCUSDT": (0, 1), "ETHUSDT": (0, 1)}),
            ("BTCUSDT", 3, 5, {"BTCUSDT": (5, 0), "ETHUSDT": (0, 1)}),
            ("ETHUSDT", 4, 0, {"BTCUSDT": (5, 0), "ETHUSDT": (0, 1)}),
        ]
        assert (2, "rejected:unknown_instrument") in s.ends and run.foreign_intents == 1
        assert run.symbols == ("BTCUSDT", "ETHUSDT")
        assert run.instruments == {"BTCUSDT": BTC, "ETHUSDT": ETH}


class Collector:
    """Notes the order it hears the ticks in, per tick, in lists or columns."""

    def __init__(self):
        self.heard = []

    def on_tick(self, ctx):
        self.heard.append((ctx.tick.exch_ts, self.symbol))

    def on_batch(self, ticks):
        self.heard += [(t.exch_ts, s) for t, s in zip(ticks, self.batch_symbols)]

    def on_columns(self, batch):
        symbols = ("BTCUSDT", "ETHUSDT", "SOLUSDT")
        self.heard += [(t, symbols[i - 1]) for t, i in zip(batch.exch_ts, batch.instrument)]


class TestMerge:
    def test_equal_times_come_in_the_order_the_dict_names_them_in_every_cadence(self, tmp_path):
        sol = venue.Instrument("SOLUSDT", "0.001", "0.1")
        times = {"BTCUSDT": [1, 5, 5, 9], "ETHUSDT": [0, 5, 7], "SOLUSDT": [5, 5]}
        expected = [(0, "ETHUSDT"), (1, "BTCUSDT"), (5, "BTCUSDT"), (5, "BTCUSDT"),
                    (5, "ETHUSDT"), (5, "SOLUSDT"), (5, "SOLUSDT"), (7, "ETHUSDT"), (9, "BTCUSDT")]
        instruments = {"BTCUSDT": BTC, "ETHUSDT": ETH, "SOLUSDT": sol}
        venues = {s: venue.Venue(instrument=i) for s, i in instruments.items()}
        lists = {s: [halvorn.Tick(exch_ts=t, last=100) for t in ts] for s, ts in times.items()}
        files = {s: data.from_arrays(str(tmp_path / f"{s}.hvtk"), ts, [100] * len(ts),
                                     instrument=instruments[s]) for s, ts in times.items()}
        for ticks, given in ((lists, venues), (files, None)):
            for batch, columns in ((1, False), (3, False), (3, True), (1_000, True)):
                c = Collector()
                if not columns:
                    c.on_columns = None
                    del c.on_columns
                strategy = c if columns else type("ListCollector", (), {
                    "on_tick": Collector.on_tick, "on_batch": Collector.on_batch,
                    "__init__": Collector.__init__})()
                venue.run(strategy, ticks, 1_000, venue=given, batch=batch, flush=True)
                assert strategy.heard == expected, (batch, columns)

    def test_a_lookahead_check_finds_a_peek_at_a_later_tick_of_another_instrument(self):
        btc = quotes(*[(10 * i, 600_000 + i, 0, 0) for i in range(40)])
        eth = quotes(*[(10 * i + 5, 300_000 + (7 if i == 30 else 0), 0, 0) for i in range(40)])

        class Peeker:
            # Buys BTC before ETH's jump, knowing of it from the whole series.
            def __init__(self, known):
                eth_known = known["ETHUSDT"]
                self.jump = next((t.exch_ts for t in eth_known if t.last != 300_000), None)

            def on_tick(self, ctx):
                if self.jump is not None and self.symbol == "BTCUSDT" \
                        and ctx.tick.exch_ts == self.jump - 25:
                    return [halvorn.Order("buy", 1)]
                return None

        class Honest(Peeker):
            def __init__(self, known):
                self.jump = None

        ticks = {"BTCUSDT": btc, "ETHUSDT": eth}
        assert not venue.lookahead_check(Peeker, ticks, 10_000, venue=pair()).clean
        assert venue.lookahead_check(Honest, ticks, 10_000, venue=pair()).clean


class RandomTrader:
    def __init__(self, seed):
        self.rng = random.Random(seed)

    def decide(self, last, position):
        r = self.rng.random()
        if r < 0.1:
            return [venue.Order("buy", self.rng.randint(1, 5))]
        if r < 0.2:
            return [halvorn.Order("sell", self.rng.randint(1, 5))]
        if r < 0.3:
            return [venue.Order("buy", 2, price=last - self.rng.randint(-20, 50))]
        if r < 0.35:
            return [venue.CancelAll()]
        return None

    def on_tick(self, ctx):
        return self.decide(ctx.last, ctx.position)

    def on_batch(self, ticks):
        return self.decide(self.last, self.position)


def random_ticks(rng, n):
    price, out = 600_000, []
    for i in range(n):
        price = max(1, price + rng.randint(-40, 40))
        spread = rng.randint(0, 3)
        out.append(halvorn.Tick(1_000 * i, price, high=price + 9, low=price - 9,
                                bid=price - spread, ask=price + spread, volume=i))
    return out


@pytest.mark.parametrize("seed", range(4))
@pytest.mark.parametrize("batch", [1, 7])
def test_a_portfolio_of_one_instrument_is_the_single_instrument_run(tmp_path, seed, batch):
    rng = random.Random(seed)
    ticks = random_ticks(rng, 2_000)
    path = data.from_arrays(str(tmp_path / "b.hvtk"), [t.exch_ts for t in ticks],
                            [t.last for t in ticks], high=[t.high for t in ticks],
                            low=[t.low for t in ticks], bid=[t.bid for t in ticks],
                            ask=[t.ask for t in ticks], volume=[t.volume for t in ticks],
                            instrument=BTC)
    v = venue.Venue(instrument=BTC, taker_fee=venue.rate("0.0004"), maker_fee=venue.rate("-0.0001"),
                    funding=[venue.FundingRate(time=500_000, rate=venue.rate("0.0003"), price=0)])
    for series in (ticks, path):
        single = venue.run(RandomTrader(seed), series, 30, venue=v, batch=batch, equity_every=33)
        one = venue.run(RandomTrader(seed), {"BTCUSDT": series}, 30, venue={"BTCUSDT": v},
                        batch=batch, equity_every=33)
        assert [tuple(f.__getnewargs_ex__()[1].items()) for f in one.fills] == \
            [tuple(f.__getnewargs_ex__()[1].items()) for f in single.fills]
        assert one.liquidations == single.liquidations
        assert (one.final_equity, one.fees_paid, one.funding_paid, one.equity_curve) == (
            single.final_equity, single.fees_paid, single.funding_paid, single.equity_curve)
        assert one.per_instrument == single.per_instrument


def test_a_large_basket_from_files_runs_as_from_lists(tmp_path):
    # A hundred files are each read in blocks of a few hundred ticks, so
    # every file here takes several reads, interleaved with the others'.
    rng = random.Random(7)
    lists, files, venues = {}, {}, {}
    for k in range(100):
        instrument = venue.Instrument(f"S{k:03d}USDT", "0.1", "0.001")
        # Equal times across instruments, some apart.
        ticks = [halvorn.Tick(1_000 * i + rng.choice((0, 0, 500)), t.last, bid=t.bid, ask=t.ask)
                 for i, t in enumerate(random_ticks(rng, 1_500))]
        symbol = instrument.symbol
        lists[symbol] = ticks
        files[symbol] = data.from_arrays(
            str(tmp_path / f"{symbol}.hvtk"), [t.exch_ts for t in ticks], [t.last for t in ticks],
            bid=[t.bid for t in ticks], ask=[t.ask for t in ticks], instrument=instrument)
        venues[symbol] = venue.Venue(instrument=instrument, taker_fee=venue.rate("0.0004"))
    runs = [venue.run(RandomTrader(3), given, 1_000_000, venue=venues, batch=64)
            for given in (lists, files)]
    assert runs[0].ticks == runs[1].ticks == 150_000
    assert list(runs[0].fills) == list(runs[1].fills) and len(runs[0].fills) > 100
    assert (runs[0].final_equity, runs[0].per_instrument) == (runs[1].final_equity,
                                                              runs[1].per_instrument)


class TestRefusedBeforeTheRun:
    ticks = {"BTCUSDT": quotes((1, 600_000, 0, 0)), "ETHUSDT": quotes((2, 300_000, 0, 0))}

    @pytest.mark.parametrize("venues, ticks, error, text", [
        ({"BTCUSDT": venue.Venue(instrument=BTC)}, None, ValueError, "'ETHUSDT' has ticks and no"),
        (dict(pair(), SOLUSDT=venue.Venue()), None, ValueError, "'SOLUSDT' is configured and"),
        ({"BTCUSDT": venue.Venue(instrument=BTC), "ETHUSDT": venue.Venue()}, None, ValueError,
         "'ETHUSDT' has no Instrument"),
        ({"BTCUSDT": venue.Venue(instrument=ETH), "ETHUSDT": venue.Venue(instrument=ETH)}, None,
         ValueError, r"the ticks given as 'BTCUSDT' are of Instrument\('ETHUSDT'"),
        ({"BTCUSDT": venue.Venue(instrument=BTC), "ETHUSDT": venue.Venue(instrument=ETH,
                                                                         hedge=True)},
         None, ValueError, "hedge belongs to the account"),
        (None, {}, ValueError, "at least one instrument"),
        (None, {1: []}, TypeError, "got the key 1"),
        (venue.Venue(instrument=BTC), None, ValueError, "the ticks given as 'ETHUSDT' are of"),
    ])
    def test_each_names_the_instrument(self, venues, ticks, error, text):
        with pytest.raises(error, match=text):
            venue.run(Script(), self.ticks if ticks is None else ticks, 1_000, venue=venues)

    def test_marks_and_a_dict_of_venues_without_a_portfolio(self, tmp_path):
        marks = data.save_marks(str(tmp_path / "m.hvmk"), [(1, 600_000, 0)])
        with pytest.raises(TypeError, match="a dict of mark files configures a portfolio"):
            venue.run(Script(), self.ticks["BTCUSDT"], 1_000, venue=pair()["BTCUSDT"],
                      marks={"BTCUSDT": marks})
        with pytest.raises(TypeError, match="a dict of venues configures a portfolio"):
            venue.run(Script(), self.ticks["BTCUSDT"], 1_000, venue=pair())


class Spread:
    """Top-level, so that a sweep's workers can build it: buys one
    instrument and sells the other on every `every`-th tick."""

    def __init__(self, every):
        self.every, self.n = every, 0

    def on_tick(self, ctx):
        self.n += 1
        if self.n % self.every:
            return None
        side = "buy" if self.symbol == "BTCUSDT" else "sell"
        return [venue.Order(side, 1), venue.CancelAll()] if self.n % 2 else [venue.Order(side, 1)]

    def on_batch(self, ticks):
        if self.positions["ETHUSDT"].position == 0:
            return [venue.Order("buy", 1, instrument="ETHUSDT")]
        return None


def basket(tmp_path):
    rng = random.Random(3)
    btc, eth = random_ticks(rng, 600), random_ticks(rng, 500)
    return {"BTCUSDT": data.from_arrays(str(tmp_path / "btc.hvtk"), [t.exch_ts + 3 for t in btc],
                                        [t.last for t in btc], bid=[t.bid for t in btc],
                                        ask=[t.ask for t in btc], instrument=BTC),
            "ETHUSDT": data.from_arrays(str(tmp_path / "eth.hvtk"), [t.exch_ts for t in eth],
                                        [t.last // 2 for t in eth], bid=[t.bid // 2 for t in eth],
                                        ask=[t.ask // 2 for t in eth], instrument=ETH)}


def test_a_sweep_over_a_basket_runs_each_set_as_venue_run_does(tmp_path):
    import concurrent.futures

    from halvorn import sweep

    files = basket(tmp_path)
    venues = pair(taker_fee=venue.rate("0.0004"))
    with concurrent.futures.ThreadPoolExecutor(2) as pool:
        result = sweep.run(Spread, {"every": [3, 5]}, files, 10_000, venue=venues,
                           equity_every=50, executor=pool)
    for row in result.rows:
        direct = venue.run(Spread(**row.params), files, 10_000, venue=venues, equity_every=50)
        assert (row.ticks, row.fills, row.final_equity, row.fees_paid) == (
            direct.ticks, len(direct.fills), direct.final_equity, direct.fees_paid)
        assert row.ticks == 1_100 and row.fills > 0


def test_compare_modes_takes_a_portfolio(tmp_path):
    files = basket(tmp_path)
    comparison = venue.compare_modes(lambda: Spread(4), files, 10_000, 16, venue=pair())
    assert comparison.compat_fills > 0 and comparison.batched_fills == 1


class TestDepth:
    def books(self, tmp_path):
        return {"BTCUSDT": data.save_depth(str(tmp_path / "b.hvdp"), [
                    data.Snapshot(100, bids=[(99, 4)], asks=[(100, 2), (101, 3)])]),
                "ETHUSDT": data.save_depth(str(tmp_path / "e.hvdp"), [
                    data.Snapshot(7, bids=[(49, 4)], asks=[(50, 1), (52, 4)]),
                    data.Update(8, 8, 1, bids=[], asks=[(52, 0), (53, 9)])])}

    ticks = {"BTCUSDT": [halvorn.Tick(t, 100, bid=99, ask=100) for t in (1, 4, 5)],
             "ETHUSDT": [halvorn.Tick(t, 50, bid=49, ask=50) for t in (2, 4, 6)]}

    def test_each_instruments_book_prices_its_own_orders(self, tmp_path):
        l2 = {"BTCUSDT": venue.Venue(instrument=BTC, tier=venue.L2()),
              "ETHUSDT": venue.Venue(instrument=ETH, tier=venue.L2())}
        orders = {0: [venue.Order("buy", 5), venue.Order("buy", 3, instrument="ETHUSDT")]}
        run = venue.run(Script(orders), self.ticks, 10_000, venue=l2, depth=self.books(tmp_path))
        # Each buy walks its own instrument's book: BTC's 5 reach its 101,
        # ETH's 3 its 52; each as the instrument's run alone prices it.
        assert sorted((f.instrument, f.price, f.qty) for f in run.fills) == [(1, 101, 5),
                                                                           (2, 52, 3)]
        for k, symbol in enumerate(("BTCUSDT", "ETHUSDT")):
            alone = venue.run(Script({0: [venue.Order("buy", (5, 3)[k])]}),
                              {symbol: self.ticks[symbol]}, 10_000, venue={symbol: l2[symbol]},
                              depth={symbol: self.books(tmp_path)[symbol]})
            assert [(f.price, f.qty) for f in alone.fills] == [
                (f.price, f.qty) for f in run.fills if f.instrument == k + 1]
        assert run.depth_records == 3

    def test_depth_for_an_instrument_not_on_l2_or_not_traded_is_refused(self, tmp_path):
        books = self.books(tmp_path)
        mixed = {"BTCUSDT": venue.Venue(instrument=BTC, tier=venue.L2()),
                 "ETHUSDT": venue.Venue(instrument=ETH)}
        with pytest.raises(ValueError, match="the venue of 'ETHUSDT' is of tier L0"):
            venue.run(Script(), self.ticks, 10_000, venue=mixed, depth=books)
        with pytest.raises(ValueError, match="depth is given for 'SOLUSDT', which the portfolio"):
            venue.run(Script(), self.ticks, 10_000, venue=mixed,
                      depth={"SOLUSDT": books["BTCUSDT"]})
        with pytest.raises(TypeError, match="a dict of depth files configures a portfolio"):
            venue.run(Script(), self.ticks["BTCUSDT"], 10_000,
                      venue=venue.Venue(instrument=BTC, tier=venue.L2()), depth=books)


class TestMarks:
    # A long of 100 BTC lots on 1_000 USDT; a wick of the last trade to
    # 50_200.8 liquidates it where the account is valued at its last trades,
    # and not where BTC's mark (59_000.0, then 59_100.0) values it.
    btc = [halvorn.Tick(1, 600_000, bid=599_999, ask=600_000),
           halvorn.Tick(2, 600_000, bid=599_999, ask=600_000),
           halvorn.Tick(3, 502_008), halvorn.Tick(6, 590_000)]
    eth = [halvorn.Tick(t, 300_000, bid=299_999, ask=300_001) for t in (1, 4, 7)]

    class BuyOnce:
        def on_tick(self, ctx):
            if self.symbol == "BTCUSDT" and ctx.position == 0 and ctx.working == 0:
                return [halvorn.Order("buy", 100)]
            return None

    def marks(self, tmp_path, name, rows):
        return data.save_marks(str(tmp_path / name), rows)

    def test_each_instruments_marks_value_only_it(self, tmp_path):
        btc_marks = self.marks(tmp_path, "b.hvmk", [(2, 590_000, 0), (5, 591_000, 0)])
        eth_marks = self.marks(tmp_path, "e.hvmk", [(2, 300_000, 0)])
        v = {"BTCUSDT": venue.Venue(instrument=BTC), "ETHUSDT": venue.Venue(instrument=ETH)}
        ticks = {"BTCUSDT": self.btc, "ETHUSDT": self.eth}
        at_last = venue.run(self.BuyOnce(), ticks, 1_000, venue=v)
        assert [(q.instrument, q.price) for q in at_last.liquidations] == [(1, 502_008)]
        # ETH's marks do not value BTC: the wick still liquidates it.
        eth_only = venue.run(self.BuyOnce(), ticks, 1_000, venue=v, marks={"ETHUSDT": eth_marks})
        assert [(q.instrument, q.price) for q in eth_only.liquidations] == [(1, 502_008)]
        marked = venue.run(self.BuyOnce(), ticks, 1_000, venue=v,
                           marks={"BTCUSDT": btc_marks, "ETHUSDT": eth_marks})
        assert marked.liquidations == ()
        assert marked.per_instrument[0].last == 591_000  # valued at BTC's latest mark

    @pytest.mark.parametrize("batch", [1, 2])
    def test_a_portfolio_of_one_with_marks_is_the_single_run(self, tmp_path, batch):
        btc_marks = self.marks(tmp_path, "b.hvmk", [(2, 590_000, 0), (3, 540_000, 0),
                                                    (5, 591_000, 0)])
        v = venue.Venue(instrument=BTC)

        class Buy:
            def on_tick(self, ctx):
                return [halvorn.Order("buy", 100)] if ctx.position == 0 else None

            def on_batch(self, ticks):
                return [halvorn.Order("buy", 100)] if self.position == 0 else None

        single = venue.run(Buy(), self.btc, 1_000, venue=v, marks=btc_marks, batch=batch)
        one = venue.run(Buy(), {"BTCUSDT": self.btc}, 1_000, venue={"BTCUSDT": v},
                        marks={"BTCUSDT": btc_marks}, batch=batch)
        assert [(f.price, f.qty) for f in one.fills] == [(f.price, f.qty) for f in single.fills]
        assert one.liquidations == single.liquidations
        assert one.final_equity == single.final_equity

    def test_marks_refused_before_the_run(self, tmp_path):
        premium = data.save_marks(str(tmp_path / "p.hvmk"), [(2, 10, 0)], premium=True)
        v = {"BTCUSDT": venue.Venue(instrument=BTC), "ETHUSDT": venue.Venue(instrument=ETH)}
        ticks = {"BTCUSDT": self.btc, "ETHUSDT": self.eth}
        with pytest.raises(ValueError, match="holds a premium index"):
            venue.run(Script(), ticks, 1_000, venue=v, marks={"BTCUSDT": premium})
        with pytest.raises(ValueError, match="marks are given for 'SOLUSDT'"):
            venue.run(Script(), ticks, 1_000, venue=v,
                      marks={"SOLUSDT": self.marks(tmp_path, "s.hvmk", [(2, 1, 0)])})
        with pytest.raises(ValueError, match="a portfolio's marks are a dict"):
            venue.run(Script(), ticks, 1_000, venue=v,
                      marks=self.marks(tmp_path, "b.hvmk", [(2, 1, 0)]))
