"""Reliability_without_uncertain: the split-conformal band or groups, and their plot."""

import matplotlib.colors
import matplotlib.pyplot as plt
import numpy as np
import pandas as pd
import pytest
from sklearn.base import BaseEstimator, ClassifierMixin, RegressorMixin
from sklearn.linear_model import LinearRegression
from sklearn.model_selection import train_test_split


class ColumnRegressor(RegressorMixin, BaseEstimator):
    """Predicts the first feature; logs the row count of every predict call."""

    def __init__(self, fail_on_call=None):
        self.fail_on_call = fail_on_call

    def predict(self, x):
        self.calls_ = getattr(self, "calls_", []) + [len(x)]
        if self.fail_on_call == len(self.calls_):
            raise RuntimeError("predict failed")
        return np.asarray(x)[:, 0] * 1.0


class ColumnClassifier(ClassifierMixin, BaseEstimator):
    """The first feature is the probability of label 1."""

    def predict_proba(self, x):
        p = np.asarray(x)[:, 0] * 1.0
        return np.column_stack([1 - p, p])


class NeitherKind(BaseEstimator):
    pass


def calibration_rows(x, y, seed):
    """The calibration part the check draws after `np.random.seed(seed)`."""
    np.random.seed(seed)
    calib_x, _, calib_y, _ = train_test_split(x, y, test_size=0.8)
    return calib_x, calib_y


def regression_data(n=100, seed=1):
    rng = np.random.RandomState(seed)
    x = rng.normal(size=(n, 2))
    return x, x[:, 0] + rng.normal(scale=0.5, size=n)


def classification_data(n=100, seed=2):
    rng = np.random.RandomState(seed)
    p = rng.uniform(size=n)
    y = rng.randint(0, 2, size=n)
    return p.reshape(-1, 1), y


def fitted(mod, est, x, y, level=0.95, seed=0):
    check = mod.Reliability_without_uncertain(est, level)
    np.random.seed(seed)
    assert check.fit(x, y) is None
    return check


class TestRegression:
    def test_band_from_calibration_fifth(self, mod):
        x, y = regression_data()
        est = ColumnRegressor()
        check = fitted(mod, est, x, y, level=0.9, seed=5)
        # All rows are predicted first, then the 20 calibration rows.
        assert est.calls_ == [100, 20]
        calib_x, calib_y = calibration_rows(x, y, 5)
        assert len(calib_x) == 20
        q = np.quantile(np.abs(calib_y - calib_x[:, 0]), 0.9)
        assert check.pred_base.shape == check.pred_up.shape == check.pred_low.shape == (100,)
        np.testing.assert_array_equal(check.pred_base, x[:, 0])
        np.testing.assert_array_equal(check.pred_up, x[:, 0] + q)
        np.testing.assert_array_equal(check.pred_low, x[:, 0] - q)
        assert set(vars(check)) == {
            "estimator", "significance_level", "pred_base", "pred_up", "pred_low"
        }

    def test_median_gives_band_of_twice_q(self, mod):
        x, y = regression_data(seed=3)
        check = fitted(mod, ColumnRegressor(), x, y, level=0.5, seed=11)
        calib_x, calib_y = calibration_rows(x, y, 11)
        q = np.median(np.abs(calib_y - calib_x[:, 0]))
        np.testing.assert_allclose(check.pred_up - check.pred_low, 2 * q, rtol=1e-12)

    def test_default_level_and_level_read_at_fit(self, mod):
        x, y = regression_data(seed=4)
        check = mod.Reliability_without_uncertain(ColumnRegressor())
        assert check.significance_level == 0.95 and type(check.significance_level) is float
        check.significance_level = 0.3
        np.random.seed(8)
        check.fit(x, y)
        calib_x, calib_y = calibration_rows(x, y, 8)
        q = np.quantile(np.abs(calib_y - calib_x[:, 0]), 0.3)
        np.testing.assert_allclose(check.pred_up - check.pred_base, q, rtol=1e-12)

    def test_pandas_data_and_real_model(self, mod):
        x, y = regression_data(n=60, seed=6)
        frame, series = pd.DataFrame(x, columns=["a", "b"]), pd.Series(y)
        model = LinearRegression().fit(frame, series)
        check = fitted(mod, model, frame, series, level=0.8, seed=2)
        calib_x, calib_y = calibration_rows(frame, series, 2)
        q = np.quantile(np.abs(calib_y.to_numpy() - model.predict(calib_x)), 0.8)
        np.testing.assert_allclose(check.pred_up, model.predict(frame) + q, rtol=1e-12)

    def test_same_seed_same_results(self, mod):
        x, y = regression_data(seed=7)
        check = fitted(mod, ColumnRegressor(), x, y, seed=21)
        first = check.pred_up.copy()
        np.random.seed(21)
        check.fit(x, y)
        np.testing.assert_array_equal(check.pred_up, first)

    @pytest.mark.parametrize("level", [1.5, -0.1])
    def test_level_outside_unit_interval(self, mod, level):
        x, y = regression_data()
        check = mod.Reliability_without_uncertain(ColumnRegressor(), level)
        with pytest.raises(ValueError):
            check.fit(x, y)
        # The prediction is stored before the scores are taken.
        assert hasattr(check, "pred_base") and not hasattr(check, "pred_up")

    def test_failed_scoring_keeps_new_prediction(self, mod):
        x, y = regression_data()
        est = ColumnRegressor()
        check = fitted(mod, est, x, y)
        old_up = check.pred_up
        est.fail_on_call, est.calls_ = 2, []
        with pytest.raises(RuntimeError, match="predict failed"):
            check.fit(x + 1, y)
        np.testing.assert_array_equal(check.pred_base, x[:, 0] + 1)
        assert check.pred_up is old_up

    def test_too_few_rows(self, mod):
        x, y = regression_data(n=4)
        with pytest.raises(ValueError):
            mod.Reliability_without_uncertain(ColumnRegressor()).fit(x, y)


