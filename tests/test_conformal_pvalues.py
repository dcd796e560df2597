"""Conformal p-values and many levels from one calibration: the stored scores, the
exact agreement of sets and p-values, exact uniformity, and intervals per level."""

import pickle
import warnings
from fractions import Fraction

import numpy as np
import pandas as pd
import pytest
from scipy import stats

from trov.diagnoser.conformal import ConformalClassifier, ConformalRegressor
from test_conformal import Column, Constant


class Table:
    """A fitted classifier whose rows are probability rows: x is the matrix itself."""

    def predict_proba(self, x):
        return np.asarray(x, dtype=float)


def band(level):
    return Constant(-0.5 if level < 0.5 else 0.7)


def rows_with_a_small_stratum(rng, n=600, classes=4):
    """Probability rows whose last class has 3 calibration rows, and groups of which
    one has 3 rows: both fall back at every alpha <= 0.2."""
    p = rng.dirichlet(np.ones(classes), n)
    y = rng.integers(0, classes - 1, n)
    y[:3] = classes - 1
    groups = rng.integers(0, 2, n)
    groups[3:6] = 2
    return p, y, groups


ALPHAS = [0.05, 1 - 0.9, 0.2, 0.37]  # 1 - 0.9 is 0.1 rounded


def rows_of(cc, groups, rows, classes):
    """The calibration rows each cell's p-value counts among."""
    def n_of(stratum):
        if stratum not in cc.stratum_counts_:
            return 0 if cc.fallback == "full" else cc.n_calibration_  # unseen group
        if stratum in cc.fallback_groups_ and cc.fallback == "marginal":
            return cc.n_calibration_
        return cc.stratum_counts_[stratum]
    if cc.conditional is None:
        return np.full((rows, classes), cc.n_calibration_)
    if cc.conditional == "class":
        return np.tile([n_of(c) for c in cc.classes_], (rows, 1))
    return np.repeat([[n_of(g)] for g in groups], classes, axis=1)


@pytest.mark.parametrize("score", ["lac", "aps", "aps_randomized", "raps"])
@pytest.mark.parametrize("conditional, fallback", [
    (None, "full"), ("class", "full"), ("class", "marginal"), ("group", "full"),
    ("group", "marginal")])
def test_sets_and_pvalues_agree_exactly_at_every_level(score, conditional, fallback):
    rng = np.random.default_rng(1)
    p, y, groups = rows_with_a_small_stratum(rng)
    x, x_groups = rng.dirichlet(np.ones(4), 300), rng.integers(0, 4, 300)  # group 3 unseen
    # Coarse probabilities: many scores tie, on the calibration rows and the new ones.
    p, x = np.round(p, 1) + 1e-3, np.round(x, 1) + 1e-3
    p, x = p / p.sum(axis=1, keepdims=True), x / x.sum(axis=1, keepdims=True)
    settings = dict(score=score, conditional=conditional, fallback=fallback, random_state=3)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # fallback and small strata
        cc = ConformalClassifier(Table(), alpha=0.1, **settings).calibrate(p, y, groups=groups)
        g = x_groups if conditional == "group" else None
        sets, marked = cc.predict_sets(x, groups=g, partition=0, alpha=ALPHAS,
                                       return_fallback=True)
        plain = cc.predict_pvalues(x, smoothed=False, groups=g, partition=0)
        smooth = cc.predict_pvalues(x, groups=g, partition=0)
        # The scalar path, from threshold_, is the level 0.1 of the list.
        np.testing.assert_array_equal(cc.predict_sets(x, groups=g, partition=0), sets[..., 1])
        # Each level is what a calibration at that level gives.
        for j in (0, 3):
            again = ConformalClassifier(Table(), alpha=ALPHAS[j], **settings)
            again.calibrate(p, y, groups=groups)
            expected, mask = again.predict_sets(x, groups=g, partition=0, return_fallback=True)
            np.testing.assert_array_equal(sets[..., j], expected)
            np.testing.assert_array_equal(marked[:, j], mask)
    assert sets.shape == (300, 4, 4) and marked.shape == (300, 4)
    n = rows_of(cc, x_groups, 300, 4)
    counts = np.rint(plain * (n + 1)).astype(int)  # #{s_i >= s} + 1
    np.testing.assert_allclose(plain, counts / (n + 1), rtol=0, atol=0)
    # Under "marginal" the p-values' fallback strata are those of alpha_; at 0.37 the
    # three-row stratum has enough rows and its sets use its own scores.
    for j, alpha in enumerate(ALPHAS if fallback == "full" else ALPHAS[:3]):
        a = Fraction(repr(float(f"{alpha:.12g}")))  # the 12 significant digits calibrate keeps
        inside = counts * a.denominator > a.numerator * (n + 1)
        np.testing.assert_array_equal(inside, sets[..., j], err_msg=f"alpha={alpha}")
        # Smoothed p-values are at most the plain ones: their sets lie inside.
        assert not (smooth > alpha)[~sets[..., j]].any()
    assert (smooth <= plain).all() and (smooth > 0).all()
    # Under "full" a stratum that falls back keeps its own scores: every class enters.
    if conditional == "class" and fallback == "full":
        assert sets[:, 3, :3].all() and (plain[:, 3] >= 0.25).all()  # 0.37 needs 2 rows


