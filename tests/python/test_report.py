"""halvorn.report: the statistics of a run whose equity curve is known in advance,
the frames, the chart and page as a person sees them (the PNG opened, the
page rendered by headless Chromium), and how they replace an earlier report."""

import errno
import html.parser
import io
import os
import shutil
import stat
import subprocess
import sys
import threading

import pytest

import halvorn
from halvorn import report, sweep

try:
    from halvorn import venue
except ImportError:
    venue = None

from subprocess_run import run_python
from test_sweep import TICKS, Lagged

needs_venue = pytest.mark.skipif(venue is None, reason="halvorn.venue has not landed in this "
                                 "build; the venue path is tested once it has")
SCALE = halvorn.CASH_SCALE

# One buy of 100 lots at 1_000, filled on the second tick; with a contract size
# of 10_000 every tick of price is 1 % of the one-USDT balance, so the equity
# follows the last price exactly.
LAST = [1_000, 1_000, 1_020, 990, 1_000, 1_030, 1_025, 1_010]
CURVE = [SCALE, SCALE, SCALE, 120 * SCALE // 100, 90 * SCALE // 100, SCALE,
         130 * SCALE // 100, 125 * SCALE // 100, 110 * SCALE // 100]


class BuyOnce:
    def __init__(self):
        self.sent = False

    def on_tick(self, ctx):
        if self.sent:
            return None
        self.sent = True
        return [halvorn.Order("buy", 100)]


def scripted_ticks():
    return [halvorn.Tick(1_000 + i, last, bid=last, ask=last) for i, last in enumerate(LAST)]


def scripted_run():
    run = halvorn.run_backtest(BuyOnce(), scripted_ticks(), 1, enforce_margin=False,
                               equity_every=1)
    assert run.equity_curve == CURVE and run.fill_prices == [1_000]
    return run


def walk_run():
    return halvorn.run_backtest(Lagged(3, 1), TICKS, 1_000, equity_every=20)


class TestStats:
    def test_a_curve_known_in_advance(self):
        s = report.stats(scripted_run())
        assert (s.strategy, s.ticks, s.periods, s.fills, s.liquidations) == (
            "BuyOnce", 8, 8, 1, 0)
        assert s.total_return == pytest.approx(0.1, abs=1e-15)
        # From 1.2 down to 0.9 is the deepest; 1.3 to 1.1 is deeper in cash
        # terms relative to nothing, but shallower as a share of its peak.
        assert (s.max_drawdown, s.max_drawdown_cash) == (0.25, 30 * SCALE // 100)
        assert s.drawdown_periods == 3  # from the sample at 1.2 to the one at 1.3
        assert (s.drawdown_ns, s.exposure) == (None, None)

        r = sweep.returns(CURVE)
        sharpe, skewness, kurtosis = halvorn.moments(r)
        assert s.sharpe == halvorn.sharpe_ratio(r) == sharpe
        assert s.psr == halvorn.probabilistic_sharpe_ratio(sharpe, 0.0, 8, skewness, kurtosis)
        assert s.min_trl == halvorn.minimum_track_record_length(sharpe, 0.0, skewness, kurtosis)
        higher = report.stats(scripted_run(), benchmark=sharpe * 2, confidence=0.99)
        assert higher.min_trl is None and higher.psr < s.psr and higher.confidence == 0.99

    @pytest.mark.parametrize("curve, worst, peak, periods", [
        ([100, 120, 90, 100, 130, 125], 0.25, 1, 3),
        ([100, 80, 90], 0.2, 0, 2),              # never recovered: lasts to the end
        ([100, 120, 110, 120, 60, 70], 0.5, 3, 2),  # the episode starts at the last touch
        ([100, 101, 102], 0.0, None, 0),
    ])
    def test_the_deepest_drawdown_and_how_long_it_lasted(self, curve, worst, peak, periods):
        d = report._drawdowns(curve)
        assert (d.worst, d.end - d.peak) == (worst, periods)
        assert peak is None or d.peak == peak
        assert d.fractions == [
            (max(curve[:i + 1]) - x) / max(curve[:i + 1]) for i, x in enumerate(curve)]

    def test_a_table_to_read(self):
        text = str(report.stats(scripted_run()))
        lines = dict(line.split("  ", 1) for line in text.splitlines())
        assert lines["Return"].strip() == "+10.00 %"
        assert lines["Max drawdown"].strip() == "25.00 % (0.30 USDT)"
        assert lines["Max drawdown duration"].strip() == "3 periods"
        assert lines["Exposure"].strip() == "needs a venue.Run"

    def test_a_run_without_a_curve(self):
        run = halvorn.run_backtest(BuyOnce(), scripted_ticks(), 1, enforce_margin=False)
        for call in (report.stats, report.equity_frame):
            with pytest.raises(ValueError, match="run it with equity_every above 0"):
                call(run)
        with pytest.raises(TypeError, match="expected a RunResult or a halvorn.venue.Run"):
            report.stats(CURVE)


class TestFrames:
    def test_equity_and_fills_of_a_run_result(self):
        pytest.importorskip("pandas", reason="pandas is halvorn[report]")
        run = scripted_run()
        equity = report.equity_frame(run)
        assert equity.index.name == "sample"
        assert equity["equity"].tolist() == CURVE
        assert equity["returns"].tolist()[1:] == sweep.returns(CURVE)
        assert equity["drawdown"].tolist()[4] == 0.25
        fills = report.fills_frame(walk_run())
        assert fills.index.name == "fill" and list(fills.columns) == ["price"]
        assert fills["price"].tolist() == walk_run().fill_prices

    @pytest.mark.parametrize("module, call", [
        ("pandas", report.fills_frame), ("pandas", report.equity_frame),
        ("matplotlib", lambda run: report.plot(run, "never.png"))])
    def test_without_the_extra(self, monkeypatch, module, call):
        monkeypatch.setitem(sys.modules, module, None)
        with pytest.raises(ImportError, match=rf"needs {module}: pip install halvorn\[report\]"):
            call(scripted_run())


def colour_counts(path, colours):
    """Pixels near each colour in each third of the picture, top to bottom."""
    image_module = pytest.importorskip("PIL.Image", reason="pillow comes with matplotlib")
    with image_module.open(path) as image:
        rgb = image.convert("RGB")
        width, height = rgb.size
        pixels = rgb.load()
        counts = {name: [0, 0, 0] for name in colours}
        blank = 0
        for y in range(0, height, 2):
            for x in range(0, width, 2):
                r, g, b = pixels[x, y]
                if r > 245 and g > 245 and b > 245:
                    blank += 1
                for name, colour in colours.items():
                    cr, cg, cb = (int(colour[i:i + 2], 16) for i in (1, 3, 5))
                    if abs(r - cr) + abs(g - cg) + abs(b - cb) < 60:
                        counts[name][min(2, 3 * y // height)] += 1
        return (width, height), blank / ((width // 2) * (height // 2)), counts


class TestPicture:
    def test_the_chart_shows_equity_drawdown_and_fills(self, tmp_path):
        pytest.importorskip("matplotlib", reason="matplotlib is halvorn[report]")
        path = tmp_path / "run.png"
        report.plot(walk_run(), path)
        size, blank, counts = colour_counts(path, {"equity": report._EQUITY,
                                                   "drawdown": report._DRAWDOWN,
                                                   "fills": report._FILL})
        assert size == (1000, 800)
        assert 0.3 < blank < 0.97, "a chart is neither blank nor solid"
        assert counts["equity"][0] > 200 and counts["equity"][2] == 0
        assert counts["drawdown"][1] > 200 and counts["drawdown"][0] == 0
        assert counts["fills"][2] > 200 and counts["fills"][0] == 0

    def test_fills_of_a_run_result_have_no_place_on_a_price_series(self, tmp_path):
        pytest.importorskip("matplotlib", reason="matplotlib is halvorn[report]")
        with pytest.raises(ValueError, match="a RunResult has no fill times"):
            report.plot(walk_run(), tmp_path / "run.png", ticks=TICKS)


class Resources(html.parser.HTMLParser):
    def __init__(self):
        super().__init__()
        self.references = []
        self.text = []

    def handle_starttag(self, tag, attrs):
        for name, value in attrs:
            if name in ("src", "href") or tag == "link":
                self.references.append((tag, name, value))

    def handle_data(self, data):
        self.text.append(data)


class TestPage:
    def write(self, tmp_path, run, **options):
        pytest.importorskip("matplotlib", reason="matplotlib is halvorn[report]")
        pytest.importorskip("pandas", reason="pandas is halvorn[report]")
        path = tmp_path / "run.html"
        report.html(run, path, **options)
        return path

    def test_one_self_contained_file(self, tmp_path):
        run = walk_run()
        path = self.write(tmp_path, run, title="Lagged <3, 1>", max_fills=10)
        page = Resources()
        page.feed(path.read_text(encoding="utf-8"))
        # The chart is drawn by a script written into the page: nothing is
        # fetched from anywhere.
        assert page.references == []
        text = " ".join(page.text)
        assert "plotly.js v" in text and "Plotly.newPlot" in text
        assert "Lagged <3, 1>" in text
        for label, value in report.stats(run).table():
            assert label in text and value in text
        assert f"The first 10 of {run.fills:,} fills." in text

    def test_chromium_shows_the_page(self, tmp_path):
        chromium = shutil.which("chromium") or shutil.which("chromium-browser")
        if chromium is None:
            pytest.skip("chromium is not installed; tools/test.sh installs it")
        path = self.write(tmp_path, walk_run())
        shot = tmp_path / "shot.png"
        command = [chromium, "--headless", "--disable-gpu", "--hide-scrollbars",
                   f"--user-data-dir={tmp_path / 'profile'}", "--window-size=1100,1500",
                   f"--screenshot={shot}", path.as_uri()]
        if os.geteuid() == 0:
            command.insert(1, "--no-sandbox")
        done = subprocess.run(command, capture_output=True, text=True, timeout=300)
        assert shot.is_file(), done.stderr
        size, blank, counts = colour_counts(shot, {"equity": report._EQUITY,
                                                   "drawdown": report._DRAWDOWN})
        assert size == (1100, 1500)
        assert 0.3 < blank < 0.98
        # The chart is in the top half of the page: the embedded image loaded.
        assert counts["equity"][0] > 200 and counts["drawdown"][0] + counts["drawdown"][1] > 200


@needs_venue
class TestVenueRun:
    def scripted(self):
        run = venue.run(BuyOnce(), scripted_ticks(), 1, venue=venue.Venue(enforce_margin=False),
                        equity_every=1)
        assert list(run.equity_curve) == CURVE
        return run

    def test_stats_in_time_and_exposure(self):
        run = self.scripted()
        s = report.stats(run)
        assert (s.max_drawdown, s.drawdown_periods, s.fills) == (0.25, 3, 1)
        # Samples after ticks 2 and 5, whose exchange times are 1_002 and 1_005.
        assert s.drawdown_ns == 3
        assert s.exposure == run.exposed_ticks / run.ticks and 0 < s.exposure < 1

    def test_frames(self):
        pytest.importorskip("pandas", reason="pandas is halvorn[report]")
        run = self.scripted()
        fills = report.fills_frame(run)
        assert fills[["exch_ts", "price", "qty", "side", "offset"]].values.tolist() == [
            [1_001, 1_000, 100, "buy", "open"]]
        assert fills.index[0].value == 1_001
        equity = report.equity_frame(run)
        assert equity["exch_ts"].tolist() == list(run.equity_times)
        assert equity["equity"].tolist() == CURVE

    @pytest.mark.parametrize("source", ["list", "file"])
    def test_the_chart_puts_the_fills_over_the_price(self, tmp_path, source):
        pytest.importorskip("matplotlib", reason="matplotlib is halvorn[report]")
        ticks = TICKS
        if source == "file":
            halvorn.save_ticks(str(tmp_path / "walk.hvtk"), TICKS)
            ticks = halvorn.load_ticks(str(tmp_path / "walk.hvtk"))
        run = venue.run(Lagged(3, 1), ticks, 1_000, equity_every=20)
        path = tmp_path / "run.png"
        report.plot(run, path, ticks=ticks)
        _, _, counts = colour_counts(path, {"price": report._PRICE, "buy": report._BUY,
                                            "sell": report._SELL})
        assert counts["price"][2] > 200
        assert counts["buy"][2] > 20 and counts["sell"][2] > 20


class TestReplacingAReport:
    """A report is written beside its target and renamed over it once complete,
    so an earlier report survives any failure of the new one."""

    @pytest.fixture
    def earlier(self, tmp_path):
        pytest.importorskip("matplotlib", reason="matplotlib is halvorn[report]")
        pytest.importorskip("pandas", reason="pandas is halvorn[report]")
        path = tmp_path / "run.html"
        path.write_bytes(b"<p>the report of yesterday's run</p>\n")
        return path

    @pytest.mark.parametrize("failure", [OSError(errno.ENOSPC, "No space left on device"),
                                         KeyboardInterrupt()], ids=["disk full", "ctrl-c"])
    def test_a_chart_that_fails_half_written(self, earlier, monkeypatch, failure):
        from matplotlib.figure import Figure

        draw = Figure.savefig

        def half_then_fail(figure, out, **options):
            whole = io.BytesIO()
            draw(figure, whole, **options)
            half = whole.getvalue()[:len(whole.getvalue()) // 2]
            if isinstance(out, (str, os.PathLike)):
                with open(out, "wb") as file:
                    file.write(half)
            else:
                out.write(half)
                out.flush()
            raise failure

        monkeypatch.setattr(Figure, "savefig", half_then_fail)
        before = sorted(os.listdir(earlier.parent))
        with pytest.raises(type(failure)) as raised:
            report.plot(walk_run(), earlier)
        assert raised.value is failure
        assert earlier.read_bytes() == b"<p>the report of yesterday's run</p>\n"
        assert sorted(os.listdir(earlier.parent)) == before

    def test_a_page_that_outgrows_the_disk(self, earlier):
        # A file size limit fails the page's write part-way, as a full disk does.
        done = run_python(f"""
            import errno, resource, signal, sys
            sys.path.insert(0, {os.path.dirname(__file__)!r})
            from test_report import walk_run
            from halvorn import report
            run = walk_run()
            report.plot(run, {str(earlier.parent / "chart.png")!r})
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            resource.setrlimit(resource.RLIMIT_FSIZE, (16_384, resource.RLIM_INFINITY))
            try:
                report.html(run, {str(earlier)!r})
            except OSError as error:
                print(errno.errorcode[error.errno])
        """, timeout=300)
        assert done.stdout.strip() == "EFBIG", done.stderr
        assert earlier.read_bytes() == b"<p>the report of yesterday's run</p>\n"
        assert sorted(os.listdir(earlier.parent)) == ["chart.png", "run.html"]

    def test_permissions_links_and_targets_that_are_not_files(self, earlier, tmp_path):
        run = walk_run()
        earlier.chmod(0o600)
        link = tmp_path / "latest.html"
        link.symlink_to(earlier.name)
        report.html(run, link)
        assert link.is_symlink() and earlier.read_bytes().startswith(b"<!DOCTYPE html>")
        assert stat.S_IMODE(earlier.stat().st_mode) == 0o600

        mask = os.umask(0o027)
        try:
            report.html(run, tmp_path / "new.html")
        finally:
            os.umask(mask)
        assert stat.S_IMODE((tmp_path / "new.html").stat().st_mode) == 0o640

        with pytest.raises(IsADirectoryError):
            report.html(run, tmp_path)
        with pytest.raises(FileNotFoundError) as missing:
            report.html(run, tmp_path / "nowhere" / "run.html")
        assert missing.value.filename == str(tmp_path / "nowhere" / "run.html")
        assert sorted(os.listdir(tmp_path)) == ["latest.html", "new.html", "run.html"]

    def test_a_pipe_is_written_into_not_replaced(self, earlier, tmp_path):
        pipe = tmp_path / "pipe"
        os.mkfifo(pipe)
        # A reader is there before the report opens the pipe, so that open does
        # not wait, and drains it while the page is written, since the page
        # (with the plotting script) is larger than a pipe holds.
        fd = os.open(pipe, os.O_RDONLY | os.O_NONBLOCK)
        os.set_blocking(fd, True)
        chunks = []

        def drain():
            while chunk := os.read(fd, 1 << 20):
                chunks.append(chunk)

        reader = threading.Thread(target=drain)
        try:
            with open(pipe, "wb"):  # held open until the reader runs, so it sees no early end
                reader.start()
                report.html(walk_run(), pipe, max_fills=10)
        finally:
            reader.join(timeout=300)
            os.close(fd)
        page = b"".join(chunks)
        assert stat.S_ISFIFO(os.lstat(pipe).st_mode)
        assert page.startswith(b"<!DOCTYPE html>") and page.endswith(b"</html>\n")
