"""The report's HTML page of a venue run: what it holds (the chart's data in
the instrument's units, its zoom and hover settings, the tables), how it
thins long series, what it says when there is nothing to draw, and what
headless Chromium shows of it."""

import html.parser
import json
import math
import os
import re
import shutil
import subprocess

import pytest

import halvorn
from halvorn import _report_page, report, venue

from test_report import colour_counts
from test_report_trips import BTC, SECOND, START, Idle

numpy = pytest.importorskip("numpy")
pytest.importorskip("pandas", reason="pandas is halvorn[report]")
pytest.importorskip("plotly", reason="plotly is halvorn[report]")


class Swing:
    """Long 3 lots while the price rises over 20 ticks, short 2 while it falls:
    every change of mind is one reversing fill."""

    def __init__(self):
        self.history = []

    def on_tick(self, ctx):
        self.history.append(ctx.last)
        if len(self.history) < 21 or ctx.working:
            return None
        rising = self.history[-1] > self.history[-21]
        if rising and ctx.position <= 0:
            return [halvorn.Order("buy", 3 - ctx.position)]
        if not rising and ctx.position >= 0:
            return [halvorn.Order("sell", 2 + ctx.position)]
        return None


def wave(n=3_000):
    return [halvorn.Tick(exch_ts=START + i * SECOND, last=600_000 + round(400 * math.sin(i / 90)),
                         bid=599_999 + round(400 * math.sin(i / 90)),
                         ask=600_001 + round(400 * math.sin(i / 90))) for i in range(n)]


def swing_run(ticks):
    v = venue.Venue(taker_fee=venue.rate("0.0005"), instrument=BTC)
    return venue.run(Swing(), ticks, 10_000, venue=v, equity_every=10)


class Page(html.parser.HTMLParser):
    """The references, text and script of a page."""

    def __init__(self, text):
        super().__init__()
        self.references, self.text, self.scripts, self._in_script = [], [], [], False
        self.feed(text)

    def handle_starttag(self, tag, attrs):
        self._in_script = tag == "script"
        self.references += [(tag, name, value) for name, value in attrs if name in ("src", "href")]

    def handle_endtag(self, tag):
        self._in_script = False

    def handle_data(self, data):
        (self.scripts if self._in_script else self.text).append(data)

    def chart(self):
        """(data, layout, config) as given to Plotly.newPlot."""
        (call,) = [s for s in self.scripts if "Plotly.newPlot(" in s and len(s) < 10**7
                   and s.lstrip().startswith("Plotly.newPlot")]
        decoder, at = json.JSONDecoder(), call.index('"chart",') + len('"chart",')
        values = []
        for _ in range(3):
            while call[at] in " ,\n":
                at += 1
            value, at = decoder.raw_decode(call, at)
            values.append(value)
        return values


def write(tmp_path, run, name="run.html", **options):
    path = tmp_path / name
    report.html(run, path, **options)
    return Page(path.read_text(encoding="utf-8")), path


@pytest.fixture(scope="module")
def swing():
    ticks = wave()
    return swing_run(ticks), ticks


