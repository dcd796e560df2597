"""Calibration weighted for a covariate shift: exact thresholds, and coverage."""

import pickle
import warnings
from fractions import Fraction

import numpy as np
import pytest
from scipy.stats import norm
from sklearn.linear_model import LogisticRegression

from trov.diagnoser.conformal import ConformalClassifier, ConformalRegressor


class Fixed:
    """A fitted regressor predicting a known function of x."""

    def __init__(self, slope=1.0):
        self.slope = slope

    def predict(self, x):
        return self.slope * np.asarray(x, dtype=float)[:, 0]


def reference_threshold(scores, weights, w_new, alpha):
    """The smallest score whose cumulative weight reaches (1 - alpha)(W + w), in fractions."""
    a = Fraction(repr(alpha))
    order = np.argsort(scores, kind="stable")
    total = sum(Fraction(float(w)) for w in weights)
    need = (1 - a) * (total + Fraction(float(w_new)))
    cumulative = Fraction(0)
    for i in order:
        cumulative += Fraction(float(weights[i]))
        if cumulative >= need:
            return scores[i]
    return np.inf


def column_weight(x):
    return np.asarray(x, dtype=float)[:, 1]


class TestExactThresholds:
    def test_equal_weights_give_the_unweighted_rank(self):
        # A float cumulative sum of 0.3s picks rank 91 here; the rank is 90.
        rng = np.random.default_rng(0)
        for n, alpha in [(99, 0.1), (999, 0.05), (40, 0.2), (19, 0.05)]:
            x = np.column_stack([rng.normal(size=n), np.full(n, 0.3)])
            y = x[:, 0] + rng.normal(size=n)
            new = np.column_stack([rng.normal(size=50), np.full(50, 0.3)])
            plain = ConformalRegressor(Fixed(), alpha=alpha, method="absolute").calibrate(x, y)
            weighted = ConformalRegressor(Fixed(), alpha=alpha, method="absolute").calibrate(
                x, y, shift=column_weight
            )
            np.testing.assert_array_equal(
                weighted.predict_intervals(new), plain.predict_intervals(new)
            )

    def test_random_weights_match_exact_fractions(self):
        rng = np.random.default_rng(1)
        for trial in range(30):
            n = int(rng.integers(10, 60))
            alpha = float(rng.choice([0.1, 0.2, 0.05, 1 - 0.9, 0.3]))
            if n < 1 / alpha:
                continue
            w = rng.exponential(size=n) if trial % 2 else rng.integers(0, 4, size=n) * 0.1
            x = np.column_stack([rng.normal(size=n), w])
            y = x[:, 0] + rng.normal(size=n)
            new_w = np.concatenate([rng.exponential(size=20), [0.0, 0.1, 0.3, 5.0]])
            new = np.column_stack([np.zeros(new_w.size), new_w])
            if w.sum() == 0:
                continue
            model = ConformalRegressor(Fixed(), alpha=alpha, method="absolute")
            model.calibrate(x, y, shift=column_weight)
            bounds, marked = model.predict_intervals(new, return_fallback=True)
            scores = np.abs(y - x[:, 0])
            want = [reference_threshold(scores, w, v, alpha) for v in new_w]
            np.testing.assert_array_equal(bounds[:, 1], want, err_msg=f"trial {trial}")
            np.testing.assert_array_equal(marked, np.isinf(want))

    def test_many_new_weights_across_the_breaks(self):
        # Dense new weights against a long-double reference, wherever it is clear: the
        # bucketed search must find the same rank as a plain one at every bucket edge.
        rng = np.random.default_rng(7)
        for n, alpha in [(300, 0.1), (1000, 0.05), (57, 0.2)]:
            w = rng.lognormal(sigma=1.5, size=n)
            x = np.column_stack([rng.normal(size=n), w])
            y = x[:, 0] + rng.normal(size=n)
            model = ConformalRegressor(Fixed(), alpha=alpha, method="absolute")
            model.calibrate(x, y, shift=column_weight)
            scores = np.sort(np.abs(y - x[:, 0]))
            order = np.argsort(np.abs(y - x[:, 0]), kind="stable")
            cum = np.cumsum(w[order].astype(np.longdouble))
            new_w = np.concatenate([rng.uniform(0, 1.2 * w.sum() * alpha, 4000), [0.0]])
            got = model.predict_intervals(np.column_stack([np.zeros(new_w.size), new_w]))[:, 1]
            need = (1 - np.longdouble(alpha)) * (cum[-1] + new_w.astype(np.longdouble))
            rank = np.searchsorted(cum, need, side="left")
            clear = np.abs(cum[np.minimum(rank, n - 1)] - need) > 1e-9 * cum[-1]
            want = np.where(rank < n, scores[np.minimum(rank, n - 1)], np.inf)
            assert clear.mean() > 0.9
            np.testing.assert_array_equal(got[clear], want[clear])

    def test_full_exactly_when_the_new_weight_exceeds_its_share(self):
        # alpha = 1/10, W = 9: full iff w > (W + w) / 10, i.e. w > 1; at w = 1 the largest score.
        x = np.column_stack([np.zeros(9), np.ones(9)])
        y = np.arange(1.0, 10.0)
        model = ConformalRegressor(Fixed(), alpha=0.1, method="absolute")
        model.calibrate(x, y, shift=column_weight)
        new = np.column_stack([np.zeros(3), [1.0, np.nextafter(1.0, 2.0), 0.5]])
        bounds, marked = model.predict_intervals(new, return_fallback=True)
        assert bounds[0, 1] == 9.0 and not marked[0]
        assert np.isinf(bounds[1, 1]) and marked[1]
        assert bounds[2, 1] == 9.0
        assert model.ess_ == pytest.approx(9.0)

    def test_group_and_class_strata_weigh_their_own_rows(self):
        rng = np.random.default_rng(2)
        n = 400
        x = np.column_stack([rng.normal(size=n), rng.exponential(size=n)])
        y = x[:, 0] + rng.normal(size=n) * (1 + (x[:, 0] > 0))
        groups = (x[:, 0] > 0).astype(int)
        model = ConformalRegressor(Fixed(), alpha=0.1, method="absolute", conditional="group")
        model.calibrate(x, y, groups=groups, shift=column_weight)
        new = np.column_stack([rng.normal(size=30), rng.exponential(size=30)])
        new_groups = (new[:, 0] > 0).astype(int)
        bounds = model.predict_intervals(new, groups=new_groups)
        scores = np.abs(y - x[:, 0])
        for i in range(30):
            mine = groups == new_groups[i]
            want = reference_threshold(scores[mine], x[mine, 1], new[i, 1], 0.1)
            assert bounds[i, 1] - new[i, 0] == pytest.approx(want, abs=1e-12)

        # Per class: each class's threshold from its own calibration rows' weights.
        labels = (x[:, 0] + rng.normal(size=n) > 0).astype(int)
        clf = LogisticRegression().fit(x[:, :1], labels)

        class OnFirst:
            classes_ = clf.classes_

            def predict_proba(self, rows):
                return clf.predict_proba(np.asarray(rows)[:, :1])

        cc = ConformalClassifier(OnFirst(), alpha=0.1, conditional="class")
        cc.calibrate(x, labels, shift=column_weight)
        sets = cc.predict_sets(new)
        p = clf.predict_proba(x[:, :1])
        p_new = clf.predict_proba(new[:, :1])
        for k in (0, 1):
            mine = labels == k
            for i in range(30):
                tau = reference_threshold(1 - p[mine, k], x[mine, 1], new[i, 1], 0.1)
                assert sets[i, k] == (1 - p_new[i, k] <= tau)

    def test_classifier_with_equal_weights_equals_unweighted(self):
        rng = np.random.default_rng(3)
        x = np.column_stack([rng.normal(size=(300, 2)), np.full(300, 0.7)])
        labels = rng.integers(0, 3, size=300)
        clf = LogisticRegression().fit(x, labels)
        new = np.column_stack([rng.normal(size=(80, 2)), np.full(80, 0.7)])

        def const(rows):
            return np.asarray(rows)[:, 2]

        for score in ["lac", "aps", "aps_randomized", "raps"]:
            for conditional in [None, "class"]:
                args = dict(alpha=0.1, score=score, conditional=conditional, random_state=5)
                with warnings.catch_warnings():
                    warnings.simplefilter("ignore")
                    plain = ConformalClassifier(clf, **args).calibrate(x, labels)
                    weighted = ConformalClassifier(clf, **args).calibrate(x, labels, shift=const)
                np.testing.assert_array_equal(
                    weighted.predict_sets(new), plain.predict_sets(new), err_msg=score
                )


