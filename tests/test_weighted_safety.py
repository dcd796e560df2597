"""Weighted calibration against hostile callbacks, tampered state and weights at the
ends of the float range: bad state is refused, a callback changes nothing already
read, and the two threads give what one gives."""

import sys
import warnings

import numpy as np
import pytest

from test_native_safety import run_child
from trov.diagnoser.conformal import ConformalClassifier, ConformalRegressor


class Fixed:
    def predict(self, x):
        return np.asarray(x, dtype=float)[:, 0]


class Columns:
    """predict_proba: the first `classes` columns of x; the next one is the weight."""

    def __init__(self, classes):
        self.classes = classes

    def predict_proba(self, x):
        return np.asarray(x, dtype=float)[:, : self.classes]


def last_column(x):
    return np.asarray(x, dtype=float)[:, -1]


def regression_rows(rng, n, weight):
    x = np.column_stack([rng.normal(size=n), weight(rng, n)])
    return x, x[:, 0] + rng.normal(size=n)


def grouped_regressor(rng):
    x, y = regression_rows(rng, 300, lambda rng, n: rng.uniform(0.5, 2, n))
    model = ConformalRegressor(Fixed(), method="absolute", conditional="group")
    return model.calibrate(x, y, groups=(x[:, 0] > 0).astype(int), shift=last_column)


class TestWeightRange:
    # The rule only sees ratios of weights: equal weights of any size are the
    # unweighted rank, subnormal ones too.
    @pytest.mark.parametrize("weight", [5e-324, 1e-310, 5e-309, 1e-300, 1.7e308])
    def test_equal_weights_of_any_size_give_the_unweighted_thresholds(self, weight):
        rng = np.random.default_rng(0)
        x, y = regression_rows(rng, 199, lambda rng, n: np.full(n, weight))
        new, _ = regression_rows(rng, 20, lambda rng, n: np.full(n, weight))
        plain = ConformalRegressor(Fixed(), method="absolute").calibrate(x, y)
        weighted = ConformalRegressor(Fixed(), method="absolute").calibrate(x, y, shift=last_column)
        np.testing.assert_array_equal(weighted.predict_intervals(new), plain.predict_intervals(new))

        p = rng.dirichlet(np.ones(3), 400)
        labels = rng.integers(0, 3, 400)
        calib = np.column_stack([p, np.full(400, weight)])
        plain = ConformalClassifier(Columns(3), conditional="class").calibrate(calib, labels)
        weighted = ConformalClassifier(Columns(3), conditional="class")
        weighted.calibrate(calib, labels, shift=last_column)
        np.testing.assert_array_equal(weighted.predict_sets(calib), plain.predict_sets(calib))


def replace_entry(stratum, part, change):
    def tamper(model):
        strata = list(model._weighted_strata)
        entry = list(strata[stratum])
        entry[part] = change(np.asarray(entry[part]))
        strata[stratum] = tuple(entry)
        model._weighted_strata = tuple(strata)

    return tamper


TAMPERED = {
    "unsorted scores": replace_entry(1, 0, lambda a: a[::-1].copy()),
    "a NaN score": replace_entry(0, 0, lambda a: np.r_[np.nan, a[1:]]),
    "a negative weight": replace_entry(0, 1, lambda a: np.r_[-1.0, a[1:]]),
    "an infinite weight": replace_entry(2, 1, lambda a: np.r_[np.inf, a[1:]]),
    "a weight short": replace_entry(2, 1, lambda a: a[:-1]),
    "two-dimensional scores": replace_entry(2, 0, lambda a: a[:, None]),
    "a list": lambda m: setattr(m, "_weighted_strata", list(m._weighted_strata)),
    "a stratum short": lambda m: setattr(m, "_weighted_strata", m._weighted_strata[:2]),
    "a stratum more": lambda m: setattr(
        m, "_weighted_strata", m._weighted_strata + m._weighted_strata[:1]
    ),
    "pairs": lambda m: setattr(m, "_weighted_strata", tuple(e[:2] for e in m._weighted_strata)),
    "a number for an entry": lambda m: setattr(
        m, "_weighted_strata", (1,) + m._weighted_strata[1:]
    ),
    "a shift that is no callable": lambda m: setattr(m, "shift_", 5),
    "the fallback NaN": lambda m: setattr(m, "fallback_threshold_", np.nan),
}


