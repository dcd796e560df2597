"""Feeds every method of the four classes, the coverage report and the conformal
classes random inputs, odd keyword names, tampered state and library names rebound in
the module namespace; run as a child process by test_native_safety.py, so that a crash
fails the test instead of killing pytest. Prints the outcome counts; exits non-zero on an
outcome that is neither a result nor an ordinary Python exception.

    crash_inputs.py SEEDS CASES [PART [FIRST]]

SEEDS is one seed or a range A-B; each seed runs CASES cases, from case FIRST on. PART
names the module whose native steps get hostile callbacks (Python code that runs in the
middle of a step and changes what the step already read): reliability, report or
conformal; without it the cases are the plain random ones. Before each case the child
writes its seed, part and index to stderr, so a crash names the one case to run again."""

import builtins
import collections
import faulthandler
import gc
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

rng = random.Random(0)
nprng = np.random.default_rng(0)


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
            out = probabilities(rows) if proba else nprng.normal(size=rows)
        else:
            out = rng.choice([array(rows), array(), odd(), probabilities(rows + 1)])
        return Hostile.answer(out)

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
                      "fallback", "lam", "k_reg", "random_state", "model", "method",
                      "_calibration_scores", "_prediction_stream", "predictive_scores_",
                      "predictive_group_scores_", "beta_", "beta", "difficulty",
                      "difficulty_model_", "residual_scale_"]


def levels():
    """None, one alpha or several, some of them out of range."""
    return rng.choice([None, 0.2, [0.05, 0.3], (0.5,), [], [0.1, 2.0], np.array([0.1, 0.4])])


def conformal_steps():
    """The conformal module's classes: odd settings, data and groups, tampered fitted
    state, a pickle round trip, then coverage_report of what evaluate left."""
    regression = rng.random() < 0.4
    kind = "regressor" if regression else "classifier"
    settings = {"alpha": rng.choice([0.1, 0.3, 0, 1, np.nan, "a"]),
                "conditional": rng.choice([None, None, "class", "group", "x"]),
                "fallback": rng.choice(["full", "marginal", "x"])}
    if regression:
        settings.update(method=rng.choice(["cqr", "absolute", "normalized", "x"]), depth=2,
                        quantile_model=lambda level: FakeQuantiles(alpha=level),
                        difficulty=rng.choice([None, lambda x: np.abs(np.asarray(x, float)[:, 0]),
                                               lambda x: odd()]),
                        beta=rng.choice([None, 0.1, 0, -1, np.nan]))
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
        g = groups(len(x) if hasattr(x, "__len__") else 3)
        if not regression and rng.random() < 0.3:
            made["obj"].predict_pvalues(x, smoothed=rng.random() < 0.5, groups=g)
            return
        if regression and rng.random() < 0.4:
            y = rng.choice([0.5, np.zeros(len(x) if hasattr(x, "__len__") else 3), odd()])
            made["obj"].predict_cdf(x, y, groups=g)
            made["obj"].predict_quantiles(x, rng.choice([0.5, [0.05, 0.95], levels()]), groups=g)
            return
        name = "predict_intervals" if regression else "predict_sets"
        getattr(made["obj"], name)(x, g, return_fallback=rng.random() < 0.5, alpha=levels())

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


def tamper_fitted(obj, names):
    """Up to two of `obj`'s fitted attributes replaced, or one entry of a list of them."""
    for _ in range(rng.choice([0, 1, 2])):
        name = rng.choice(names)
        value = getattr(obj, name, None)
        if isinstance(value, list) and value and rng.random() < 0.5:
            value[rng.randrange(len(value))] = reshaped(value[0])
        else:
            setattr(obj, name, reshaped(value))


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


# --- Python code run in the middle of a native step ---
#
# Each hostile callback below runs between a native step's gather and its use of what
# it gathered: a rebound module name, an estimator's answer, a finaliser released from a
# slot or by the collector, a label's __eq__ or __hash__, an __index__. What it does is
# `havoc`: it shrinks, grows, clears or rewrites one of the inputs or state attributes
# the step read, then fills freed memory with junk, so that a stale pointer reads junk
# or, under the sanitizer, freed memory.


