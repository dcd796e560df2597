"""Feeds every method of the four classes, the coverage report and the conformal
classes random inputs, odd keyword names, tampered state and library names rebound in
the module namespace; run as a child process by test_native_safety.py, so that a crash
fails the test instead of killing pytest. Prints the outcome counts; exits non-zero on an
outcome that is neither a result nor an ordinary Python exception."""

import collections
import os
import random
import sys
import warnings

import matplotlib

matplotlib.use("Agg")

import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
import pandas as pd  # noqa: E402
import seaborn as sns  # noqa: E402
from sklearn.base import BaseEstimator, ClassifierMixin, RegressorMixin  # noqa: E402

import trov.diagnoser.reliability_evaluation as mod  # noqa: E402
from trov.diagnoser import conformal, report  # noqa: E402

rng = random.Random(int(sys.argv[1]))
nprng = np.random.default_rng(int(sys.argv[1]))


def array(rows=None, ndim=None):
    """An array of a random kind (ints, floats, bools, strings, objects, NaN) and shape."""
    kind = rng.choice(["int", "float", "bool", "str", "object", "nan"])
    ndim = rng.choice([0, 1, 1, 2, 2, 3]) if ndim is None else ndim
    rows = rng.choice([0, 1, 2, 7, 12]) if rows is None else rows
    shape = ((rows,) + tuple(rng.choice([1, 2, 3]) for _ in range(ndim - 1))) if ndim else ()
    base = nprng.random(shape)
    if kind == "int":
        return (base * 3).astype(int) - rng.choice([0, 1])
    if kind == "bool":
        return base > 0.5
    if kind == "str":
        return np.where(base > 0.5, "yes", "no")
    if kind == "object":
        out = base.astype(object)
        if out.size:
            out.flat[0] = rng.choice([None, "x", 1, [0, 1], 2.5])
        return out
    if kind == "nan" and base.size:
        base.flat[rng.randrange(base.size)] = rng.choice([np.nan, np.inf, -np.inf])
    return base


def probabilities(rows):
    p = nprng.random(rows)
    return np.column_stack([1 - p, p])


def odd():
    """A value where an attribute or argument of another kind is expected."""
    return rng.choice([
        None, 0, -1, 1.5, np.nan, "abc", (), [], [[0, 1]], [[0], [1, 0], []], [[], []],
        [(0, 1), (1,)], {"a": 1}, object(), np.arange(3), np.array([[0, 1], [1, 0]]),
        np.array([[[0]]]), np.array([["0"]]), np.array([[2**40, -2**40]]),
        np.array([[1], [0, 1]], dtype=object), np.array([None, None]), pd.Series([0, 1]),
        array(), array(), array(),
    ])


def data(rows, well_formed):
    if well_formed:
        return nprng.normal(size=(rows, 3))
    return rng.choice([array(rows), array(), odd(), pd.DataFrame(nprng.normal(size=(rows, 3)))])


def labels(rows, well_formed):
    if well_formed:
        names = rng.choice([[0, 1], [1, 2], [-1, 1], [False, True], ["no", "yes"]])
        return np.asarray(names)[nprng.integers(0, 2, rows)]
    return rng.choice([array(rows, 1), array(rows), odd(), pd.Series(nprng.integers(0, 2, rows))])


class Answers:
    """predict and predict_proba answer well-formed output, or, unless sound, odd output
    now and then."""

    sound = False

    def answer(self, x, proba):
        try:
            rows = len(x)
        except TypeError:
            rows = 3
        if self.sound or rng.random() < 0.8:
            return probabilities(rows) if proba else nprng.normal(size=rows)
        return rng.choice([array(rows), array(), odd(), probabilities(rows + 1)])

    def predict(self, x):
        return self.answer(x, False)

    def predict_proba(self, x):
        return self.answer(x, True)


class Classifier(Answers, ClassifierMixin, BaseEstimator):
    pass


class Regressor(Answers, RegressorMixin, BaseEstimator):
    pass


