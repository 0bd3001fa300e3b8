"""What the report's HTML page of a long run costs, and whether it opens.

    python bench/report_page.py [n_fills] [directory]

Runs a strategy that trades on every tick over n_fills ticks (default
1_000_000, a tick every 100 ms: about 28 hours), so that the run has
n_fills fills and half as many round trips, and reports:

  1. the time to build the page (report.html with the ticks), and its size;
  2. the time of report.round_trips and report.summary on their own;
  3. when Chromium is installed, the time headless Chromium takes to load
     the page and draw its charts (--dump-dom after the scripts have run),
     and the number of points it drew (target: a few thousand per series,
     whatever n_fills, so that the page opens without stalling).

The page is written to `directory` (default a temporary one) as
report_page.html, to be opened by hand.
"""

from __future__ import annotations

import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

import halvorn
from halvorn import report, venue


class EveryTick:
    """Buys one lot when flat and sells it on the next tick."""

    def on_tick(self, ctx):
        return [halvorn.Order("sell" if ctx.position > 0 else "buy", 1)]


def series(n: int) -> list[halvorn.Tick]:
    start = 1_704_067_200 * 10**9
    ticks = []
    for i in range(n):
        last = 600_000 + (i * 7_919) % 401 - 200 + i // 1_000
        ticks.append(halvorn.Tick(exch_ts=start + i * 100_000_000, last=last, bid=last - 1,
                                  ask=last + 1))
    return ticks


def timed(call):
    began = time.perf_counter()
    value = call()
    return value, time.perf_counter() - began


def main() -> None:
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
    directory = sys.argv[2] if len(sys.argv) > 2 else tempfile.mkdtemp()
    ticks = series(n)
    v = venue.Venue(taker_fee=venue.rate("0.0004"),
                    instrument=venue.Instrument("BTCUSDT", "0.1", "0.001"))
    run, seconds = timed(lambda: venue.run(EveryTick(), ticks, 100_000, venue=v,
                                           equity_every=10))
    print(f"run: {len(run.fills):,} fills, {len(run.equity_curve):,} equity samples "
          f"in {seconds:.1f} s")

    path = os.path.join(directory, "report_page.html")
    _, seconds = timed(lambda: report.html(run, path, ticks=ticks))
    size = os.path.getsize(path)
    print(f"report.html: {seconds:.2f} s, {size / 1e6:.2f} MB ({path})")
    trips, seconds = timed(lambda: report.round_trips(run, ticks=ticks))
    print(f"report.round_trips: {len(trips):,} trips in {seconds:.2f} s")
    _, seconds = timed(lambda: report.summary(run, ticks=ticks))
    print(f"report.summary: {seconds:.2f} s")

    browser = shutil.which("chromium") or shutil.which("chromium-browser")
    if browser is None:
        print("chromium: not installed, page load not measured")
        return
    with tempfile.TemporaryDirectory() as profile:
        command = [browser, "--headless", "--disable-gpu", f"--user-data-dir={profile}",
                   "--virtual-time-budget=60000", "--dump-dom", "file://" + path]
        if os.geteuid() == 0:
            command.insert(1, "--no-sandbox")
        done, seconds = timed(lambda: subprocess.run(command, capture_output=True, text=True,
                                                     timeout=600))
    drawn = len(re.findall(r'class="point[ "]', done.stdout))
    paths = len(re.findall(r'class="js-line"', done.stdout))
    print(f"chromium: loaded and drawn in {seconds:.2f} s (browser start included); "
          f"{drawn:,} markers and {paths} lines in the page's SVG")


if __name__ == "__main__":
    main()