class TestInputsAndState:
    def test_bad_shifts_are_named(self):
        x = np.column_stack([np.zeros(20), np.ones(20)])
        y = np.arange(20.0)
        model = ConformalRegressor(Fixed(), alpha=0.1, method="absolute")
        with pytest.raises(TypeError, match="shift must be"):
            model.calibrate(x, y, shift=3)
        with pytest.raises(ValueError, match="weights are likelihood ratios"):
            model.calibrate(x, y, shift=lambda rows: -np.ones(len(rows)))
        with pytest.raises(ValueError, match="one weight per row"):
            model.calibrate(x, y, shift=lambda rows: np.ones(3))
        with pytest.raises(ValueError, match="weight 0"):
            model.calibrate(x, y, shift=lambda rows: np.zeros(len(rows)))
        with pytest.raises(ValueError, match="finite"):
            model.calibrate(x, y, shift=lambda rows: np.full(len(rows), np.nan))
        model.calibrate(x, y, shift=column_weight)
        with pytest.raises(ValueError, match="one weight per row"):
            model.shift_ = lambda rows: np.ones(1)
            model.predict_intervals(x)

    def test_state_survives_pickling_and_recalibration_clears_it(self):
        rng = np.random.default_rng(4)
        x = np.column_stack([rng.normal(size=50), rng.exponential(size=50)])
        y = x[:, 0] + rng.normal(size=50)
        model = ConformalRegressor(Fixed(), alpha=0.1, method="absolute")
        model.calibrate(x, y, shift=column_weight)
        again = pickle.loads(pickle.dumps(model))
        np.testing.assert_array_equal(again.predict_intervals(x), model.predict_intervals(x))
        # Row by row, in batches or reversed: each row's threshold is its own.
        whole = model.predict_intervals(x)
        one = np.vstack([model.predict_intervals(x[i : i + 1]) for i in range(len(x))])
        np.testing.assert_array_equal(one, whole)
        np.testing.assert_array_equal(model.predict_intervals(x[::-1]), whole[::-1])
        model.evaluate(x, y)
        np.testing.assert_array_equal(model.test_weights_, x[:, 1])
        model.calibrate(x, y)
        assert model.shift_ is None and not hasattr(model, "ess_")
        model.evaluate(x, y)
        assert model.test_weights_ is None