class FakeQuantiles:
    """Stands in for LightGBM: fast, and crashes of its own are not the module's."""

    def __init__(self, **kwargs):
        self.level = kwargs.get("alpha", 0.5)

    def fit(self, x, y):
        return self

    def predict(self, x):
        return np.full(len(x), float(self.level) - 0.5)


class Drawing:
    """A cheap stand-in for pyplot, seaborn, axes and artists: takes any call."""

    def __call__(self, *args, **kwargs):
        return Drawing()

    def __getattr__(self, name):
        if name == "subplots":
            return lambda *args, **kwargs: (Drawing(), Drawing())
        if name == "stem":
            return lambda *args, **kwargs: (Drawing(), Drawing(), Drawing())
        return Drawing()

    def __getitem__(self, key):
        return Drawing()


def model(kind):
    m = Classifier() if kind == "classifier" else Regressor()
    if rng.random() < 0.5:
        m.classes_ = rng.choice([np.array([0, 1]), np.array(["no", "yes"]), np.array([1, 2]),
                                 np.array([[0, 1]]), None, [True, False], np.array([0.0, np.nan])])
    return m


def sound_arguments(kind):
    """Arguments with which fit succeeds."""
    m = Classifier() if kind == "classifier" else Regressor()
    m.sound = True
    names = np.asarray(rng.choice([[0, 1], [1, 2], [-1, 1], [False, True], ["no", "yes"]]))
    consecutive = names.dtype.kind == "i" and names[1] - names[0] == 1
    if kind == "classifier" and (not consecutive or rng.random() < 0.5):
        m.classes_ = names

    def y(rows):
        return names[nprng.integers(0, 2, rows)] if kind == "classifier" else nprng.normal(size=rows)

    x = nprng.normal(size=(60, 3))
    return [m, x[:30], y(30), x[30:35], y(5), x[35:], y(25)]


def fit_arguments(kind):
    well_formed = rng.random() < 0.6
    n_train, n_test, n_calib = rng.choice([0, 1, 30]), rng.choice([0, 1, 5]), rng.choice([1, 25])
    args = [model(kind), data(n_train, well_formed), labels(n_train, well_formed),
            data(n_test, well_formed), labels(n_test, well_formed)]
    if rng.random() < 0.7:
        args += [data(n_calib, well_formed), labels(n_calib, well_formed)]
    if not well_formed and rng.random() < 0.3:  # mismatched lengths
        args[rng.randrange(1, len(args))] = labels(rng.choice([3, 4]), True)
    return args


TAMPERED = ["test_class", "test_sorted_index", "test_sorted_value", "q", "max_test", "test_y",
            "classes", "label_list", "class_conf", "feature_names", "width", "test_x",
            "pred_test", "pred_up", "pred_low", "pred_base", "coverage", "estimator",
            "significance_level", "reliability", "alpha", "depth"]


def tamper(obj):
    for _ in range(rng.choice([0, 1, 1, 2])):
        name = rng.choice(TAMPERED)
        if rng.random() < 0.15:
            if hasattr(obj, name):
                delattr(obj, name)
        else:
            setattr(obj, name, odd())


def figsize():
    return rng.choice([(4, 3), (4, 3), (0, 0), None, "ab", (-1, 2), [3]])


def calls(kind):
    """The methods of one class, as (name, callable taking the instance)."""
    if kind == "classifier":
        return [("diagnose", lambda c: c.diagnose()),
                ("plot", lambda c: c.plot(figsize())),
                ("plot_single", lambda c: c.plot_single(rng.choice([0, -1, 3, 1.5, "a", None])))]
    if kind == "regressor":
        return [("diagnose", lambda r: r.diagnose()),
                ("plot", lambda r: r.plot(figsize())),
                ("plot_feature", lambda r: r.plot_feature(
                    rng.choice(["a", "b", "z", 0, None]), rng.choice([1, 3, 0, -2, 2.5, True]),
                    figsize()))]
    if kind == "facade":
        return [("diagnose", lambda f: f.diagnose()), ("show", lambda f: f.show())]
    return [("plot", lambda s: s.plot())]


