"""The report's page of runs that are easy to get wrong (no fills, one fill,
liquidated on the tick of its only fill, hedge mode), panels of a user's own
on the run's time axis, and what headless Chromium shows of both: the panel
where its times say, and every table inside a window 1,400 pixels wide."""

import json
import math
import re

import pytest

import halvorn
from halvorn import _report_panels, report, venue

from test_report import colour_counts
from test_report_page import chromium, swing_run, wave, write
from test_report_trips import BTC, SECOND, START, Idle

numpy = pytest.importorskip("numpy")
pandas = pytest.importorskip("pandas", reason="pandas is halvorn[report]")
pytest.importorskip("plotly", reason="plotly is halvorn[report]")


class Once:
    """Buys `qty` lots on its first tick and holds them."""

    def __init__(self, qty):
        self.qty, self.sent = qty, False

    def on_tick(self, ctx):
        if self.sent:
            return None
        self.sent = True
        return [venue.Order("buy", self.qty)]


class Hedged:
    """Opens a long and a short leg, then closes the short."""

    PLAN = {2: [venue.Order("buy", 5, offset="open")], 4: [venue.Order("sell", 3, offset="open")],
            8: [venue.Order("buy", 3, offset="close")]}

    def __init__(self):
        self.calls = 0

    def on_tick(self, ctx):
        self.calls += 1
        return self.PLAN.get(self.calls)


def falling(n=40):
    return [halvorn.Tick(exch_ts=START + i * SECOND, last=600_000 - 50 * i,
                         bid=599_999 - 50 * i, ask=600_001 - 50 * i) for i in range(n)]


def runs():
    btc = venue.Venue(instrument=BTC)
    hedge = venue.Venue(instrument=BTC, hedge=True)
    return {
        "no fills": (venue.run(Idle(), falling(), 1_000, venue=btc, equity_every=5), None),
        "one fill": (venue.run(Once(2), falling(), 1_000, venue=btc, equity_every=5), None),
        # 500 BTC on 1,000 USDT: liquidated on the tick it filled on.
        "liquidated at once": (venue.run(Once(500_000), falling(), 1_000, venue=btc,
                                         equity_every=5), None),
        "hedge mode": (venue.run(Hedged(), falling(), 1_000, venue=hedge, equity_every=5),
                       hedge),
    }


@pytest.mark.parametrize("case", ["no fills", "one fill", "liquidated at once", "hedge mode"])
@pytest.mark.parametrize("given_ticks", [False, True], ids=["without ticks", "with ticks"])
def test_the_page_of_each_kind_of_run(tmp_path, case, given_ticks):
    run, hedge = runs()[case]
    ticks = falling() if given_ticks else None
    page, _ = write(tmp_path, run, ticks=ticks, venue=hedge)
    data, layout, _ = page.chart()
    text = " ".join(page.text)
    traces = {t["name"]: t for t in data}
    summary = report.summary(run, ticks=ticks, venue=hedge)
    for label, value in summary.table():
        assert label in text and value in text
    assert ("last price" in traces) == given_ticks
    assert ("BTCUSDT buy and hold" in traces) == given_ticks
    if case == "no fills":
        assert not run.fills and "No round trips." in text and "No fills." in text
        said = [a["text"] for a in layout["annotations"]]
        assert "no fills: the account never held a position" in said
        assert "buys" not in traces
    elif case == "one fill":
        assert "1 round trip." in text and "1 fill." in text
        assert traces["position"]["y"][-1] == pytest.approx(0.002)
        # The trip is still open: valued at the last tick only when given.
        trips = report.round_trips(run, ticks=ticks)
        assert trips["open"].tolist() == [True]
        assert (trips["net"][0] is None) == (not given_ticks)
    elif case == "liquidated at once":
        (liquidation,) = run.liquidations
        assert liquidation.at == numpy.asarray(run.fills)["exch_ts"][0]
        assert run.final_equity <= 0 < run.equity_curve[0]
        assert report.round_trips(run)["liquidated"].tolist() == [True]
        assert "Liquidations" in text and traces["position"]["y"][-1] == 0
    else:
        trips = report.round_trips(run, venue=hedge)
        assert trips["side"].tolist() == ["long", "short"]
        assert trips["open"].tolist() == [True, False]
        # Both legs held at once net to +2 lots in the position panel.
        assert max(traces["position"]["y"]) == pytest.approx(0.005)
        assert traces["position"]["y"][-1] == pytest.approx(0.005)


