import lightgbm
import numpy as np
import pandas as pd
import pytest
from sklearn.model_selection import train_test_split


class Linear:
    """A fitted regressor: a fixed linear function of the features."""

    def __init__(self, coef):
        self.coef = np.asarray(coef, dtype=float)

    def predict(self, x):
        return np.asarray(x, dtype=float) @ self.coef


def make_data(n, seed=0, p=3):
    rng = np.random.default_rng(seed)
    x = rng.normal(size=(n, p))
    y = x @ np.arange(1.0, p + 1) + rng.normal(scale=0.5, size=n)
    return x, y


# A linear model that is a little off, so the residuals depend on the features.
MODEL = Linear([0.8, 2.0, 3.3])


def recording_lgbm(models):
    """The real LightGBM regressor, keeping every instance and the rows it was fitted on."""

    class Recording(lightgbm.LGBMRegressor):
        def fit(self, x, y, *args, **kwargs):
            self.fit_rows = (np.asarray(x).copy(), np.asarray(y).copy())
            models.append(self)
            return super().fit(x, y, *args, **kwargs)

    return Recording


class FakeQuantiles:
    """Stands in for LGBMRegressor: the lower, median and upper quantile models
    predict columns 1, 2 and 3 of the features (column 0 is the point prediction)."""

    made = []

    def __init__(self, **kwargs):
        self.kwargs = list(kwargs.items())
        FakeQuantiles.made.append(self)

    def fit(self, x, y):
        self.fit_args = (x, y)
        return self

    def predict(self, x):
        level = dict(self.kwargs)["alpha"]
        column = 1 if level < 0.5 else 2 if level == 0.5 else 3
        return np.asarray(x, dtype=float)[:, column].copy()


POINT = Linear([1.0, 0.0, 0.0, 0.0])


def rows(point, low, up, med=0.0):
    """Feature rows for the fake: point prediction, residual quantiles."""
    point, low, up = np.broadcast_arrays(np.asarray(point, float), low, up)
    return np.column_stack([point, low, np.full(point.shape, med), up])


@pytest.fixture
def fake(rebind):
    FakeQuantiles.made = []
    rebind("LGBMRegressor", FakeQuantiles)
    return FakeQuantiles


FIT_ORDER = [
    "calib_x", "calib_y", "test_x", "test_y", "pred_test", "pred_calib",
    "pred_test_residual", "pred_calib_residual", "pred_up", "pred_low",
    "calib_up", "calib_low", "coverage", "width",
]


def test_constructor_stores_arguments_and_shares_default_names(mod):
    r = mod.ResidualConformalRegressor()
    assert (r.alpha, r.depth, r.rand) == (0.05, 7, 0)
    assert list(vars(r)) == ["alpha", "depth", "rand", "feature_names"]
    assert r.feature_names is mod.ResidualConformalRegressor().feature_names == []
    names = np.array(["a"])
    r = mod.ResidualConformalRegressor(0.2, 3, 5, names)
    assert (r.alpha, r.depth, r.rand, r.feature_names) == (0.2, 3, 5, names)


