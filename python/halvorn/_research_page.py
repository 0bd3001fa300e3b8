"""The page of a walk forward: its windows on the time axis, the parameters
chosen over time, the stitched out-of-sample equity against each window's
in-sample equity, and the statistics of the search, in one file that works
offline (the report's page, with panels of its own)."""

from __future__ import annotations

import html as _html
import math
from itertools import accumulate
from typing import Any

import halvorn
from halvorn import _report_html, _report_page
from halvorn._optional import require
from halvorn._report_page import Panel, line
from halvorn._report_summary import percent, utc

TRAIN = "#9fb8d8"
TEST = "#e67e22"
IN_SAMPLE = "#b0b0b0"
_TIME = "%{x|%Y-%m-%d %H:%M:%S} UTC"
_MOST_PARAMETERS = 6


def _number(value: float | None) -> str:
    if value is None:
        return ""
    if math.isinf(value):
        return "inf" if value > 0 else "-inf"
    return f"{value:.6g}"


def _try(statistic: Any) -> str:
    try:
        return _number(statistic())
    except ValueError as error:
        return f"undefined ({error})"


def _equity_panel(np: Any, result: Any, usdt: float) -> Panel:
    stitched = result.stitched
    coin = stitched.currency
    digits = ",.2f" if coin == "USDT" else ",.8f"  # to the cent, or to a coin's unit
    panel = Panel(f"equity ({coin})", 3.0, empty="no window finished", y_format=digits)
    if len(stitched.equity_curve) > 1:
        panel.traces.append(line(_report_page.milliseconds(np, stitched.equity_times),
                                 [v / usdt for v in stitched.equity_curve],
                                 name="out of sample, stitched", colour=_report_page.EQUITY,
                                 hover=f"{_TIME}<br>%{{y:{digits}}} {coin}", width=2.0))
    balance = stitched.balance / usdt
    for w in result.windows:
        # The chosen set's own run on its training stretch, from the balance.
        column = w.training.columns()[w.chosen]
        curve = [balance] + [balance * (1 + r) for r in accumulate(column)]
        panel.traces.append(line(_report_page.milliseconds(np, w.in_sample_times), curve,
                                 name=f"in sample, window {w.index}", colour=IN_SAMPLE,
                                 hover=f"window {w.index} in sample<br>{_TIME}<br>%{{y:{digits}}} {coin}",
                                 width=1.0) | {"showlegend": w.index == result.windows[0].index,
                                                "legendgroup": "in sample"})
    return panel


def _windows_panel(np: Any, result: Any) -> Panel:
    panel = Panel("window", 1.6, empty="no window finished")
    for w in result.windows:
        for run, colour, what in ((w.train, TRAIN, "training"), (w.test, TEST, "test")):
            trace = line(_report_page.milliseconds(np, [run.start, run.end - 1]), [w.index] * 2,
                         name=what, colour=colour, width=9.0,
                         hover=f"window {w.index} {what}<br>{_TIME}")
            trace["showlegend"] = w is result.windows[0]
            trace["legendgroup"] = what
            panel.traces.append(trace)
    return panel


def _parameter_panels(np: Any, result: Any) -> list[Panel]:
    if not result.windows:
        return []
    names = list(result.windows[0].params)[:_MOST_PARAMETERS]
    panels = []
    for name in names:
        panel = Panel(f"chosen {name}", 1.2, empty="no window finished")
        xs: list[int] = []
        ys: list[Any] = []
        for w in result.windows:
            value = w.params.get(name)
            xs += [w.test.start, w.test.end - 1]
            ys += [value, value]
        numeric = all(isinstance(v, (int, float)) and not isinstance(v, bool) for v in ys)
        panel.traces.append(line(_report_page.milliseconds(np, xs),
                                 ys if numeric else [str(v) for v in ys], name=name,
                                 colour=_report_page.POSITION, shape="hv",
                                 hover=f"{_TIME}<br>{_html.escape(name)} %{{y}}")
                            | {"showlegend": False})
        panels.append(panel)
    return panels


def _statistics(result: Any) -> list[list[str]]:
    stitched = result.stitched
    return [
        ["windows", str(len(result.windows))],
        ["trials (every set on every training stretch)", str(result.trials)],
        ["objective", result.objective],
        ["out-of-sample return, stitched", percent(stitched.total_return)],
        ["out-of-sample Sharpe ratio per period", _number(stitched.sharpe)],
        ["out-of-sample fills", str(len(stitched.fills))],
        ["walk-forward efficiency", _number(result.efficiency)],
        ["deflated Sharpe ratio of the best trial", _try(result.deflated_sharpe_ratio)],
        ["probability of backtest overfitting, over windows",
         _try(result.probability_of_backtest_overfitting)],
    ]


def _window_rows(result: Any) -> list[list[str]]:
    rows = []
    for w in result.windows:
        rows.append([str(w.index), utc(w.train.start), utc(w.train.end), utc(w.test.start),
                     utc(w.test.end), ", ".join(f"{k}={v!r}" for k, v in w.params.items()),
                     _number(w.in_sample_score), _number(w.out_of_sample_score),
                     percent(w.in_sample.total_return), percent(w.out_of_sample.total_return),
                     _number(w.efficiency), _number(w.logit)])
    return rows


def text(result: Any, *, title: str | None = None) -> str:
    """The page, as HTML."""
    np = require("numpy", "report", "research.html")
    usdt = float(halvorn.CASH_SCALE)
    panels = [_equity_panel(np, result, usdt), _windows_panel(np, result),
              *_parameter_panels(np, result)]
    chart = _report_page.figure(panels, x_titles={"x": "time (UTC)"}, dates=True,
                                height=420 + 170 * len(panels))
    if title is None:
        title = (f"Walk forward: {len(result.windows)} windows, out of sample "
                 f"{percent(result.stitched.total_return)}")
    details = [f"{result.split!r}", f"objective {result.objective}"]
    if result.windows:
        details.append(f"{utc(result.windows[0].train.start)} to {utc(result.windows[-1].test.end)}")
    columns = ["window", "train start", "train end", "test start", "test end", "chosen",
               "in sample", "out of sample", "return in", "return out", "efficiency", "logit"]
    sections = [
        "<h2>The search</h2>", _report_page.table(["", ""], _statistics(result), "stats"),
        "<h2>Windows</h2>",
        f'<div class="scroll">{_report_page.table(columns, _window_rows(result), "rows")}</div>',
    ]
    return _report_page.page(title=title, details=details, chart=chart, sections=sections,
                             plotly_js=_report_html._plotly_js())


def write(result: Any, path: Any, *, title: str | None = None) -> None:
    # The report's own way of replacing a page whole; its stub lists only the
    # public names.
    from halvorn.report import _replace  # type: ignore[attr-defined]

    encoded = text(result, title=title).encode("utf-8")
    _replace(path, lambda out: out.write(encoded))