def construct(kind):
    if kind == "classifier":
        return mod.AdaptiveConformalClassifier(rng.choice([0.1, 0.3, 0, 1.5, np.nan, "a"]))
    if kind == "regressor":
        names = rng.choice([np.array(["a", "b", "c"]), [], ["a", "b"], None, odd()])
        return mod.ResidualConformalRegressor(rng.choice([0.1, 0.3, 1.5]), 2, 0, names)
    if kind == "facade":
        return mod.Reliability(model(rng.choice(["classifier", "regressor"])),
                               rng.choice([0.1, 0.3]), 2, rng.choice([["a", "b", "c"], [], "a"]))
    return mod.Reliability_without_uncertain(model(rng.choice(["classifier", "regressor"])),
                                             rng.choice([0.9, 0.5, 1.5, "a"]))


def sound_fit(kind, obj):
    if kind in ("classifier", "regressor"):
        obj.alpha = 0.2
        obj.fit(*sound_arguments(kind))
        return
    args = sound_arguments(rng.choice(["classifier", "regressor"]))
    obj.estimator = args[0]
    if kind == "facade":
        obj.alpha = 0.2
        obj.fit(*args[1:])
    else:
        obj.significance_level = 0.9
        y = args[2] if args[2].dtype.kind == "f" else (args[2] == args[2][0]).astype(int)
        obj.fit(args[1], y)


REPORT_TAMPERED = ["test_class", "test_y", "classes", "test_sorted_index", "alpha", "feature_names",
                   "test_x", "pred_test", "pred_low", "pred_up", "width", "calib_y", "reliability"]


def report_steps():
    """coverage_report on a fitted object with odd attributes and arguments, then the
    methods of the report it gives."""
    kind = rng.choice(["classifier", "regressor", "facade"])
    obj = construct(kind)
    made = {}

    def fit():
        sound_fit(kind, obj)
        for _ in range(rng.choice([0, 1, 1, 2])):
            name = rng.choice(REPORT_TAMPERED)
            target = obj.reliability if kind == "facade" and hasattr(obj, "reliability") else obj
            setattr(target, name, odd())

    def make():
        args = {"confidence": rng.choice([0.95, 0.5, 1 - 1e-16, 1e-300, 0, np.nan, "a", None]),
                "bins": rng.choice([10, 1, 3, 10**30, 0, -1, 2.5, True, np.int64(4)]),
                "test_x": rng.choice([None, None, data(rng.choice([5, 25]), rng.random() < 0.6),
                                      odd()])}
        for name in list(args):
            if rng.random() < 0.3:
                del args[name]
        made["report"] = report.coverage_report(obj, **args)

    def method(name):
        def call():
            r = made["report"]
            if rng.random() < 0.3:
                setattr(r, rng.choice(["summary", "tables", "kind", "confidence", "findings"]),
                        odd())
            if name == "to_html":
                return r.to_html(os.devnull)
            return getattr(r, name)()
        return call

    def compare():
        r = made["report"]
        given = rng.choice([{"a": r, "b": r}, {"a": r, "b": odd()}, [r], {}, odd()])
        side = report.compare_reports(given)
        if rng.random() < 0.3:
            side.table = odd()
        return side._repr_html_()

    steps = [("fit", fit), ("coverage_report", make), ("to_dict", method("to_dict")),
             ("__repr__", method("__repr__")), ("compare_reports", compare)]
    if rng.random() < 0.15:  # drawing the figures is slow
        steps += [("_repr_html_", method("_repr_html_")), ("to_html", method("to_html"))]
    return steps


CONFORMAL_TAMPERED = ["classes_", "threshold_", "fallback_threshold_", "groups_",
                      "n_calibration_", "quantile_models_", "alpha", "score", "conditional",
                      "fallback", "lam", "k_reg", "random_state", "model", "method"]


