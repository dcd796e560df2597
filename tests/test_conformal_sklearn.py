"""The conformal classes as scikit-learn estimators: parameters, clone, repr,
pandas output; and the docstrings of the conformal and report modules."""
import inspect
import pickle
import pydoc
import re

import numpy as np
import pandas as pd
import pytest
import sklearn
from sklearn.base import BaseEstimator, clone
from sklearn.exceptions import NotFittedError
from sklearn.linear_model import LinearRegression, LogisticRegression
from sklearn.utils.validation import check_is_fitted

from test_conformal import Column, Table
from trov.diagnoser import conformal, reliability_evaluation, report
from trov.diagnoser.conformal import ConformalClassifier, ConformalRegressor

CLASSIFIER_PARAMS = ["model", "alpha", "score", "conditional", "fallback", "random_state", "lam",
                     "k_reg", "randomized"]
REGRESSOR_PARAMS = ["model", "alpha", "method", "conditional", "fallback", "depth",
                    "quantile_model", "random_state", "difficulty", "beta"]


def clone_keeps_output():
    class Probe(BaseEstimator):
        pass

    probe = Probe()
    probe._sklearn_output_config = {"transform": "pandas"}
    return hasattr(clone(probe), "_sklearn_output_config")


def quantile_factory(level):
    return LinearRegression()


