"""ConformalRegressor's difficulty-normalised intervals and conformal predictive
distributions: their validity by seeded simulation, their formulas by hand, and the
errors that keep them honest."""

import functools
import pickle
import warnings

import numpy as np
import pytest
from scipy import stats
from sklearn.dummy import DummyRegressor
from sklearn.exceptions import NotFittedError

from trov.diagnoser import conformal
from trov.diagnoser.conformal import ConformalRegressor


@pytest.fixture(autouse=True)
def _one_lightgbm_thread(monkeypatch):
    monkeypatch.setattr(conformal, "LGBMRegressor",
                        functools.partial(conformal.LGBMRegressor, n_jobs=1))


class Column:
    """A regressor predicting the first feature."""

    def predict(self, x):
        return np.asarray(x, dtype=float)[:, 0]


def second_column(x):
    """A difficulty sigma(x): the second feature."""
    return np.asarray(x, dtype=float)[:, 1]


def noisy_rows(rng, n, discrete=False):
    """x = (centre, scale); y = centre + scale * skewed noise, rounded when discrete
    so that residuals tie."""
    centre = rng.normal(size=n)
    scale = rng.uniform(0.2, 3.0, size=n)
    y = centre + scale * (rng.exponential(size=n) - 1.0)
    if discrete:
        centre, y = np.round(centre), np.round(y)
    return np.column_stack([centre, scale]), y


# --- validity, by seeded simulation ---


@pytest.mark.filterwarnings("ignore:groups")
@pytest.mark.parametrize("method, conditional, discrete", [
    ("absolute", None, True),  # ties among the scores: tau must split them
    ("normalized", None, False),
    ("normalized", "group", True),
])
def test_pit_is_uniform_over_fresh_calibration_draws(method, conditional, discrete):
    # One test value per calibration draw: Q(x, y) at the true y is exactly
    # Uniform(0, 1) over both draws together (Vovk et al., 2017). Without tau the
    # values would sit on k / (n + 1) and the KS test would reject.
    rng = np.random.default_rng(11)
    pits = []
    for _ in range(1500):
        x, y = noisy_rows(rng, 10, discrete)
        groups = (x[:, 1] > 1.5).astype(int)
        cr = ConformalRegressor(Column(), alpha=0.5, method=method, conditional=conditional,
                                difficulty=second_column, beta=0.5, random_state=None)
        cr.calibrate(x[:9], y[:9], groups=groups[:9] if conditional else None)
        pit = cr.predict_cdf(x[9:], y[9:], groups=groups[9:] if conditional else None)
        pits.append(pit[0])
    pits = np.asarray(pits)
    assert pits.min() > 0 and pits.max() <= 1
    assert stats.kstest(pits, "uniform").pvalue > 0.01


def test_equal_tailed_quantiles_cover_at_least_one_minus_alpha():
    # n = 39, alpha = 0.1: ranks 2 and 38 of 39, coverage exactly 36 / 40 = 0.9 for
    # continuous scores; one rank inwards would give 0.85.
    rng = np.random.default_rng(5)
    alpha, covered = 0.1, []
    for _ in range(800):
        x, y = noisy_rows(rng, 39 + 50)
        cr = ConformalRegressor(Column(), method="normalized", difficulty=second_column,
                                beta=0.1).calibrate(x[:39], y[:39])
        q = cr.predict_quantiles(x[39:], [alpha / 2, 1 - alpha / 2])
        covered.append(np.mean((q[:, 0] <= y[39:]) & (y[39:] <= q[:, 1])))
    assert np.mean(covered) == pytest.approx(0.9, abs=0.008)


def test_normalized_intervals_cover_marginally_and_per_group_and_adapt():
    # The default difficulty model learns |residual| on fit's rows; then each fresh
    # calibration covers 1 - alpha on average, within each group when by group.
    rng = np.random.default_rng(2)
    x, y = noisy_rows(rng, 2000)
    cr = ConformalRegressor(Column(), alpha=0.2, method="normalized", conditional="group",
                            depth=3, random_state=0).fit(x, y)
    assert cr.residual_scale_ == pytest.approx(np.mean(np.abs(y - x[:, 0])))
    per_group, widths = [], []
    for _ in range(150):
        x, y = noisy_rows(rng, 200 + 400)
        groups = (x[:, 1] > 1.0).astype(int)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")  # group 0 has about 60 rows
            cr.calibrate(x[:200], y[:200], groups=groups[:200])
        bounds = cr.predict_intervals(x[200:], groups=groups[200:])
        hit = (bounds[:, 0] <= y[200:]) & (y[200:] <= bounds[:, 1])
        per_group.append([hit[groups[200:] == g].mean() for g in (0, 1)])
        widths.append(np.corrcoef(bounds[:, 1] - bounds[:, 0], x[200:, 1])[0, 1])
    coverage = np.mean(per_group, axis=0)
    assert np.all(coverage > 0.8 - 0.02) and np.all(coverage < 0.8 + 1 / 60 + 0.02)
    assert np.mean(widths) > 0.6  # the width follows the true noise scale


