"""The six statistics functions: registration, worked values, the Python
layer's own checks, refusal of bad input, and a cross-check of the normal
distribution against SciPy over the whole range."""

import math
from decimal import Decimal
from fractions import Fraction

import numpy as np
import pytest
from scipy.stats import norm

import halvorn

NAN = float("nan")
INF = float("inf")
ZERO_VARIANCE = "sample has zero variance; Sharpe ratio is undefined"
DEFLATION_MESSAGE = (
    "deflation needs more than one configuration: with one candidate there was no search "
    "to deflate, and the answer is the plain Sharpe ratio"
)
CHOICE_MESSAGE = (
    "overfitting is a statement about a choice among alternatives; with one configuration "
    "there was no choice"
)

# The signatures themselves are pinned with the other documented ones in
# test_public_classes.py.
SIGNATURES = ["sharpe_ratio", "moments", "probabilistic_sharpe_ratio", "deflated_sharpe_ratio",
              "probability_of_backtest_overfitting", "minimum_track_record_length"]


def close_to_published(got, published, digits=15):
    """The published values carry `digits` significant digits, so they pin a
    result only to half a unit in their last place."""
    return abs(got - published) <= 0.5 * 10 ** (math.floor(math.log10(abs(published))) - digits + 1)


def noisy_returns(n, seed, drift=0.0):
    rng = np.random.default_rng(seed)
    return list(rng.normal(drift, 0.01, n))


# --------------------------------------------------------------------------
# Registration


@pytest.mark.parametrize("name", SIGNATURES)
def test_each_function_carries_its_text_signature_and_nothing_else(name):
    assert not getattr(halvorn, name).__doc__


def test_every_parameter_can_be_given_by_keyword():
    returns = [0.01, -0.02, 0.03, 0.005, 0.0]
    assert halvorn.sharpe_ratio(returns=returns) == halvorn.sharpe_ratio(returns)
    assert halvorn.moments(returns=returns) == halvorn.moments(returns)
    assert halvorn.probabilistic_sharpe_ratio(
        kurtosis=3.0, skewness=0.0, n_observations=100, benchmark=0.0, observed=0.1
    ) == halvorn.probabilistic_sharpe_ratio(0.1, 0.0, 100, 0.0, 3.0)
    assert halvorn.deflated_sharpe_ratio(
        kurtosis=3.0, skewness=0.0, n_observations=252, all_sharpes=[0.1, 0.2]
    ) == halvorn.deflated_sharpe_ratio([0.1, 0.2], 252, 0.0, 3.0)
    assert halvorn.minimum_track_record_length(
        confidence=0.9, kurtosis=3.0, skewness=0.0, benchmark=0.0, observed=0.1
    ) == halvorn.minimum_track_record_length(0.1, 0.0, 0.0, 3.0, 0.9)
    columns = [noisy_returns(40, 1), noisy_returns(40, 2)]
    assert halvorn.probability_of_backtest_overfitting(
        n_blocks=4, columns=columns
    ) == halvorn.probability_of_backtest_overfitting(columns, 4)


def test_argument_binding_errors_name_the_function():
    with pytest.raises(TypeError, match="sharpe_ratio"):
        halvorn.sharpe_ratio()
    with pytest.raises(TypeError, match="moments"):
        halvorn.moments([1, 2, 3, 4], [5])
    with pytest.raises(TypeError, match="probability_of_backtest_overfitting"):
        halvorn.probability_of_backtest_overfitting([[1.0], [2.0]], blocks=4)


# --------------------------------------------------------------------------
# Worked values


def test_sharpe_ratio_and_moments_of_one_to_four():
    sharpe = halvorn.sharpe_ratio([1, 2, 3, 4])
    assert close_to_published(sharpe, 1.93649167310371)
    # 2.5 / sqrt(5 / 3) rounds to this double when every step rounds once.
    assert sharpe == 1.9364916731037085
    assert halvorn.moments([1, 2, 3, 4]) == (sharpe, 0.0, 1.64)