def logistic_rows(seed, n=400):
    """Training rows, then calibration rows, of a two-class problem."""
    rng = np.random.default_rng(seed)
    x = rng.normal(size=(n, 3))
    y = (x[:, 0] + rng.normal(scale=0.5, size=n) > 0).astype(int)
    return x[: n // 2], y[: n // 2], x[n // 2:], y[n // 2:]


def calibrated(kind, rng):
    """A calibrated object of each class on simple data, and rows to predict."""
    if kind == "classifier":
        p = rng.dirichlet(np.ones(3), 300)
        y = (p.cumsum(axis=1) < rng.random((300, 1))).sum(axis=1).clip(0, 2)
        obj = ConformalClassifier(Table(["a", "b", "c"]))
        return obj.calibrate(p, np.array(["a", "b", "c"])[y]), p[:20], ["a", "b", "c"]
    x = rng.normal(size=(300, 2))
    obj = ConformalRegressor(Column(), method="absolute").calibrate(x, x[:, 0] + rng.normal(size=300))
    return obj, x[:20], ["lower", "upper"]


def predict(obj, x, **kwargs):
    call = obj.predict_sets if isinstance(obj, ConformalClassifier) else obj.predict_intervals
    return call(x, **kwargs)


# --- parameters ---

@pytest.mark.parametrize("cls, names", [(ConformalClassifier, CLASSIFIER_PARAMS),
                                        (ConformalRegressor, REGRESSOR_PARAMS)])
def test_params_are_exactly_the_init_parameters_and_deep_ones_nest_the_model(cls, names):
    assert list(inspect.signature(cls).parameters) == names
    model = LogisticRegression(C=0.25)
    obj = cls(model, alpha=0.2)
    shallow = obj.get_params(deep=False)
    assert list(shallow) == names and shallow["model"] is model and shallow["alpha"] == 0.2
    deep = obj.get_params()
    assert deep["model__C"] == 0.25
    # Nested entries first, then the parameter itself, as BaseEstimator orders them.
    assert list(deep).index("model__C") < list(deep).index("model")
    assert set(deep) == set(names) | {"model__" + k for k in model.get_params()}
    # A model without get_params, and a class given as model, nest nothing.
    assert list(cls(Table()).get_params()) == names
    assert list(cls(LogisticRegression).get_params()) == names


def test_set_params_sets_nested_and_returns_self_and_refuses_unknown_names():
    cc = ConformalClassifier(LogisticRegression())
    assert cc.set_params() is cc
    assert cc.set_params(alpha=0.3, model__C=2.0, score="aps") is cc
    assert (cc.alpha, cc.score, cc.model.C) == (0.3, "aps", 2.0)
    # Replacing the model and setting its parameters in one call sets them on the new one.
    new = LogisticRegression()
    cc.set_params(model=new, model__C=4.0)
    assert cc.model is new and new.C == 4.0
    for bad in ({"alpha": 0.05, "alhpa": 0.2}, {"modle__C": 1.0}, {"params": 1}):
        with pytest.raises(ValueError, match="valid parameters are model, alpha, score"):
            cc.set_params(**bad)
        assert cc.alpha == 0.3  # nothing set when any name is bad
    with pytest.raises(ValueError, match="has no set_params"):
        ConformalClassifier(Table()).set_params(model__C=1.0)
    with pytest.raises(ValueError, match="invalid parameter 'C' for ConformalRegressor"):
        ConformalRegressor(Column()).set_params(C=1.0)
    # Keywords only, as for any **params.
    with pytest.raises(TypeError, match="takes 1 positional argument but 2 were given"):
        cc.set_params({"alpha": 0.1})
    assert str(inspect.signature(ConformalClassifier.set_params)) == "(self, **params)"


def test_clone_gives_an_unfitted_copy_with_equal_parameters():
    rng = np.random.default_rng(0)
    train_x, train_y, x, y = logistic_rows(0)
    model = LogisticRegression(C=0.5).fit(train_x, train_y)
    cc = ConformalClassifier(model, alpha=0.2, score="aps_randomized", random_state=5)
    cc.calibrate(x, y).set_output(transform="pandas")
    cc.predict_sets(x)
    copy = clone(cc)
    assert type(copy) is ConformalClassifier and copy is not cc
    assert copy.get_params(deep=False).keys() == cc.get_params(deep=False).keys()
    assert copy.model is not model and copy.model.get_params() == model.get_params()
    params = {k: v for k, v in copy.get_params(deep=False).items() if k != "model"}
    assert params == {k: v for k, v in cc.get_params(deep=False).items() if k != "model"}
    for fitted in ("threshold_", "classes_", "alpha_", "n_calibration_", "_calibrated_with",
                   "_prediction_stream"):
        assert hasattr(cc, fitted) and not hasattr(copy, fitted), fitted
    # scikit-learn's clone clones the model too: unfitted, as any meta-estimator's.
    with pytest.raises(NotFittedError):
        check_is_fitted(copy.model)
    with pytest.raises(NotFittedError, match="calibrate"):
        copy.predict_sets(x)
    # Newer scikit-learn's clone carries the output choice over; older ones drop it, for
    # their own estimators too.
    kept = {"transform": "pandas"} if clone_keeps_output() else None
    assert getattr(copy, "_sklearn_output_config", None) == kept
    copy.set_output(transform="pandas")
    # Refitted on the same rows, the copy calibrates to the original's very sets.
    copy.model.fit(train_x, train_y)
    pd.testing.assert_frame_equal(copy.calibrate(x, y).predict_sets(x),
                                  cc.calibrate(x, y).predict_sets(x))

    cr = ConformalRegressor(LinearRegression(), quantile_model=quantile_factory, depth=3)
    rows = rng.normal(size=(200, 2))
    target = rows[:, 0] + rng.normal(size=200)
    cr.model.fit(rows, target)
    cr.fit(rows[:100], target[:100]).calibrate(rows[100:], target[100:])
    copy = clone(cr)
    assert copy.quantile_model is quantile_factory and copy.depth == 3
    assert not hasattr(copy, "quantile_models_") and not hasattr(copy, "threshold_")


def test_repr_shows_the_model_and_the_changed_parameters():
    assert repr(ConformalClassifier(LogisticRegression(), alpha=0.2)) == \
        "ConformalClassifier(model=LogisticRegression(), alpha=0.2)"
    assert repr(ConformalClassifier(LogisticRegression(), alpha=0.1, score="lac")) == \
        "ConformalClassifier(model=LogisticRegression())"
    cr = ConformalRegressor(LinearRegression(), method="absolute", random_state=0)
    assert repr(cr) == "ConformalRegressor(model=LinearRegression(), method='absolute', random_state=0)"
    cr.set_params(method="cqr", depth=3)
    assert repr(cr) == "ConformalRegressor(model=LinearRegression(), depth=3, random_state=0)"


# --- pandas output ---

@pytest.mark.skipif("transform_output" not in sklearn.get_config(),
                    reason="scikit-learn before 1.2 has no transform_output")
@pytest.mark.parametrize("kind", ["classifier", "regressor"])
def test_pandas_output_from_the_global_config_or_the_object(kind):
    obj, x, columns = calibrated(kind, np.random.default_rng(1))
    plain, plain_mask = predict(obj, x, return_fallback=True)
    assert isinstance(plain, np.ndarray)
    frame_x = pd.DataFrame(x, index=pd.Index(np.arange(100, 120), name="row"))
    with sklearn.config_context(transform_output="pandas"):
        out = predict(obj, frame_x)
        assert isinstance(out, pd.DataFrame) and list(out.columns) == columns
        assert out.index.equals(frame_x.index)
        np.testing.assert_array_equal(out.to_numpy(), plain)
        if kind == "classifier":
            assert (out.dtypes == bool).all()
        values, mask = predict(obj, x, return_fallback=True)
        assert values.index.equals(pd.RangeIndex(20)) and mask.index.equals(values.index)
        assert mask.dtype == bool and mask.to_numpy().tolist() == plain_mask.tolist()
        # evaluate keeps numpy arrays: the report reads them.
        target = np.array(columns)[np.zeros(20, int)] if kind == "classifier" else x[:, 0]
        obj.evaluate(x, target)
        stored = obj.sets_ if kind == "classifier" else obj.intervals_
        assert isinstance(stored, np.ndarray) and isinstance(obj.fallback_rows_, np.ndarray)
        # "default" on the object turns the global setting off; None changes nothing.
        assert obj.set_output(transform="default") is obj
        assert obj.set_output() is obj
        assert isinstance(predict(obj, frame_x), np.ndarray)
    # The object's own "pandas" holds without the global setting, and survives pickling.
    obj.set_output(transform="pandas")
    assert isinstance(predict(pickle.loads(pickle.dumps(obj)), x), pd.DataFrame)
    with pytest.raises(ValueError, match="'pandas', 'default' or None"):
        obj.set_output(transform="polars")


def test_pandas_output_needs_an_index_as_long_as_the_predictions():
    class Short(Table):
        def predict_proba(self, x):
            return super().predict_proba(x)[:-1]

    cc = ConformalClassifier(Table(), alpha=0.5).calibrate(np.eye(2)[[0, 1, 0, 1, 0]], [0, 1, 0, 1, 0])
    cc.set_params(model=Short()).set_output(transform="pandas")
    with pytest.raises(ValueError, match="x has 4 index labels but the model predicted 3 rows"):
        cc.predict_sets(pd.DataFrame(np.eye(2)[[0, 1, 0, 1]]))


# --- docstrings and signatures ---

def public_callables():
    for module in (conformal, report):
        for name, obj in vars(module).items():
            if name.startswith("_") or getattr(obj, "__module__", None) != module.__name__:
                continue
            yield f"{module.__name__}.{name}", obj, isinstance(obj, type)
            if isinstance(obj, type):
                for method, member in vars(obj).items():
                    if not method.startswith("_") and callable(member):
                        yield f"{module.__name__}.{name}.{method}", member, False


def test_every_public_name_has_a_numpydoc_docstring_and_a_signature():
    names = {name for name, _, _ in public_callables()}
    assert {"trov.diagnoser.conformal.ConformalClassifier.set_output",
            "trov.diagnoser.report.coverage_report", "trov.diagnoser.report.compare_reports",
            "trov.diagnoser.report.CoverageReport.to_dict",
            "trov.diagnoser.report.ReportComparison.to_html"} <= names
    for name, obj, is_class in public_callables():
        doc = inspect.getdoc(obj)
        assert doc and not doc.startswith(" "), name
        signature = inspect.signature(obj)
        if is_class:
            for section in ("Parameters", "Attributes", "Examples"):
                assert f"\n{section}\n" + "-" * len(section) in doc, (name, section)
            continue
        if [p for p in signature.parameters if p != "self"]:
            assert "\nParameters\n----------\n" in doc, name
        assert "\nReturns\n-------\n" in doc, name
    text = pydoc.render_doc(ConformalClassifier, renderer=pydoc.plaintext)
    # Python 3.13 puts the parameters of a long signature one per line.
    text = re.sub(r"\(\s*\|\s*", "(", text)
    text = re.sub(r",\s*\|\s*", ", ", text)
    text = re.sub(r",?\s*\|\s*\)", ")", text)
    assert ("predict_sets(self, new_x, groups=None, return_fallback=False, partition=None, "
            "alpha=None)") in text
    assert "predict_pvalues(self, new_x, smoothed=True, groups=None, partition=None)" in text
    assert "set_params(self, **params)" in text and "Prediction sets for new rows." in text
    # The procedures' classes keep no docstrings.
    for cls in ("AdaptiveConformalClassifier", "ResidualConformalRegressor", "Reliability",
                "Reliability_without_uncertain"):
        assert getattr(reliability_evaluation, cls).__doc__ is None
