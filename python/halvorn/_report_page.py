"""The report's HTML page: interactive charts and tables in one file that
works offline.

The charts are drawn in the browser by plotly.js, whose whole bundle is
written into the page, so the page needs nothing but itself (and is about
4.6 MB for that reason).  The data drawn is thinned to a few thousand points
per line: for each of `BUCKETS` equal stretches of a series the lowest and
the highest point are kept, so spikes stay visible however long the run, and
a page of millions of fills opens as quickly as one of a hundred.  The
tables keep the exact values.

Each panel shares one time axis (UTC): zoom by dragging a box or with the
mouse wheel, pan with the pan tool of the bar above the charts, and a double
click returns to the whole run.  Hovering shows a point's time and values.
A panel with nothing to draw says so in words instead of showing empty axes.
"""

from __future__ import annotations

import html as _html
import json
from collections.abc import Sequence
from dataclasses import dataclass, field
from typing import Any

# Stretches a series is cut into before it is drawn; each keeps at most two
# points.
BUCKETS = 2_000

# The colours of each kind of ink, the same as in the PNG chart.
EQUITY = "#1f5fa8"
DRAWDOWN = "#e8a49c"
DRAWDOWN_EDGE = "#c0392b"
PRICE = "#7f8c8d"
BUY = "#1e8449"
SELL = "#e67e22"
POSITION = "#6c3483"

_TIME = "%{x|%Y-%m-%d %H:%M:%S.%L} UTC"

# What plotly.js is told beyond the figure: the wheel zooms, no logo, and
# the bar keeps the tools a reader needs (zoom, pan, reset, save as PNG).
CONFIG = {"scrollZoom": True, "displaylogo": False, "responsive": True,
          "modeBarButtonsToRemove": ["select2d", "lasso2d"]}