def conformal_steps():
    """The conformal module's classes: odd settings, data and groups, tampered fitted
    state, a pickle round trip, then coverage_report of what evaluate left."""
    regression = rng.random() < 0.4
    kind = "regressor" if regression else "classifier"
    settings = {"alpha": rng.choice([0.1, 0.3, 0, 1, np.nan, "a"]),
                "conditional": rng.choice([None, None, "class", "group", "x"]),
                "fallback": rng.choice(["full", "marginal", "x"])}
    if regression:
        settings.update(method=rng.choice(["cqr", "absolute", "x"]), depth=2,
                        quantile_model=lambda level: FakeQuantiles(alpha=level))
        cls = conformal.ConformalRegressor
    else:
        settings.update(score=rng.choice(["aps", "aps_randomized", "raps", "lac", "x"]),
                        random_state=rng.choice([None, 0, -1, "a"]),
                        lam=rng.choice([0.01, -1, np.nan]), k_reg=rng.choice([1, 0, -3, 2.5]))
        cls = conformal.ConformalClassifier
    made = {}

    def groups(rows):
        return rng.choice([None, None, nprng.integers(0, 3, rows), array(rows), odd(),
                           lambda x: nprng.integers(0, 2, len(x))])

    def part(rows):
        sound = rng.random() < 0.7
        if sound:
            args = sound_arguments(kind)
            return args[0], args[1][:rows], args[2][:rows]
        return model(kind), data(rows, False), labels(rows, False)

    def make():
        estimator = sound_arguments(kind)[0] if rng.random() < 0.7 else model(kind)
        made["obj"] = cls(estimator, **settings)

    def fit():
        if regression:
            _, x, y = part(30)
            made["obj"].fit(x, y)

    def calibrate():
        _, x, y = part(rng.choice([30, 3, 0]))
        made["obj"].calibrate(x, y, groups(len(y) if hasattr(y, "__len__") else 3))

    def tampered():
        obj = made["obj"]
        for _ in range(rng.choice([0, 1, 1, 2])):
            setattr(obj, rng.choice(CONFORMAL_TAMPERED), odd())
        if rng.random() < 0.2:
            import pickle
            made["obj"] = pickle.loads(pickle.dumps(obj))

    def predict():
        _, x, _ = part(rng.choice([5, 0]))
        name = "predict_intervals" if regression else "predict_sets"
        getattr(made["obj"], name)(x, groups(len(x) if hasattr(x, "__len__") else 3),
                                   return_fallback=rng.random() < 0.5)

    def evaluate():
        _, x, y = part(rng.choice([5, 25]))
        made["obj"].evaluate(x, y, groups(len(y) if hasattr(y, "__len__") else 3))

    def reported():
        report.coverage_report(made["obj"])

    return [("construct", make), ("fit", fit), ("calibrate", calibrate), ("tamper", tampered),
            ("predict", predict), ("evaluate", evaluate), ("tamper", tampered),
            ("predict", predict), ("coverage_report", reported)]


def attempt(outcomes, step):
    try:
        step()
        outcomes["result"] += 1
    except Exception as error:  # every Python exception is a fine outcome
        if isinstance(error, SystemError):
            raise
        outcomes[type(error).__name__] += 1


# Keyword names a call can carry: not valid UTF-8, empty, with a NUL, a str subclass
# whose comparison raises.
class Raising(str):
    def __eq__(self, other):
        raise ValueError("compared")

    __hash__ = str.__hash__


def odd_keywords():
    name = rng.choice(["\udc80", "", "alpha\x00", "\u00e9", Raising("alpha"), Raising("x")])
    return {name: odd()}


def odd_call(obj):
    """A method of `obj` with a random number of arguments and an odd keyword."""
    names = [n for n in dir(type(obj)) if not n.startswith("__")] + ["__init__"]
    method = getattr(obj, rng.choice(names))
    return method(*[odd() for _ in range(rng.choice([0, 1, 3, 9]))], **odd_keywords())


