"""The module frame: namespace, classes, method objects, binding and failures."""

import ctypes
import importlib
import importlib.util
import inspect
import pickle
import re
import subprocess
import sys
import traceback

import numpy as np
import pytest

MODULE = "trov.diagnoser.reliability_evaluation"


class TypeSlots(ctypes.Structure):
    """The start of a type object, up to tp_clear, as C lays it out on 3.7 to 3.13."""

    _fields_ = [("head", ctypes.c_byte * object.__basicsize__), ("ob_size", ctypes.c_ssize_t),
                ("tp_name", ctypes.c_char_p), ("tp_basicsize", ctypes.c_ssize_t),
                ("tp_itemsize", ctypes.c_ssize_t)]
    _fields_ += [(name, ctypes.c_void_p) for name in [
        "tp_dealloc", "tp_vectorcall_offset", "tp_getattr", "tp_setattr", "tp_as_async",
        "tp_repr", "tp_as_number", "tp_as_sequence", "tp_as_mapping", "tp_hash", "tp_call",
        "tp_str", "tp_getattro", "tp_setattro", "tp_as_buffer"]]
    _fields_ += [("tp_flags", ctypes.c_ulong), ("tp_doc", ctypes.c_char_p),
                 ("tp_traverse", ctypes.c_void_p), ("tp_clear", ctypes.c_void_p)]

CLASSES = {
    "Reliability": {
        "__init__": (["self", "estimator", "alpha", "depth", "feature_names"], 3),
        "fit": (["self", "train_x", "train_y", "test_x", "test_y", "calib_x", "calib_y"], 2),
        "show": (["self"], 0),
        "diagnose": (["self"], 0),
    },
    "AdaptiveConformalClassifier": {
        "__init__": (["self", "alpha"], 1),
        "fit": (
            ["self", "model", "train_x", "train_y", "test_x", "test_y", "calib_x", "calib_y"],
            2,
        ),
        "diagnose": (["self"], 0),
        "plot": (["self", "figsize"], 1),
        "plot_single": (["self", "index", "figsize"], 1),
    },
    "ResidualConformalRegressor": {
        "__init__": (["self", "alpha", "depth", "rand", "feature_names"], 4),
        "fit": (
            ["self", "model", "train_x", "train_y", "test_x", "test_y", "calib_x", "calib_y"],
            2,
        ),
        "diagnose": (["self"], 0),
        "plot": (["self", "figsize"], 1),
        "plot_feature": (["self", "feature_name", "bins", "figsize"], 2),
    },
    "Reliability_without_uncertain": {
        "__init__": (["self", "estimator", "significance_level"], 1),
        "fit": (["self", "test_x", "test_y"], 0),
        "plot": (["self"], 0),
    },
}


def methods(mod):
    for cls_name, table in CLASSES.items():
        for name, (params, ndefaults) in table.items():
            yield getattr(mod, cls_name), name, params, ndefaults