def test_moments_sharpe_equals_sharpe_ratio_exactly():
    returns = noisy_returns(500, 11, drift=0.001)
    sharpe, skewness, kurtosis = halvorn.moments(returns)
    assert sharpe == halvorn.sharpe_ratio(returns)
    # Population moments: SciPy's biased estimators, and kurtosis not excess.
    from scipy.stats import kurtosis as sp_kurtosis
    from scipy.stats import skew as sp_skew

    assert skewness == pytest.approx(sp_skew(returns), rel=1e-12)
    assert kurtosis == pytest.approx(sp_kurtosis(returns, fisher=False), rel=1e-12)


def test_return_series_errors_come_in_order():
    with pytest.raises(ValueError, match=r"^too few observations: got 3, need at least 4$"):
        halvorn.sharpe_ratio([1.0, NAN, 3.0])
    for bad in (NAN, INF, -INF):
        with pytest.raises(ValueError, match=r"^return must be finite$"):
            halvorn.moments([1.0, 2.0, bad, 4.0])
    with pytest.raises(ValueError, match=f"^{ZERO_VARIANCE}$"):
        halvorn.sharpe_ratio([1, 1, 1, 1])
    with pytest.raises(ValueError, match=f"^{ZERO_VARIANCE}$"):
        halvorn.moments([0.5] * 10)


def test_probabilistic_sharpe_ratio_worked_values_and_errors():
    assert close_to_published(
        halvorn.probabilistic_sharpe_ratio(0.1, 0.0, 100, 0.0, 3.0), 0.839525417184450
    )
    assert close_to_published(
        halvorn.probabilistic_sharpe_ratio(0.2, 0.0, 252, 0.0, 3.0), 0.999147667395825
    )
    with pytest.raises(ValueError, match=r"^too few observations: got 1, need at least 2$"):
        halvorn.probabilistic_sharpe_ratio(0.1, 0.0, 1, 0.0, 3.0)
    with pytest.raises(ValueError, match=r"^benchmark must be finite$"):
        halvorn.probabilistic_sharpe_ratio(0.1, INF, 100, 0.0, 3.0)
    with pytest.raises(ValueError, match=r"^sharpe must be finite$"):
        halvorn.probabilistic_sharpe_ratio(NAN, INF, 100, NAN, NAN)
    with pytest.raises(ValueError, match=f"^{ZERO_VARIANCE}$"):
        halvorn.probabilistic_sharpe_ratio(1.0, 0.0, 100, 2.0, 3.0)


def test_deflated_sharpe_ratio_worked_value():
    result = halvorn.deflated_sharpe_ratio([0.1, 0.05, 0.2, 0.15], 252, 0.0, 3.0)
    assert close_to_published(result, 0.980867954675538)
    # The search costs confidence: less than the undeflated 0.99914...
    assert result < halvorn.probabilistic_sharpe_ratio(0.2, 0.0, 252, 0.0, 3.0)


def test_deflated_sharpe_ratio_of_equal_trials_is_the_plain_probabilistic_ratio():
    assert halvorn.deflated_sharpe_ratio([0.2, 0.2, 0.2], 252, 0.3, 4.0) == (
        halvorn.probabilistic_sharpe_ratio(0.2, 0.0, 252, 0.3, 4.0)
    )


def test_deflated_sharpe_ratio_picks_the_largest_entry_ignoring_nan_only_in_the_maximum():
    # NaN anywhere poisons the variance: reported as the benchmark.
    with pytest.raises(ValueError, match=r"^benchmark must be finite$"):
        halvorn.deflated_sharpe_ratio([0.1, NAN], 252, 0.0, 3.0)
    with pytest.raises(ValueError, match=r"^benchmark must be finite$"):
        halvorn.deflated_sharpe_ratio([NAN, NAN], 252, 0.0, 3.0)
    # An infinite maximum is checked first, as the observed ratio.
    with pytest.raises(ValueError, match=r"^sharpe must be finite$"):
        halvorn.deflated_sharpe_ratio([0.1, INF], 252, 0.0, 3.0)
    # Order of the entries does not matter.
    assert halvorn.deflated_sharpe_ratio([0.2, 0.1, 0.15], 252, 0.0, 3.0) == (
        halvorn.deflated_sharpe_ratio([0.1, 0.15, 0.2], 252, 0.0, 3.0)
    )


