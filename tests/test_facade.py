"""Reliability: stored settings, choice of procedure, delegation of show and diagnose."""

import traceback

import numpy as np
import pandas as pd
import pytest
from sklearn.base import BaseEstimator, ClassifierMixin, RegressorMixin
from sklearn.linear_model import LinearRegression, LogisticRegression


class FakeRegressor(RegressorMixin, BaseEstimator):
    pass


class FakeClassifier(ClassifierMixin, BaseEstimator):
    pass


class NeitherKind(BaseEstimator):
    pass


class Names(list):
    pass


def recorder(log, fit_error=None):
    """A stand-in procedure class that logs how the facade builds and drives it."""

    class Recorder:
        def __init__(self, *args, **kwargs):
            log.append(("init", args, list(kwargs.items()), self))

        def fit(self, *args, **kwargs):
            log.append(("fit", args, kwargs, self))
            if fit_error is not None:
                raise fit_error
            return ("coverage", "width")

        def plot(self, *args, **kwargs):
            log.append(("plot", args, kwargs, self))
            return "drawn"

        def diagnose(self, *args, **kwargs):
            log.append(("diagnose", args, kwargs, self))
            return self.result

        result = {"sample count": [1, 2]}

    return Recorder


@pytest.fixture
def procedures(rebind):
    """Both procedure classes replaced by recorders; returns the two logs."""
    logs = {"regressor": [], "classifier": []}
    rebind("ResidualConformalRegressor", recorder(logs["regressor"]))
    rebind("AdaptiveConformalClassifier", recorder(logs["classifier"]))
    return logs


DATA = ("train_x", "train_y", "test_x", "test_y")


class TestSettings:
    def test_defaults(self, mod):
        est = FakeRegressor()
        r = mod.Reliability(est)
        assert r.estimator is est
        assert r.alpha == 0.1 and type(r.alpha) is float
        assert r.depth == 7 and type(r.depth) is int
        assert isinstance(r.feature_names, np.ndarray)
        assert r.feature_names.ndim == 1 and r.feature_names.shape == (0,)
        # The shared default list is turned into an array, never stored or changed.
        shared = mod.Reliability.__init__.__defaults__[2]
        assert shared == [] and r.feature_names is not shared
        assert set(vars(r)) == {"estimator", "alpha", "depth", "feature_names"}

    def test_values_stored_unchanged(self, mod):
        est, alpha, depth = object(), object(), object()
        r = mod.Reliability(est, alpha, depth=depth)
        assert r.estimator is est and r.alpha is alpha and r.depth is depth

    def test_list_of_strings_becomes_array(self, mod):
        names = ["age", "bmi", "bp"]
        r = mod.Reliability(FakeRegressor(), feature_names=names)
        assert isinstance(r.feature_names, np.ndarray)
        assert r.feature_names.tolist() == names and r.feature_names.dtype.kind == "U"
        assert names == ["age", "bmi", "bp"]

    @pytest.mark.parametrize(
        "names",
        [("age", "bmi"), np.array(["age", "bmi"]), pd.Index(["age", "bmi"]), Names(["age"]), None],
        ids=["tuple", "array", "index", "list-subclass", "none"],
    )
    def test_other_types_stored_as_the_same_object(self, mod, names):
        r = mod.Reliability(FakeRegressor(), 0.2, 3, names)
        assert r.feature_names is names

    def test_list_check_compares_types_by_equality(self, mod):
        # A metaclass whose classes compare equal to list passes the exact-type check.
        class LooksLikeList(type):
            def __eq__(cls, other):
                return other is list or type.__eq__(cls, other)

            __hash__ = type.__hash__

        class Odd(list, metaclass=LooksLikeList):
            pass

        r = mod.Reliability(FakeRegressor(), feature_names=Odd(["x"]))
        assert isinstance(r.feature_names, np.ndarray) and r.feature_names.tolist() == ["x"]


