"""Conformal sets and intervals for new rows: scores, exact thresholds, per-class and
per-group calibration with their fallback, errors, pickling and validity."""

import functools
import pickle
import warnings

import numpy as np
import pytest
from sklearn.exceptions import NotFittedError

from trov.diagnoser import conformal
from trov.diagnoser.conformal import ConformalClassifier, ConformalRegressor


@pytest.fixture(autouse=True)
def _one_lightgbm_thread(monkeypatch):
    """LightGBM through the module's namespace, on one thread: on a busy machine its
    thread pool waits longer than it computes."""
    monkeypatch.setattr(conformal, "LGBMRegressor",
                        functools.partial(conformal.LGBMRegressor, n_jobs=1))


class Table:
    """A fitted classifier whose rows are probability rows: x is the matrix itself."""

    def __init__(self, classes=None):
        if classes is not None:
            self.classes_ = np.asarray(classes)

    def predict_proba(self, x):
        return np.asarray(x, dtype=float)


class Column:
    """A regressor predicting the first feature."""

    def predict(self, x):
        return np.asarray(x, dtype=float)[:, 0]


class Constant:
    """A quantile model predicting a fixed value, whatever it was fitted on."""

    def __init__(self, value):
        self.value = value

    def fit(self, x, y):
        return self

    def predict(self, x):
        return np.full(len(x), self.value)


def constant_band(low, high):
    return lambda level: Constant(low if level < 0.5 else high)


def dirichlet_rows(rng, n, classes):
    p = rng.dirichlet(np.ones(classes), n)
    y = (p.cumsum(axis=1) < rng.random((n, 1))).sum(axis=1)
    return p, np.minimum(y, classes - 1)


# --- scores and thresholds ---


def test_two_classes_match_the_adaptive_classifier(mod):
    rng = np.random.default_rng(3)
    p = rng.random(400)
    p[::37] = 0.5  # ties: the higher column comes first
    proba = np.column_stack([1 - p, p])
    y = (rng.random(400) < p).astype(int)
    for alpha in (0.05, 0.1, 0.3):
        acc = mod.AdaptiveConformalClassifier(alpha=alpha)
        acc.fit(Table([0, 1]), None, None, proba[200:], y[200:], proba[:200], y[:200])
        cc = ConformalClassifier(Table([0, 1]), alpha=alpha).calibrate(proba[:200], y[:200])
        cc.threshold_ = acc.q
        sets = cc.predict_sets(proba[200:])
        expected = np.zeros_like(sets)
        for row, members in enumerate(acc.test_class):
            expected[row, members] = True
        np.testing.assert_array_equal(sets, expected)


ROWS = np.array([[0.5, 0.3, 0.2], [0.2, 0.2, 0.6], [0.4, 0.4, 0.2]])


@pytest.mark.parametrize(
    "score, threshold, expected",
    [
        # row 0 scores 0, 0.5, 0.8; row 1 (tie: column 1 before 0) 0.8, 0.6, 0
        ("aps", 0.5, [[1, 1, 0], [0, 0, 1], [1, 1, 0]]),
        ("aps", 0.0, [[1, 0, 0], [0, 0, 1], [0, 1, 0]]),  # row 2: tie, column 1 first
        ("lac", 0.6, [[1, 0, 0], [0, 0, 1], [1, 1, 0]]),
        ("lac", 0.79, [[1, 1, 0], [0, 0, 1], [1, 1, 0]]),
        ("lac", 0.8, [[1, 1, 1], [1, 1, 1], [1, 1, 1]]),
        # raps without U, lam 0.25, k_reg 1: aps + 0.25 * (rank - 1)
        ("raps", 0.75, [[1, 1, 0], [0, 0, 1], [1, 1, 0]]),
        ("raps", 0.85, [[1, 1, 0], [0, 1, 1], [1, 1, 0]]),
        ("raps", 0.74, [[1, 0, 0], [0, 0, 1], [1, 1, 0]]),
    ],
)
def test_scores_by_hand(score, threshold, expected):
    cc = ConformalClassifier(Table(), score=score, lam=0.25, randomized=False)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # "aps" is degenerate on these rows
        cc.calibrate(np.tile(ROWS, (10, 1)), np.zeros(30, dtype=int))
    cc.threshold_ = threshold
    np.testing.assert_array_equal(cc.predict_sets(ROWS), np.array(expected, dtype=bool))