def test_deflated_sharpe_ratio_refuses_a_single_trial_before_other_checks():
    with pytest.raises(ValueError, match=f"^{DEFLATION_MESSAGE}$"):
        halvorn.deflated_sharpe_ratio([0.5], 252, 0.0, 3.0)
    with pytest.raises(ValueError, match=f"^{DEFLATION_MESSAGE}$"):
        halvorn.deflated_sharpe_ratio([], 1, NAN, NAN)


def test_minimum_track_record_length_worked_values():
    assert close_to_published(
        halvorn.minimum_track_record_length(0.1, 0.0, 0.0, 3.0), 272.907117136589
    )
    assert halvorn.minimum_track_record_length(0.1, 0.0, 0.0, 3.0) == (
        halvorn.minimum_track_record_length(0.1, 0.0, 0.0, 3.0, 0.95)
    )
    assert math.isnan(halvorn.minimum_track_record_length(0.1, 0.0, 0.0, 3.0, 1.5))
    assert halvorn.minimum_track_record_length(0.1, 0.0, 0.0, 3.0, 1.0) == INF
    with pytest.raises(ValueError, match=f"^{ZERO_VARIANCE}$"):
        halvorn.minimum_track_record_length(0.1, 0.1, 0.0, 3.0)
    with pytest.raises(ValueError, match=r"^confidence must be finite$"):
        halvorn.minimum_track_record_length(0.1, 0.0, 0.0, 3.0, NAN)


def test_overfitting_layer_checks_come_before_the_statistics():
    with pytest.raises(ValueError, match=f"^{CHOICE_MESSAGE}$"):
        halvorn.probability_of_backtest_overfitting([[NAN] * 100])
    with pytest.raises(ValueError, match=f"^{CHOICE_MESSAGE}$"):
        halvorn.probability_of_backtest_overfitting([])
    with pytest.raises(
        ValueError,
        match=r"^column 1 has 99 returns and column 0 has 100; equalise them deliberately "
        r"rather than having this truncate for you$",
    ):
        halvorn.probability_of_backtest_overfitting([[0.0] * 100, [NAN] * 99], n_blocks=15)
    with pytest.raises(ValueError, match=r"^column 2 has 7 returns and column 0 has 6;"):
        halvorn.probability_of_backtest_overfitting([[0.0] * 6, [0.0] * 6, [0.0] * 7, []])


def test_overfitting_statistics_errors():
    with pytest.raises(
        ValueError, match=r"^malformed performance matrix: dimensions must be non-zero$"
    ):
        halvorn.probability_of_backtest_overfitting([[], [], []])
    with pytest.raises(ValueError, match=r"^performance matrix entry must be finite$"):
        halvorn.probability_of_backtest_overfitting([[0.1] * 40, [0.1] * 39 + [INF]], 15)
    with pytest.raises(
        ValueError, match=r"^split count must be even, at least 4 and at most 24, got 15$"
    ):
        halvorn.probability_of_backtest_overfitting([[0.1] * 10, [0.2] * 10], n_blocks=15)
    with pytest.raises(ValueError, match=r"^too few observations: got 20, need at least 32$"):
        halvorn.probability_of_backtest_overfitting([noisy_returns(20, 1), noisy_returns(20, 2)])
    with pytest.raises(ValueError, match=f"^{ZERO_VARIANCE}$"):
        halvorn.probability_of_backtest_overfitting([[0.0] * 8, [0.0] * 8], n_blocks=4)


def test_overfitting_of_identical_and_dominated_configurations():
    base = noisy_returns(64, 5)
    assert halvorn.probability_of_backtest_overfitting([base, list(base)]) == 1.0
    # Shifting a series up raises its ratio over every selection of blocks,
    # so the best in sample is best out of sample every time.
    columns = [[x + 0.004 * k for x in base] for k in range(5)]
    assert halvorn.probability_of_backtest_overfitting(columns, n_blocks=8) == 0.0


