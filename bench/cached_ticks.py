"""A benchmark's tick file: written once, and reused by later runs while it
still holds the number of ticks asked for, since writing tens of millions of
ticks takes longer than the measurement."""

from __future__ import annotations

from collections.abc import Callable

import halvorn


def cached_ticks(path: str, n: int, write: Callable[[str, int], object]) -> halvorn.TickSource:
    """The tick file at `path` when it holds `n` ticks; otherwise `write(path, n)` makes it."""
    try:
        source = halvorn.load_ticks(path)
        if source.count == n:
            return source
    except ValueError:
        pass
    print(f"  writing {n:,} ticks to {path} ...", flush=True)
    write(path, n)
    return halvorn.load_ticks(path)