class TestNamespace:
    def test_names_in_binding_order(self, mod):
        import copy

        import IPython.display
        import ipywidgets
        import lightgbm
        import matplotlib.pyplot
        import pandas
        import seaborn
        import sklearn.base
        import sklearn.model_selection

        own = [k for k in vars(mod) if not (k.startswith("__") and k.endswith("__"))]
        assert own == [
            "np", "plt", "widgets", "display", "deepcopy", "train_test_split", "pd",
            "LGBMRegressor", "is_regressor", "is_classifier", "sns", "Reliability",
            "AdaptiveConformalClassifier", "ResidualConformalRegressor",
            "Reliability_without_uncertain",
        ]  # fmt: skip
        assert mod.np is np and mod.plt is matplotlib.pyplot and mod.widgets is ipywidgets
        assert mod.display is IPython.display.display and mod.deepcopy is copy.deepcopy
        assert mod.train_test_split is sklearn.model_selection.train_test_split
        assert mod.pd is pandas and mod.sns is seaborn
        assert mod.LGBMRegressor is lightgbm.LGBMRegressor
        assert mod.is_regressor is sklearn.base.is_regressor
        assert mod.is_classifier is sklearn.base.is_classifier
        assert mod.__doc__ is None and mod.__name__ == MODULE
        assert not hasattr(mod, "HTML")

    def test_each_import_has_its_own_namespace(self, mod, monkeypatch):
        monkeypatch.delitem(sys.modules, MODULE)
        fresh = importlib.import_module(MODULE)
        assert fresh is not mod and fresh.Reliability is not mod.Reliability
        assert fresh.Reliability.fit.__globals__ is vars(fresh)
        assert fresh.AdaptiveConformalClassifier.plot.__defaults__[0] is (
            fresh.ResidualConformalRegressor.plot.__defaults__[0]
        )
        shown = []
        monkeypatch.setattr(fresh, "display", lambda o: shown.append(("fresh", o.value)))
        monkeypatch.setattr(mod, "display", lambda o: shown.append(("first", o.value)))
        for module in (fresh, mod):
            obj = module.ResidualConformalRegressor()
            obj.test_y = obj.pred_low = obj.pred_up = obj.pred_test = np.arange(3.0)
            obj.width, obj.coverage, obj.depth = np.ones(3), 0.5, 2
            obj.plot()
        assert [who for who, _ in shown] == ["fresh"] * 3 + ["first"] * 3
        # A second import without dropping the module is the same module.
        assert importlib.import_module(MODULE) is fresh

    def test_lookup_errors_are_not_swallowed(self, mod, monkeypatch):
        class Boom(Exception):
            pass

        class Key(str):
            # Collides with "range", which the namespace lacks: its look-up must compare.
            armed = False

            def __hash__(self):
                return hash("range")

            def __eq__(self, other):
                if Key.armed:
                    raise Boom
                return str.__eq__(self, other)

        monkeypatch.delitem(sys.modules, MODULE)
        fresh = importlib.import_module(MODULE)
        vars(fresh)[Key("other")] = 1
        Key.armed = True
        obj = fresh.ResidualConformalRegressor()
        obj.test_y = obj.pred_low = obj.pred_up = obj.pred_test = np.arange(3.0)
        with pytest.raises(Boom):
            obj.diagnose()

    def test_cleared_method_raises_instead_of_crashing(self, mod, monkeypatch):
        monkeypatch.delitem(sys.modules, MODULE)
        fresh = importlib.import_module(MODULE)
        method = fresh.Reliability.__init__
        # What the garbage collector does to a method in a dead cycle: its tp_clear,
        # read by name from the type object's layout.
        slots = TypeSlots.from_address(id(type(method)))
        assert slots.tp_name == b"trov.diagnoser.method"  # the layout read is the right one
        assert slots.tp_basicsize == type(method).__basicsize__
        assert slots.tp_flags == type(method).__flags__
        clear = ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.py_object)(slots.tp_clear)
        assert clear(method) == 0
        with pytest.raises(ReferenceError, match="Reliability.__init__"):
            method(object(), None)
        with pytest.raises(ReferenceError):
            inspect.signature(method)
        assert method.__defaults__ is None and method.__name__ == "__init__"

    @pytest.mark.skipif(
        importlib.util.find_spec("_xxsubinterpreters") is None
        and importlib.util.find_spec("_interpreters") is None,
        reason="no sub-interpreter support",
    )
    def test_sub_interpreter_import_refused(self):
        script = f"""
try:
    import _interpreters as interpreters
except ImportError:
    import _xxsubinterpreters as interpreters
sub = interpreters.create()
try:
    result = interpreters.run_string(sub, "import {MODULE}")
except Exception as e:
    result = e
print(result)
"""
        out = subprocess.run(
            [sys.executable, "-c", script], capture_output=True, text=True, timeout=60
        )
        assert out.returncode == 0, out.stderr
        # CPython 3.12+ refuses by itself, in its own words; before, the module does.
        assert re.search(r"ImportError.*sub-?interpreters", out.stdout), out.stdout

    def test_failed_import_leaves_nothing_and_retry_works(self):
        script = f"""
import sys
sys.modules['lightgbm'] = None
try:
    import {MODULE}
except ImportError as e:
    print('failed', isinstance(e, ImportError))
assert '{MODULE}' not in sys.modules
del sys.modules['lightgbm']
import {MODULE} as m
print(sorted(k for k in vars(m) if not k.startswith('__'))[:3])
m.AdaptiveConformalClassifier(0.3)
"""
        out = subprocess.run(
            [sys.executable, "-c", script], capture_output=True, text=True, timeout=120
        )
        assert out.returncode == 0, out.stderr
        assert out.stdout.splitlines() == [
            "failed True",
            "['AdaptiveConformalClassifier', 'LGBMRegressor', 'Reliability']",
        ]