class TestTamperedState:
    @pytest.mark.parametrize("tamper", TAMPERED.values(), ids=TAMPERED.keys())
    def test_refused_with_advice(self, tamper):
        rng = np.random.default_rng(2)
        model = grouped_regressor(rng)
        new, _ = regression_rows(rng, 30, lambda rng, n: rng.uniform(0, 3, n))
        tamper(model)
        with pytest.raises(ValueError, match="calibrate again"):
            model.predict_intervals(new, groups=(new[:, 0] > 0).astype(int))

    def test_callbacks_that_rebind_or_recalibrate_change_no_answer(self):
        # The shift runs after the state was read: what it rebinds is the next call's.
        rng = np.random.default_rng(3)
        model = grouped_regressor(rng)
        new, _ = regression_rows(rng, 40, lambda rng, n: rng.uniform(0, 3, n))
        groups = (new[:, 0] > 0).astype(int)
        expected = model.predict_intervals(new, groups=groups)
        x, y = regression_rows(rng, 300, lambda rng, n: np.ones(n))

        def hostile(rows):
            model.shift_ = lambda rows: np.ones(3)
            model._weighted_strata = None
            model.alpha_, model.fallback_threshold_ = 0.5, np.nan
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                model.calibrate(x, y, groups=(x[:, 0] > 0).astype(int))
            return rows[:, 1]  # a view of the caller's rows

        model.shift_ = hostile
        np.testing.assert_array_equal(model.predict_intervals(new, groups=groups), expected)


class TestTwoHalves:
    def test_two_threads_give_what_one_gives(self):
        # (1 - 0.1)(n + 1) is whole: weights equal to the calibration ones sit on a
        # break, so both halves need the exact expansions at once.
        rng = np.random.default_rng(4)
        n, rows = 499, 40000
        x, y = regression_rows(rng, n, lambda rng, n: np.full(n, 0.3))
        new, _ = regression_rows(
            rng, rows, lambda rng, n: np.where(rng.random(n) < 0.5, 0.3, rng.uniform(0, 1, n))
        )
        model = ConformalRegressor(Fixed(), method="absolute").calibrate(x, y, shift=last_column)
        whole = model.predict_intervals(new)
        blocks = [model.predict_intervals(new[i : i + 10000]) for i in range(0, rows, 10000)]
        np.testing.assert_array_equal(whole, np.concatenate(blocks))

        p = np.column_stack([rng.dirichlet(np.ones(4), n), np.full(n, 0.3)])
        clf = ConformalClassifier(Columns(4), conditional="class")
        clf.calibrate(p, rng.integers(0, 4, n), shift=last_column)
        test = np.column_stack([rng.dirichlet(np.ones(4), rows), new[:, 1]])
        whole = clf.predict_sets(test)
        blocks = [clf.predict_sets(test[i : i + 10000]) for i in range(0, rows, 10000)]
        np.testing.assert_array_equal(whole, np.concatenate(blocks))


# --- in a child process: these crashed or took far too much memory before ---

ONE_ROW_MANY_CLASSES = """
import warnings
import numpy as np
from trov.diagnoser.conformal import ConformalClassifier

classes = 4000
rng = np.random.default_rng(0)
p = rng.dirichlet(np.ones(classes), 60)
model = type("M", (), {"predict_proba": lambda self, x: np.asarray(x, float)})()
with warnings.catch_warnings():
    warnings.simplefilter("ignore")  # every class falls back
    cc = ConformalClassifier(model, conditional="class", fallback="marginal").calibrate(
        p, rng.integers(0, classes, 60), shift=lambda x: np.ones(len(x)))


def peak_mb():  # this process's own peak: ru_maxrss keeps the parent's across exec
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith("VmHWM")) // 1024


before = peak_mb()
cc.predict_sets(p[:1])
print(peak_mb() - before)
"""


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc/self/status")
def test_one_row_of_many_classes_takes_the_memory_of_one_row():
    # The thresholds of a block of 2048 rows would be 65 MB here.
    assert int(run_child(["-c", ONE_ROW_MANY_CLASSES])) < 32


GROUPS_SHRUNK_WHILE_CALIBRATING = """
import warnings
import numpy as np
from trov.diagnoser.conformal import ConformalClassifier, ConformalRegressor

held, real_unique = [], np.unique


def unique(*args, **kwargs):  # group values the caller keeps a hold of
    values, inverse = real_unique(*args, **kwargs)
    held.append(np.array(values))
    return held[-1], inverse


def shrink(*args, **kwargs):  # the small group's warning, after its codes were checked
    for values in held:
        values.resize(1, refcheck=False)


rng = np.random.default_rng(0)
x = np.column_stack([rng.dirichlet(np.ones(2), 300), np.ones(300)])
y = rng.integers(0, 2, 300)
groups = np.r_[np.zeros(150, int), np.ones(140, int), np.full(10, 2)]
model = type("M", (), {"predict": lambda self, x: np.asarray(x, float)[:, 0],
                       "predict_proba": lambda self, x: np.asarray(x, float)[:, :2]})()
np.unique, warnings.showwarning = unique, shrink
warnings.simplefilter("always")
for make in [lambda: ConformalRegressor(model, method="absolute", conditional="group"),
             lambda: ConformalClassifier(model, conditional="group")]:
    try:
        make().calibrate(x, y, groups=groups, shift=lambda x: np.ones(len(x)))
        print("calibrated")
    except ValueError:
        print("ValueError")
"""


def test_group_values_shrunk_after_their_codes_were_checked():
    # The strata are as many as the codes were checked against, whatever the values'
    # length is now: no code indexes past them.
    assert set(run_child(["-c", GROUPS_SHRUNK_WHILE_CALIBRATING]).split()) <= {
        "calibrated",
        "ValueError",
    }