class Hostile:
    active = False
    armed = False  # whether the callbacks act in this step
    inside = 0  # native calls under way: callbacks act only within one
    victims = []  # arrays, lists, dicts and objects a callback may change
    # Arrays of this step that a callback may resize: its inputs and what the model and
    # the rebound names answered. Not state: a view of an earlier step's input may be
    # stored there, and resizing what it views leaves it dangling for Python code too.
    resizable = []
    state = []  # state arrays that own their data and that no other attribute views
    resized = False
    budget = 0  # havoc left in this case: each one is a chance, not a flood
    busy = False
    junk = None

    @staticmethod
    def answer(out):
        """An estimator's answer, after havoc, now and then as finalising objects."""
        if not Hostile.active:
            return out
        havoc()
        if isinstance(out, np.ndarray) and out.dtype.kind == "f" and rng.random() < 0.3:
            # Converting these runs __float__; dropping the converted-from array, __del__.
            cells = np.empty(out.shape, dtype=object)
            cells.flat[:] = [Finalising(v) for v in out.flat]
            return cells if rng.random() < 0.5 else cells.tolist()
        if isinstance(out, np.ndarray) and rng.random() < 0.3:
            victim(out)  # kept: a later callback may resize what the step holds
        return out


def native(method, *args, **kwargs):
    """Calls one of the modules' methods: the callbacks it runs may act."""
    Hostile.inside += 1
    try:
        return method(*args, **kwargs)
    finally:
        Hostile.inside -= 1


def victim(value, resizable=True):
    if Hostile.active and value is not None and not isinstance(value, (int, float, str)):
        Hostile.victims.append(value)
        if resizable and isinstance(value, np.ndarray):
            Hostile.resizable.append(value)
    return value