def shifted_rows(rng, n, mean):
    """x ~ N(mean, 1); y = x + noise whose scale grows with x, so a shift matters."""
    x = rng.normal(mean, 1.0, size=n)
    sigma = 0.3 + np.abs(x)
    return x, x + sigma * rng.normal(size=n), sigma


def mean_shift(rng, rows, mean=1.0):
    # N(mean, 1) over N(0, 1).
    x = rng.normal(mean, 1.0, size=rows)
    return x, lambda r: np.exp(mean * np.asarray(r)[:, 0] - mean**2 / 2)


def logistic_selection(rng, rows, slope=2.0, at=1.0):
    # Rows of N(0, 1) kept with chance sigmoid(slope (x - at)): the ratio is that
    # chance over its mean, and the mean cancels in the threshold.
    def kept(r):
        return 1 / (1 + np.exp(-slope * (np.asarray(r)[..., 0] - at)))

    x = rng.normal(size=(12 * rows, 1))
    x = x[rng.random(len(x)) < kept(x)][:rows, 0]
    return x, kept


class TestCoverageUnderShift:
    @pytest.mark.parametrize("shifted", [mean_shift, logistic_selection])
    def test_true_ratio_restores_coverage_the_unweighted_loses(self, shifted):
        # Exact conditional coverage of each new row, 2 Phi(tau / sigma(x)) - 1, averaged
        # over new rows and over calibration draws (Tibshirani et al., 2019).
        rng = np.random.default_rng(11)
        alpha, n = 0.1, 200
        test_x, ratio = shifted(rng, 2000)
        test_sigma = 0.3 + np.abs(test_x)
        new = np.column_stack([test_x, np.zeros_like(test_x)])
        plain, weighted = [], []
        for _ in range(150):
            x, y, _ = shifted_rows(rng, n, 0.0)
            calib = np.column_stack([x, np.zeros_like(x)])
            for shift, out in [(None, plain), (ratio, weighted)]:
                model = ConformalRegressor(Fixed(), alpha=alpha, method="absolute")
                model.calibrate(calib, y, shift=shift)
                tau = model.predict_intervals(new)[:, 1] - test_x
                out.append(np.mean(2 * norm.cdf(tau / test_sigma) - 1))
        plain, weighted = np.array(plain), np.array(weighted)
        se = weighted.std() / np.sqrt(weighted.size)
        assert plain.mean() < 1 - alpha - 0.02
        assert weighted.mean() >= 1 - alpha - 3 * se