def test_overfitting_of_pure_noise_is_a_share_of_the_splits():
    columns = [noisy_returns(120, seed) for seed in range(10)]
    pbo = halvorn.probability_of_backtest_overfitting(columns, n_blocks=4)
    assert 0.0 <= pbo <= 1.0
    assert pbo * 6 == round(pbo * 6)  # C(4, 2) = 6 splits


# --------------------------------------------------------------------------
# Bad input


class Number:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class Refuses:
    def __float__(self):
        raise ValueError("not today")


class Interrupts:
    def __float__(self):
        raise KeyboardInterrupt


class BrokenSequence:
    def __len__(self):
        return 4

    def __getitem__(self, i):
        raise RuntimeError("disk on fire")


SEQUENCE_FUNCTIONS = [
    ("returns", lambda v: halvorn.sharpe_ratio(v)),
    ("returns", lambda v: halvorn.moments(v)),
    ("all_sharpes", lambda v: halvorn.deflated_sharpe_ratio(v, 252, 0.0, 3.0)),
]


@pytest.mark.parametrize("name,call", SEQUENCE_FUNCTIONS)
@pytest.mark.parametrize(
    "bad", ["1234", None, 1.5, {0: 1.0, 1: 2.0}, {1.0, 2.0}, (x for x in [1.0, 2.0])]
)
def test_a_non_sequence_or_a_str_is_a_type_error_naming_the_parameter(name, call, bad):
    with pytest.raises(TypeError, match=f"'{name}'"):
        call(bad)


@pytest.mark.parametrize("name,call", SEQUENCE_FUNCTIONS)
@pytest.mark.parametrize("bad", ["0.1", None, b"1", [0.1], Refuses()])
def test_an_element_that_is_not_a_number_is_a_type_error_naming_the_parameter(name, call, bad):
    with pytest.raises(TypeError, match=f"'{name}'") as caught:
        call([0.1, 0.2, bad, 0.3, 0.4])
    if isinstance(bad, Refuses):
        assert isinstance(caught.value.__cause__, ValueError)


def test_numbers_of_every_kind_are_accepted():
    returns = [1, 2.0, Fraction(3), Decimal("4"), Number(5.0), np.float32(6.0), np.int64(7)]
    assert halvorn.sharpe_ratio(returns) == halvorn.sharpe_ratio([1.0, 2, 3, 4, 5, 6, 7])
    assert halvorn.sharpe_ratio(tuple(returns)) == halvorn.sharpe_ratio(returns)
    assert halvorn.sharpe_ratio(np.arange(1.0, 8.0)) == halvorn.sharpe_ratio(returns)
    assert halvorn.sharpe_ratio(range(1, 8)) == halvorn.sharpe_ratio(returns)
    columns = np.array([noisy_returns(40, 1), noisy_returns(40, 2)])
    assert halvorn.probability_of_backtest_overfitting(columns, 4) == (
        halvorn.probability_of_backtest_overfitting(columns.tolist(), 4)
    )


def test_an_exception_from_the_sequence_itself_is_a_type_error_with_its_cause():
    with pytest.raises(TypeError, match="'returns'") as caught:
        halvorn.sharpe_ratio(BrokenSequence())
    assert isinstance(caught.value.__cause__, RuntimeError)


def test_an_interrupt_inside_a_conversion_passes_through():
    with pytest.raises(KeyboardInterrupt):
        halvorn.sharpe_ratio([1.0, 2.0, Interrupts(), 4.0])


def test_a_conversion_that_empties_the_callers_list_does_not_disturb_the_call():
    returns = [1.0, 2.0, 3.0, 4.0]

    class Clears:
        def __float__(self):
            returns.clear()
            return 5.0

    returns.append(Clears())
    assert halvorn.sharpe_ratio(returns) == halvorn.sharpe_ratio([1.0, 2.0, 3.0, 4.0, 5.0])
    assert returns == []