def test_randomized_scores_lie_between_their_bounds_and_allow_empty_sets():
    rng = np.random.default_rng(0)
    p, y = dirichlet_rows(rng, 3000, 4)
    aps = ConformalClassifier(Table(), alpha=0.2, score="aps").calibrate(p, y)
    rand = ConformalClassifier(Table(), alpha=0.2, score="aps_randomized", random_state=1)
    rand.calibrate(p, y)
    # Each randomised score is at most its aps score plus p_k: below, one more class at most.
    aps.threshold_ = rand.threshold_
    low, high = aps.predict_sets(p).sum(axis=1), rand.predict_sets(p).sum(axis=1)
    assert np.all(high <= low) and np.all(high >= low - 1)
    assert (high == 0).any()


def test_streams_advance_per_call_and_reproduce_from_random_state():
    rng = np.random.default_rng(1)
    p, y = dirichlet_rows(rng, 2000, 5)
    make = lambda seed: ConformalClassifier(Table(), score="raps", random_state=seed).calibrate(p, y)  # noqa: E731
    cc, twin = make(7), make(7)
    assert twin.threshold_ == cc.threshold_ and make(8).threshold_ != cc.threshold_
    first, second = cc.predict_sets(p), cc.predict_sets(p)
    assert not np.array_equal(first, second)  # the next draws, not the same ones again
    # the same state and the same calls give the same sets, whatever the split
    np.testing.assert_array_equal(twin.evaluate(p, y).sets_, first)
    pieces = [twin.predict_sets(p[i:i + k]) for i, k in ((0, 1), (1, 699), (700, 1300))]
    np.testing.assert_array_equal(np.vstack(pieces), second)
    # calibrate starts the prediction stream again
    np.testing.assert_array_equal(cc.calibrate(p, y).predict_sets(p), first)
    fresh = [ConformalClassifier(Table(), score="raps").calibrate(p, y) for _ in range(2)]
    assert not np.array_equal(fresh[0].predict_sets(p), fresh[1].predict_sets(p))


def philox_uniforms(seed, spawn, start, rows):
    """The draws the module documents, from numpy's own Philox: row i of a stream is the
    first word of the block at counter start + i (numpy steps its counter before a block)."""
    key = np.random.SeedSequence(seed, spawn_key=spawn).generate_state(2, np.uint64)
    words = [np.random.Philox(key=key, counter=(start + i - 1) % 2 ** 256).random_raw()
             for i in range(rows)]
    return np.array([(int(w) >> 11) * 2.0 ** -53 for w in words])


def test_draws_are_numpy_philox_by_counter_with_a_stream_per_purpose_and_partition():
    p = np.tile([[0.3, 0.7]], (19, 1))
    cc = ConformalClassifier(Table(), score="aps_randomized", random_state=5)
    cc.calibrate(p, np.zeros(19, int))
    # label 0 ranks second: its score is 0.7 + 0.3 U
    u = philox_uniforms(5, (0,), 0, 19)
    assert cc.threshold_ == np.sort(0.7 + 0.3 * u)[cc.rank_ - 1]
    # the top class is in the set when 0.7 U <= tau
    cc.threshold_ = 0.35
    rows = np.tile([[0.3, 0.7]], (300, 1))
    calls = np.r_[cc.predict_sets(rows[:100])[:, 1], cc.predict_sets(rows)[:, 1]]
    np.testing.assert_array_equal(calls, 0.7 * philox_uniforms(5, (1,), 0, 400) <= 0.35)
    for partition in (0, 3):
        expected = 0.7 * philox_uniforms(5, (1, partition), 0, 300) <= 0.35
        np.testing.assert_array_equal(cc.predict_sets(rows, partition=partition)[:, 1], expected)
    # a partition's draws leave the object's counter where it was
    np.testing.assert_array_equal(cc.predict_sets(rows[:50])[:, 1],
                                  0.7 * philox_uniforms(5, (1,), 400, 50) <= 0.35)
    for bad in (-1, 1.5, "0", True):
        with pytest.raises(ValueError, match="partition must be None or a non-negative integer"):
            cc.predict_sets(rows, partition=bad)


@pytest.mark.parametrize("n, alpha, k", [(9, 0.1, 9), (19, 0.05, 19), (10, 0.3, 8), (99, 0.1, 90)])
def test_threshold_is_the_exact_kth_smallest_score(n, alpha, k):
    # lac scores 1 - p: a shuffled ladder of distinct values
    rng = np.random.default_rng(n)
    scores = rng.permutation(np.arange(1, n + 1) / (n + 2))
    proba = np.column_stack([1 - scores, scores])
    cc = ConformalClassifier(Table(), alpha=alpha, score="lac").calibrate(proba, np.zeros(n, int))
    assert cc.threshold_ == np.sort(scores)[k - 1]
    assert cc.n_calibration_ == n