def groups(p, q):
    return p[p - q >= 0], p[(1 - p) - q >= 0], p[(p - q < 0) & ((1 - p) - q < 0)]


class TestClassification:
    def test_groups_partition_when_q_above_half(self, mod):
        x, y = classification_data()
        check = fitted(mod, ColumnClassifier(), x, y, level=0.9, seed=4)
        calib_x, calib_y = calibration_rows(x, y, 4)
        q = np.quantile(np.abs(calib_y - calib_x[:, 0]), 0.9)
        assert q > 0.5
        p = x[:, 0]
        pred_1, pred_0, uncertain = groups(p, q)
        np.testing.assert_array_equal(check.pred_1, pred_1)
        np.testing.assert_array_equal(check.pred_0, pred_0)
        np.testing.assert_array_equal(check.pred_uncertain, uncertain)
        assert len(check.pred_0) + len(check.pred_1) + len(check.pred_uncertain) == 100
        assert len(check.pred_uncertain) > 0
        assert set(vars(check)) == {
            "estimator", "significance_level", "pred_1", "pred_0", "pred_uncertain"
        }

    def test_perfect_classifier_gives_q_zero(self, mod):
        y = np.tile([0, 1], 25)
        check = fitted(mod, ColumnClassifier(), y.reshape(-1, 1), y, seed=9)
        # Every score is 0, so each probability lies in both sure groups.
        np.testing.assert_array_equal(check.pred_1, y)
        np.testing.assert_array_equal(check.pred_0, y)
        assert check.pred_uncertain.shape == (0,)

    def test_overlap_when_q_below_half(self, mod):
        # Every score is 0.25, so q = 0.25 and 0.25 <= p <= 0.75 lies in both sure groups.
        y = np.tile([0, 1], 10)
        x = np.where(y == 1, 0.75, 0.25).reshape(-1, 1)
        check = fitted(mod, ColumnClassifier(), x, y, seed=1)
        assert check.pred_uncertain.shape == (0,)
        np.testing.assert_array_equal(check.pred_1, x[:, 0])
        np.testing.assert_array_equal(check.pred_0, x[:, 0])

    @pytest.mark.parametrize("names", [[1, 2], [-1, 1], ["no", "yes"], [False, True], [0, 1]])
    def test_labels_score_by_their_position_among_classes(self, mod, names):
        # 1 for classes_[-1], else 0: the groups of 0/1 labels without classes_.
        x, y = classification_data()
        plain = fitted(mod, ColumnClassifier(), x, y, level=0.9, seed=4)
        assert len(plain.pred_uncertain) not in (0, 100)
        est = ColumnClassifier()
        est.classes_ = np.array(names)
        check = fitted(mod, est, x, np.array(names)[y], level=0.9, seed=4)
        for group in ("pred_0", "pred_1", "pred_uncertain"):
            np.testing.assert_array_equal(getattr(check, group), getattr(plain, group))

    def test_neither_kind_sets_nothing(self, mod):
        check = mod.Reliability_without_uncertain(NeitherKind(), 0.5)
        assert check.fit(*classification_data()) is None
        assert set(vars(check)) == {"estimator", "significance_level"}

    def test_same_seed_same_results(self, mod):
        x, y = classification_data(seed=5)
        check = fitted(mod, ColumnClassifier(), x, y, level=0.8, seed=13)
        first = (check.pred_0.copy(), check.pred_1.copy(), check.pred_uncertain.copy())
        np.random.seed(13)
        check.fit(x, y)
        for got, want in zip((check.pred_0, check.pred_1, check.pred_uncertain), first):
            np.testing.assert_array_equal(got, want)


