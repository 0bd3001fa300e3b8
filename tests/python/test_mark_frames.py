"""Marks and funding held as columns: a run given marks as a DataFrame, a dict
of arrays or a structured array does exactly what it does given the same
marks as a mark file, and a Venue given funding as columns holds exactly the
FundingRates a user would have built by hand; what cannot be scaled exactly
is refused with its row."""

from decimal import Decimal

import numpy as np
import pandas as pd
import pytest

import halvorn
from halvorn import data, venue

BTC = venue.Instrument("BTCUSDT", "0.1", "0.001")
T0 = 1_704_067_200_000_000_000
S = 1_000_000_000


class Swing:
    """Goes long, then short, then long, so that marks and funding both matter."""

    def __init__(self):
        self.seen = 0

    def on_tick(self, ctx):
        self.seen += 1
        if self.seen % 7 == 1:
            return [halvorn.Order("buy" if ctx.position <= 0 else "sell", 5 if ctx.position else 3)]
        return None


def ticks():
    return [halvorn.Tick(T0 + i * S, 420_000 + (i * 37) % 90 - 45) for i in range(60)]


MARK_TIMES = [T0 + i * 3 * S + 500_000_000 for i in range(20)]
MARK_TICKS = [420_000 + (i * 53) % 200 - 100 for i in range(20)]


def outcome(run):
    return (run.final_equity, run.funding_paid, run.liquidations, list(run.fills))


@pytest.mark.parametrize("form", ["frame", "dict", "structured"])
def test_a_run_on_marks_as_columns_is_the_run_on_their_mark_file(tmp_path, form):
    funding = [venue.FundingRate(time=T0 + 20 * S, rate=500_000, price=0)]
    v = venue.Venue(instrument=BTC, funding=funding, enforce_margin=True)
    by_file = venue.run(Swing(), ticks(), 2_000, venue=v, marks=data.save_marks(
        tmp_path / "m.hvmk", list(zip(MARK_TIMES, MARK_TICKS))))
    if form == "frame":  # datetimes and float prices, scaled by the Instrument
        marks = pd.DataFrame({"time": pd.to_datetime(MARK_TIMES, utc=True),
                              "mark": [m / 10 for m in MARK_TICKS]})
    elif form == "dict":  # integer nanoseconds and ticks, index as a mark file keeps it
        marks = {"time": np.array(MARK_TIMES), "mark": MARK_TICKS, "index": MARK_TICKS}
    else:
        marks = np.array(list(zip(MARK_TIMES, MARK_TICKS)), dtype=[("time", "<i8"), ("mark", "<i8")])
    by_columns = venue.run(Swing(), ticks(), 2_000, venue=v, marks=marks)
    assert outcome(by_columns) == outcome(by_file)
    # The marks count: the same run at the last trades comes out otherwise.
    assert outcome(venue.run(Swing(), ticks(), 2_000, venue=v)) != outcome(by_file)


def test_funding_as_columns_is_the_funding_built_by_hand():
    by_hand = (venue.FundingRate(time=T0, rate=100_000, price=420_015),
               venue.FundingRate(time=T0 + 8 * 3600 * S, rate=-25_000, price=419_990))
    forms = [
        pd.DataFrame({"time": pd.to_datetime([T0, T0 + 8 * 3600 * S]),
                      "rate": [0.0001, -0.000025], "price": [42001.5, 41999.0]}),
        {"time": [T0, T0 + 8 * 3600 * S], "rate": ["0.00010000", "-0.000025"],
         "price": [Decimal("42001.5"), Decimal("41999.0")]},
        {"time": [T0, T0 + 8 * 3600 * S], "rate": [100_000, -25_000], "price": [420_015, 419_990]},
    ]
    for funding in forms:
        assert venue.Venue(instrument=BTC, funding=funding).funding == by_hand
    assert venue.Venue(funding={"time": [T0], "rate": [1], "price": [5]}).funding == (
        venue.FundingRate(time=T0, rate=1, price=5),)


@pytest.mark.parametrize("funding, error, text", [
    ({"time": [T0, T0 + 1], "rate": [0.0001, 0.00012345678], "price": [1, 1]}, ValueError,
     'column rate, row 2: "0.00012345678" is not a whole number of billionths'),
    ({"time": [T0], "rate": [0.0001], "price": [42001.55]}, ValueError,
     'column price, row 1: "42001.55" is not a whole number of ticks of 0.1'),
    ({"time": [T0], "rate": [0.0001]}, ValueError,
     "funding: no column 'price'; give time, rate, price (time, rate, price required)"),
    ({"time": [T0], "rate": [0.0001], "price": [1], "mark": [2]}, ValueError,
     "funding: columns ['mark'] are none of time, rate, price"),
    ({"time": [1.5], "rate": [1], "price": [1]}, TypeError,
     "column time must hold datetimes or integer nanoseconds"),
    ({"time": [T0 + 1, T0], "rate": [1, 1], "price": [1, 1]}, ValueError,
     "funding must be in time order"),
])
def test_funding_columns_that_do_not_scale_are_refused(funding, error, text):
    with pytest.raises(error) as raised:
        venue.Venue(instrument=BTC, funding=funding)
    assert text in str(raised.value)


def test_marks_columns_that_cannot_be_run_are_refused(tmp_path):
    v = venue.Venue(instrument=BTC)
    cases = [
        ({"time": [T0, T0 - 1], "mark": [1, 2]}, ValueError,
         f"marks: mark 1 goes backwards: previous time {T0}, found {T0 - 1}"),
        ({"time": [T0], "mark": [42000.05]}, ValueError,
         'column mark, row 1: "42000.05" is not a whole number of ticks of 0.1'),
        ({"time": [T0], "mark": [1], "price": [1]}, ValueError,
         "marks: columns ['price'] are none of time, mark, index (time, mark required)"),
        ({"time": [T0], "mark": [1, 2]}, ValueError, "column mark has 2 values where time has 1"),
    ]
    for marks, error, text in cases:
        with pytest.raises(error) as raised:
            venue.run(Swing(), ticks(), 2_000, venue=v, marks=marks)
        assert text in str(raised.value)
    with pytest.raises(TypeError, match="need an instrument to be scaled"):
        venue.run(Swing(), ticks(), 2_000, marks={"time": [T0], "mark": [42000.0]})
    # A portfolio's marks stay files, one per symbol.
    with pytest.raises(ValueError, match="a portfolio's marks are a dict of symbol to MarkSource"):
        venue.run(Swing(), {"BTCUSDT": ticks()}, 2_000, venue={"BTCUSDT": v},
                  marks=pd.DataFrame({"time": [T0], "mark": [1]}))