@pytest.mark.parametrize("n, alpha, least", [(8, 0.1, 9), (18, 0.05, 19), (2, 0.3, 3)])
def test_too_few_calibration_rows_name_the_least_number(n, alpha, least):
    cc = ConformalClassifier(Table(), alpha=alpha)
    with pytest.raises(ValueError, match=f"needs at least {least} calibration rows, got {n}"):
        cc.calibrate(np.tile([[0.5, 0.5]], (n, 1)), np.zeros(n, int))


def test_labels_through_classes_and_more_columns():
    rng = np.random.default_rng(2)
    p, y = dirichlet_rows(rng, 500, 4)
    names = np.array(["ant", "bee", "cat", "dog"])
    cc = ConformalClassifier(Table(names), score="lac").calibrate(p, names[y])
    plain = ConformalClassifier(Table(), score="lac").calibrate(p, y)
    assert cc.threshold_ == plain.threshold_
    assert cc.evaluate(p, names[y]).coverage_ == plain.evaluate(p, y).coverage_
    assert list(cc.classes_) == list(names)
    with pytest.raises(ValueError, match="label 'eel'"):
        cc.calibrate(p[:3], np.array(["ant", "eel", "cat"]))


def test_defaults_and_the_warnings_of_a_degenerate_aps():
    assert ConformalClassifier(Table()).score == "lac"
    assert ConformalClassifier(Table()).random_state is None
    assert ConformalRegressor(Column()).random_state is None
    rng = np.random.default_rng(14)
    p, y = dirichlet_rows(rng, 1000, 4)
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # a model that fits its labels: no warning
        ConformalClassifier(Table(), score="aps").calibrate(p, y)
    # right on 95 % of the rows: the threshold is 0, the sets are the top class
    sure = np.tile([[0.1, 0.7, 0.2]], (200, 1))
    right = np.where(np.arange(200) % 20 == 0, 0, 1)
    # a confident model whose labels are noise: most sets hold every class
    noise = rng.integers(0, 3, 200)
    for labels, what in ((right, "the threshold is 0"), (noise, "calibration sets hold every class")):
        with pytest.warns(UserWarning, match=what) as caught:
            ConformalClassifier(Table(), score="aps").calibrate(sure, labels)
        assert "'aps_randomized'" in str(caught[0].message) and "'lac'" in str(caught[0].message)
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            ConformalClassifier(Table(), score="aps_randomized").calibrate(sure, labels)


@pytest.mark.filterwarnings("ignore:groups .* have fewer than 100")
def test_calibration_keeps_alpha_rank_and_per_stratum_counts_and_ranks():
    # 1 - 0.9 is 0.09999999999999998: unrounded, nine rows would be one too few
    cc = ConformalClassifier(Table(), alpha=1 - 0.9).calibrate(np.tile([[0.4, 0.6]], (9, 1)),
                                                               np.zeros(9, int))
    assert cc.alpha_ == 0.1 and cc.rank_ == 9 and cc.n_calibration_ == 9
    rng = np.random.default_rng(15)
    p, _ = dirichlet_rows(rng, 300, 3)
    y = np.r_[np.zeros(200, int), np.ones(95, int), np.full(5, 2)]
    per_class = ConformalClassifier(Table(), conditional="class")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        per_class.calibrate(p, y)
    assert per_class.rank_ == 271  # ceil(301 * 0.9)
    assert per_class.stratum_counts_ == {0: 200, 1: 95, 2: 5}
    assert per_class.stratum_ranks_ == {0: 181, 1: 87, 2: None}  # class 2 fell back
    per_class.conditional = None
    per_class.calibrate(p, y)
    assert not any(hasattr(per_class, name) for name in ("stratum_counts_", "stratum_ranks_", "groups_"))
    cr = ConformalRegressor(Column(), method="absolute", conditional="group", alpha=0.2)
    x = rng.normal(size=(50, 1))
    cr.calibrate(x, x[:, 0] + rng.normal(size=50), groups=np.r_[["a"] * 30, ["b"] * 20])
    assert cr.stratum_counts_ == {"a": 30, "b": 20} and cr.stratum_ranks_ == {"a": 25, "b": 17}


def test_alpha_changed_after_calibrate_is_not_used_and_warned_of():
    rng = np.random.default_rng(16)
    p, y = dirichlet_rows(rng, 500, 3)
    cc = ConformalClassifier(Table()).calibrate(p, y)
    before = cc.predict_sets(p)
    cc.alpha = 1 - 0.9  # the same alpha once rounded
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        cc.predict_sets(p)
    cc.alpha = 0.3
    with pytest.warns(UserWarning, match=r"alpha is 0.3 but .* alpha_ = 0.1.*calibrate again"):
        np.testing.assert_array_equal(cc.predict_sets(p), before)
    with pytest.warns(UserWarning, match="alpha_ = 0.1"):
        cc.evaluate(p, y)
    cr = ConformalRegressor(Column(), method="absolute").calibrate(p, y.astype(float))
    cr.alpha = "0.2"
    with pytest.warns(UserWarning, match="alpha is '0.2'"):
        cr.predict_intervals(p)


