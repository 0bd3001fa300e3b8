"""Where the research workflows cut a series, checked tick by tick against
what each cut promises: no training tick in a test window, its purge or its
embargo; every test tick in exactly the paths the combinatorics give."""

import bisect
import collections
import itertools
import math
import random

import pytest

from halvorn import research
from halvorn._research_splits import (embargo_of, kept, paths, purged_groups, splits,
                                      walk_forward_windows)

SECOND = 10**9


def times(n, seed=1):
    """Exchange times with gaps and ties, as real ticks have."""
    rng = random.Random(seed)
    out, t = [], 1_000 * SECOND
    for _ in range(n):
        t += rng.choice((0, 0, 1, 2, 5, 30)) * SECOND // 10
        out.append(t)
    return out


def positions(ts, run):
    """The positions of the ticks a stretch [start, end) holds."""
    return range(bisect.bisect_left(ts, run.start), bisect.bisect_left(ts, run.end))


SPLITS = [
    research.WalkForward(train=600 * SECOND, test=150 * SECOND),
    research.WalkForward(train=600 * SECOND, test=150 * SECOND, anchored=True,
                         warmup=40 * SECOND, purge=25 * SECOND),
    research.WalkForward(train=900, test=300, by="ticks"),
    research.WalkForward(train=900, test=300, by="ticks", anchored=True, warmup=77, purge=31),
]


@pytest.mark.parametrize("split", SPLITS, ids=repr)
def test_walk_forward_windows(split):
    # Cuts by count are exact where times are distinct; cuts by time are
    # checked on ties too.
    ts = times(6_000) if split.by == "time" else sorted(set(times(9_000)))[:6_000]
    windows = walk_forward_windows(split, ts)
    assert len(windows) >= 5
    for w in windows:
        train, test = positions(ts, w.train), positions(ts, w.test)
        assert len(train) and len(test)
        # No training tick in the test window or within the purge before it.
        if split.by == "time":
            assert all(ts[i] < w.test.start - split.purge for i in train)
            assert w.test.end - w.test.start == split.test
            assert w.test.start - w.test.warmup == split.warmup
        else:
            assert test[0] - train[-1] - 1 == split.purge
            assert len(test) == split.test
            assert len(train) == split.train or split.anchored
            assert len(positions(ts, research.Run(0, w.test.warmup, w.test.start))) == \
                split.warmup
        assert w.train.warmup <= w.train.start
    # Test windows follow one another: the stitched run covers them all once.
    for a, b in itertools.pairwise(windows):
        assert a.test.end == b.test.start
        if split.anchored:
            assert a.train.start == b.train.start
        else:
            assert b.train.start > a.train.start


def test_a_series_too_short_for_one_window():
    with pytest.raises(ValueError, match="one window needs 1500"):
        walk_forward_windows(research.WalkForward(train=1_000, test=500, by="ticks"), times(1_200))


@pytest.mark.parametrize("n, k", [(6, 2), (5, 1), (7, 3)])
def test_every_test_tick_is_in_exactly_the_paths_the_combinatorics_give(n, k):
    split = research.PurgedCV(groups=n, test_groups=k, warmup=50)
    ts = times(5_000, seed=n)
    groups = purged_groups(split, ts)
    # The groups cover the series after the first warm-up, each tick once.
    covered = list(itertools.chain.from_iterable(positions(ts, g) for g in groups))
    assert covered == list(range(bisect.bisect_left(ts, groups[0].start), len(ts)))
    assert len(splits(split)) == math.comb(n, k)
    found = paths(split)
    assert len(found) == split.paths == math.comb(n - 1, k - 1)
    # Each path tests every group once, in time order, in a split that tests it.
    for path in found:
        assert [g for _, g in path] == list(range(n))
        for s, g in path:
            assert g in splits(split)[s]
    # Each (split, test group) lands in exactly one path: a tick of group g is
    # tested in C(n-1, k-1) splits and so is in every path exactly once.
    landed = collections.Counter(pair for path in found for pair in path)
    assert set(landed.values()) == {1}
    assert len(landed) == sum(len(s) for s in splits(split))


def test_purging_and_the_embargo_leave_no_training_tick_near_a_test_group():
    split = research.PurgedCV(groups=6, test_groups=2, purge=40 * SECOND, embargo=25 * SECOND,
                              warmup=30)
    ts = times(6_000, seed=7)
    groups = purged_groups(split, ts)
    embargo = embargo_of(split, groups)
    assert embargo >= max(g.start - g.warmup for g in groups) and embargo >= 25 * SECOND
    rng = random.Random(3)
    for tested in splits(split):
        test_groups = [groups[g] for g in tested]
        for g, group in enumerate(groups):
            if g in tested:
                continue
            # Periods of a few ticks each, as equity samples cut a run.
            cut = positions(ts, group)
            edges = [cut[0]] + sorted(rng.sample(list(cut)[1:], 20)) + [cut[-1]]
            for a, b in itertools.pairwise(edges):
                span = (ts[a], ts[b])
                near = any(t.start - split.purge <= ts[i] < t.end + embargo
                           for t in test_groups for i in range(a, b + 1))
                assert kept(span, test_groups, split.purge, embargo) == (not near)


@pytest.mark.parametrize("kwargs, error", [
    ({"train": 0, "test": 1}, "train must be at least 1"),
    ({"train": 1, "test": 1, "by": "days"}, "by must be 'time'"),
    ({"train": 1, "test": 1, "purge": -1}, "purge must be at least 0"),
])
def test_a_walk_forward_that_cannot_be(kwargs, error):
    with pytest.raises(ValueError, match=error):
        research.WalkForward(**kwargs)


def test_a_cross_validation_that_leaves_nothing_to_train_on():
    with pytest.raises(ValueError, match="something must be left to train on"):
        research.PurgedCV(groups=4, test_groups=4)