def resize(a):
    if not any(a is b for b in Hostile.resizable + Hostile.state):
        raise ValueError("neither this step's nor state")
    Hostile.resized = True
    rows = rng.choice([0, 1, max(a.shape[0] // 2, 1) if a.ndim else 1, 3 * a.size + 7])
    shape = (rows,) + a.shape[1:] if a.ndim else (rows,)
    a.resize(shape, refcheck=False)


def havoc(sizes=True):
    """One random change to one victim. `sizes`: arrays may be resized (not while numpy
    itself may be looping over one, as in a label's __eq__)."""
    if (not Hostile.armed or not Hostile.inside or Hostile.busy or Hostile.budget <= 0
            or not Hostile.victims):
        return
    Hostile.busy = True
    Hostile.budget -= 1
    try:
        target = rng.choice(Hostile.victims)
        if isinstance(target, np.ndarray):
            if sizes and rng.random() < 0.6 and target.dtype != object:
                resize(target)
            elif target.size:
                target.flat[rng.randrange(target.size)] = rng.choice([np.nan, -1, 7, 0])
        elif isinstance(target, list):
            rng.choice([target.clear, lambda: target.extend(range(5000)),
                        lambda: target.__setitem__(slice(None), [odd()] * 3),
                        lambda: target.__delitem__(slice(len(target) // 2, None)),
                        lambda: target.append(target)])()
        elif isinstance(target, dict):
            rng.choice([target.clear, lambda: target.update({odd_key(): odd()})])()
        elif hasattr(target, "__dict__"):
            names = [n for n in vars(target) if not n.startswith("__")]
            held = [n for n in names if isinstance(getattr(target, n), (np.ndarray, list))]
            names = held if held and rng.random() < 0.7 else names
            if names:
                name = rng.choice(names)
                value = getattr(target, name)
                if isinstance(value, np.ndarray) and sizes and value.dtype != object:
                    resize(value)
                elif rng.random() < 0.2:
                    delattr(target, name)
                else:
                    setattr(target, name, odd())
        Hostile.junk = [bytearray(b"A" * 64) for _ in range(rng.choice([10, 2000]))]
        Hostile.junk.append(np.full(rng.choice([1, 1000, 100000]), 0.5))
    except Exception:  # noqa: BLE001 (a change numpy refuses is no change)
        pass
    finally:
        Hostile.busy = False


def odd_key():
    return rng.choice([0, 1, "a", None, 2.5])


class Finalising(float):
    """A number whose release runs havoc: in an array's slot, a list or a cycle."""

    def __del__(self):
        havoc()


class Meddling:
    """A label whose comparisons and hash run havoc (no resizing: numpy may be looping
    over the array that holds it)."""

    def __init__(self, value):
        self.value = value

    def __eq__(self, other):
        havoc(sizes=False)
        return getattr(other, "value", other) == self.value

    def __ne__(self, other):
        havoc(sizes=False)
        return getattr(other, "value", other) != self.value

    def __lt__(self, other):
        havoc(sizes=False)
        return self.value < getattr(other, "value", other)

    def __hash__(self):
        havoc(sizes=False)
        return hash(self.value)

    def __float__(self):
        havoc(sizes=False)
        return float(self.value)

    def __index__(self):
        havoc(sizes=False)
        return int(self.value)

    __int__ = __index__


class Counting:
    """An int-like (bins, a partition, k_reg) whose __index__ runs havoc and need not
    answer the same twice."""

    def __init__(self, value, most=10**6):
        self.value, self.most = value, most  # `most`: a count that is work, not memory

    def __index__(self):
        havoc()
        return self.value if rng.random() < 0.8 else rng.choice([v for v in (0, 1, 3, 10**6)
                                                                 if v <= self.most])

    __int__ = __index__

    def __float__(self):
        havoc()
        return float(self.value)

    def __rtruediv__(self, other):
        return other / self.value


class Wavering:
    """A level whose __float__ runs havoc and need not answer the same twice."""

    def __init__(self, value):
        self.value = value

    def __float__(self):
        havoc()
        return self.value if rng.random() < 0.7 else rng.choice([0.05, 0.5, 2.0])


def meddling(values):
    """`values` as an object array of labels that run havoc when compared or hashed."""
    try:
        values = np.asarray(values)
        out = np.empty(values.shape, dtype=object)
        out.flat[:] = [Meddling(v) for v in values.flat]
        return out
    except Exception:  # noqa: BLE001
        return values


class LyingClasses:
    """classes_ whose length, iteration, array and list disagree."""

    def __init__(self, names):
        names = list(names)
        self.names = names
        self.length = rng.choice([len(names), len(names) + 1, max(len(names) - 1, 0), 10**9])
        self.listed = rng.choice([names, names[:1], names + names, [Meddling(n) for n in names]])

    def __len__(self):
        havoc()
        return self.length

    def __iter__(self):
        havoc()
        return iter(self.names[::-1])

    def __getitem__(self, key):
        havoc()
        return self.names[key]

    def tolist(self):
        havoc()
        return self.listed

    def __array__(self, dtype=None, copy=None):
        havoc()
        return np.asarray(rng.choice([self.names, self.listed, self.names[:1]]), dtype=dtype)


class ListingClasses(np.ndarray):
    """A numpy classes_ array whose tolist runs havoc and disagrees with its length."""

    def tolist(self):
        havoc()
        listed = np.asarray(self).tolist()
        return rng.choice([listed, listed[:1], listed * 2, []])


def lying_classes(names):
    names = np.array(names)  # a copy: a view would dangle when what it views is resized
    if rng.random() < 0.5 and names.ndim == 1:
        return names.view(ListingClasses)
    return LyingClasses(names.tolist() if names.ndim else [names.item()])


class HostileNamespace:
    """A module's `np` (or pd): the real one, but one function's calls run havoc
    before or after the real call, and may answer an array of finalising slots."""

    def __init__(self, real, name):
        self.real, self.name = real, name

    def __getattr__(self, attr):
        real = getattr(self.real, attr)
        if attr != self.name or not callable(real):
            return real

        def call(*args, **kwargs):
            if rng.random() < 0.5:
                havoc()
            out = real(*args, **kwargs)
            if isinstance(out, np.ndarray) and out.dtype == object and out.size:
                out.flat[rng.randrange(out.size)] = Finalising(0.5)  # released when written
            # Not resized later: the caller works on it with numpy as Python code would,
            # and numpy's views of it would dangle for Python code too.
            victim(out, resizable=False)
            # A view answered here is the caller's to hold: resizing what it views would
            # hand it a dangling one, which no caller could read safely.
            havoc(sizes=not (isinstance(out, np.ndarray) and out.base is not None))
            return out
        return call


def hostile_builtin(real):
    def call(*args, **kwargs):
        out = real(*args, **kwargs)
        havoc()
        return out
    return call


HOSTILE_NUMPY = {
    "reliability": ["asarray", "array", "quantile", "argsort", "sort", "cumsum", "arange", "ravel",
                    "full", "atleast_1d", "mean", "median", "max", "round", "concatenate",
                    "isfinite", "sum", "where", "unique", "empty"],
    "report": ["asarray", "ravel", "unique", "mean", "generic"],
}
HOSTILE_BUILTINS = {"reliability": ["int", "float", "abs", "list", "range", "len", "str", "type"],
                    "report": ["list"]}


def rebind_hostile(part, undo):
    """Rebinds one name of the part's module (or of the report, which reads the
    reliability classes) to a hostile one."""
    module = {"reliability": mod, "report": rng.choice([mod, report]),
              "conformal": rng.choice([report, conformal])}[part]
    key = "reliability" if module is mod else "report"
    missing = object()
    if rng.random() < 0.6:
        name, value = "np", HostileNamespace(np, rng.choice(HOSTILE_NUMPY[key]))
    elif module is report and rng.random() < 0.5:
        name, value = "pd", HostileNamespace(pd, rng.choice(["DataFrame", "factorize", "Index"]))
    else:
        name = rng.choice(HOSTILE_BUILTINS[key])
        value = hostile_builtin(getattr(builtins, name))
    saved = vars(module).get(name, missing)
    setattr(module, name, value)
    undo.append(lambda: delattr(module, name) if saved is missing else setattr(module, name, saved))


def collect_hostile(undo):
    """The collector runs at every allocation of a tracked object, and each run finds
    cycles whose finalisers, and a gc callback, run havoc."""
    threshold = gc.get_threshold()

    def callback(phase, info):
        if phase == "start":
            havoc()
            if Hostile.budget > 0:
                garbage()

    def garbage():
        for _ in range(3):
            cycle = [Finalising(0.5)]
            cycle.append(cycle)

    garbage()
    gc.callbacks.append(callback)
    gc.set_threshold(1)
    undo.append(lambda: gc.set_threshold(*threshold))
    undo.append(lambda: gc.callbacks.remove(callback))


def hostile_case(part, outcomes):
    """One case of `part` with hostile callbacks in its native steps."""
    Hostile.victims, Hostile.budget, Hostile.active = [], rng.choice([1, 3, 10]), True
    # Stand-ins for the figures: real ones are slow with the collector run at each
    # allocation, and a bins count may come back as a million.
    mod.plt, mod.sns = Drawing(), Drawing()
    undo = []
    try:
        for _ in range(rng.choice([1, 1, 2])):
            rebind_hostile(part, undo)
        if rng.random() < 0.3:
            collect_hostile(undo)
        if part == "conformal":
            roll = rng.random()
            steps = (hostile_cross_steps() if roll < 0.25 else hostile_shift_steps() if roll < 0.4
                     else hostile_online_steps() if roll < 0.6 else hostile_conformal_steps())
        elif part == "report":
            steps = hostile_report_steps()
        else:
            steps = hostile_reliability_steps()
        for name, step in steps:
            # Some steps run in peace, so that later ones meet fitted state.
            Hostile.armed, Hostile.resizable = rng.random() < 0.6, []
            attempt(outcomes, step)
            plt.close("all")
            if Hostile.resized:
                # What the step stored may view an array it saw resized: later steps
                # would read freed memory through it, as any Python code would.
                break
    finally:
        Hostile.active = Hostile.armed = False
        while undo:
            undo.pop()()
        Hostile.victims, Hostile.resizable, Hostile.state = [], [], []
        Hostile.junk, Hostile.resized = None, False


def expose(obj):
    """The object and what it holds become victims."""
    victim(obj)
    values = list(getattr(obj, "__dict__", {}).values())
    viewed = [v.base for v in values if isinstance(v, np.ndarray) and v.base is not None]
    for value in values:
        if isinstance(value, (np.ndarray, list, dict)):
            victim(value, resizable=False)
        if (isinstance(value, np.ndarray) and value.flags.owndata
                and not any(value is b for b in viewed)):
            Hostile.state.append(value)
        if type(value).__module__.startswith("trov"):
            expose(value)  # the facade's inner object


def hostile_state(obj):
    """State attributes replaced by hostile ones: labels that meddle, lying classes."""
    for name in rng.sample(["test_y", "test_class", "classes", "label_list", "classes_"],
                           rng.choice([0, 1, 2])):
        value = getattr(obj, name, None)
        if value is None:
            continue
        if name in ("classes", "classes_"):
            setattr(obj, name, lying_classes(value) if not isinstance(value, dict) else value)
        elif name == "test_class" and isinstance(value, list):
            # Sets holding the only reference to finalising members.
            obj.test_class = [[Finalising(v) if rng.random() < 0.3 else v for v in s]
                              if isinstance(s, list) else s for s in value]
        else:
            setattr(obj, name, meddling(value))


def hostile_reliability_steps():
    kind = rng.choice(["classifier", "regressor", "facade", "check"])
    obj = construct(kind)
    methods = [(name, lambda c=c: native(c, obj)) for name, c in calls(kind)]

    def fit():
        args = sound_arguments(kind if kind in ("classifier", "regressor")
                               else rng.choice(["classifier", "regressor"]))
        for value in args[1:]:
            victim(value)
        if rng.random() < 0.3 and hasattr(args[0], "classes_"):
            args[0].classes_ = lying_classes(args[0].classes_)
        if rng.random() < 0.3:
            k = rng.choice([2, 4, 6])
            args[k] = meddling(args[k]) if rng.random() < 0.5 else list(args[k])
        if kind in ("classifier", "regressor"):
            obj.alpha = 0.2
            native(obj.fit, *args)
        elif kind == "facade":
            obj.estimator, obj.alpha = args[0], 0.2
            native(obj.fit, *args[1:])
        else:
            obj.estimator, obj.significance_level = args[0], 0.9
            y = args[2] if np.asarray(args[2]).dtype.kind == "f" else np.asarray(
                [v == args[2][0] for v in args[2]], dtype=int)
            native(obj.fit, args[1], y)
        expose(obj)

    def meddle():
        hostile_state(obj.reliability if kind == "facade" and hasattr(obj, "reliability")
                      else obj)

    def segments():
        if kind == "regressor":
            native(obj.plot_feature, rng.choice(["a", "b"]), Counting(rng.choice([1, 3, 5])))

    return [("fit", fit), ("meddle", meddle), ("segments", segments)] + methods


def hostile_report_steps():
    kind = rng.choice(["classifier", "regressor", "facade"])
    obj = construct(kind)

    def fit():
        native(sound_fit, kind, obj)
        target = obj.reliability if kind == "facade" and hasattr(obj, "reliability") else obj
        expose(target)
        if rng.random() < 0.7:
            hostile_state(target)

    def make():
        bins = rng.choice([10, 3, Counting(rng.choice([1, 3, 10]))])
        test_x = rng.choice([None, victim(nprng.normal(size=(rng.choice([5, 25]), 3)))])
        r = native(report.coverage_report, obj, bins=bins, test_x=test_x)
        victim(r)
        for name in ("to_dict", "__repr__"):
            native(getattr(r, name))
        if rng.random() < 0.1:
            native(r._repr_html_)
        native(report.compare_reports({"a": r, "b": r})._repr_html_)

    return [("fit", fit), ("coverage_report", make)]


def hostile_conformal_steps():
    regression = rng.random() < 0.4
    kind = "regressor" if regression else "classifier"
    settings = {"alpha": 0.2, "conditional": rng.choice([None, "class", "group"])}
    if regression:
        settings.update(method=rng.choice(["cqr", "absolute", "normalized"]), depth=2,
                        quantile_model=lambda level: (havoc(), FakeQuantiles(alpha=level))[1],
                        difficulty=lambda x: (havoc(), victim(nprng.random(len(x))))[1], beta=0.1)
        settings["conditional"] = rng.choice([None, "group"])
        cls = conformal.ConformalRegressor
    else:
        settings.update(score=rng.choice(["aps", "aps_randomized", "raps", "lac"]),
                        random_state=rng.choice([None, 0]))
        if rng.random() < 0.2:
            settings["k_reg"] = Counting(1)
        cls = conformal.ConformalClassifier
    made = {}

    def groups(rows):
        codes = nprng.integers(0, 3, rows)
        return rng.choice([
            lambda: None, lambda: victim(codes), lambda: meddling(codes), lambda: list(codes),
            lambda: lambda x: (havoc(), victim(nprng.integers(0, 2, len(x))))[1],
            lambda: np.array([Finalising(c) for c in codes], dtype=object)])()

    sound = sound_arguments(kind)
    names = np.unique(np.concatenate([sound[2], sound[4], sound[6]]))
    if not regression:
        sound[0].classes_ = names

    def part(rows):
        x = victim(nprng.normal(size=(rows, 3)))
        y = victim(names[nprng.integers(0, len(names), rows)] if not regression
                   else nprng.normal(size=rows))
        if rng.random() < 0.2:
            y = meddling(y) if rng.random() < 0.5 else list(y)
        return sound[0], x, y

    def make():
        estimator = sound[0]
        if not regression and rng.random() < 0.3:
            estimator.classes_ = lying_classes(getattr(estimator, "classes_", [0, 1]))
        made["obj"] = cls(estimator, **settings)

    def fit():
        if regression:
            _, x, y = part(30)
            native(made["obj"].fit, x, y)

    def calibrate():
        _, x, y = part(rng.choice([30, 60]))
        native(made["obj"].calibrate, x, y, groups(len(y)))
        expose(made["obj"])
        if rng.random() < 0.3 and hasattr(made["obj"], "classes_"):
            made["obj"].classes_ = lying_classes(made["obj"].classes_)

    def predict():
        _, x, _ = part(rng.choice([5, 25]))
        if regression and settings["method"] != "cqr" and rng.random() < 0.4:
            y = victim(nprng.normal(size=(len(x), rng.choice([1, 3]))))
            native(made["obj"].predict_cdf, x, y, groups=groups(len(x)))
            native(made["obj"].predict_quantiles, x, [Wavering(0.1), 0.5], groups=groups(len(x)))
            return
        name = "predict_intervals" if regression else "predict_sets"
        kwargs = {} if regression or rng.random() < 0.6 else {
            "partition": Counting(rng.choice([0, 2]))}
        if not regression and rng.random() < 0.3:
            native(made["obj"].predict_pvalues, x, smoothed=rng.random() < 0.5,
                   groups=groups(len(x)), **kwargs)
            return
        alpha = rng.choice([levels(), [Wavering(0.2), 0.3]])
        native(getattr(made["obj"], name), x, groups(len(x)),
               return_fallback=rng.random() < 0.5, alpha=alpha, **kwargs)

    def evaluate():
        _, x, y = part(25)
        native(made["obj"].evaluate, x, y, groups(len(y)))

    def reported():
        native(report.coverage_report, made["obj"], bins=rng.choice([10, Counting(3)]))

    return [("construct", make), ("fit", fit), ("calibrate", calibrate), ("predict", predict),
            ("evaluate", evaluate), ("predict", predict), ("coverage_report", reported)]


class Folding(Answers, BaseEstimator):
    """An estimator the cross-conformal classes clone and fit: fit runs havoc, keeps the
    fold's arrays as victims, and now and then answers another object than itself."""

    def __init__(self, kind="regressor"):
        self.kind = kind

    def fit(self, x, y, **params):
        havoc()
        victim(x), victim(y)
        if self.kind == "classifier" and rng.random() < 0.7:
            self.classes_ = rng.choice([lambda: np.unique(np.asarray(y, dtype=object)),
                                        lambda: lying_classes(np.unique(np.asarray(y)))])()
        return self if rng.random() < 0.98 else rng.choice([None, Folding(self.kind), odd()])

    def answer(self, x, proba):
        self.sound = rng.random() < 0.9  # odd now and then: a fit makes several calls
        return Answers.answer(self, x, proba)


class HostileSplitter:
    """KFold's folds, handed out as arrays a later callback may resize or rewrite, as
    lists, or now and then out of range; havoc runs between folds."""

    def split(self, x, y=None, groups=None):
        from sklearn.model_selection import KFold
        for train, test in KFold(rng.choice([2, 3])).split(np.zeros((len(y), 1))):
            havoc()
            if rng.random() < 0.1:
                test = rng.choice([test + len(y), test[::-1].copy(), test.astype(float), [],
                                   np.asfortranarray(test[:, None])])
            yield victim(train), (victim(test) if rng.random() < 0.7 else list(test))


CROSS_TAMPERED = ["residuals_", "scores_", "folds_", "out_of_bag_", "n_samples_", "rank_",
                  "estimators_", "classes_", "method_", "aggregate_", "score", "alpha"]


def hostile_cross_steps():
    """The cross-conformal classes: hostile splitters, clones' fits and answers, and fitted
    state tampered or refilled."""
    regression = rng.random() < 0.5
    names = np.asarray(rng.choice([[0, 1], ["no", "yes"], [1, 2]]))
    made = {}

    def part(rows):
        x = victim(nprng.normal(size=(rows, 3)))
        y = victim(nprng.normal(size=rows) if regression else names[np.arange(rows) % 2])
        if not regression and rng.random() < 0.2:
            y = meddling(y) if rng.random() < 0.5 else list(y)
        return x, y

    def make():
        settings = {"alpha": 0.2, "cv": rng.choice([3, 2, HostileSplitter()])}
        if regression:
            settings.update(method=rng.choice(["plus", "minmax", "after_bootstrap"]),
                            n_bootstraps=rng.choice([4, 10]),
                            aggregate=rng.choice(["mean", "median"]))
            cls = conformal.CrossConformalRegressor
        else:
            settings.update(score=rng.choice(["aps", "aps_randomized", "raps", "lac"]),
                            random_state=rng.choice([None, 0]))
            cls = conformal.CrossConformalClassifier
        made["obj"] = cls(Folding("regressor" if regression else "classifier"), **settings)

    def fit():
        x, y = part(rng.choice([30, 40]))
        weights = victim(nprng.random(len(x)))
        native(made["obj"].fit, x, y, **({"sample_weight": weights} if rng.random() < 0.3 else {}))
        expose(made["obj"])

    def tampered():
        tamper_fitted(made["obj"], CROSS_TAMPERED)

    def predict():
        x, _ = part(rng.choice([0, 5, 25]))
        native(getattr(made["obj"], "predict_intervals" if regression else "predict_sets"), x)

    def evaluate():
        x, y = part(25)
        native(made["obj"].evaluate, x, y)

    def reported():
        native(report.coverage_report, made["obj"], bins=rng.choice([10, Counting(3)]))

    return [("construct", make), ("fit", fit), ("predict", predict), ("evaluate", evaluate),
            ("coverage_report", reported), ("tamper", tampered), ("predict", predict),
            ("fit", fit), ("evaluate", evaluate), ("coverage_report", reported)]


class Domain(Folding):
    """A domain classifier whose fits and answers are sound, though they run havoc."""

    def fit(self, x, y, **params):
        havoc()
        self.classes_ = np.array([0, 1])
        return self

    def answer(self, x, proba):
        self.sound = True
        return Answers.answer(self, x, proba)


SHIFT_TAMPERED = ["estimators_", "folds_", "oof_proba_", "_stacked_x", "n_source_", "n_new_",
                  "n_features_in_", "feature_names_in_", "clip", "_calibrated_with"]


def hostile_shift_steps():
    """DensityRatio: the clones' fits and answers run havoc on the rows and on the
    ratio's fitted state, which is then tampered; the report reads the ratio as shift."""
    frame = rng.random() < 0.3
    made = {}

    def rows(n, mean):
        x = nprng.normal(size=(n, 3)) + mean
        return victim(pd.DataFrame(x, columns=["a", "b", "c"]) if frame else x)

    def fit():
        made["ratio"] = conformal.DensityRatio(
            Folding("classifier"), cv=rng.choice([2, 3, Counting(2)]), clip=rng.choice([0.01, 0.0]),
            random_state=rng.choice([None, 0]))
        native(made["ratio"].fit, rows(rng.choice([12, 30]), 0.0), rows(rng.choice([6, 20]), 0.5))
        expose(made["ratio"])

    def refit():
        # An odd answer often fails the first fit: later steps need fitted state.
        if not hasattr(made["ratio"], "estimators_"):
            made["ratio"].set_params(classifier=Domain("classifier"), cv=2)
            native(made["ratio"].fit, rows(20, 0.0), rows(20, 0.5))
            expose(made["ratio"])

    def tampered():
        tamper_fitted(made["ratio"], SHIFT_TAMPERED)

    def weights():
        native(made["ratio"], rows(rng.choice([0, 5]), 0.0))

    def importances():
        native(made["ratio"].feature_importances, n_repeats=rng.choice([1, Counting(1, most=3)]),
               random_state=rng.choice([None, 0]))

    def reported():
        obj = construct("classifier")
        sound_fit("classifier", obj)
        native(report.coverage_report, obj, shift=made["ratio"])

    return [("fit", fit), ("refit", refit), ("weights", weights), ("importances", importances),
            ("coverage_report", reported), ("tamper", tampered), ("weights", weights),
            ("importances", importances), ("coverage_report", reported)]


ONLINE_TAMPERED = ["_online_carry", "_online_settings", "_calibration_scores", "_sorted_scores",
                   "scores_", "errors_", "pvalues_", "intervals_", "sets_", "thresholds_",
                   "alphas_", "n_steps_", "alpha_", "classes_", "_stream_entropy", "scorecaster_",
                   "_martingale_state", "log_martingale_"]


class Streaming(Answers, BaseEstimator):
    """A stream's model or scorecaster: answers run havoc, are odd now and then, and now
    and then feed rows of their own to the stream they serve."""

    serves = None

    def __init__(self, kind="regressor"):
        self.kind = kind

    def fit(self, x, y):
        havoc()
        victim(x), victim(y)
        return self

    def answer(self, x, proba):
        self.sound = rng.random() < 0.9
        target, Streaming.serves = Streaming.serves, None
        if target is not None and rng.random() < 0.3:
            try:
                target.update(nprng.normal(size=(2, 3)), nprng.integers(0, 2, 2))
            except ValueError:
                pass
        Streaming.serves = target
        return Answers.answer(self, x, proba)


def hostile_online_steps():
    """The online classes and the martingale: answers and scorecasters that run havoc or
    feed the stream mid-call, settings read through __index__, state tampered between
    calls, the martingale fed from the stream, and the report of what is left."""
    regression = rng.random() < 0.5
    kind = "regressor" if regression else "classifier"
    made = {}

    def part(rows):
        x = victim(nprng.normal(size=(rows, 3)))
        y = victim(nprng.normal(size=rows) if regression else nprng.integers(0, 2, rows))
        if not regression and rng.random() < 0.2:
            y = meddling(y) if rng.random() < 0.5 else list(y)
        return x, y

    def make():
        method = rng.choice(["aci", "pid"])
        settings = {"alpha": 0.2, "method": method, "random_state": rng.choice([None, 0])}
        if method == "aci":
            settings["window"] = rng.choice([None, 20, Counting(10)])
        elif rng.random() < 0.5:
            settings.update(scorecaster=Streaming(), lags=rng.choice([2, Counting(3)]),
                            window=rng.choice([None, 40]))
        if not regression:
            settings["score"] = rng.choice(["lac", "aps"])
        cls = (conformal.OnlineConformalRegressor if regression
               else conformal.OnlineConformalClassifier)
        made["obj"] = cls(Streaming(kind), **settings)
        Streaming.serves = made["obj"] if rng.random() < 0.3 else None

    def calibrate():
        if rng.random() < 0.7:
            native(made["obj"].calibrate, *part(rng.choice([20, 40])))
            expose(made["obj"])

    def update():
        native(made["obj"].update, *part(rng.choice([1, 5, 40])))
        expose(made["obj"])

    def predict():
        x, _ = part(1)
        native(getattr(made["obj"], "predict_interval" if regression else "predict_set"),
               x[0] if rng.random() < 0.7 else x)

    def tampered():
        tamper_fitted(made["obj"], ONLINE_TAMPERED)

    def windows():
        window = rng.choice([10, Counting(10), 10**30])
        native(rng.choice([made["obj"].rolling_coverage, made["obj"].window_coverage]), window)

    def martingale():
        if "m" not in made:
            made["m"] = conformal.ExchangeabilityMartingale(
                betting=rng.choice(["mixture", "plugin"]))
        p = victim(nprng.uniform(0.01, 1, rng.choice([1, 30])))
        native(made["m"].update, made["obj"] if rng.random() < 0.6 else p)
        expose(made["m"])
        if rng.random() < 0.3:
            tamper_fitted(made["m"], ONLINE_TAMPERED)
        native(made["m"].alarm, rng.choice([0.05, 0.5]))

    def reported():
        native(report.coverage_report, made["obj"], bins=rng.choice([10, Counting(3)]))

    return [("construct", make), ("calibrate", calibrate), ("update", update),
            ("predict", predict), ("martingale", martingale), ("tamper", tampered),
            ("update", update), ("windows", windows), ("predict", predict),
            ("martingale", martingale), ("coverage_report", reported)]


PARTS = {"none": 0, "reliability": 1, "report": 2, "conformal": 3}


def main():
    global nprng
    faulthandler.enable()
    warnings.simplefilter("ignore")
    mod.display = lambda widget: None
    mod.LGBMRegressor = FakeQuantiles
    first_seed, _, last_seed = sys.argv[1].partition("-")
    seeds = range(int(first_seed), int(last_seed or first_seed) + 1)
    part = sys.argv[3] if len(sys.argv) > 3 else "none"
    first = int(sys.argv[4]) if len(sys.argv) > 4 else 0
    outcomes = collections.Counter()
    for seed in seeds:
        for index in range(first, first + int(sys.argv[2])):
            # Each case draws from its own seed, so that it can be run again alone.
            rng.seed(f"{seed}/{part}/{index}")
            nprng = np.random.default_rng([seed, PARTS[part], index])
            print(f"case: {seed} 1 {part} {index}", file=sys.stderr, flush=True)
            if part == "none":
                run_case(outcomes)
            else:
                hostile_case(part, outcomes)
    print(dict(outcomes.most_common()))


if __name__ == "__main__":
    main()