@pytest.mark.parametrize("row, shown", [
    ([0.5, 0.5, 0.01], "summing to 1.01"),
    ([1.1, -0.1, 0.0], "-0.1"),
    ([0.2, 0.3, 0.4], "summing to 0.9"),
])
def test_probability_rows_must_be_distributions(row, shown):
    rng = np.random.default_rng(17)
    p, y = dirichlet_rows(rng, 100, 3)
    bad = p.copy()
    bad[42] = row
    with pytest.raises(ValueError, match=r"row 42 of the calibration part as \[") as caught:
        ConformalClassifier(Table()).calibrate(bad, y)
    assert shown in str(caught.value) and "within 1e-6 per entry and 1e-4 on the sum" in str(caught.value)
    cc = ConformalClassifier(Table()).calibrate(p, y)
    with pytest.raises(ValueError, match="row 42 of the prediction part"):
        cc.predict_sets(bad)


def test_float32_probabilities_of_many_classes_pass():
    rng = np.random.default_rng(18)
    logits = rng.normal(size=(300, 1000)).astype(np.float32) * 3
    e = np.exp(logits - logits.max(axis=1, keepdims=True))
    p = e / e.sum(axis=1, keepdims=True)  # float32 throughout
    assert p.dtype == np.float32 and np.abs(p.sum(axis=1, dtype=np.float64) - 1).max() > 0
    cc = ConformalClassifier(Table(), alpha=0.2).calibrate(p, rng.integers(0, 1000, 300))
    assert cc.predict_sets(p).shape == (300, 1000)


def test_test_labels_that_are_no_class_are_named_and_missed():
    p = np.tile([[0.6, 0.3, 0.1]], (40, 1))
    names = np.array(["ant", "bee", "cat"])
    cc = ConformalClassifier(Table(names), alpha=0.2).calibrate(p, names[np.arange(40) % 2])
    labels = np.array(["ant", "eel", "eel", "fox", "ant"])
    with pytest.warns(UserWarning, match=r"'eel' \(2 rows\), 'fox' \(1 row\); no set holds them"):
        cc.evaluate(p[:5], labels)
    assert cc.coverage_ == 2 / 5


@pytest.mark.filterwarnings("ignore:groups .* have fewer than 100")
def test_pandas_groups_are_aligned_to_a_frame_by_index():
    pd = pytest.importorskip("pandas")
    rng = np.random.default_rng(19)
    x = rng.normal(size=(200, 1)) * 3
    y = x[:, 0] + rng.normal(size=200) * np.where(x[:, 0] > 0, 3.0, 0.5)
    side = np.where(x[:, 0] > 0, "right", "left")
    frame = pd.DataFrame(x, index=rng.permutation(1000)[:200])
    groups = pd.Series(side, index=frame.index).sample(frac=1, random_state=0)  # another order
    make = lambda: ConformalRegressor(Column(), method="absolute", conditional="group")  # noqa: E731
    expected = make().calibrate(x, y, groups=side).threshold_
    assert make().calibrate(frame, y, groups=groups).threshold_ == expected
    fitted = make().calibrate(frame, y, groups=lambda f: groups)
    assert fitted.threshold_ == expected
    # a non-pandas x reads the Series by position
    assert make().calibrate(x, y, groups=pd.Series(side, index=frame.index)).threshold_ == expected
    fitted.evaluate(frame, y, groups=groups)
    assert fitted.test_groups_.tolist() == side.tolist()
    moved = groups.set_axis(groups.index + 1000)
    with pytest.raises(ValueError, match="index differs from the index of the calibration x"):
        make().calibrate(frame, y, groups=moved)
    with pytest.raises(ValueError, match="index differs from the index of the prediction x"):
        fitted.predict_intervals(frame, groups=moved)


# --- per class and per group ---


def test_class_thresholds_fallback_and_warnings():
    rng = np.random.default_rng(4)
    p, _ = dirichlet_rows(rng, 300, 3)
    y = np.r_[np.zeros(200, int), np.ones(95, int), np.full(5, 2)]
    cc = ConformalClassifier(Table(), score="lac", conditional="class")
    with pytest.warns(UserWarning) as caught:
        cc.calibrate(p, y)
    texts = [str(w.message) for w in caught]
    assert any("classes [2] have fewer calibration rows" in t for t in texts)
    assert any("classes [1] have fewer than 100" in t for t in texts)
    assert cc.fallback_groups_ == [2] and cc.threshold_[2] == np.inf
    assert cc.threshold_[0] == np.sort(1 - p[:200, 0])[int(np.ceil(201 * 0.9)) - 1]
    sets, fallback = cc.predict_sets(p, return_fallback=True)
    assert sets[:, 2].all() and fallback.all()

    marginal = ConformalClassifier(Table(), score="lac", conditional="class", fallback="marginal")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        marginal.calibrate(p, y)
    whole = ConformalClassifier(Table(), score="lac").calibrate(p, y)
    assert marginal.threshold_[2] == whole.threshold_


