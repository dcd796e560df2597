"""Native hazards, each run in a child process so that a crash fails the test
instead of taking pytest down (under the sanitizer build too)."""

import os
import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).parent


def run_child(args, timeout=120):
    # The system allocator lets AddressSanitizer see every freed Python object.
    env = dict(os.environ, PYTHONMALLOC="malloc", MPLBACKEND="Agg")
    child = subprocess.run([sys.executable, *args], capture_output=True, text=True, env=env,
                           cwd=HERE, timeout=timeout)
    assert child.returncode == 0, f"exit {child.returncode}\n{child.stderr[-3000:]}"
    return child.stdout


EMPTIED_DURING_DIAGNOSE = """
import numpy as np
import trov.diagnoser.reliability_evaluation as mod


class Label:
    comparisons = 0

    def __init__(self, value, owner):
        self.value, self.owner = value, owner

    def __eq__(self, other):
        Label.comparisons += 1
        if Label.comparisons == 2:
            del self.owner.test_class[:]
            Label.junk = [[k] * 3 for k in range(1000)]  # takes over freed memory
        return getattr(other, "value", other) == self.value

    def __ne__(self, other):  # np.unique compares without __eq__
        return getattr(other, "value", other) != self.value

    def __lt__(self, other):
        return self.value < getattr(other, "value", other)

    def __hash__(self):
        return hash(self.value)


clf = mod.AdaptiveConformalClassifier()
clf.q, clf.max_test = 0.9, 0.5  # all sets full: label_list keeps no set alive
clf.test_class = [[0], [0, 1]]
clf.test_y = np.array([Label(0, clf), Label(1, clf)], dtype=object)
result = clf.diagnose()
print(clf.test_class.tolist(), clf.coverage, result["sample count"].tolist())
"""


def test_labels_emptying_test_class_during_diagnose():
    # The sets are read before the labels' __eq__ empties the list; they stay valid.
    assert run_child(["-c", EMPTIED_DURING_DIAGNOSE]).split() == ["[[0],", "[0,", "1]]", "1.0",
                                                                  "[1,", "1]"]


OBJECT_REBOUND = """
import sys
import numpy as np
import trov.diagnoser.reliability_evaluation as mod

mod.object = "i1"  # np.empty(n, dtype=object) now gives int8 cells, not object pointers
for dtype in sys.argv[1:]:
    clf = mod.AdaptiveConformalClassifier()
    clf.q, clf.max_test = 0.5, 0.9
    clf.test_y = np.array([0, 1, 1], dtype=dtype)
    clf.test_class = [[0], [0, 1], [1]]
    try:
        clf.diagnose()
    except TypeError as error:
        print("TypeError", "object array" in str(error))
"""


def test_a_rebound_object_is_refused_before_pointers_are_written():
    # int64 labels take the one-pass diagnosis, float64 ones the general one.
    outcomes = run_child(["-c", OBJECT_REBOUND, "int64", "float64"]).split()
    assert outcomes == ["TypeError", "True"] * 2


EMPTIED_BY_A_FINALISER = """
import numpy as np
import trov.diagnoser.reliability_evaluation as mod


class Clears:
    def __del__(self):
        del clf.test_class[:]
        Clears.junk = [[k] * 3 for k in range(1000)]  # takes over freed memory


def empty(size, dtype=None):
    # The slots for the sets come back holding objects that empty the list when released.
    cells = np.empty(size, dtype=object)
    if size > 3:
        cells[:] = [Clears() for _ in range(size)]
    return cells


clf = mod.AdaptiveConformalClassifier()
clf.q, clf.max_test = 0.5, 0.9
clf.test_y = np.array([0, 1, 1, 0, 1])
clf.test_class = [[0], [0, 1], [1], [0], [1]]
mod.np = type("Np", (), {"__getattr__": lambda self, name: getattr(np, name),
                         "empty": staticmethod(empty)})()
try:
    clf.diagnose()
    print("ok", clf.test_class.tolist())
except IndexError as error:
    print("IndexError", "changed while being read" in str(error))
"""


def test_sets_emptied_while_being_stored():
    assert run_child(["-c", EMPTIED_BY_A_FINALISER]).split() == ["IndexError", "True"]


def test_random_inputs_and_tampered_state_never_crash():
    # Seed 1, 120 cases: every method of the four classes, about a thousand calls.
    outcomes = run_child([str(HERE / "crash_inputs.py"), "1", "120"])
    assert "'result'" in outcomes


HAZARDS = """
import numpy as np
import trov.diagnoser.reliability_evaluation as mod


def outcome(step):
    try:
        step()
        return "ok"
    except Exception as error:
        return type(error).__name__


class Model:
    classes_ = np.array(["no", "yes"])

    def predict_proba(self, x):
        p = np.linspace(0.05, 0.95, len(x), dtype=np.float32)
        return np.column_stack([1 - p, p])


x, y = np.zeros((20, 1)), np.array(["no", "yes"] * 10)
fit = lambda: mod.AdaptiveConformalClassifier().fit(Model(), None, None, x, y, x, y)
# A label missing from classes_ keeps what np.full wrote.
unknown = lambda: mod.AdaptiveConformalClassifier().fit(Model(), None, None, x, y, x,
                                                        np.append(y[:-1], "maybe"))
results = [
    # A keyword name that is not valid UTF-8, to a constructor and to a method.
    outcome(lambda: mod.AdaptiveConformalClassifier(**{"\\udc80": 1})),
    outcome(lambda: mod.ResidualConformalRegressor().plot_feature("a", **{"\\udc80": 1})),
    outcome(fit),
]
real = np.asarray
# np.asarray answering a list where the finiteness check reads an array.
mod.np = type("Np", (), {"__getattr__": lambda self, name: getattr(np, name),
                         "asarray": staticmethod(lambda *a, **k: [0.5])})()
results.append(outcome(fit))
# np.full answering text where the label positions must become integers.
mod.np = type("Np", (), {"__getattr__": lambda self, name: getattr(np, name),
                         "full": staticmethod(lambda shape, *a, **k:
                                              np.full(shape, None, dtype=object))})()
results.append(outcome(unknown))
mod.np = np


class Bins:
    # Five segments on the first read, three on every later one.
    reads = 0

    def __index__(self):
        Bins.reads += 1
        return 5 if Bins.reads == 1 else 3

    def __rtruediv__(self, other):
        return other / 5


import matplotlib.pyplot as plt
r = mod.ResidualConformalRegressor(feature_names=np.array(["a"]))
r.test_x, r.test_y = np.arange(12.0)[:, None], np.arange(12.0)
r.pred_test, r.width = r.test_y, np.ones(12)
results.append(outcome(lambda: r.plot_feature("a", Bins())))
results.append(len(plt.figure(1).axes[0].containers[0].stemlines.get_segments()))
print(results)
"""


def test_native_hazards_raise_python_exceptions():
    # Each of these crashed the interpreter: a C++ exception through a C entry point,
    # a raw read of what np.asarray returned, an unchecked conversion, a second
    # read of bins that disagreed with the first.
    assert run_child(["-c", HAZARDS]).strip() == (
        "['TypeError', 'TypeError', 'ok', 'TypeError', 'TypeError', 'ok', 5]")