class TestEstimatedRatio:
    """A ratio estimated on the training rows, not the calibration rows (Lei and Candes, 2021)."""

    def run(self, rng, mean, repeats=16, n=300, alpha=0.1):
        from sklearn.linear_model import LogisticRegression

        from trov.diagnoser.conformal import DensityRatio

        test_x = rng.normal(mean, 1.0, size=2000)
        test_sigma = 0.3 + np.abs(test_x)
        new = test_x[:, None]
        out = {"plain": [], "weighted": [], "width": [], "plain_width": [], "gap": []}
        for _ in range(repeats):
            train = rng.normal(size=(600, 1))
            ratio = DensityRatio(LogisticRegression(), random_state=0)
            ratio.fit(train, rng.normal(mean, 1.0, size=(600, 1)))
            x, y, _ = shifted_rows(rng, n, 0.0)
            for key, shift in [("plain", None), ("weighted", ratio)]:
                model = ConformalRegressor(Fixed(), alpha=alpha, method="absolute")
                tau = model.calibrate(x[:, None], y, shift=shift).predict_intervals(new)[:, 1]
                tau = tau - test_x
                out[key].append(np.mean(2 * norm.cdf(tau / test_sigma) - 1))
                out["width" if shift else "plain_width"].append(np.mean(np.minimum(tau, 1e6)))
            # The estimate's bound: half the mean |w_hat - w| over calibration-like rows,
            # both scaled to mean 1 there.
            probe = rng.normal(size=(20000, 1))
            w_hat = ratio(probe)
            w = np.exp(mean * probe[:, 0] - mean**2 / 2)
            out["gap"].append(0.5 * np.mean(np.abs(w_hat / w_hat.mean() - w / w.mean())))
        return {key: np.array(value) for key, value in out.items()}

    def test_estimated_ratio_comes_within_its_bound_under_a_shift(self):
        r = self.run(np.random.default_rng(21), mean=1.0)
        se = r["weighted"].std() / np.sqrt(r["weighted"].size)
        assert r["plain"].mean() < 0.9 - 0.03
        assert r["weighted"].mean() >= 0.9 - r["gap"].mean() - 3 * se
        assert r["weighted"].mean() > r["plain"].mean() + 0.03

    def test_estimated_ratio_under_no_shift_stays_valid_and_barely_widens(self):
        r = self.run(np.random.default_rng(22), mean=0.0)
        se = r["weighted"].std() / np.sqrt(r["weighted"].size)
        assert r["weighted"].mean() >= 0.9 - 3 * se
        assert np.mean(r["width"]) <= 1.05 * np.mean(r["plain_width"])


class Reads:
    """Probabilities read off the row's first two columns."""

    classes_ = np.array([0, 1])

    def predict_proba(self, rows):
        return np.asarray(rows, dtype=float)[:, :2]