class TestClasses:
    @pytest.mark.parametrize("name", list(CLASSES))
    def test_plain_classes(self, mod, name):
        cls = getattr(mod, name)
        assert cls.__module__ == MODULE and cls.__qualname__ == name
        assert cls.__bases__ == (object,) and cls.__doc__ is None
        assert [k for k in vars(cls) if not k.startswith("__") or k == "__init__"] == list(
            CLASSES[name]
        )
        assert isinstance(cls, type) and type(cls) is type

    def test_instances_have_a_normal_dict(self, mod):
        obj = mod.AdaptiveConformalClassifier()
        assert obj.__dict__ == {"alpha": 0.1}
        obj.extra = 1
        assert vars(obj) == {"alpha": 0.1, "extra": 1}


class TestMethodObjects:
    def test_identity_and_signature(self, mod):
        for cls, name, params, ndefaults in methods(mod):
            fn = vars(cls)[name]
            assert getattr(cls, name) is fn
            assert fn.__name__ == name
            assert fn.__qualname__ == f"{cls.__name__}.{name}"
            assert fn.__module__ == MODULE and fn.__doc__ is None
            sig = inspect.signature(fn)
            assert list(sig.parameters) == params
            kinds = {p.kind for p in sig.parameters.values()}
            assert kinds == {inspect.Parameter.POSITIONAL_OR_KEYWORD}
            defaults = tuple(p.default for p in sig.parameters.values())[len(params) - ndefaults :]
            assert fn.__defaults__ == (defaults or None)
            if fn.__defaults__:
                assert all(a is b for a, b in zip(fn.__defaults__, defaults))

    def test_default_values_and_their_identity(self, mod):
        r_init = mod.Reliability.__init__
        q_init = mod.ResidualConformalRegressor.__init__
        assert r_init.__defaults__ == (0.1, 7, [])
        assert q_init.__defaults__ == (0.05, 7, 0, [])
        assert r_init.__defaults__[-1] is r_init.__defaults__[-1]
        assert q_init.__defaults__[-1] is q_init.__defaults__[-1]
        assert r_init.__defaults__[-1] is not q_init.__defaults__[-1]
        assert [type(v) for v in q_init.__defaults__] == [float, int, int, list]
        figsizes = [
            mod.AdaptiveConformalClassifier.plot.__defaults__[0],
            mod.AdaptiveConformalClassifier.plot_single.__defaults__[0],
            mod.ResidualConformalRegressor.plot.__defaults__[0],
            mod.ResidualConformalRegressor.plot_feature.__defaults__[1],
        ]
        assert figsizes[0] == (8, 6) and all(f is figsizes[0] for f in figsizes)
        assert mod.ResidualConformalRegressor.plot_feature.__defaults__ == (10, (8, 6))
        assert mod.Reliability_without_uncertain.__init__.__defaults__ == (0.95,)
        assert mod.AdaptiveConformalClassifier.__init__.__defaults__ == (0.1,)

    def test_binds_like_a_function(self, mod):
        obj = mod.AdaptiveConformalClassifier()
        bound = obj.__init__
        assert bound.__self__ is obj and bound.__func__ is mod.AdaptiveConformalClassifier.__init__
        assert list(inspect.signature(bound).parameters) == ["alpha"]
        bound(alpha=0.25)
        assert obj.alpha == 0.25
        mod.AdaptiveConformalClassifier.__init__(obj, 0.3)
        assert obj.alpha == 0.3
        mod.AdaptiveConformalClassifier.__init__(self=obj)
        assert obj.alpha == 0.1

    def test_help_and_pickle(self, mod):
        import pydoc

        text = pydoc.render_doc(mod.ResidualConformalRegressor.plot_feature, renderer=pydoc.plaintext)
        assert "plot_feature(self, feature_name, bins=10, figsize=(8, 6))" in text
        fn = mod.Reliability.fit
        assert pickle.loads(pickle.dumps(fn)) is fn