def test_smoothed_pvalues_cover_exactly_where_sets_cover_more():
    # n = 4, alpha = 0.3: sets cover ceil(0.7 * 5) / 5 = 0.8; {p > alpha} exactly 0.7.
    rng = np.random.default_rng(4)
    smoothed, plain = [], []
    for seed in range(600):
        p = rng.dirichlet(np.ones(3), 44)
        y = (p.cumsum(axis=1) < rng.random((44, 1))).sum(axis=1).clip(0, 2)
        cc = ConformalClassifier(Table(), alpha=0.3, score="aps_randomized", random_state=seed)
        cc.calibrate(p[:4], y[:4])
        rows = np.arange(40)
        smoothed.append((cc.predict_pvalues(p[4:])[rows, y[4:]] > 0.3).mean())
        plain.append(cc.predict_sets(p[4:])[rows, y[4:]].mean())
    spread = np.std(plain) / np.sqrt(len(plain))
    assert abs(np.mean(smoothed) - 0.7) < 3 * spread
    assert abs(np.mean(plain) - 0.8) < 3 * spread
    assert np.mean(plain) - np.mean(smoothed) > 5 * spread


@pytest.mark.parametrize("score", ["aps", "raps"])
def test_true_class_pvalues_are_uniform_over_fresh_calibrations(score):
    # Smoothed conformal p-values are exactly uniform (Vovk, Gammerman and Shafer, 2005).
    # One p-value per calibration draw: many sharing one calibration set are not
    # independent. Scores tie heavily (six distinct probability rows).
    rng = np.random.default_rng(5)
    table = rng.dirichlet(np.ones(3), 6)
    smoothed, plain = [], []
    for seed in range(800):
        pick = rng.integers(0, 6, 16)
        p = table[pick]
        y = (p.cumsum(axis=1) < rng.random((16, 1))).sum(axis=1).clip(0, 2)
        cc = ConformalClassifier(Table(), alpha=0.2, score=score, random_state=seed)
        cc.calibrate(p[:15], y[:15])
        smoothed.append(cc.predict_pvalues(p[15:])[0, y[15]])
        plain.append(cc.predict_pvalues(p[15:], smoothed=False)[0, y[15]])
    assert stats.kstest(smoothed, "uniform").pvalue > 0.01
    # The test can tell: ties make the unsmoothed p-values far from uniform.
    assert stats.kstest(plain, "uniform").pvalue < 0.01


def philox_uniforms(seed, spawn, start, rows):
    """Row i of a stream: the first word of numpy's Philox block at counter start + i."""
    key = np.random.SeedSequence(seed, spawn_key=spawn).generate_state(2, np.uint64)
    words = [np.random.Philox(key=key, counter=(start + i - 1) % 2 ** 256).random_raw()
             for i in range(rows)]
    return np.array([(int(w) >> 11) * 2.0 ** -53 for w in words])


def test_smoothing_draws_from_a_stream_of_its_own_at_the_call_s_counters():
    cal = np.column_stack([np.linspace(0.3, 0.6, 19), 1 - np.linspace(0.3, 0.6, 19)])
    cc = ConformalClassifier(Table(), score="aps_randomized", random_state=5)
    cc.calibrate(cal, np.ones(19, int))
    # Class 0 ranks second, its score 0.99 + 0.01 U above every calibration score:
    # its p-value is U' / 20, U' the smoothing draw.
    rows = np.tile([[0.01, 0.99]], (30, 1))
    first, second = cc.predict_pvalues(rows[:10]), cc.predict_pvalues(rows)
    smooth = 1 - philox_uniforms(5, (2,), 0, 40)
    np.testing.assert_allclose(np.r_[first[:, 0], second[:, 0]] * 20, smooth, rtol=1e-12)
    np.testing.assert_allclose(cc.predict_pvalues(rows, partition=3)[:, 0] * 20,
                               1 - philox_uniforms(5, (2, 3), 0, 30), rtol=1e-12)
    # The score's own draws are the sets' stream, and the counter moved past 40 rows.
    cc.threshold_ = 0.5
    np.testing.assert_array_equal(cc.predict_sets(rows)[:, 1],
                                  0.99 * philox_uniforms(5, (1,), 40, 30) <= 0.5)