# --- the formulas, by hand ---


def test_normalized_interval_and_scores_by_hand_with_sigma_clipped():
    rng = np.random.default_rng(0)
    x, y = noisy_rows(rng, 60)
    x[::7, 1] = -1.0  # a negative sigma counts as 0
    cr = ConformalRegressor(Column(), alpha=0.1, method="normalized",
                            difficulty=second_column, beta=0.25).calibrate(x[:40], y[:40])
    scale = np.maximum(x[:, 1], 0) + 0.25
    signed = (y[:40] - x[:40, 0]) / scale[:40]
    tau = np.sort(np.abs(signed))[int(np.ceil(41 * 0.9)) - 1]
    assert cr.beta_ == 0.25 and cr.threshold_ == tau
    np.testing.assert_array_equal(cr.predictive_scores_, np.sort(signed))
    bounds = cr.predict_intervals(x[40:])
    np.testing.assert_allclose(bounds, np.column_stack([x[40:, 0] - tau * scale[40:],
                                                        x[40:, 0] + tau * scale[40:]]))


def test_a_constant_difficulty_gives_the_absolute_method_back():
    # sigma + beta the same for every row scales scores and thresholds alike.
    rng = np.random.default_rng(3)
    x, y = noisy_rows(rng, 200)
    template = DummyRegressor()
    normalized = ConformalRegressor(Column(), method="normalized", difficulty=template,
                                    random_state=1).fit(x[:80], y[:80])
    assert normalized.difficulty_model_ is not template
    assert normalized.difficulty_model_.constant_ == pytest.approx(normalized.residual_scale_)
    absolute = ConformalRegressor(Column(), method="absolute", random_state=1)
    for cr in (normalized, absolute):
        cr.calibrate(x[80:160], y[80:160]).evaluate(x[160:], y[160:])
    np.testing.assert_allclose(normalized.intervals_, absolute.intervals_)
    np.testing.assert_allclose(normalized.predict_quantiles(x[160:], [0.1, 0.9]),
                               absolute.predict_quantiles(x[160:], [0.1, 0.9]))
    np.testing.assert_allclose(normalized.pit_, absolute.pit_)
    assert normalized.crps_ == pytest.approx(absolute.crps_)


def test_quantile_ranks_are_exact_and_infinite_beyond_the_scores():
    # n + 1 = 100: 0.93 * 100 is 93.00000000000001 in floats, whose ceiling is 94.
    rng = np.random.default_rng(1)
    x, y = noisy_rows(rng, 99 + 3)
    cr = ConformalRegressor(Column(), method="absolute").calibrate(x[:99], y[:99])
    a = np.sort(y[:99] - x[:99, 0])
    q = cr.predict_quantiles(x[99:], [0.005, 0.07, 0.5, 0.93, 0.995])
    centre = x[99:, 0][:, None]
    np.testing.assert_array_equal(q[:, 0], -np.inf)
    np.testing.assert_allclose(q[:, 1:4], centre + a[[6, 49, 92]])
    np.testing.assert_array_equal(q[:, 4], np.inf)
    assert cr.predict_quantiles(x[99:], 0.5).shape == (3,)


def empirical_crps(values, y):
    """The integral of (F(t) - 1{t >= y})^2 over the breakpoints of the step function."""
    points = np.sort(np.append(values, y))
    mids = (points[:-1] + points[1:]) / 2
    f = np.searchsorted(np.sort(values), mids, side="right") / len(values)
    return np.sum((f - (mids >= y)) ** 2 * np.diff(points))


