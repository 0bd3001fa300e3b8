"""Coin-margined (inverse) instruments as a user meets them: the Instrument
that says its kind, the refusals that name the missing or stray field, a run
kept in the coin on every path (per tick, batches, a compiled strategy),
and the portfolio that cannot yet hold two currencies."""

import pickle
import random

import pytest

import halvorn
from halvorn import venue
from test_compiled_order_kinds import LIMIT, MARKET, c_script, row, script_state  # noqa: F401

BTCUSD = venue.Instrument("BTCUSD_PERP", "0.1", "1", kind="inverse", contract_value="100",
                          settle="BTC")
# Brackets in the coin: 0.4 % up to 100 BTC of position, 1 % above.
COIN_TIERS = (venue.Bracket(up_to=halvorn.CASH_SCALE * 100, rate=venue.percent("0.4"), amount=0),
              venue.Bracket(up_to=halvorn.CASH_SCALE * 10**6, rate=venue.percent("1"),
                            amount=halvorn.CASH_SCALE * 6 // 10))


class TestTheInstrumentSaysItsKind:
    def test_fields_repr_pickle_and_equality(self):
        assert (BTCUSD.kind, BTCUSD.contract_value, BTCUSD.settle) == ("inverse", "100", "BTC")
        linear = venue.Instrument("BTCUSDT", "0.1", "0.001")
        assert (linear.kind, linear.contract_value, linear.settle) == ("linear", None, None)
        assert repr(linear) == "Instrument('BTCUSDT', '0.1', '0.001')"
        assert repr(BTCUSD) == ("Instrument('BTCUSD_PERP', '0.1', '1', kind='inverse', "
                                "contract_value='100', settle='BTC')")
        assert eval(repr(BTCUSD), {"Instrument": venue.Instrument}) == BTCUSD
        again = pickle.loads(pickle.dumps(BTCUSD))
        assert again == BTCUSD and again.settle == "BTC" and hash(again) == hash(BTCUSD)
        # The same sizes of another kind, value or coin are another contract.
        others = [venue.Instrument("BTCUSD_PERP", "0.1", "1"),
                  venue.Instrument("BTCUSD_PERP", "0.1", "1", kind="inverse",
                                   contract_value="10", settle="BTC"),
                  venue.Instrument("BTCUSD_PERP", "0.1", "1", kind="inverse",
                                   contract_value="100", settle="ETH")]
        assert all(o != BTCUSD for o in others)

    @pytest.mark.parametrize("kwargs, error, message", [
        (dict(kind="inverse", settle="BTC"), ValueError, "needs contract_value"),
        (dict(kind="inverse", contract_value="100"), ValueError, "needs settle"),
        (dict(contract_value="100"), ValueError, "contract_value is for an inverse"),
        (dict(settle="BTC"), ValueError, "settle is for an inverse"),
        (dict(kind="spot"), ValueError, "kind must be \"linear\" or \"inverse\", not 'spot'"),
        (dict(kind=1), TypeError, "kind"),
        (dict(kind="inverse", contract_value="-5", settle="BTC"), ValueError,
         "contract_value"),
        (dict(kind="inverse", contract_value="100", settle="NOT A COIN"), ValueError,
         "settle must be a coin"),
        (dict(kind="inverse", contract_value="100", settle=b"BTC"), TypeError, "settle"),
        # One lot's coin value at one tick beyond what 64 bits hold.
        (dict(kind="inverse", contract_value="1e30", settle="BTC"), ValueError,
         "too large or too fine"),
    ])
    def test_refusals_name_the_field(self, kwargs, error, message):
        with pytest.raises(error, match=message):
            venue.Instrument("BTCUSD_PERP", "0.1", "1", **kwargs)

    def test_a_venue_of_an_inverse_instrument_gives_its_brackets(self):
        """The default brackets are USDT amounts: read in BTC they would hold
        any position in the first bracket, so they are refused, not used."""
        with pytest.raises(ValueError, match=r"margin_tiers: the default brackets "
                                             r"\(EXAMPLE_BTCUSDT\) are amounts of USDT, and "
                                             r"BTCUSD_PERP keeps its account in BTC"):
            venue.Venue(instrument=BTCUSD)
        assert venue.Venue(instrument=BTCUSD, margin_tiers=COIN_TIERS).margin_tiers == COIN_TIERS
        # Given on purpose, the example is the user's to choose.
        venue.Venue(instrument=BTCUSD, margin_tiers=venue.EXAMPLE_BTCUSDT)


def random_ticks(seed, n):
    rng = random.Random(seed)
    last, out = 500_000, []
    for i in range(n):
        last = max(1_000, last + rng.choice((-300, -70, 0, 70, 300)))
        out.append(halvorn.Tick(1_000 + i * 1_000_000, last, bid=last - 1, ask=last + 1))
    return out


def plain_rows(seed, ticks, every):
    """Market and limit orders on the last tick of every `every` ticks."""
    rng = random.Random(seed)
    rows = []
    for i in range(every - 1, len(ticks) - 1, every):
        if rng.random() < 0.6:
            last, side = ticks[i].last, rng.randint(0, 1)
            kind = rng.choice((MARKET, LIMIT))
            price = last + (-1 if side == 0 else 1) * rng.randint(0, 400) if kind == LIMIT else 0
            rows.append(row(i, kind, side, 0, price, rng.randint(1, 400)))
    return rows


def order_of(r):
    return venue.Order(("buy", "sell")[r[2]], r[5], price=r[4] or None)


class PerTick:
    def __init__(self, rows):
        self.rows, self.index = rows, -1

    def on_tick(self, ctx):
        self.index += 1
        return [order_of(r) for r in self.rows if r[0] == self.index]


class Batched:
    def __init__(self, rows):
        self.rows, self.seen = rows, 0

    def on_batch(self, ticks):
        self.seen += len(ticks)
        return [order_of(r) for r in self.rows if r[0] == self.seen - 1]


class TestEveryPathBooksInTheCoin:
    def test_per_tick_batches_and_compiled_agree(self, c_script):  # noqa: F811
        v = venue.Venue(instrument=BTCUSD, margin_tiers=COIN_TIERS, maker_fee=venue.rate("-0.0001"),
                        taker_fee=venue.rate("0.0005"),
                        funding=tuple(venue.FundingRate(time=1_000 + t * 1_000_000,
                                                        rate=(-1) ** t * 100_000, price=0)
                                      for t in range(40, 2_000, 97)))
        every, traded, liquidated = 8, 0, 0
        for seed in range(6):
            ticks = random_ticks(seed, 2_000)
            rows = plain_rows(seed, ticks, every)
            balance = "0.05" if seed % 2 else "3"  # the thin ones are liquidated
            expected = venue.run(PerTick(rows), ticks, balance, venue=v)
            batched = venue.run(Batched(rows), ticks, balance, venue=v, batch=every)
            compiled = venue.run(venue.Compiled(c_script, script_state(rows), order_words=16),
                                 ticks, balance, venue=v)
            for run in (batched, compiled):
                assert list(run.fills) == list(expected.fills), seed
                assert run.final_equity == expected.final_equity, seed
                assert run.liquidations == expected.liquidations, seed
                assert run.funding_paid == expected.funding_paid, seed
            traded += len(expected.fills)
            liquidated += len(expected.liquidations)
        assert traded > 300 and liquidated > 0

    def test_a_run_prints_its_money_in_the_coin(self):
        ticks = [halvorn.Tick(t, 500_000, bid=500_000, ask=500_000) for t in range(1, 4)]
        run = venue.run(PerTick([row(0, MARKET, 0, 0, 0, 1_000)]), ticks, "1.5",
                        venue=venue.Venue(instrument=BTCUSD, margin_tiers=COIN_TIERS))
        assert repr(run).endswith("final_equity=1.50 BTC)")
        assert "fees paid      0.00 BTC" in str(run) and "USDT" not in str(run)

    def test_a_file_of_an_inverse_contract_runs_in_its_coin(self, tmp_path):
        """A file converted with its contract, run on a Venue of its
        Instrument, books what the same ticks as a list book: in the coin."""
        from halvorn import data

        prices = [500_000, 500_000, 550_000, 550_000]
        source = data.from_arrays(tmp_path / "btcusd.hvtk", [1, 2, 3, 4], prices,
                                  bid=prices, ask=prices, tick_size="0.1", lot_size="1",
                                  symbol="BTCUSD_PERP", kind="inverse", contract_value="100",
                                  settle="BTC")
        orders = [row(0, MARKET, 0, 0, 0, 1_000), row(2, MARKET, 1, 0, 0, 1_000)]
        on_btcusd = venue.Venue(instrument=BTCUSD, margin_tiers=COIN_TIERS)
        from_file = venue.run(PerTick(orders), source, 1, venue=on_btcusd)
        ticks = [halvorn.Tick(t, p, bid=p, ask=p) for t, p in zip([1, 2, 3, 4], prices)]
        from_list = venue.run(PerTick(orders), ticks, 1, venue=on_btcusd)
        assert from_file.instrument == BTCUSD
        assert from_file.realized == from_list.realized == 18_181_818
        assert list(from_file.fills) == list(from_list.fills)
        assert repr(from_file).endswith("final_equity=1.18181818 BTC)")

    def test_a_portfolio_of_a_linear_and_an_inverse_contract_needs_a_balance_per_wallet(self):
        btcusdt = venue.Instrument("BTCUSDT", "0.1", "0.001", id=2)
        ticks = {s: [halvorn.Tick(t, 500_000, bid=499_999, ask=500_001) for t in range(3)]
                 for s in ("BTCUSD_PERP", "BTCUSDT")}
        venues = {"BTCUSD_PERP": venue.Venue(instrument=BTCUSD, margin_tiers=COIN_TIERS),
                  "BTCUSDT": venue.Venue(instrument=btcusdt)}
        with pytest.raises(ValueError, match="the instruments settle in BTC and USDT, a wallet "
                                             "each"):
            venue.run(PerTick([]), ticks, 1, venue=venues)
        run = venue.run(PerTick([]), ticks, {"BTC": 1, "USDT": 1}, venue=venues)
        assert [(w.currency, w.balance) for w in run.wallets] == [
            ("BTC", halvorn.CASH_SCALE), ("USDT", halvorn.CASH_SCALE)]
        # 1 BTC at 50,000.0 USD and 1 USDT.
        assert run.final_equity == 50_001 * halvorn.CASH_SCALE