def test_groups_by_array_or_callable_unseen_groups_and_fallback_rows():
    rng = np.random.default_rng(5)
    x = rng.normal(size=(400, 1)) * 3
    y = x[:, 0] + rng.normal(size=400) * np.where(x[:, 0] > 0, 3.0, 0.5)
    side = lambda x: np.where(np.asarray(x)[:, 0] > 0, "right", "left")  # noqa: E731
    x_groups = np.c_[x, np.zeros(400)]
    cr = ConformalRegressor(Column(), method="absolute", conditional="group")
    cr.calibrate(x_groups, y, groups=side)
    assert sorted(cr.threshold_) == ["left", "right"] and cr.threshold_["right"] > cr.threshold_["left"]
    by_array = ConformalRegressor(Column(), method="absolute", conditional="group")
    assert by_array.calibrate(x_groups, y, groups=side(x)).threshold_ == cr.threshold_

    new = np.array([[1.0, 0], [-1.0, 0], [0.5, 0]])
    bounds, fallback = cr.predict_intervals(new, groups=["right", "left", "middle"],
                                            return_fallback=True)
    assert fallback.tolist() == [False, False, True]
    assert bounds[2].tolist() == [-np.inf, np.inf]
    assert bounds[0].tolist() == [1 - cr.threshold_["right"], 1 + cr.threshold_["right"]]
    cr.evaluate(new, [1, -1, 0], groups=["right", "left", "middle"])
    assert cr.fallback_rows_.tolist() == [False, False, True]
    assert cr.test_groups_.tolist() == ["right", "left", "middle"]
    with pytest.raises(ValueError, match="needs the groups of the prediction rows"):
        cr.predict_intervals(new)
    with pytest.raises(ValueError, match="groups has 2 entries for 3 prediction rows"):
        cr.predict_intervals(new, groups=["a", "b"])


# --- the regressor ---


def test_cqr_bounds_by_hand_closed_and_crossed_quantiles():
    x = np.c_[np.zeros(9), np.arange(9)]
    y = np.arange(9) - 4.0  # residuals -4 .. 4
    cr = ConformalRegressor(Column(), alpha=0.1, quantile_model=constant_band(1.0, -1.0))
    with pytest.raises(NotFittedError, match="Call 'fit'"):
        cr.calibrate(x, y)
    cr.fit(x, y).calibrate(x, y)
    # crossed models give the band [-1, 1]; the largest score is 4 - 1 = 3
    assert cr.threshold_ == 3.0
    np.testing.assert_array_equal(cr.predict_intervals([[2.0, 0]]), [[-2.0, 6.0]])
    assert cr.evaluate(x, y).coverage_ == 1.0  # y = +-4 lies on the bounds
    assert cr.mean_width_ == 8.0
    np.testing.assert_array_equal(cr.test_pred_, np.zeros(9))


def test_absolute_needs_no_fit_and_cqr_with_lightgbm_learns_the_spread():
    rng = np.random.default_rng(6)
    x = rng.uniform(-2, 2, size=(3000, 1))
    y = x[:, 0] + rng.normal(size=3000) * (0.2 + np.abs(x[:, 0]))
    parts = [slice(0, 1000), slice(1000, 2000), slice(2000, 3000)]
    absolute = ConformalRegressor(Column(), method="absolute").calibrate(x[parts[1]], y[parts[1]])
    cqr = ConformalRegressor(Column(), depth=2).fit(x[parts[0]], y[parts[0]])
    cqr.calibrate(x[parts[1]], y[parts[1]])
    widths = np.diff(cqr.predict_intervals([[0.0], [1.9]]), axis=1).ravel()
    assert widths[1] > 3 * widths[0]
    for fitted in (absolute, cqr):
        assert 0.86 < fitted.evaluate(x[parts[2]], y[parts[2]]).coverage_ < 0.95


class Spread:
    """A quantile model predicting -x[:, 1] (low) or x[:, 1] (high)."""

    def __init__(self, sign):
        self.sign = sign

    def fit(self, x, y):
        return self

    def predict(self, x):
        return self.sign * np.asarray(x, dtype=float)[:, 1]