def test_fit_with_real_lightgbm_stores_intervals_and_margin(mod, rebind):
    models = []
    rebind("LGBMRegressor", recording_lgbm(models))
    x, y = make_data(300, seed=1)
    r = mod.ResidualConformalRegressor(alpha=0.1, depth=3, rand=2)
    result = r.fit(MODEL, x[:200], y[:200], x[250:], y[250:], x[200:250], y[200:250])

    assert list(vars(r))[4:] == FIT_ORDER
    assert type(result) is tuple and len(result) == 2
    assert result[0] is r.coverage and result[1] is r.width
    np.testing.assert_array_equal(r.pred_test, MODEL.predict(x[250:]))
    np.testing.assert_array_equal(r.pred_calib, MODEL.predict(x[200:250]))

    # Three quantile models of the training residuals, lower, median, upper.
    assert [m.get_params()["alpha"] for m in models] == [0.05, 0.5, 0.95]
    assert all(m.get_params()["max_depth"] == 3 and m.get_params()["random_state"] == 2
               for m in models)
    for m in models:
        np.testing.assert_array_equal(m.fit_rows[0], x[:200])
        np.testing.assert_allclose(m.fit_rows[1], y[:200] - MODEL.predict(x[:200]))

    residual = y[200:250] - MODEL.predict(x[200:250])
    low, up = models[0].predict(x[200:250]), models[2].predict(x[200:250])
    scores = np.maximum(residual - up, low - residual)
    q = np.quantile(scores, 0.9 * 51 / 50)
    np.testing.assert_allclose(r.pred_calib_residual[0], low - q)
    np.testing.assert_allclose(r.pred_calib_residual[2], up + q)
    np.testing.assert_allclose(r.pred_calib_residual[1], models[1].predict(x[200:250]))
    np.testing.assert_allclose(r.pred_test_residual[0], models[0].predict(x[250:]) - q)
    np.testing.assert_allclose(r.pred_test_residual[2], models[2].predict(x[250:]) + q)

    np.testing.assert_array_equal(r.pred_up, r.pred_test + r.pred_test_residual[2])
    np.testing.assert_array_equal(r.pred_low, r.pred_test + r.pred_test_residual[0])
    np.testing.assert_array_equal(r.calib_up, r.pred_calib + r.pred_calib_residual[2])
    np.testing.assert_array_equal(r.calib_low, r.pred_calib + r.pred_calib_residual[0])
    inside = (r.pred_low < y[250:]) & (y[250:] < r.pred_up)
    assert r.coverage == inside.mean()
    np.testing.assert_array_equal(r.width, np.abs(r.pred_up - r.pred_low))


def test_nineteen_calibration_rows_take_the_largest_score(mod):
    x, y = make_data(219, seed=2)
    r = mod.ResidualConformalRegressor()
    r.fit(MODEL, x[:200], y[:200], x[:20], y[:20], x[200:], y[200:])
    # Level 0.95 * 20 / 19 is exactly 1: every calibration row lies inside its
    # closed band and the row with the largest score sits on a bound.
    below, above = y[200:] - r.calib_low, r.calib_up - y[200:]
    assert np.all(below > -1e-9) and np.all(above > -1e-9)
    assert np.isclose(np.minimum(below, above).min(), 0, atol=1e-9)


def test_eighteen_calibration_rows_fail_after_the_predictions(mod):
    x, y = make_data(218, seed=3)
    r = mod.ResidualConformalRegressor()
    with pytest.raises(ValueError) as raised:
        r.fit(MODEL, x[:200], y[:200], x[:20], y[:20], x[200:], y[200:])
    names = [entry.frame.code.name for entry in raised.traceback]
    assert "trov.diagnoser.reliability_evaluation.ResidualConformalRegressor.fit" in names
    assert list(vars(r))[4:] == FIT_ORDER[:6]
    assert r.calib_y.shape == (18,)


def test_split_without_calibration_needs_181_training_rows(mod, rebind):
    x, y = make_data(181, seed=4)
    with pytest.raises(ValueError):
        mod.ResidualConformalRegressor().fit(MODEL, x[:180], y[:180], x, y)

    models = []
    rebind("LGBMRegressor", recording_lgbm(models))
    np.random.seed(7)
    r = mod.ResidualConformalRegressor()
    r.fit(MODEL, x, y, x[:30], y[:30])
    np.random.seed(7)
    train_x, calib_x, train_y, calib_y = train_test_split(x, y, test_size=0.1)
    np.testing.assert_array_equal(r.calib_x, calib_x)
    np.testing.assert_array_equal(r.calib_y, calib_y)
    assert r.calib_y.shape == (19,)
    assert [len(m.fit_rows[0]) for m in models] == [162, 162, 162]
    np.testing.assert_array_equal(models[0].fit_rows[0], train_x)


def test_split_is_unseeded(mod, fake):
    x = rows(np.zeros(200), -1.0, 1.0)
    y = np.arange(200.0)
    r = mod.ResidualConformalRegressor()
    r.fit(POINT, x, y, x[:5], y[:5])
    first = r.calib_y.copy()
    r.fit(POINT, x, y, x[:5], y[:5])
    assert not np.array_equal(np.sort(first), np.sort(r.calib_y))