class TestThePage:
    def test_offline_interactive_and_in_units(self, tmp_path, swing):
        run, ticks = swing
        page, _ = write(tmp_path, run, ticks=ticks)
        assert page.references == []
        data, layout, config = page.chart()
        assert (config["scrollZoom"], layout["dragmode"]) == (True, "zoom")
        assert layout["xaxis"]["type"] == "date" and layout["xaxis"]["title"]["text"] == "time (UTC)"
        traces = {t["name"]: t for t in data}
        assert list(traces) == ["equity", "BTCUSDT buy and hold", "drawdown", "last price", "buys",
                                "sells", "position"]
        # Holding the contract instead, from the same balance.
        held = traces["BTCUSDT buy and hold"]
        assert held["y"][0] == 10_000 and held["x"][-1] == ticks[-1].exch_ts / 1e6
        assert held["y"][-1] == pytest.approx(10_000 * ticks[-1].last / ticks[0].last)
        assert all("UTC" in t["hovertemplate"] for t in data)
        # Prices in USDT (ticks of 0.1) and positions in BTC (lots of 0.001).
        fills = numpy.asarray(run.fills)
        buys = fills[fills["side"] == 0]
        assert traces["buys"]["y"] == pytest.approx((buys["price"] / 10).tolist())
        assert traces["buys"]["x"][0] == pytest.approx(buys["exch_ts"][0] / 1e6)
        assert max(traces["position"]["y"]) == pytest.approx(0.003)
        assert min(traces["position"]["y"]) == pytest.approx(-0.002)
        titles = [layout[k]["title"]["text"] for k in ("yaxis", "yaxis2", "yaxis3", "yaxis4")]
        assert titles == ["equity (USDT)", "drawdown (%)", "price (USDT)", "position (BTC)"]

        text = " ".join(page.text)
        summary = report.summary(run, ticks=ticks)
        assert f"BTCUSDT: 2024-01-01 00:00:00 UTC to 2024-01-01 00:49:59 UTC, return " \
               f"{summary.total_return * 100:+.2f} %" in text
        for label, value in summary.table():
            assert label in text and value in text
        # Every reversal is a close and an open, in the fills table as in the trips.
        assert text.count("close+open") == len(run.fills) - 1
        assert f"{len(report.round_trips(run)):,} round trips." in text

    def test_long_series_are_thinned_and_tables_cut(self, tmp_path):
        class EveryTick:
            def on_tick(self, ctx):
                return [halvorn.Order("sell" if ctx.position > 0 else "buy", 1)]

        ticks = wave(30_000)
        run = venue.run(EveryTick(), ticks, 10_000, equity_every=1)
        assert len(run.fills) > 20_000
        page, _ = write(tmp_path, run, ticks=ticks, max_fills=7, max_trips=5)
        data, _, _ = page.chart()
        assert max(len(t["x"]) for t in data) <= 2 * _report_page.BUCKETS + 2
        assert "buys (" in " ".join(t["name"] for t in data)
        text = " ".join(page.text)
        assert f"The first 7 of {len(run.fills):,} fills." in text
        assert "The first 5 of " in text
        equity = next(t for t in data if t["name"] == "equity")
        # The thinned line still reaches the lowest and highest equity.
        curve = numpy.asarray(run.equity_curve) / halvorn.CASH_SCALE
        assert (min(equity["y"]), max(equity["y"])) == (curve.min(), curve.max())

    def test_a_run_with_nothing_to_draw_says_so(self, tmp_path):
        run = venue.run(Idle(), wave(50), 100)
        page, _ = write(tmp_path, run)
        data, layout, _ = page.chart()
        assert data == [] and layout["xaxis"]["visible"] is False
        said = [a["text"] for a in layout["annotations"]]
        assert said == [
            "no equity samples: run with equity_every above 0 to chart the equity"] * 2 + [
            "no fills, and no ticks given to draw the price (pass ticks=)",
            "no fills: the account never held a position"]
        assert "No round trips." in " ".join(page.text)


def test_the_envelope_keeps_each_stretchs_extremes():
    values = numpy.random.default_rng(7).normal(size=100_003).cumsum()
    kept = _report_page.envelope(numpy, values, buckets=50)
    assert len(kept) <= 102 and kept[0] == 0 and kept[-1] == len(values) - 1
    assert (numpy.diff(kept) > 0).all()
    size = -(-len(values) // 50)
    for start in range(0, len(values), size):
        stretch = values[start:start + size]
        assert start + stretch.argmin() in kept and start + stretch.argmax() in kept
    assert _report_page.envelope(numpy, values[:10], buckets=50).tolist() == list(range(10))


def chromium(*arguments, tmp_path):
    browser = shutil.which("chromium") or shutil.which("chromium-browser")
    if browser is None:
        pytest.skip("chromium is not installed; tools/test.sh installs it")
    # The virtual time budget lets the page's scripts finish drawing before
    # the picture or the DOM is taken, without waiting on a clock.
    command = [browser, "--headless", "--disable-gpu", "--hide-scrollbars",
               f"--user-data-dir={tmp_path / 'profile'}", "--virtual-time-budget=20000",
               *arguments]
    if os.geteuid() == 0:
        command.insert(1, "--no-sandbox")
    return subprocess.run(command, capture_output=True, text=True, timeout=300)


def test_chromium_draws_the_charts(tmp_path, swing):
    run, ticks = swing
    _, path = write(tmp_path, run, ticks=ticks)
    shot = tmp_path / "shot.png"
    done = chromium("--window-size=1400,1000", f"--screenshot={shot}", path.as_uri(),
                    tmp_path=tmp_path)
    assert shot.is_file(), done.stderr
    size, blank, counts = colour_counts(shot, {"equity": _report_page.EQUITY,
                                               "drawdown": _report_page.DRAWDOWN,
                                               "price": _report_page.PRICE,
                                               "buy": _report_page.BUY,
                                               "sell": _report_page.SELL})
    assert size == (1400, 1000) and 0.4 < blank < 0.97
    # Equity and drawdown at the top, the price with its fills below them.
    assert counts["equity"][0] > 150 and counts["drawdown"][1] > 300
    assert sum(counts["price"]) > 200 and sum(counts["buy"]) > 20 and sum(counts["sell"]) > 20

    done = chromium("--dump-dom", path.as_uri(), tmp_path=tmp_path)
    assert done.returncode == 0, done.stderr
    dom = done.stdout
    # Plotly has drawn its SVG: a plot area per panel, and time labels on
    # the shared axis that read the run's own dates.
    assert dom.count('class="main-svg"') >= 2 and dom.count('class="nsewdrag drag"') == 4
    labels = re.findall(r'class="xtick"[^>]*>.*?<text[^>]*>(.*?)</text>', dom)
    assert labels and any("2024" in label for label in labels)
    assert not any("1970" in label for label in labels)
    assert 'data-title="Zoom"' in dom and 'data-title="Pan"' in dom