def test_empty_cqr_intervals_are_nan_count_as_misses_and_have_width_0():
    rng = np.random.default_rng(20)
    cr = ConformalRegressor(Column(), quantile_model=lambda level: Spread(-1 if level < 0.5 else 1))
    calib = np.c_[np.zeros(20), np.full(20, 5.0)]
    # wide bands around tiny residuals: every score, so the threshold, is below -4.9
    cr.fit(calib, np.zeros(20)).calibrate(calib, rng.uniform(-0.1, 0.1, 20))
    assert cr.threshold_ < -4.9
    test = np.array([[0.0, 1.0], [0.0, 6.0], [0.0, 1.0]])  # bands of 1 are narrower than -tau
    with pytest.warns(UserWarning, match="2 of 3 prediction rows get an empty interval"):
        bounds = cr.predict_intervals(test)
    assert np.isnan(bounds[[0, 2]]).all() and not (bounds[1, 0] > bounds[1, 1])
    np.testing.assert_allclose(bounds[1], [-6 - cr.threshold_, 6 + cr.threshold_])
    with pytest.warns(UserWarning, match="2 of 3 test rows"):
        cr.evaluate(test, [0.0, 0.0, 0.0])
    assert cr.empty_rows_.tolist() == [True, False, True]
    assert cr.coverage_ == 1 / 3
    assert cr.mean_width_ == pytest.approx((12 + 2 * cr.threshold_) / 3)


@pytest.mark.parametrize("shape, accepted", [((110, 2), False), ((110, 1), True), ((2, 55), False)])
def test_predictions_of_the_wrong_shape_are_named_by_shape(shape, accepted):
    model = type("M", (), {"predict": lambda self, x: np.zeros(shape)})()
    cr = ConformalRegressor(model, method="absolute")
    if accepted:
        assert cr.calibrate(np.zeros((110, 1)), np.ones(110)).n_calibration_ == 110
        return
    expected = f"predict returned an array of shape {shape} for the calibration part; expected one prediction per row"
    with pytest.raises(ValueError, match=expected.replace("(", r"\(").replace(")", r"\)")):
        cr.calibrate(np.zeros((110, 1)), np.ones(110))


# --- errors ---


@pytest.mark.parametrize(
    "kwargs, error, text",
    [
        ({"alpha": 1.0}, ValueError, "alpha must lie strictly between 0 and 1"),
        ({"alpha": "0.1"}, TypeError, "alpha must be a number"),
        ({"score": "apss"}, ValueError, "unknown score 'apss': choose one of 'aps'"),
        ({"conditional": "row"}, ValueError, "unknown conditional 'row'"),
        ({"fallback": None}, ValueError, "unknown fallback None"),
        ({"score": "raps", "lam": -1}, ValueError, "lam must be a finite number >= 0"),
        ({"score": "raps", "k_reg": 1.5}, ValueError, "k_reg must be an integer >= 0"),
        ({"score": "aps_randomized", "random_state": "x"}, TypeError, None),
    ],
)
def test_bad_settings(kwargs, error, text):
    cc = ConformalClassifier(Table(), **kwargs)
    with pytest.raises(error, match=text) as caught:
        cc.calibrate(np.tile([[0.2, 0.8]], (20, 1)), np.zeros(20, int))
    if text is None:
        assert "random_state must be None or a non-negative integer" in str(caught.value.__notes__)


def test_bad_data():
    cc = ConformalClassifier(Table())
    with pytest.raises(NotFittedError, match="Call 'calibrate'"):
        cc.predict_sets([[0.5, 0.5]])
    proba = np.tile([[0.2, 0.8]], (20, 1))
    with pytest.raises(ValueError, match="calib_y has 19 labels but predict_proba returned 20"):
        cc.calibrate(proba, np.zeros(19, int))
    bad = proba.copy()
    bad[3, 0] = np.nan
    with pytest.raises(ValueError, match="1 row with NaN or infinite probabilities"):
        cc.calibrate(bad, np.zeros(20, int))
    with pytest.raises(ValueError, match="at least two classes"):
        cc.calibrate(np.ones((20, 1)), np.zeros(20, int))
    cc.calibrate(proba, np.zeros(20, int))
    with pytest.raises(ValueError, match="3 columns for the prediction part, but calibration saw 2"):
        cc.predict_sets(np.ones((2, 3)) / 3)
    with pytest.raises(ValueError, match="unknown conditional 'class'"):
        ConformalRegressor(Column(), conditional="class", method="absolute").calibrate(
            np.ones((20, 1)), np.ones(20))


# --- state that travels ---


