"""Progress on standard error for long runs, sweeps and conversions.

Every call with a `progress` argument takes None (quiet), True (a bar on
standard error) or a callable, and `reporter` is where that argument is
read, so that all of them accept and refuse the same things in the same
words.

`Bar(total, unit)` is what `progress=True` stands for: a tqdm bar when tqdm
is installed (the optional extra `halvorn[progress]`), and a plain line
rewritten in place otherwise.  It is called as `bar(done, total)` with the
count so far and closed with `bar.close()`.

A progress display never fails what it shows: once standard error cannot be
written (a closed pipe, as under ``2>&1 | head``), the bar goes quiet and
the run, sweep or conversion goes on.
"""

from __future__ import annotations

import sys
import time
from collections.abc import Callable
from typing import Any


class Bar:
    """Shows `done` of `total` (None when unknown) `unit`s and the rate;
    `scale` writes large counts as 12.3M (ticks), not a few (parameter sets)."""

    def __init__(self, total: int | None, unit: str, scale: bool = True) -> None:
        self.unit = unit
        self.total = total
        self.done = 0
        self._closed = False
        self._tqdm: Any = None
        try:
            from tqdm import tqdm
        except ImportError:
            self._started = time.monotonic()
            self._shown = 0.0
        else:
            try:
                self._tqdm = tqdm(total=total, unit=f" {unit}", unit_scale=scale,
                                  file=sys.stderr, dynamic_ncols=True)
            except (OSError, ValueError, AttributeError):
                self._closed = True  # drawing the empty bar already failed

    def __call__(self, done: int, total: int | None = None) -> None:
        if self._closed:
            return
        try:
            self._update(done, total)
        except (OSError, ValueError, AttributeError):
            self._quiet()

    def _update(self, done: int, total: int | None) -> None:
        if total is not None and total != self.total:
            self.total = total
            if self._tqdm is not None:
                self._tqdm.total = total
        if self._tqdm is not None:
            self._tqdm.update(done - self.done)
            self.done = done
            return
        self.done = done
        now = time.monotonic()
        if now - self._shown >= 0.2 or done == self.total:
            self._shown = now
            self._line(now)

    def _line(self, now: float) -> None:
        elapsed = max(now - self._started, 1e-9)
        of = f" of {self.total:,}" if self.total is not None else ""
        sys.stderr.write(f"\r{self.done:,}{of} {self.unit}, {self.done / elapsed:,.0f} {self.unit}/s")
        sys.stderr.flush()

    def _quiet(self) -> None:
        """Stops showing anything: standard error cannot be written."""
        self._closed = True
        if self._tqdm is not None:
            self._tqdm.disable = True
            self._tqdm = None

    def close(self) -> None:
        if self._closed:
            return
        self._closed = True
        try:
            if self._tqdm is not None:
                self._tqdm.close()
                self._tqdm = None
            else:
                self._line(time.monotonic())
                sys.stderr.write("\n")
                sys.stderr.flush()
        except (OSError, ValueError, AttributeError):
            self._tqdm = None


def reporter(progress: Any, total: int | None, unit: str, *, scale: bool = True,
             arg: str = "progress") -> tuple[Callable[..., object] | None, Bar | None]:
    """What a call reports its progress to, read from its `progress` argument.

    Returns ``(report, bar)``.  None and False: ``(None, None)``, nothing to
    report to.  A callable: ``(progress, None)``, called as the calling
    function documents.  True: a new ``Bar(total, unit, scale)`` (`total`
    None when unknown) and a callable that shows on it the first argument of
    each call, the count so far, ignoring any further one (the total again,
    or a count of rows); the caller closes the bar once its work has ended,
    however it ended.

    Raises TypeError "{arg} must be None, True or a callable, got {type}" for
    anything else.
    """
    if progress is None or progress is False:
        return None, None
    if progress is True:
        bar = Bar(total, unit, scale)

        def show(done: int, *rest: object) -> None:
            bar(done)

        return show, bar
    if callable(progress):
        return progress, None
    raise TypeError(f"{arg} must be None, True or a callable, got {type(progress).__name__}")