def test_the_trips_table_reads_prices_by_the_instruments_step(tmp_path):
    eth = venue.Instrument("ETHUSDT", "0.01", "0.001")
    ticks = [halvorn.Tick(exch_ts=START + i * SECOND, last=300_010 + i, bid=300_010 + i,
                          ask=300_010 + i) for i in range(12)]

    class Twice:  # two buys at different prices, one sell of both
        PLAN = {1: [venue.Order("buy", 1)], 2: [venue.Order("buy", 2)],
                6: [venue.Order("sell", 3)]}

        def __init__(self):
            self.calls = 0

        def on_tick(self, ctx):
            self.calls += 1
            return self.PLAN.get(self.calls)

    run = venue.run(Twice(), ticks, 1_000, venue=venue.Venue(instrument=eth), equity_every=1)
    page, _ = write(tmp_path, run, ticks=ticks)
    text = " ".join(page.text)
    # Fills at 3000.11 and 3000.12: the average is off the grid and keeps
    # the digits it needs; a price on it reads with the step's two places.
    assert "3000.116667" in text and "3000.16" in text
    assert not re.search(r"3000\.1[0-9]0{3,}", text)
    assert "entry price (USDT)" in text and "qty (ETH)" in text


def step_series(times, at):
    """0 before `at`, 1 from it on, at each of `times`."""
    return pandas.Series([float(t >= at) for t in times],
                         index=pandas.to_datetime(times, unit="ns", utc=True))


class TestPanels:
    def test_panels_join_the_charts_on_their_time_axis(self, tmp_path):
        ticks = wave(600)
        run = swing_run(ticks)
        times = [t.exch_ts for t in ticks]
        z = [math.sin(i / 30) for i in range(len(times))]
        z[10] = float("nan")
        page, _ = write(tmp_path, run, ticks=ticks, panels={
            "z-score": (times, z),
            "averages": {"fast": step_series(times, times[300]),
                         "slow": pandas.Series(z, index=numpy.array(times))}})
        data, layout, _ = page.chart()
        traces = {t["name"]: t for t in data}
        assert [traces[n]["xaxis"] for n in ("z-score", "fast", "slow", "equity")] == ["x"] * 4
        assert traces["z-score"]["x"][0] == times[0] / 1e6
        assert traces["z-score"]["y"][10] is None  # a gap, not a zero
        assert traces["fast"]["x"] == traces["slow"]["x"] == traces["z-score"]["x"]
        axes = {layout[k]["title"]["text"]: k for k in layout if k.startswith("yaxis")}
        assert axes.keys() >= {"z-score", "averages", "equity (USDT)"}
        assert traces["fast"]["yaxis"] == traces["slow"]["yaxis"] != traces["z-score"]["yaxis"]
        # Under the run's own panels, and the page taller for them.
        assert layout[axes["averages"]]["domain"][1] < layout[axes["z-score"]]["domain"][0]
        assert layout[axes["z-score"]]["domain"][1] < layout["yaxis4"]["domain"][0]
        assert layout["height"] == 980 + 2 * 260

    def test_the_chart_draws_them_too(self, tmp_path):
        pytest.importorskip("matplotlib", reason="matplotlib is halvorn[report]")
        ticks = wave(600)
        run = swing_run(ticks)
        times = [t.exch_ts for t in ticks]
        path = tmp_path / "run.png"
        report.plot(run, path, ticks=ticks, panels={"signal": step_series(times, times[300])})
        size, _, counts = colour_counts(path, {"panel": _report_panels.COLOURS[0]})
        assert size == (1000, 1000)
        assert counts["panel"][2] > 100 and counts["panel"][0] == 0

    @pytest.mark.parametrize("panels, error, message", [
        ([1, 2], TypeError, "panels must be a dict"),
        ({1: ([1], [1.0])}, TypeError, "title must be a str"),
        ({"z": [1, 2]}, TypeError, "panel 'z': a series is a pandas Series"),
        ({"z": ([1.5], [1.0])}, TypeError, "times must be integers"),
        ({"z": {"a": ([1, 2], [1.0])}}, ValueError, "panel 'z', line 'a': 2 times and 1 values"),
        ({"z": ([1], ["high"])}, TypeError, "values must be numbers"),
    ])
    def test_what_is_not_a_series_is_refused(self, tmp_path, panels, error, message):
        run = venue.run(Idle(), wave(20), 100, equity_every=5)
        with pytest.raises(error, match=message):
            report.html(run, tmp_path / "run.html", panels=panels)

    def test_a_run_result_has_no_time_axis_for_them(self, tmp_path):
        result = halvorn.run_backtest(Idle(), wave(20), 100, equity_every=5)
        for draw in (report.html, report.plot):
            with pytest.raises(ValueError, match="a RunResult has no times to draw a panel"):
                draw(result, tmp_path / "run.out", panels={"z": ([1], [1.0])})