def test_pickled_objects_predict_the_same():
    rng = np.random.default_rng(7)
    p, y = dirichlet_rows(rng, 1000, 3)
    cc = ConformalClassifier(Table(), score="raps", conditional="class", random_state=3)
    cc.calibrate(p, y)
    copy = pickle.loads(pickle.dumps(cc))
    np.testing.assert_array_equal(copy.predict_sets(p), cc.predict_sets(p))
    x = rng.normal(size=(600, 2))
    target = x[:, 0] + rng.normal(size=600)
    cr = ConformalRegressor(Column(), depth=2).fit(x[:300], target[:300]).calibrate(x[300:], target[300:])
    np.testing.assert_array_equal(pickle.loads(pickle.dumps(cr)).predict_intervals(x), cr.predict_intervals(x))


def test_threads_on_one_object_take_a_block_of_draws_each():
    from concurrent.futures import ThreadPoolExecutor

    rng = np.random.default_rng(12)
    p, y = dirichlet_rows(rng, 20000, 6)
    make = lambda: ConformalClassifier(Table(), score="raps", random_state=0).calibrate(p[:5000], y[:5000])  # noqa: E731
    cc, twin = make(), make()
    expected = sorted(twin.predict_sets(p).tobytes() for _ in range(8))
    with ThreadPoolExecutor(4) as pool:
        results = list(pool.map(lambda _: cc.predict_sets(p), range(8)))
    # the blocks of eight calls in a row, each once, in whatever order the threads ran
    assert sorted(sets.tobytes() for sets in results) == expected


def test_dask_partitions_give_the_sets_of_the_whole_frame():
    dd = pytest.importorskip("dask.dataframe")
    import dask
    import pandas as pd

    rng = np.random.default_rng(8)
    p, y = dirichlet_rows(rng, 900, 3)
    cc = ConformalClassifier(Table(), score="lac").calibrate(p[:300], y[:300])
    frame = pd.DataFrame(p[300:], columns=["a", "b", "c"])
    parts = dd.from_pandas(frame, npartitions=4)

    def sets(part):
        return pd.DataFrame(cc.predict_sets(part.to_numpy()), index=part.index, columns=[0, 1, 2])

    meta = pd.DataFrame({k: pd.Series(dtype=bool) for k in range(3)})
    with dask.config.set(scheduler="threads"):
        out = parts.map_partitions(sets, meta=meta).compute()
    np.testing.assert_array_equal(out.to_numpy(), cc.predict_sets(p[300:]))


def test_dask_partitions_of_equal_rows_draw_apart_and_reproducibly():
    dd = pytest.importorskip("dask.dataframe")
    import dask
    import pandas as pd

    rng = np.random.default_rng(13)
    truth, y = dirichlet_rows(rng, 1500, 4)
    cc = ConformalClassifier(Table(), score="aps_randomized", random_state=2)
    cc.calibrate(truth[:1000], y[:1000])
    block = truth[1000:1250]
    frame = pd.DataFrame(np.tile(block, (4, 1)), columns=list("abcd"))
    parts = dd.from_pandas(frame, npartitions=4)
    assert parts.map_partitions(len).compute().tolist() == [250] * 4

    def sets(part, partition_info=None):
        number = partition_info["number"] if partition_info else None
        return pd.DataFrame(cc.predict_sets(part.to_numpy(), partition=number), index=part.index)

    meta = pd.DataFrame({k: pd.Series(dtype=bool) for k in range(4)})
    with dask.config.set(scheduler="threads"):
        first, again = (parts.map_partitions(sets, meta=meta).compute().to_numpy() for _ in range(2))
    np.testing.assert_array_equal(first, again)
    # the same rows in every partition: equal sets would mean shared draws
    blocks = first.reshape(4, 250, 4)
    assert all(not np.array_equal(blocks[i], blocks[j]) for i in range(4) for j in range(i))
    # each partition's exact coverage (its rows' true probabilities summed over the set)
    # lies where a batch of 250 independent rows does
    coverage = (blocks * block).sum(axis=2).mean(axis=1)
    assert np.all(np.abs(coverage - 0.9) < 4 * np.sqrt(0.9 * 0.1 / 250) + 0.02)


# --- validity: seeded simulations ---


def binomial_band(alpha, n_cal, n_test, repeats):
    """Where the mean coverage over repeated splits lies: [1 - alpha, 1 - alpha + 1/(n+1)]
    widened by four standard errors of the mean."""
    se = np.sqrt(alpha * (1 - alpha) * (1 / n_test + 1 / n_cal) / repeats)
    return 1 - alpha - 4 * se, 1 - alpha + 1 / (n_cal + 1) + 4 * se