def last_column(rows):
    return np.asarray(rows, dtype=float)[:, -1]


class TestWeightMagnitudes:
    """The rule is homogeneous in the weights: scaling every weight by a power of ten
    moves no threshold, and a new row of any positive weight is never weightless."""
    @pytest.mark.parametrize("scale", [1e-310, 1e-320])
    def test_tiny_calibration_weights_leave_the_intervals_unweighted(self, scale):
        # Equal weights, however small, are the unweighted calibration.
        y = np.arange(1.0, 21.0)
        x = np.column_stack([np.zeros(20), np.full(20, scale)])
        plain = ConformalRegressor(Fixed(), alpha=0.1, method="absolute").calibrate(x, y)
        weighted = ConformalRegressor(Fixed(), alpha=0.1, method="absolute")
        weighted.calibrate(x, y, shift=column_weight)
        new = np.column_stack([np.zeros(3), np.full(3, scale)])
        np.testing.assert_array_equal(weighted.predict_intervals(new), plain.predict_intervals(new))
        # Unequal ones: the exact rule, not every interval unbounded.
        rng = np.random.default_rng(0)
        w = rng.exponential(size=20) * scale
        weighted.calibrate(np.column_stack([np.zeros(20), w]), y, shift=column_weight)
        got = weighted.predict_intervals(np.column_stack([[0.0], [w[0]]]))[0, 1]
        assert got == reference_threshold(y, w, w[0], 0.1)

    @pytest.mark.parametrize(
        "calibration, new",
        [(1.0, 5e-324), (3.0, 1e-323), (1e300, 1e-30), (1e200, 1e-130)],
    )
    def test_a_tiny_new_weight_is_not_weightless(self, calibration, new):
        # n = 10, alpha = 0.1: rank 9 is reached exactly at w = 0, so any w > 0 needs rank 10.
        y = np.arange(1.0, 11.0)
        x = np.column_stack([np.zeros(10), np.full(10, calibration)])
        model = ConformalRegressor(Fixed(), alpha=0.1, method="absolute")
        model.calibrate(x, y, shift=column_weight)
        bounds = model.predict_intervals(np.column_stack([[0.0, 0.0], [0.0, new]]))
        assert reference_threshold(y, x[:, 1], new, 0.1) == 10.0
        assert bounds[0, 1] == 9.0
        assert bounds[1, 1] == 10.0

    def test_a_tiny_new_weight_per_class(self):
        # Each class's stratum: ten rows, scores 0.05 .. 0.50; the new row scores 0.50 on
        # both classes, inside the set only at rank 10.
        p1 = np.arange(1, 11) * 0.05
        p = np.concatenate([np.column_stack([1 - p1, p1]), np.column_stack([p1, 1 - p1])])
        labels = np.repeat([0, 1], 10)
        x = np.column_stack([p, np.ones(20)])
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            cc = ConformalClassifier(Reads(), alpha=0.1, conditional="class")
            cc.calibrate(x, labels, shift=last_column)
        scores = 1 - p[np.arange(20), labels]
        new = np.array([[0.5, 0.5, 0.0], [0.5, 0.5, 5e-324]])
        sets = cc.predict_sets(new)
        for k in (0, 1):
            mine = labels == k
            tau = reference_threshold(scores[mine], x[mine, 2], 5e-324, 0.1)
            assert (0.5 <= tau) == sets[1, k]

    def test_a_group_of_weight_zero_is_named(self):
        x = np.column_stack([np.arange(40.0), np.r_[np.zeros(20), np.ones(20)]])
        y = x[:, 0] + 1
        groups = np.repeat(["old", "new"], 20)
        model = ConformalRegressor(Fixed(), alpha=0.1, method="absolute", conditional="group")
        with pytest.warns(UserWarning, match=r"groups \['old'\] have calibration rows of weight 0"):
            model.calibrate(x, y, groups=groups, shift=column_weight)
        bounds = model.predict_intervals(x[:1], groups=["old"])
        assert np.isinf(bounds[0, 1])