# Measures each table once the page has laid itself out, and writes what it
# found into the page for --dump-dom to print.
PROBE = """<script>
window.addEventListener("load", () => setTimeout(() => {
  const tables = [...document.querySelectorAll("table")].map(t => ({
    right: t.getBoundingClientRect().right, box: t.parentElement.clientWidth,
    inner: t.parentElement.scrollWidth}));
  const out = document.createElement("pre");
  out.id = "probe";
  out.textContent = JSON.stringify({page: document.documentElement.scrollWidth,
                                    window: window.innerWidth, tables});
  document.body.appendChild(out);
}, 0));
</script>"""


def test_chromium_draws_the_panel_on_the_time_axis_and_fits_the_tables(tmp_path):
    ticks = wave(3_000)
    run = swing_run(ticks)
    times = [t.exch_ts for t in ticks]
    middle = times[1_500]
    _, path = write(tmp_path, run, ticks=ticks, panels={"signal": step_series(times, middle)})
    shot = tmp_path / "shot.png"
    chromium("--window-size=1400,1500", f"--screenshot={shot}", path.as_uri(), tmp_path=tmp_path)
    assert shot.is_file()
    image_module = pytest.importorskip("PIL.Image", reason="pillow comes with matplotlib")
    with image_module.open(shot) as image:
        rgb = numpy.asarray(image.convert("RGB"), dtype=numpy.int64)

    def near(colour):
        target = numpy.array([int(colour[i:i + 2], 16) for i in (1, 3, 5)])
        return numpy.abs(rgb - target).sum(axis=2) < 60

    # The equity line and the signal both end at the run's last time, the
    # right end of the time axis.  The signal, drawn under the run's own
    # panels (its swatch is in the legend above them), starts at the first
    # and must step up where its time falls between the two.
    equity = numpy.nonzero(near("#1f5fa8"))
    rows, columns = numpy.nonzero(near(_report_panels.COLOURS[0]))
    below = rows > equity[0].max()
    rows, columns = rows[below], columns[below]
    assert len(rows) > 300
    left, right = columns.min(), equity[1].max()
    assert abs(columns.max() - right) <= 2 and right - left > 1_000
    high = columns[rows <= rows.min() + 1]
    first, last = run.equity_times[0], run.equity_times[-1]
    expected = left + (middle - first) / (last - first) * (right - left)
    assert abs(high.min() - expected) <= 4, (high.min(), expected)

    probe = tmp_path / "probe.html"
    probe.write_text(path.read_text(encoding="utf-8").replace("</body>", PROBE + "</body>"),
                     encoding="utf-8")
    done = chromium("--window-size=1400,1000", "--dump-dom", probe.as_uri(), tmp_path=tmp_path)
    found = json.loads(re.search(r'<pre id="probe">(.*?)</pre>', done.stdout).group(1))
    assert found["window"] == 1400 and found["page"] <= 1400
    assert len(found["tables"]) == 3  # statistics, round trips, fills
    for table in found["tables"]:
        # Whole inside the window, and nothing hidden behind a scroll bar.
        assert table["right"] <= 1400 and table["inner"] <= table["box"], table
