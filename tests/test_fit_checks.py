"""What fit says or refuses before it works: calibration rows from the training data,
alpha = 1, parts whose features and targets differ in row count."""

import warnings

import numpy as np
import pytest
from sklearn.base import BaseEstimator, ClassifierMixin
from test_classifier import CALIB_P1, CALIB_Y, TEST_P1, TEST_Y, RowModel, ids, two_class
from test_regressor import POINT, fake, rows  # noqa: F401 (fixture)
from test_significance import ColumnClassifier, classification_data

IN_SAMPLE = "calibration rows are taken from train_x and train_y, the data the model was trained on"


class Counting:
    """Counts the calls to the estimator, so that a refusal is seen to come first."""

    def __init__(self, model):
        self.model, self.calls = model, 0

    def predict(self, x):
        self.calls += 1
        return self.model.predict(x)

    def predict_proba(self, x):
        self.calls += 1
        return self.model.predict_proba(x)


# Calibration, test, then 90 training rows: enough for nine calibration rows when split.
TABLE = two_class(CALIB_P1 + TEST_P1 + list(np.linspace(0.05, 0.95, 90)))
TRAIN_X, TRAIN_Y = ids(90, 15), np.resize(CALIB_Y, 90)


def classifier_fit(mod, alpha=0.1, **parts):
    """(instance, estimator, fit call) over the shared tables, calibration parts given."""
    model = Counting(RowModel(TABLE))
    args = dict(train_x=TRAIN_X, train_y=TRAIN_Y, test_x=ids(6, 9),
                test_y=TEST_Y, calib_x=ids(9), calib_y=CALIB_Y)
    args.update(parts)
    clf = mod.AdaptiveConformalClassifier(alpha)
    return clf, model, lambda: clf.fit(model, **args)


def regressor_fit(mod, alpha=0.05, **parts):
    x, y = rows(np.arange(240.0), -1.0, 1.0), np.arange(240.0)
    model = Counting(POINT)
    args = dict(train_x=x[:200], train_y=y[:200], test_x=x[200:], test_y=y[200:],
                calib_x=x[:20], calib_y=y[:20])
    args.update(parts)
    r = mod.ResidualConformalRegressor(alpha)
    return r, model, lambda: r.fit(model, **args)


FITS = {"classifier": classifier_fit, "regressor": regressor_fit}
BUILT = {"classifier": ["alpha"], "regressor": ["alpha", "depth", "rand", "feature_names"]}


@pytest.mark.usefixtures("fake")
class TestInSampleCalibration:
    @pytest.mark.parametrize("kind", FITS)
    def test_said_only_without_held_out_rows(self, mod, kind):
        obj, _, fit = FITS[kind](mod, calib_x=None, calib_y=None)
        with pytest.warns(UserWarning, match=IN_SAMPLE) as caught:
            fit()
        assert len(caught) == 1 and "Pass held-out calib_x and calib_y" in str(caught[0].message)
        # One part alone is still replaced by the split, and said.
        obj, _, fit = FITS[kind](mod, calib_y=None)
        with pytest.warns(UserWarning, match=IN_SAMPLE):
            fit()
        obj, _, fit = FITS[kind](mod)
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            fit()

    def test_said_through_the_facade(self, mod):
        class Classifier(ClassifierMixin, BaseEstimator):
            def predict_proba(self, x):
                return RowModel(TABLE).predict_proba(x)

        facade = mod.Reliability(Classifier())
        with pytest.warns(UserWarning, match=IN_SAMPLE):
            facade.fit(TRAIN_X, TRAIN_Y, ids(6, 9), TEST_Y)
        assert isinstance(facade.reliability, mod.AdaptiveConformalClassifier)


@pytest.mark.usefixtures("fake")
class TestAlphaOne:
    @pytest.mark.parametrize("kind", FITS)
    @pytest.mark.parametrize("one", [1, 1.0, np.float64(1)])
    def test_refused_before_anything(self, mod, kind, one):
        obj, model, fit = FITS[kind](mod, alpha=one)
        with pytest.raises(ValueError, match="^alpha must lie strictly between 0 and 1, got 1"):
            fit()
        assert model.calls == 0 and list(vars(obj)) == BUILT[kind]


@pytest.mark.usefixtures("fake")
class TestRowCounts:
    CASES = {
        "training": ("train_y", "train_x has {} rows but train_y has {}: the training part"),
        "test": ("test_y", "test_x has {} rows but test_y has {}: the test part"),
        "calibration": ("calib_y", "calib_x has {} rows but calib_y has {}: the calibration part"),
    }

    @pytest.mark.parametrize("kind", FITS)
    @pytest.mark.parametrize("part", CASES)
    def test_refused_before_the_estimator(self, mod, kind, part):
        target, message = self.CASES[part]
        obj, model, fit = FITS[kind](mod, **{target: np.zeros(3)})
        with pytest.raises(ValueError, match=message.format(r"\d+", 3)):
            fit()
        assert model.calls == 0 and list(vars(obj)) == BUILT[kind]

    def test_a_list_counts_its_items(self, mod):
        obj, _, fit = classifier_fit(mod, test_x=ids(6, 9).tolist())
        fit()
        assert len(obj.test_class) == 6
        obj, _, fit = classifier_fit(mod, test_x=ids(5, 9).tolist())
        with pytest.raises(ValueError, match="^test_x has 5 rows but test_y has 6"):
            fit()

    def test_significance_check_test_pair(self, mod):
        x, y = classification_data()
        check = mod.Reliability_without_uncertain(ColumnClassifier())
        with pytest.raises(ValueError, match="^test_x has 100 rows but test_y has 99: the test"):
            check.fit(x, y[:99])