@pytest.mark.parametrize("bad", [-1, 2**64, -(2**70)])
def test_a_negative_or_huge_count_is_an_overflow_error_naming_it(bad):
    with pytest.raises(OverflowError, match="'n_observations'"):
        halvorn.probabilistic_sharpe_ratio(0.1, 0.0, bad, 0.0, 3.0)
    with pytest.raises(OverflowError, match="'n_observations'"):
        halvorn.deflated_sharpe_ratio([0.1, 0.2], bad, 0.0, 3.0)
    with pytest.raises(OverflowError, match="'n_blocks'"):
        halvorn.probability_of_backtest_overfitting([[0.1], [0.2]], bad)


@pytest.mark.parametrize("bad", [100.0, "100", None, Number(100.0)])
def test_a_count_must_be_an_integer(bad):
    with pytest.raises(TypeError, match="'n_observations'"):
        halvorn.probabilistic_sharpe_ratio(0.1, 0.0, bad, 0.0, 3.0)
    with pytest.raises(TypeError, match="'n_blocks'"):
        halvorn.probability_of_backtest_overfitting([[0.1], [0.2]], bad)


def test_counts_accept_integer_like_objects():
    assert halvorn.probabilistic_sharpe_ratio(0.1, 0.0, np.int64(100), 0.0, 3.0) == (
        halvorn.probabilistic_sharpe_ratio(0.1, 0.0, 100, 0.0, 3.0)
    )


@pytest.mark.parametrize(
    "name,call",
    [
        ("observed", lambda v: halvorn.probabilistic_sharpe_ratio(v, 0.0, 100, 0.0, 3.0)),
        ("benchmark", lambda v: halvorn.probabilistic_sharpe_ratio(0.1, v, 100, 0.0, 3.0)),
        ("skewness", lambda v: halvorn.deflated_sharpe_ratio([0.1, 0.2], 100, v, 3.0)),
        ("kurtosis", lambda v: halvorn.minimum_track_record_length(0.1, 0.0, 0.0, v)),
        ("confidence", lambda v: halvorn.minimum_track_record_length(0.1, 0.0, 0.0, 3.0, v)),
    ],
)
@pytest.mark.parametrize("bad", ["0.1", None, [0.1], Refuses()])
def test_a_scalar_must_be_a_number(name, call, bad):
    with pytest.raises(TypeError, match=f"'{name}'"):
        call(bad)


def test_conversion_runs_in_signature_order_before_any_check():
    with pytest.raises(TypeError, match="'observed'"):
        halvorn.probabilistic_sharpe_ratio("x", "y", -1, None, None)
    with pytest.raises(OverflowError, match="'n_observations'"):
        halvorn.probabilistic_sharpe_ratio(0.1, 0.0, -1, None, None)
    # The single-trial check waits until every argument converted.
    with pytest.raises(TypeError, match="'kurtosis'"):
        halvorn.deflated_sharpe_ratio([0.1], 252, 0.0, "3")
    with pytest.raises(TypeError, match="'columns'"):
        halvorn.probability_of_backtest_overfitting("ab", n_blocks="x")
    with pytest.raises(TypeError, match="'n_blocks'"):
        halvorn.probability_of_backtest_overfitting([[0.1]], n_blocks="x")


@pytest.mark.parametrize(
    "bad", ["abc", ["abc", "def"], [1.0, 2.0], [[0.1, 0.2], [0.1, "x"]], [[0.1], None]]
)
def test_columns_must_be_a_sequence_of_sequences_of_numbers(bad):
    with pytest.raises(TypeError, match="'columns'"):
        halvorn.probability_of_backtest_overfitting(bad)


# --------------------------------------------------------------------------
# The normal distribution against SciPy
#
# Phi(x) is reachable exactly: with observed 0, skewness 0 and two
# observations the variance factor is 1 and z = sqrt(1) * (0 - (-x)) / 1 = x,
# so probabilistic_sharpe_ratio(0, -x, 2, 0, k) is Phi(x) itself.
#
# |Phi^-1(p)| is reachable to one rounding: with kurtosis 1 the variance
# factor is exactly 1, and a difference observed - benchmark of 2^-500 scales
# z by a power of two, so minimum_track_record_length returns z^2 * 2^1000
# (the + 1 vanishes below its last place).