def reshaped(value):
    """What a tampered library function hands back instead of `value`."""
    if not isinstance(value, np.ndarray) or rng.random() < 0.3:
        return odd()
    return rng.choice([
        lambda: value.astype(rng.choice(["i1", "f4", ">f8", ">i8", object, "U2", bool])),
        lambda: value.ravel()[:-1] if value.size else value,
        lambda: value.T if value.ndim > 1 else value.reshape(-1, 1),
        lambda: value + 2**40 if value.dtype.kind in "iu" else -value,
        lambda: np.asfortranarray(value),
        lambda: value[::-1],
    ])()


class TamperedNumpy:
    """numpy, except that one function's results come back reshaped, retyped or odd."""

    def __init__(self, name):
        self.name = name

    def __getattr__(self, attr):
        real = getattr(np, attr)
        if attr != self.name or not callable(real):
            return real
        return lambda *args, **kwargs: reshaped(real(*args, **kwargs))


# Names the methods look up in the module namespace, rebound for one case.
REBOUND = ["int", "float", "bool", "str", "range", "abs", "list", "type", "len", "train_test_split",
           "is_regressor", "is_classifier", "display", "widgets", "pd", "object",
           "AdaptiveConformalClassifier", "ResidualConformalRegressor"]
NUMPY_FUNCTIONS = ["asarray", "array", "quantile", "argsort", "sort", "cumsum", "arange", "ravel",
                   "ndim", "full", "atleast_1d", "mean", "median", "max", "round", "concatenate",
                   "isfinite", "sum", "size", "where", "unique", "empty"]


def rebind_one():
    """Rebinds one namespace name for a case; returns what restores it."""
    if rng.random() < 0.5:
        name, value = "np", TamperedNumpy(rng.choice(NUMPY_FUNCTIONS))
    else:
        name = rng.choice(REBOUND)
        value = rng.choice([odd(), lambda *args, **kwargs: odd()])
    missing = object()
    saved = vars(mod).get(name, missing)
    setattr(mod, name, value)
    return lambda: delattr(mod, name) if saved is missing else setattr(mod, name, saved)


def run_case(outcomes):
    # Real figures now and then; drawing them is slow and not the module's own code.
    real = rng.random() < 0.1
    mod.plt, mod.sns = (plt, sns) if real else (Drawing(), Drawing())
    kind = rng.choice(["classifier", "regressor", "facade", "check", "report", "conformal"])
    if kind in ("report", "conformal"):
        for name, step in (report_steps() if kind == "report" else conformal_steps()):
            attempt(outcomes, step)
        return
    obj = construct(kind)
    if kind in ("classifier", "regressor"):
        fit = lambda: obj.fit(*fit_arguments(kind))  # noqa: E731
    elif kind == "facade":
        fit = lambda: obj.fit(*fit_arguments("classifier")[1:])  # noqa: E731
    else:
        fit = lambda: obj.fit(data(rng.choice([0, 5, 20]), rng.random() < 0.6),  # noqa: E731
                              labels(rng.choice([5, 20]), rng.random() < 0.6))
    methods = [(name, lambda c=c: c(obj)) for name, c in calls(kind)]
    # A random fit, then a sound one, so that the tampered attributes meet fitted state.
    steps = [("fit", fit), ("sound fit", lambda: sound_fit(kind, obj))] + methods * 2
    steps.insert(rng.randrange(len(steps) + 1), ("odd keywords", lambda: odd_call(obj)))
    # Now and then, the sound state meets a library name rebound to something odd.
    restore = rebind_one() if rng.random() < 0.3 else (lambda: None)
    try:
        for name, step in steps:
            tamper(obj)
            try:
                attempt(outcomes, step)
            finally:
                plt.close("all")
    finally:
        restore()


def main():
    warnings.simplefilter("ignore")
    mod.display = lambda widget: None
    mod.LGBMRegressor = FakeQuantiles
    outcomes = collections.Counter()
    for _ in range(int(sys.argv[2])):
        run_case(outcomes)
    print(dict(outcomes.most_common()))


if __name__ == "__main__":
    main()