@pytest.mark.parametrize("given", ["calib_x", "calib_y"])
def test_one_calibration_part_alone_is_ignored(mod, fake, given):
    x = rows(np.zeros(200), -1.0, 1.0)
    y = np.arange(200.0)
    lone = {"calib_x": rows(np.zeros(30), -1.0, 1.0), "calib_y": np.full(30, -5.0)}
    r = mod.ResidualConformalRegressor()
    r.fit(POINT, x, y, x[:5], y[:5], **{given: lone[given]})
    assert r.calib_x.shape == (20, 4) and r.calib_y.shape == (20,)
    assert set(r.calib_y) <= set(y)
    assert len(fake.made[0].fit_args[1]) == 180


def test_lightgbm_gets_exactly_the_quantile_settings(mod, fake):
    x = rows(np.zeros(40), -1.0, 1.0)
    y = np.zeros(40)
    mod.ResidualConformalRegressor().fit(POINT, x[:20], y[:20], x[:3], y[:3], x[20:], y[20:])
    mod.ResidualConformalRegressor(alpha=0.2, depth=3, rand=9).fit(
        POINT, x[:20], y[:20], x[:3], y[:3], x[20:], y[20:])
    settings = [("objective", "quantile"), ("metric", "quantile"), ("max_depth", 7),
                ("boosting_type", "gbdt"), ("random_state", 0)]
    assert [m.kwargs for m in fake.made[:3]] == [
        [("alpha", level)] + settings for level in (0.025, 0.5, 0.975)]
    settings[2], settings[4] = ("max_depth", 3), ("random_state", 9)
    assert [m.kwargs for m in fake.made[3:]] == [
        [("alpha", level)] + settings for level in (0.1, 0.5, 0.9)]


def test_targets_on_a_bound_are_not_covered(mod, fake):
    # Calibration residuals within [-1, 1] of bands [-2, 2]: the margin is -1,
    # which narrows every band to [-1, 1] around the point prediction.
    calib_x = rows(np.zeros(19), -2.0, 2.0)
    calib_y = np.linspace(-1, 1, 19)
    test_y = np.array([-1.0, -0.5, 0.0, 0.999, 1.0, 1.5])
    test_x = rows(np.full(6, 10.0), -2.0, 2.0)
    r = mod.ResidualConformalRegressor()
    coverage, width = r.fit(POINT, calib_x, calib_y, test_x, test_y + 10, calib_x, calib_y)
    np.testing.assert_array_equal(r.pred_test_residual[0], np.full(6, -1.0))
    np.testing.assert_array_equal(r.pred_test_residual[1], np.zeros(6))
    np.testing.assert_array_equal(r.pred_test_residual[2], np.full(6, 1.0))
    np.testing.assert_array_equal(r.pred_low, np.full(6, 9.0))
    np.testing.assert_array_equal(r.pred_up, np.full(6, 11.0))
    assert coverage == 0.5
    np.testing.assert_array_equal(width, np.full(6, 2.0))


def test_crossed_bands_have_positive_width_and_cover_nothing(mod, fake):
    calib_x = rows(np.zeros(19), -1.0, 1.0)
    calib_y = np.zeros(19)  # every score is -1, so the margin is -1
    test_x = rows(np.zeros(3), [-0.5, -3.0, -0.5], [0.5, 3.0, 0.5])
    r = mod.ResidualConformalRegressor()
    coverage, width = r.fit(POINT, calib_x, calib_y, test_x, np.zeros(3), calib_x, calib_y)
    np.testing.assert_array_equal(r.pred_low, [0.5, -2.0, 0.5])
    np.testing.assert_array_equal(r.pred_up, [-0.5, 2.0, -0.5])
    np.testing.assert_array_equal(width, [1.0, 4.0, 1.0])
    assert coverage == 1 / 3