class TestBinding:
    @pytest.mark.parametrize(
        "call, message",
        [
            (lambda m: m.Reliability(), "missing 1 required positional argument: 'estimator'"),
            (lambda m: m.Reliability(1, 2, 3, 4, 5), "takes from 2 to 5 positional arguments"),
            (lambda m: m.AdaptiveConformalClassifier(alpha=1, foo=2), "unexpected keyword"),
            (lambda m: m.AdaptiveConformalClassifier(0.2, alpha=0.3), "multiple values for"),
            (lambda m: m.AdaptiveConformalClassifier().fit(1, 2), "missing 3 required"),
            (lambda m: m.AdaptiveConformalClassifier().diagnose(1), "takes 1 positional argument"),
            (lambda m: m.Reliability_without_uncertain.fit(), "missing 3 required"),
            (lambda m: m.AdaptiveConformalClassifier.__init__(**{"self": 1, "x y": 2}), "unexpected"),
        ],
    )
    def test_type_errors_name_the_method(self, mod, call, message):
        with pytest.raises(TypeError, match=message) as info:
            call(mod)
        assert str(info.value).split("(")[0].split(".")[0] in CLASSES

    def test_keywords_must_be_strings(self, mod):
        import ctypes

        # The C call bypasses the check that Python's call syntax makes first.
        call = ctypes.pythonapi.PyObject_Call
        call.restype = ctypes.py_object
        call.argtypes = [ctypes.py_object] * 3
        init = mod.AdaptiveConformalClassifier.__init__
        with pytest.raises(TypeError, match="keywords must be strings"):
            call(init, (mod.AdaptiveConformalClassifier(),), {1: 2})

    def test_every_parameter_by_keyword(self, mod):
        obj = mod.AdaptiveConformalClassifier.__new__(mod.AdaptiveConformalClassifier)
        mod.AdaptiveConformalClassifier.__init__(alpha=0.4, self=obj)
        assert obj.alpha == 0.4

    def test_missing_names_listed_in_order(self, mod):
        with pytest.raises(TypeError) as info:
            mod.Reliability_without_uncertain.fit(None)
        assert str(info.value) == (
            "Reliability_without_uncertain.fit() missing 2 required positional arguments: "
            "'test_x' and 'test_y'"
        )


class Boom(Exception):
    pass


class TestFailures:
    def _fail_in_fit(self, obj):
        class Model:
            def predict_proba(self, x):
                raise Boom("from the model")

        obj.fit(Model(), None, None, np.zeros((2, 1)), np.zeros(2), np.zeros((10, 1)), np.zeros(10))

    def test_exception_propagates_with_one_traceback_entry(self, mod):
        obj = mod.AdaptiveConformalClassifier()
        with pytest.raises(Boom) as info:
            self._fail_in_fit(obj)
        assert str(info.value) == "from the model"
        names = [f.name for f in traceback.extract_tb(info.value.__traceback__)]
        entry = f"{MODULE}.AdaptiveConformalClassifier.fit"
        assert names.count(entry) == 1
        # the raising Python frame stays below the method's entry
        assert names.index(entry) == names.index("predict_proba") - 1

    def _fit(self, obj):
        class Model:
            def predict_proba(self, x):
                return np.tile([0.7, 0.3], (len(x), 1))

        obj.fit(Model(), None, None, np.zeros((2, 1)), np.zeros(2), np.zeros((10, 1)), np.zeros(10))

    def test_name_lookup_when_the_statement_runs(self, mod, rebind):
        import builtins

        obj = mod.AdaptiveConformalClassifier()
        saved = mod.np
        del mod.np
        try:
            with pytest.raises(NameError, match="'np'"):
                self._fit(obj)

            class FakeNumpy:
                def __getattr__(self, name):
                    raise Boom(name)

            # the builtins are the fallback for a name the module lacks
            builtins.np = FakeNumpy()
            try:
                with pytest.raises(Boom):
                    self._fit(obj)
            finally:
                del builtins.np
        finally:
            mod.np = saved
        # a rebound module attribute is what the next call uses
        rebind("np", FakeNumpy())
        with pytest.raises(Boom):
            self._fit(obj)
        mod.np = saved
        self._fit(obj)
        assert len(obj.test_class) == 2