def envelope(np: Any, values: Any, buckets: int = BUCKETS) -> Any:
    """Indices of the lowest and highest value of each of `buckets` equal
    stretches of `values`, in order; every index when there are few."""
    count = len(values)
    if count <= 2 * buckets:
        return np.arange(count)
    size = -(-count // buckets)
    padded = np.concatenate([values, np.repeat(values[-1:], size * buckets - count)])
    blocks = padded.reshape(buckets, size)
    starts = np.arange(buckets) * size
    chosen = np.concatenate([starts + blocks.argmin(axis=1), starts + blocks.argmax(axis=1),
                             [0, count - 1]])
    return np.unique(np.minimum(chosen, count - 1))


def milliseconds(np: Any, ns: Any) -> list[float]:
    """Nanoseconds since 1970 as the milliseconds a date axis reads (UTC)."""
    return (np.asarray(ns, dtype=np.int64) / 1e6).tolist()


@dataclass
class Panel:
    """One chart of the stack: its axis title, its traces, and what it says
    when it has none."""

    title: str
    weight: float
    traces: list[dict[str, Any]] = field(default_factory=list)
    empty: str = "nothing to draw"
    x: str = "x"  # the horizontal axis it uses
    y_format: str | None = None


def figure(panels: Sequence[Panel], *, x_titles: dict[str, str], dates: bool,
           x_range: tuple[float, float] | None = None, height: int = 980) -> dict[str, Any]:
    """A plotly figure of `panels` stacked top to bottom, each on its own
    vertical axis; panels with the same `x` share that axis (zooming one
    zooms all).  An axis with no data under it is hidden.  `x_range` is where
    the first axis starts and ends (a double click returns there); by
    default the data's extent with some margin."""
    gap = 0.035
    total = sum(p.weight for p in panels)
    usable = 1.0 - gap * (len(panels) - 1)
    layout: dict[str, Any] = {
        "height": height, "margin": {"l": 80, "r": 30, "t": 40, "b": 50},
        "hovermode": "closest", "dragmode": "zoom", "showlegend": True,
        "legend": {"orientation": "h", "x": 0, "y": 1.0, "yanchor": "bottom"},
        "paper_bgcolor": "white", "plot_bgcolor": "white", "annotations": [],
        "font": {"family": "sans-serif", "size": 12},
    }
    data: list[dict[str, Any]] = []
    top = 1.0
    bottoms: dict[str, tuple[float, str]] = {}
    has_data: dict[str, bool] = {}
    for number, panel in enumerate(panels, 1):
        height_share = usable * panel.weight / total
        domain = [max(0.0, top - height_share), top]
        top = domain[0] - gap
        name = "yaxis" if number == 1 else f"yaxis{number}"
        reference = "y" if number == 1 else f"y{number}"
        shown = bool(panel.traces)
        axis: dict[str, Any] = {"domain": domain, "title": {"text": panel.title},
                                "anchor": panel.x, "zeroline": False, "gridcolor": "#e6e6e6",
                                "showline": True, "linecolor": "#bbbbbb", "mirror": True,
                                "visible": shown, "showspikes": False}
        if panel.y_format:
            axis["tickformat"] = panel.y_format
        layout[name] = axis
        if shown:
            for trace in panel.traces:
                data.append({**trace, "xaxis": panel.x, "yaxis": reference})
        else:
            layout["annotations"].append({
                "text": _html.escape(panel.empty), "showarrow": False, "xref": "paper",
                "yref": "paper", "x": 0.5, "y": (domain[0] + domain[1]) / 2,
                "font": {"size": 14, "color": "#666666"}})
        # Each horizontal axis is drawn under the lowest panel of it that
        # has data: under a hidden one it would float in the blank.
        if shown or panel.x not in bottoms:
            bottoms[panel.x] = (domain[0], reference)
        has_data[panel.x] = has_data.get(panel.x, False) or shown
    for x, (_, reference) in bottoms.items():
        name = "xaxis" if x == "x" else f"xaxis{x[1:]}"
        axis = {"anchor": reference, "title": {"text": x_titles.get(x, "")},
                "gridcolor": "#e6e6e6", "showline": True, "linecolor": "#bbbbbb",
                "visible": has_data[x], "showspikes": True, "spikemode": "across",
                "spikethickness": 1, "spikecolor": "#999999", "spikedash": "dot"}
        if dates and x == "x":
            axis["type"] = "date"
        if x_range is not None and x == "x" and x_range[1] > x_range[0]:
            axis["range"] = list(x_range)
        layout[name] = axis
    return {"data": data, "layout": layout}


def line(x: list[Any], y: list[Any], *, name: str, colour: str, hover: str,
         shape: str = "linear", fill: str | None = None, width: float = 1.4) -> dict[str, Any]:
    trace: dict[str, Any] = {"type": "scatter", "mode": "lines", "x": x, "y": y, "name": name,
                             "line": {"color": colour, "width": width, "shape": shape},
                             "hovertemplate": hover + "<extra></extra>"}
    if fill:
        trace["fill"] = "tozeroy"
        trace["fillcolor"] = fill
    return trace


def markers(x: list[Any], y: list[Any], *, name: str, colour: str, symbol: str, hover: str,
            customdata: list[Any] | None = None) -> dict[str, Any]:
    trace: dict[str, Any] = {"type": "scatter", "mode": "markers", "x": x, "y": y, "name": name,
                             "marker": {"color": colour, "symbol": symbol, "size": 8,
                                        "line": {"width": 0.5, "color": "#333333"}},
                             "hovertemplate": hover + "<extra></extra>"}
    if customdata is not None:
        trace["customdata"] = customdata
    return trace


def _script_json(value: Any) -> str:
    # Inside <script>, "</" could end the element early; JSON allows "<\/".
    return json.dumps(value, separators=(",", ":"), allow_nan=False).replace("</", "<\\/")


def table(columns: Sequence[str], rows: Sequence[Sequence[str]], css: str) -> str:
    escape = _html.escape
    head = "".join(f"<th>{escape(c)}</th>" for c in columns)
    body = "\n".join("<tr>" + "".join(f"<td>{escape(v)}</td>" for v in row) + "</tr>"
                     for row in rows)
    return (f'<table class="{css}">\n<thead><tr>{head}</tr></thead>\n<tbody>\n{body}\n'
            "</tbody>\n</table>")


def page(*, title: str, details: Sequence[str], chart: dict[str, Any], sections: Sequence[str],
         plotly_js: str) -> str:
    """The whole page: a heading, the details line, the chart and then each
    section (HTML) in order."""
    escape = _html.escape
    return f"""<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<title>{escape(title)}</title>
<style>
body {{ font-family: sans-serif; margin: 24px auto; max-width: 1240px; color: #222;
       padding: 0 16px; }}
h1 {{ font-size: 22px; margin-bottom: 4px; }}
h2 {{ font-size: 17px; margin-top: 28px; }}
p.details {{ color: #555; margin-top: 0; }}
p.note {{ color: #555; font-size: 13px; }}
#chart {{ width: 100%; height: {chart["layout"]["height"]}px; border: 1px solid #ddd; }}
table {{ border-collapse: collapse; font-size: 13px; }}
th, td {{ padding: 3px 8px; border-bottom: 1px solid #e4e4e4; white-space: nowrap; }}
/* Headings wrap (their units go to a second line) so that the columns are
   as narrow as their values. */
thead th {{ position: sticky; top: 0; background: #f6f6f6; white-space: normal;
            vertical-align: bottom; }}
table.stats th {{ text-align: left; font-weight: normal; color: #444; }}
table.stats td {{ text-align: right; font-variant-numeric: tabular-nums; }}
table.rows td {{ text-align: right; font-variant-numeric: tabular-nums; }}
div.scroll {{ overflow-x: auto; max-width: 100%; }}
</style>
<script>{plotly_js}</script>
</head>
<body>
<h1>{escape(title)}</h1>
<p class="details">{" &middot; ".join(escape(d) for d in details)}</p>
<div id="chart"></div>
<script>
Plotly.newPlot("chart", {_script_json(chart["data"])}, {_script_json(chart["layout"])},
               {_script_json(CONFIG)});
</script>
{chr(10).join(sections)}
</body>
</html>
"""