def test_crps_matches_integration_and_pit_the_cdf_at_the_targets():
    rng = np.random.default_rng(4)
    x, y = noisy_rows(rng, 30 + 8)
    cr = ConformalRegressor(Column(), method="normalized", difficulty=second_column, beta=0.3,
                            random_state=7).calibrate(x[:30], y[:30])
    copy = pickle.loads(pickle.dumps(cr))
    cr.evaluate(x[30:], y[30:])
    scale = x[30:, 1] + 0.3
    expected = [empirical_crps(x[30 + i, 0] + scale[i] * cr.predictive_scores_, y[30 + i])
                for i in range(8)]
    assert cr.crps_ == pytest.approx(np.mean(expected), rel=1e-12)
    # evaluate's tau are the next ones of the stream, as predict_cdf's would be.
    np.testing.assert_array_equal(cr.pit_, copy.predict_cdf(x[30:], y[30:]))


def test_cdf_shapes_monotone_in_y_and_one_stream_however_rows_are_split():
    rng = np.random.default_rng(6)
    x, y = noisy_rows(rng, 50 + 6, discrete=True)
    cr = ConformalRegressor(Column(), method="absolute", random_state=3).calibrate(x[:50], y[:50])
    copy = pickle.loads(pickle.dumps(cr))
    grid = np.linspace(-6, 6, 49)
    cdf = cr.predict_cdf(x[50:], np.tile(grid, (6, 1)))
    assert cdf.shape == (6, 49) and np.all(np.diff(cdf, axis=1) >= 0)
    assert np.all(cdf > 0) and np.all(cdf <= 1)
    # One tau per row: the same draws split over two calls, a scalar y for all rows.
    first, rest = copy.predict_cdf(x[50:52], 0.0), copy.predict_cdf(x[52:], np.zeros(4))
    np.testing.assert_array_equal(np.concatenate([first, rest]), cdf[:, 24])


@pytest.mark.filterwarnings("ignore:groups")
def test_unseen_group_gets_the_fallback_distribution():
    rng = np.random.default_rng(8)
    x, y = noisy_rows(rng, 40)
    g = np.repeat([0, 1], 20)
    for fallback in ("full", "marginal"):
        cr = ConformalRegressor(Column(), method="absolute", conditional="group",
                                fallback=fallback).calibrate(x, y, groups=g)
        q = cr.predict_quantiles(x[:2], [0.2, 0.8], groups=[0, 7])
        if fallback == "full":
            assert np.all(np.isinf(q[1]))
        else:
            marginal = np.sort(y - x[:, 0])
            np.testing.assert_allclose(q[1], x[1, 0] + marginal[[7, 32]])
        own = np.sort((y - x[:, 0])[g == 0])
        np.testing.assert_array_equal(cr.predictive_group_scores_[0], own)
        np.testing.assert_allclose(q[0], x[0, 0] + own[[3, 16]])


# --- refusals ---


def test_refusals_of_beta_fit_method_and_shift():
    rng = np.random.default_rng(9)
    x, y = noisy_rows(rng, 40)
    for beta in (0, -1.0, np.inf):
        with pytest.raises(ValueError, match="beta must be finite and > 0"):
            ConformalRegressor(Column(), method="normalized", difficulty=second_column,
                               beta=beta).calibrate(x, y)
    with pytest.raises(TypeError, match="beta must be a number"):
        ConformalRegressor(Column(), method="normalized", difficulty=second_column,
                           beta="1").calibrate(x, y)
    with pytest.raises(ValueError, match="fit was not called"):
        ConformalRegressor(Column(), method="normalized", difficulty=second_column).calibrate(x, y)
    # A difficulty model never fitted: no split of the calibration rows behind the back.
    with pytest.raises(NotFittedError, match="difficulty model"):
        ConformalRegressor(Column(), method="normalized", beta=1.0).calibrate(x, y)
    cqr = ConformalRegressor(Column(), quantile_model=lambda level: DummyRegressor()).fit(x, y)
    cqr.calibrate(x, y)
    with pytest.raises(ValueError, match="'absolute' or 'normalized'"):
        cqr.predict_cdf(x, y)
    shifted = ConformalRegressor(Column(), method="absolute").calibrate(
        x, y, shift=lambda rows: np.ones(len(rows)))
    with pytest.raises(ValueError, match="not weighted"):
        shifted.predict_quantiles(x, 0.5)
    shifted.evaluate(x, y)
    assert not hasattr(shifted, "pit_")
    cr = ConformalRegressor(Column(), method="absolute").calibrate(x, y)
    with pytest.raises(ValueError, match="rows"):
        cr.predict_cdf(x, y[:-1])
    with pytest.raises(ValueError, match="between 0 and 1"):
        cr.predict_quantiles(x, [0.5, 1.0])