class PyplotSpy:
    """Stands in for pyplot: logs the calls by name and passes them on."""

    def __init__(self):
        self.calls = []

    def __getattr__(self, name):
        real = getattr(plt, name)

        def call(*args, **kwargs):
            self.calls.append((name, kwargs))
            return real(*args, **kwargs)

        return call


class TestPlot:
    def test_regression_sorted_curves(self, mod, rebind):
        spy = rebind("plt", PyplotSpy())
        x, y = regression_data(n=30)
        check = fitted(mod, ColumnRegressor(), x, y)
        assert check.plot() is None
        assert spy.calls == [("figure", {"figsize": (8, 6)}), ("plot", {}), ("plot", {}), ("plot", {})]
        fig = plt.gcf()
        assert tuple(fig.get_size_inches()) == (8, 6)
        upper, middle, lower = fig.axes[0].get_lines()
        order = np.argsort(check.pred_base)
        for line, values in [(upper, check.pred_up), (middle, check.pred_base), (lower, check.pred_low)]:
            np.testing.assert_array_equal(line.get_xdata(), np.arange(30))
            np.testing.assert_array_equal(line.get_ydata(), values[order])
        assert np.all(np.diff(middle.get_ydata()) >= 0)
        colours = [matplotlib.colors.to_hex(line.get_color()) for line in (upper, middle, lower)]
        assert colours == [matplotlib.colors.to_hex(f"C{i}") for i in range(3)]

    def test_classification_bars(self, mod, rebind):
        spy = rebind("plt", PyplotSpy())
        x, y = classification_data()
        check = fitted(mod, ColumnClassifier(), x, y, level=0.9)
        assert check.plot() is None
        assert [name for name, _ in spy.calls] == ["figure", "bar"]
        ax = plt.gcf().axes[0]
        heights = [patch.get_height() for patch in ax.patches]
        assert heights == [len(check.pred_0), len(check.pred_1), len(check.pred_uncertain)]
        plt.gcf().canvas.draw()
        assert [t.get_text() for t in ax.get_xticklabels()] == ["0", "1", "uncertain"]

    def test_empty_group_gives_zero_bar(self, mod):
        y = np.tile([0, 1], 25)
        check = fitted(mod, ColumnClassifier(), y.reshape(-1, 1), y)
        check.plot()
        assert [p.get_height() for p in plt.gca().patches] == [50, 50, 0]

    @pytest.mark.parametrize("est", [ColumnRegressor(), ColumnClassifier()], ids=["reg", "clf"])
    def test_before_fit_leaves_one_figure(self, mod, est):
        with pytest.raises(AttributeError):
            mod.Reliability_without_uncertain(est).plot()
        assert len(plt.get_fignums()) == 1
        assert tuple(plt.gcf().get_size_inches()) == (8, 6)

    def test_neither_kind_draws_empty_figures(self, mod):
        check = mod.Reliability_without_uncertain(NeitherKind())
        assert check.plot() is None
        assert check.plot() is None
        assert len(plt.get_fignums()) == 2
        assert all(not plt.figure(n).axes for n in plt.get_fignums())

    def test_kind_examined_again(self, mod):
        x, y = regression_data()
        check = fitted(mod, ColumnRegressor(), x, y)
        check.estimator = ColumnClassifier()
        with pytest.raises(AttributeError, match="pred_0"):
            check.plot()