def test_stored_scores_pickle_and_state_that_is_not_calibrate_s():
    rng = np.random.default_rng(6)
    p, y, groups = rows_with_a_small_stratum(rng)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        plain = ConformalClassifier(Table(), random_state=1).calibrate(p, y)
        by_class = ConformalClassifier(Table(), conditional="class").calibrate(p, y)
    np.testing.assert_array_equal(plain.calibration_scores_, np.sort(1 - p[np.arange(600), y]))
    assert set(by_class.calibration_scores_) == {0, 1, 2, 3}
    assert len(by_class.calibration_scores_[3]) == 3
    for k, scores in by_class.calibration_scores_.items():
        np.testing.assert_array_equal(scores, np.sort(1 - p[y == k, k]))
    # Many rows, negative scores and ties, per group: CQR residuals beyond a band.
    x = rng.normal(size=(9000, 1))
    r = np.round(rng.normal(size=9000) * 3, 1)
    cr = ConformalRegressor(Column(), method="cqr", conditional="group", quantile_model=band)
    cr.fit(x[:10], x[:10, 0]).calibrate(x, x[:, 0] + r, groups=(r > 1).astype(int))
    residual = (x[:, 0] + r) - x[:, 0]
    scores = np.maximum(-0.5 - residual, residual - 0.7)
    for g in (0, 1):
        np.testing.assert_array_equal(cr.calibration_scores_[g], np.sort(scores[(r > 1) == g]))
    np.testing.assert_array_equal(cr._calibration_scores[0][:9000], np.sort(scores))
    with pytest.raises(ValueError, match="read-only"):
        cr.calibration_scores_[0][0] = 1.0
    copy = pickle.loads(pickle.dumps(plain))
    np.testing.assert_array_equal(copy.predict_pvalues(p, partition=2),
                                  plain.predict_pvalues(p, partition=2))
    # Draws of one call are the next counters, as for the randomised scores.
    first, second = plain.predict_pvalues(p[:5]), plain.predict_pvalues(p[:5])
    assert not np.array_equal(first, second)
    plain._calibration_scores = (plain._calibration_scores[0][::-1], plain._calibration_scores[1])
    with pytest.raises(ValueError, match="out of order.*call calibrate again"):
        plain.predict_pvalues(p)
    del by_class._calibration_scores
    with pytest.raises(ValueError, match="_calibration_scores is missing"):
        by_class.predict_sets(p, alpha=[0.1])


def test_level_arguments_pandas_layout_and_refusals():
    rng = np.random.default_rng(7)
    p, y, _ = rows_with_a_small_stratum(rng, n=60)
    cc = ConformalClassifier(Table(), alpha=0.1).calibrate(p[:, :3] / p[:, :3].sum(1, keepdims=True),
                                                          np.minimum(y, 2))
    x = pd.DataFrame(p[:5, :3] / p[:5, :3].sum(1, keepdims=True), index=list("abcde"))
    assert cc.predict_sets(x, alpha=0.2).shape == (5, 3)
    assert cc.predict_sets(x, alpha=np.array([0.2])).shape == (5, 3, 1)
    frame, mask = cc.set_output(transform="pandas").predict_sets(x, alpha=(0.1, 0.3),
                                                                 return_fallback=True)
    arrays = cc.set_output(transform="default").predict_sets(x, alpha=(0.1, 0.3))
    assert list(frame.columns) == [(0.1, 0), (0.1, 1), (0.1, 2), (0.3, 0), (0.3, 1), (0.3, 2)]
    assert frame.columns.names == ["alpha", "class"] and list(frame.index) == list("abcde")
    np.testing.assert_array_equal(frame[0.3].to_numpy(), arrays[..., 1])
    assert list(mask.columns) == [0.1, 0.3] and mask.shape == (5, 2)
    pvalues = cc.set_output(transform="pandas").predict_pvalues(x)
    assert list(pvalues.columns) == [0, 1, 2] and list(pvalues.index) == list("abcde")
    cc.set_output(transform="default")
    for bad, error, text in [([], ValueError, "empty"), ([0.1, 1.0], ValueError, "between 0"),
                             ("0.1", TypeError, "number"), ([0.01], ValueError, "at least 99")]:
        with pytest.raises(error, match=text):
            cc.predict_sets(x, alpha=bad)
    def ratio(x):
        return np.ones(len(x))

    shifted = ConformalRegressor(Column(), method="absolute").calibrate(
        p[:, :2], p[:, 1], shift=ratio)
    with pytest.raises(ValueError, match="not available for a calibration with shift"):
        shifted.predict_intervals(p[:, :2], alpha=[0.1])
    cc.calibrate(p[:, :3] / p[:, :3].sum(1, keepdims=True), np.minimum(y, 2), shift=ratio)
    with pytest.raises(ValueError, match="predict_pvalues is not available"):
        cc.predict_pvalues(x)