def test_targets_and_predictions_of_any_shape_are_flattened(mod, fake):
    class Column:
        def predict(self, x):
            return np.asarray(x, dtype=float)[:, :1]  # one value per row, as a column

    x = rows(np.arange(40.0), -1.0, 1.0)
    y = np.arange(40.0)
    r = mod.ResidualConformalRegressor()
    r.fit(Column(), x[:20], list(y[:20]), pd.DataFrame(x[20:]), y[20:].reshape(-1, 1),
          x[20:39], pd.Series(y[20:39] + 1.0))  # calibration residuals on the band: margin 0
    for name in ("calib_y", "test_y", "pred_test", "pred_calib"):
        assert getattr(r, name).ndim == 1
    np.testing.assert_array_equal(fake.made[0].fit_args[1], np.zeros(20))
    assert r.coverage == 1.0


def test_fit_accepts_data_frames_with_real_lightgbm(mod):
    x, y = make_data(260, seed=5)
    frame = pd.DataFrame(x, columns=["a", "b", "c"])
    target = pd.Series(y)

    class FrameModel:
        def predict(self, table):
            return MODEL.predict(table.to_numpy())

    r = mod.ResidualConformalRegressor(alpha=0.1)
    coverage, width = r.fit(FrameModel(), frame[:200], target[:200], frame[200:], target[200:])
    assert r.calib_x.shape == (20, 3) and isinstance(r.test_x, pd.DataFrame)
    assert 0 <= coverage <= 1 and width.shape == (60,)


def test_diagnose_sorts_rows_by_true_response(mod):
    r = mod.ResidualConformalRegressor()
    r.test_y = np.array([3.0, 1.0, 2.0, 1.0, 0.5])
    r.pred_low = np.array([2.0, 0.0, 1.0, 0.1, -1.0])
    r.pred_up = np.array([4.0, 2.0, 3.0, 2.1, 1.0])
    r.pred_test = np.array([3.1, 1.1, 2.1, 1.2, 0.4])
    before = dict(vars(r))
    res = r.diagnose()
    order = np.argsort(r.test_y)
    assert type(res) is dict
    assert list(res) == ["index", "Lower Bound", "Upper Bound", "Point Prediction",
                         "True Response"]
    assert type(res["index"]) is range and res["index"] == range(5)
    np.testing.assert_array_equal(res["True Response"], [0.5, 1.0, 1.0, 2.0, 3.0])
    np.testing.assert_array_equal(res["Lower Bound"], r.pred_low[order])
    np.testing.assert_array_equal(res["Upper Bound"], r.pred_up[order])
    np.testing.assert_array_equal(res["Point Prediction"], r.pred_test[order])
    # Ties keep numpy's order; a second call gives a new, equal dict.
    again = r.diagnose()
    assert again is not res and list(again) == list(res)
    np.testing.assert_array_equal(again["Point Prediction"], res["Point Prediction"])
    assert vars(r) == before


def test_diagnose_orders_by_the_namespace_argsort_ties_included(mod, monkeypatch):
    r = mod.ResidualConformalRegressor()
    r.test_y = np.array([2.0, 1.0, 2.0, 1.0, 0.0])
    r.pred_low = r.pred_up = r.pred_test = np.arange(5.0)
    res = r.diagnose()
    np.testing.assert_array_equal(res["True Response"], [0.0, 1.0, 1.0, 2.0, 2.0])
    assert res["Point Prediction"][0] == 4
    assert set(res["Point Prediction"][1:3]) == {1, 3} and set(res["Point Prediction"][3:]) == {0, 2}

    # Ties are ordered as np.argsort orders them: one that puts later rows first is followed.
    class Numpy:
        def __getattr__(self, name):
            return getattr(np, name)

        @staticmethod
        def argsort(a):
            return np.array([4, 3, 1, 2, 0])

    monkeypatch.setattr(mod, "np", Numpy())
    res = r.diagnose()
    assert res["Point Prediction"].tolist() == [4.0, 3.0, 1.0, 2.0, 0.0]


def test_diagnose_empty_test_part_and_before_fit(mod):
    r = mod.ResidualConformalRegressor()
    with pytest.raises(AttributeError):
        r.diagnose()
    r.test_y = r.pred_low = r.pred_up = r.pred_test = np.array([])
    res = r.diagnose()
    assert res["index"] == range(0)
    assert all(res[k].shape == (0,) for k in list(res)[1:])