class TestFit:
    def test_regressor_builds_residual_procedure(self, mod, procedures):
        est = FakeRegressor()
        r = mod.Reliability(est, alpha=0.2, depth=4, feature_names=["a", "b"])
        assert r.fit(*DATA, "calib_x", "calib_y") is None
        (init, fit), classifier_log = procedures["regressor"], procedures["classifier"]
        assert classifier_log == []
        assert init[0] == "init" and init[1] == ()
        keywords = init[2]
        assert [name for name, _ in keywords] == ["alpha", "depth", "feature_names"]
        assert keywords[0][1] == 0.2 and keywords[1][1] == 4
        assert keywords[2][1] is r.feature_names
        assert fit[0] == "fit" and fit[2] == {}
        assert fit[1] == (est, *DATA, "calib_x", "calib_y") and fit[1][0] is est
        assert r.reliability is init[3] is fit[3]

    def test_classifier_builds_adaptive_procedure_with_alpha_only(self, mod, procedures):
        est = FakeClassifier()
        r = mod.Reliability(est, alpha=0.3, depth=4, feature_names=["a"])
        assert r.fit(*DATA) is None
        assert procedures["regressor"] == []
        init, fit = procedures["classifier"]
        assert init[1] == () and init[2] == [("alpha", 0.3)]
        assert fit[1] == (est, *DATA, None, None) and fit[2] == {}
        assert r.reliability is init[3]

    def test_real_models_choose_by_kind(self, mod, procedures):
        mod.Reliability(LinearRegression()).fit(*DATA)
        mod.Reliability(LogisticRegression()).fit(*DATA)
        assert [e[0] for e in procedures["regressor"]] == ["init", "fit"]
        assert [e[0] for e in procedures["classifier"]] == ["init", "fit"]

    def test_data_passed_as_the_same_objects(self, mod, procedures):
        data = [np.zeros((3, 2)), np.zeros(3), pd.DataFrame({"a": [1]}), pd.Series([1])]
        mod.Reliability(FakeRegressor()).fit(*data, calib_y=data[1])
        args = procedures["regressor"][1][1]
        assert all(a is b for a, b in zip(args[1:5], data))
        assert args[5] is None and args[6] is data[1]

    def test_settings_read_when_fit_runs(self, mod, procedures):
        r = mod.Reliability(FakeClassifier())
        r.alpha = 0.25
        r.fit(*DATA)
        assert procedures["classifier"][0][2] == [("alpha", 0.25)]
        other = FakeRegressor()
        r.estimator, r.depth, r.feature_names = other, 9, ("z",)
        r.fit(*DATA)
        expected = [("alpha", 0.25), ("depth", 9), ("feature_names", ("z",))]
        assert procedures["regressor"][0][2] == expected
        assert procedures["regressor"][1][1][0] is other

    def test_regression_is_tested_first(self, mod, procedures, rebind):
        asked = []
        rebind("is_regressor", lambda est: asked.append("regressor") or True)
        rebind("is_classifier", lambda est: asked.append("classifier") or True)
        mod.Reliability(FakeClassifier()).fit(*DATA)
        assert asked == ["regressor"]
        assert procedures["classifier"] == [] and len(procedures["regressor"]) == 2

    def test_kind_checks_use_truth_value(self, mod, procedures, rebind):
        rebind("is_regressor", lambda est: [])  # empty list: false
        rebind("is_classifier", lambda est: [0])  # non-empty list: true
        mod.Reliability(FakeRegressor()).fit(*DATA)
        assert procedures["regressor"] == [] and len(procedures["classifier"]) == 2

    def test_neither_kind_sets_nothing(self, mod, procedures):
        r = mod.Reliability(NeitherKind())
        assert r.fit(*DATA) is None
        assert procedures == {"regressor": [], "classifier": []}
        assert not hasattr(r, "reliability")
        with pytest.raises(AttributeError):
            r.show()
        with pytest.raises(AttributeError):
            r.diagnose()

    def test_neither_kind_keeps_earlier_procedure(self, mod, procedures):
        r = mod.Reliability(FakeRegressor())
        r.fit(*DATA)
        first = r.reliability
        r.estimator = NeitherKind()
        r.fit(*DATA)
        assert r.reliability is first and len(procedures["regressor"]) == 2

    def test_second_fit_replaces_procedure(self, mod, procedures):
        r = mod.Reliability(FakeRegressor())
        r.fit(*DATA)
        first = r.reliability
        r.fit(*DATA)
        assert r.reliability is not first
        assert r.reliability is procedures["regressor"][2][3]

    def test_procedure_stored_before_its_fit_runs(self, mod, rebind):
        log = []
        rebind("ResidualConformalRegressor", recorder(log, fit_error=RuntimeError("boom")))
        r = mod.Reliability(FakeRegressor())
        r.reliability = "earlier"
        with pytest.raises(RuntimeError, match="boom") as info:
            r.fit(*DATA)
        assert r.reliability is log[0][3]
        names = [frame.name for frame in traceback.extract_tb(info.tb)]
        assert "trov.diagnoser.reliability_evaluation.Reliability.fit" in names

    def test_failing_construction_leaves_procedure(self, mod, rebind):
        def failing(**kwargs):
            raise ValueError("bad settings")

        rebind("AdaptiveConformalClassifier", failing)
        r = mod.Reliability(FakeClassifier())
        r.reliability = "earlier"
        with pytest.raises(ValueError, match="bad settings"):
            r.fit(*DATA)
        assert r.reliability == "earlier"


class TestDelegation:
    def test_show_calls_plot_without_arguments(self, mod, procedures):
        r = mod.Reliability(FakeRegressor())
        r.fit(*DATA)
        assert r.show() is None
        assert r.show() is None
        plots = procedures["regressor"][2:]
        assert [(e[0], e[1], e[2]) for e in plots] == [("plot", (), {})] * 2

    def test_diagnose_returns_the_very_object(self, mod, procedures):
        r = mod.Reliability(FakeClassifier())
        r.fit(*DATA)
        result = r.diagnose()
        assert result is r.reliability.result
        assert procedures["classifier"][2][:3] == ("diagnose", (), {})

    def test_delegates_to_whatever_reliability_holds(self, mod):
        class Procedure:
            def plot(self):
                raise KeyError("from plot")

            def diagnose(self):
                return None

        r = mod.Reliability(NeitherKind())
        r.reliability = Procedure()
        assert r.diagnose() is None
        with pytest.raises(KeyError, match="from plot"):
            r.show()

    def test_before_fit_attribute_error(self, mod):
        r = mod.Reliability(FakeRegressor())
        with pytest.raises(AttributeError, match="reliability"):
            r.show()
        with pytest.raises(AttributeError, match="reliability"):
            r.diagnose()