@pytest.mark.parametrize("method", ["absolute", "cqr", "normalized"])
@pytest.mark.parametrize("fallback", ["full", "marginal"])
def test_intervals_and_coverage_per_level_match_a_calibration_per_level(method, fallback):
    rng = np.random.default_rng(8)
    x = rng.normal(size=(900, 2))
    y = x[:, 0] + rng.normal(size=900)
    groups = (x[:, 1] > 0).astype(int)
    groups[:3] = 2  # falls back at every level below
    test_groups = rng.integers(0, 4, 300)  # group 3 unseen
    settings = dict(method=method, conditional="group", fallback=fallback, quantile_model=band)
    alphas = [0.05, 0.1, 0.25]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        cr = ConformalRegressor(Column(), alpha=0.1, **settings).fit(x[:300], y[:300])
        cr.calibrate(x[300:600], y[300:600], groups=groups[300:600])
        wide, marked = cr.predict_intervals(x[600:], groups=test_groups, alpha=alphas,
                                            return_fallback=True)
        cr.evaluate(x[600:], y[600:], groups=test_groups, alpha=alphas)
        for j, alpha in enumerate(alphas):
            one = ConformalRegressor(Column(), alpha=alpha, **settings).fit(x[:300], y[:300])
            one.calibrate(x[300:600], y[300:600], groups=groups[300:600])
            expected, mask = one.predict_intervals(x[600:], groups=test_groups,
                                                   return_fallback=True)
            np.testing.assert_array_equal(wide[..., j], expected)
            np.testing.assert_array_equal(marked[:, j], mask)
            one.evaluate(x[600:], y[600:], groups=test_groups)
            assert cr.coverage_[j] == one.coverage_ and cr.mean_width_[j] == one.mean_width_
            if method != "cqr":  # the distributions do not depend on the levels
                assert cr.crps_ == one.crps_ and cr.pit_.shape == (300,)
    assert wide.shape == (300, 2, 3) and cr.intervals_.shape == (300, 2, 3)
    np.testing.assert_array_equal(cr.test_alpha_, alphas)
    width = wide[:, 1] - wide[:, 0]
    assert (width[:, :-1] >= width[:, 1:]).all()  # nested
    # The scalar path keeps its shapes.
    cr.evaluate(x[600:], y[600:], groups=test_groups)
    assert isinstance(cr.coverage_, float) and cr.intervals_.shape == (300, 2)
    assert cr.test_alpha_ == 0.1


def test_classifier_evaluate_reports_coverage_per_level():
    rng = np.random.default_rng(9)
    p = rng.dirichlet(np.ones(5), 4000)
    y = (p.cumsum(axis=1) < rng.random((4000, 1))).sum(axis=1).clip(0, 4)
    cc = ConformalClassifier(Table(), alpha=0.1, score="aps_randomized", random_state=0)
    cc.calibrate(p[:2000], y[:2000]).evaluate(p[2000:], y[2000:], alpha=[0.05, 0.1, 0.3])
    assert cc.sets_.shape == (2000, 5, 3) and cc.fallback_rows_.shape == (2000, 3)
    covered = cc.sets_[np.arange(2000), y[2000:]].mean(axis=0)
    np.testing.assert_array_equal(cc.coverage_, covered)
    np.testing.assert_array_equal(cc.mean_set_size_, cc.sets_.sum(axis=1).mean(axis=0))
    assert (np.abs(cc.coverage_ - [0.95, 0.9, 0.7]) < 0.03).all()
    cc.evaluate(p[2000:], y[2000:])
    assert isinstance(cc.coverage_, float) and cc.sets_.shape == (2000, 5)


def test_threads_on_one_object_take_a_block_of_draws_each():
    from concurrent.futures import ThreadPoolExecutor

    rng = np.random.default_rng(10)
    p = rng.dirichlet(np.ones(6), 20000)
    y = rng.integers(0, 6, 20000)
    make = lambda: ConformalClassifier(Table(), score="raps", conditional="class",  # noqa: E731
                                       random_state=0).calibrate(p[:5000], y[:5000])
    cc, twin = make(), make()
    expected = sorted(twin.predict_pvalues(p).tobytes() for _ in range(6))
    with ThreadPoolExecutor(3) as pool:
        results = list(pool.map(lambda _: cc.predict_pvalues(p), range(6)))
    assert sorted(values.tobytes() for values in results) == expected