@pytest.mark.parametrize("score", ["aps", "aps_randomized", "raps", "lac"])
def test_marginal_coverage_of_each_score(score):
    rng = np.random.default_rng(9)
    n_cal, n_test, repeats, alpha = 300, 300, 200, 0.1
    covered = []
    for r in range(repeats):
        truth, y = dirichlet_rows(rng, n_cal + n_test, 4)
        model = truth ** 0.5  # an overconfident-in-reverse model
        model /= model.sum(axis=1, keepdims=True)
        cc = ConformalClassifier(Table(), alpha=alpha, score=score, random_state=r)
        cc.calibrate(model[:n_cal], y[:n_cal])
        covered.append(cc.evaluate(model[n_cal:], y[n_cal:]).coverage_)
    low, high = binomial_band(alpha, n_cal, n_test, repeats)
    assert low <= np.mean(covered) <= high


def exact_coverage(sets, truth):
    """Per row, the probability that its set covers a label drawn from the row's known
    class probabilities: no labels sampled, so the only noise is the calibration's."""
    return (sets * truth).sum(axis=1)


def test_coverage_spread_over_seeds_is_the_same_one_row_per_call_as_in_one_batch():
    # Shared draws would move every row's set together: the coverage of a seed would
    # then vary as one row's does. Validity needs each U i.i.d. Uniform(0, 1),
    # independent of the data (Romano, Sesia and Candes, 2020).
    def coverage(seed, one_per_call):
        rng = np.random.default_rng(seed)
        p, y = dirichlet_rows(rng, 1000, 4)
        test, _ = dirichlet_rows(rng, 300, 4)
        cc = ConformalClassifier(Table(), score="aps_randomized", random_state=seed)
        cc.calibrate(p, y)
        if one_per_call:
            sets = np.vstack([cc.predict_sets(test[i:i + 1]) for i in range(len(test))])
        else:
            sets = cc.predict_sets(test)
        return exact_coverage(sets, test).mean()

    batch = [coverage(seed, False) for seed in range(40)]
    single = [coverage(seed, True) for seed in range(100, 140)]
    # restarting the stream per call made this ratio about 4
    ratio = np.std(single, ddof=1) / np.std(batch, ddof=1)
    assert 1 / 1.6 < ratio < 1.6
    for values in (batch, single):
        assert abs(np.mean(values) - 0.9) < 0.01


def test_class_conditional_calibration_covers_the_minority_class():
    rng = np.random.default_rng(10)
    alpha, marginal, per_class = 0.1, [], []
    for r in range(100):
        y = (rng.random(4000) < 0.1).astype(int)
        # the model leans to the majority: the minority's probability is shrunk
        p1 = np.clip(0.15 + 0.3 * y + rng.normal(0, 0.15, 4000), 0.001, 0.999)
        proba = np.column_stack([1 - p1, p1])
        for cond, store in ((None, marginal), ("class", per_class)):
            cc = ConformalClassifier(Table(), alpha=alpha, score="lac", conditional=cond)
            cc.calibrate(proba[:2000], y[:2000]).evaluate(proba[2000:], y[2000:])
            store.append(cc.sets_[y[2000:] == 1, 1].mean())
    assert np.mean(marginal) < 0.8
    assert 1 - alpha - 0.01 <= np.mean(per_class) <= 1 - alpha + 0.02


def test_group_conditional_cqr_holds_per_group():
    rng = np.random.default_rng(11)
    n = 40000
    g = rng.integers(0, 2, n)
    x = rng.uniform(-1, 1, (n, 1))  # the models do not see the group
    y = x[:, 0] + rng.normal(size=n) * np.where(g == 1, 4.0, 0.5)
    cr = ConformalRegressor(Column(), alpha=0.1, depth=2, conditional="group")
    cr.fit(x[:2000], y[:2000])
    pool = np.arange(2000, n)
    per_group = {0: [], 1: []}
    marginal = ConformalRegressor(Column(), alpha=0.1, method="absolute")
    short = []
    for r in range(100):
        rows = rng.choice(pool, 1000, replace=False)
        cal, test = rows[:500], rows[500:]
        cr.calibrate(x[cal], y[cal], groups=g[cal])
        cr.evaluate(x[test], y[test], groups=g[test])
        bounds = cr.intervals_
        for k in (0, 1):
            inside = (bounds[:, 0] <= y[test]) & (y[test] <= bounds[:, 1])
            per_group[k].append(inside[g[test] == k].mean())
        marginal.calibrate(x[cal], y[cal]).evaluate(x[test], y[test])
        inside = (marginal.intervals_[:, 0] <= y[test]) & (y[test] <= marginal.intervals_[:, 1])
        short.append(inside[g[test] == 1].mean())
    for k in (0, 1):
        assert 0.89 <= np.mean(per_group[k]) <= 0.92
    assert np.mean(short) < 0.85