def phi(x):
    return halvorn.probabilistic_sharpe_ratio(0.0, -x, 2, 0.0, 3.0)


def abs_inverse(p):
    length = halvorn.minimum_track_record_length(2.0**-500, 0.0, 0.0, 1.0, p)
    return math.sqrt(math.ldexp(length, -1000))


def cdf_bound(c):
    """Relative error allowed for Phi(-c), by region.  Hart's rational form
    keeps an absolute error near 1e-17, so its relative error grows toward
    the switch to the continued fraction at 7.07 (measured: 2.9e-9 there).
    Beyond it the rounding of c * c inside the exponent dominates, plus
    SciPy's own error in the far tail (2.3e-13 at c = 37 against mpmath)."""
    for limit, bound in ((2, 2e-15), (3, 3e-14), (4, 5e-13), (5, 1e-10), (6, 1e-9)):
        if c < limit:
            return bound
    if c < 7.071067811865475:
        return 6e-9
    return 1e-15 + 1e-16 * c * c + 3e-13


def test_phi_matches_scipy_over_the_whole_range():
    grid = np.concatenate(
        [np.linspace(-37.0, 37.0, 7401), np.geomspace(1e-12, 1.0, 60), -np.geomspace(1e-12, 1.0, 60)]
    )
    worst_lower = 0.0
    worst_upper = 0.0
    for x in map(float, grid):
        got = phi(x)
        reference = float(norm.cdf(x))
        if x <= 0.0:
            error = abs(got - reference) / reference
            worst_lower = max(worst_lower, error)
            assert error <= cdf_bound(-x), x
        else:
            # Next to 1 only absolute error is meaningful.
            error = abs(got - reference)
            worst_upper = max(worst_upper, error)
            assert error <= 3.4e-16, x
    assert worst_lower > 0.0 and worst_upper > 0.0  # the comparison did compare


def test_phi_is_cut_off_beyond_37_and_exact_at_0():
    assert phi(0.0) == 0.5
    assert phi(-37.0) > 0.0
    assert phi(-37.000001) == 0.0
    assert phi(37.000001) == 1.0
    assert phi(-1e300) == 0.0


def test_inverse_phi_matches_scipy_over_the_whole_range():
    lower = np.geomspace(1e-298, 0.4999, 3000)
    upper = 1.0 - np.geomspace(1e-16, 0.4999, 1000)
    for p in map(float, np.concatenate([lower, upper])):
        got = abs_inverse(p)
        reference = abs(float(norm.ppf(p)))
        error = abs(got - reference) / reference
        density = math.exp(-reference * reference / 2) / math.sqrt(2 * math.pi)
        if p < 0.5:
            # The Halley step lands on the root of the computed Phi, so the
            # result is as good, relatively, as Phi is there; close to 0.5
            # the last-place rounding of Phi is large next to a small x.
            tail = float(norm.cdf(-reference))
            bound = cdf_bound(reference) + 4e-15 + 2.3e-16 * tail / (density * reference)
        else:
            # Phi near 1 is rounded to the spacing of doubles below 1, which
            # moves the root by that spacing over the density.
            bound = 2.3e-16 / (density * reference) + cdf_bound(reference) + 4e-15
        assert error <= bound, p


def test_inverse_phi_below_1e_298_keeps_only_a_few_digits():
    # Acklam's first estimate there lies beyond the cut-off at 37, where Phi
    # is exactly 0, and a single Halley step recovers only about four digits.
    reference = abs(float(norm.ppf(1e-300)))
    assert abs(abs_inverse(1e-300) - reference) / reference == pytest.approx(4.9e-4, rel=0.05)


def test_inverse_phi_edges():
    assert abs_inverse(0.5) == pytest.approx(0.0, abs=1e-150)
    assert halvorn.minimum_track_record_length(0.1, 0.0, 0.0, 3.0, 0.0) == INF
    assert math.isnan(halvorn.minimum_track_record_length(0.1, 0.0, 0.0, 3.0, -0.01))
    assert math.isnan(halvorn.minimum_track_record_length(0.1, 0.0, 0.0, 3.0, 1.01))
