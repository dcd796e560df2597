"""The cross-conformal classes against hostile estimators, splitters, random states and
tampered fitted state: each is refused with an error that says what to do, or works;
none reads memory it does not own. The hazards run in child processes."""

import numpy as np
import pytest
from sklearn.base import BaseEstimator, RegressorMixin
from sklearn.linear_model import LinearRegression

from test_native_safety import run_child
from trov.diagnoser.conformal import CrossConformalClassifier, CrossConformalRegressor


def regression_rows(seed, n=40):
    rng = np.random.default_rng(seed)
    x = rng.normal(size=(n, 2))
    return x, x[:, 0] + rng.normal(size=n)


# --- in a child process: each of these crashed or misread before ---

ROWS_REWRITTEN_BY_X = """
import numpy as np
from sklearn.base import BaseEstimator, ClassifierMixin
from sklearn.linear_model import LinearRegression
from trov.diagnoser.conformal import CrossConformalClassifier, CrossConformalRegressor


class X:  # x whose indexing rewrites, then shrinks, the row indices it is handed
    def __init__(self, a):
        self.a, self.shape = a, a.shape

    def __len__(self):
        return len(self.a)

    def __getitem__(self, key):
        rows = key[0] if isinstance(key, tuple) else key
        out = self.a[rows]
        if isinstance(rows, np.ndarray) and rows.flags.owndata:
            rows[:] = 10 ** 9
            rows.resize(1, refcheck=False)
        return out


class Uniform(ClassifierMixin, BaseEstimator):
    def fit(self, x, y):
        return self

    def predict_proba(self, x):
        return np.full((len(x), 3), 1 / 3)


rng = np.random.default_rng(0)
a = rng.normal(size=(40, 2))
obj = CrossConformalRegressor(LinearRegression(), cv=4).fit(X(a), a[:, 0])
print(sum(len(r) for r in obj.residuals_))
obj = CrossConformalClassifier(Uniform(), cv=4, score="aps_randomized")
obj.fit(X(a), np.arange(40) % 3)
print(sum(len(s) for s in obj.scores_))
"""


def test_row_indices_rewritten_by_x_are_not_read_back():
    # The folds' rows indexed the targets after x was indexed with them.
    assert run_child(["-c", ROWS_REWRITTEN_BY_X]).split() == ["40", "40"]


class Uniform:
    """Equal probabilities over three classes, whatever it was fitted on."""

    def fit(self, x, y):
        return self

    def predict_proba(self, x):
        return np.full((len(x), 3), 1 / 3)

    def get_params(self, deep=True):
        return {}


@pytest.mark.parametrize("score", ["lac", "aps"])
def test_a_label_equal_to_no_class_is_refused(score):
    # NaN is one of np.unique's classes, yet no label matches it: its score would be
    # read from column INT64_MIN (lac) or left 0 (aps).
    y = (np.arange(30) % 2).astype(float)
    y[3] = np.nan
    cc = CrossConformalClassifier(Uniform(), cv=3, score=score)
    with pytest.raises(ValueError, match="y holds the label nan, which equals none of its classes"):
        cc.fit(np.zeros((30, 2)), y)


UNREADABLE_STATE = """
import numpy as np
from sklearn.linear_model import LinearRegression
from trov.diagnoser.conformal import CrossConformalRegressor


class Words:  # a splitter whose folds are no numbers
    def split(self, x, y, groups):
        yield ["a", "b"], ["c"]


rng = np.random.default_rng(0)
x = rng.normal(size=(40, 2))
y = x[:, 0] + rng.normal(size=40)
plus = CrossConformalRegressor(LinearRegression(), cv=4).fit(x, y)
bagged = CrossConformalRegressor(LinearRegression(), method="after_bootstrap").fit(x, y)
for what in ["split", "residuals_", "out_of_bag_"]:
    try:
        if what == "split":
            CrossConformalRegressor(LinearRegression(), cv=Words()).fit(x, y)
        elif what == "residuals_":
            plus.residuals_ = [np.array(["a"])] * 4
            plus.predict_intervals(x)
        else:
            bagged.out_of_bag_ = np.array(["a"] * 40)
            bagged.predict_intervals(x)
        print("no error")
    except (TypeError, ValueError) as error:
        print(type(error).__name__, "give 1-D arrays of integer" in str(error)
              or "call fit again" in str(error))
"""


def test_folds_and_state_numpy_cannot_read_as_numbers_are_refused():
    # numpy's failed cast left a null array, which was read as one.
    assert run_child(["-c", UNREADABLE_STATE]).split() == ["TypeError", "True", "ValueError",
                                                           "True", "ValueError", "True"]


class Splitter:
    def __init__(self, *folds):
        self.folds = folds

    def split(self, x, y=None, groups=None):
        yield from self.folds


@pytest.mark.parametrize("train, test", [
    (np.arange(20, 40) + 0.5, np.arange(20) + 0.5),  # truncated, these were two folds
    (np.arange(40) >= 20, np.arange(40) < 20),  # a mask, cast to rows 0 and 1
    (np.arange(20, 40).reshape(4, 5), np.arange(20).reshape(4, 5)),
    (list(range(20, 39)) + [None], list(range(20))),
])
def test_a_splitter_yielding_other_than_integer_rows_is_refused(train, test):
    x, y = regression_rows(1)
    cv = Splitter((train, test), (test, train))
    with pytest.raises(TypeError, match="cv's split gave as training rows an array of shape"):
        CrossConformalRegressor(LinearRegression(), cv=cv).fit(x, y)


class Mean(RegressorMixin, BaseEstimator):
    """Predicts the mean target it was fitted on, for any number of rows."""

    def fit(self, x, y):
        self.mean_ = float(np.mean(y))
        return self

    def predict(self, x):
        return np.full(len(x), self.mean_)


def test_empty_test_folds_of_a_splitter_are_read_as_no_rows():
    # asarray([]) is float64: an empty fold is still one.
    x, y = regression_rows(2)
    half = np.arange(20)
    cv = Splitter((half + 20, half), (half, half + 20), (np.arange(40), []))
    obj = CrossConformalRegressor(Mean(), cv=cv).fit(x, y)
    assert [len(r) for r in obj.residuals_] == [20, 20, 0]
    assert obj.predict_intervals(x[:3]).shape == (3, 2)


WILD_RANDOM_STATE = """
import numpy as np
from sklearn.linear_model import LinearRegression
from trov.diagnoser.conformal import CrossConformalRegressor


class Wild(np.random.RandomState):  # draws fits and rows outside what it was asked
    def binomial(self, n, p, size=None):
        return fits

    def randint(self, low, high=None, size=None, dtype=int):
        return np.full(size, row)


x = np.random.default_rng(0).normal(size=(40, 2))
for fits, row in [(3, 10 ** 6), (3, -1), (-3, 0), (31, 0)]:
    obj = CrossConformalRegressor(LinearRegression(), method="after_bootstrap",
                                  random_state=Wild(0))
    try:
        obj.fit(x, x[:, 0])
        print("no error")
    except ValueError as error:
        print("give an int, None or a numpy RandomState" in str(error))
"""


def test_a_random_state_drawing_out_of_range_is_refused():
    # Bag rows out of range wrote out_of_bag_ past its end.
    assert run_child(["-c", WILD_RANDOM_STATE]).split() == ["True"] * 4


BYTES_AS_BOOLS = """
import numpy as np
from sklearn.linear_model import LinearRegression
from trov.diagnoser.conformal import CrossConformalRegressor

rng = np.random.default_rng(0)
x = rng.normal(size=(40, 2))
obj = CrossConformalRegressor(LinearRegression(), method="after_bootstrap", n_bootstraps=40)
obj.fit(x, x[:, 0] + rng.normal(size=40))
before = obj.predict_intervals(x[:5])
obj.out_of_bag_ = (obj.out_of_bag_.astype(np.uint8) * 2).view(bool)  # bools of byte 2
print(np.array_equal(obj.predict_intervals(x[:5]), before))
"""


def test_bools_of_other_bytes_in_out_of_bag_read_as_true():
    # Under the sanitizer, reading such a byte as a C++ bool aborted.
    assert run_child(["-c", BYTES_AS_BOOLS]).split() == ["True"]


TARGETS_MOVED_BY_THE_COLLECTOR = """
import gc
import numpy as np
from sklearn.linear_model import LinearRegression, LogisticRegression
from trov.diagnoser.conformal import CrossConformalClassifier, CrossConformalRegressor

rng = np.random.default_rng(0)
x = rng.normal(size=(30, 2))
moving = []


def move(phase, info):  # moves the buffer of y at each collection, its values kept
    for y in moving:
        if phase == "start":
            y.resize(4 * len(y) + 7, refcheck=False)
            y.resize(30, refcheck=False)


gc.callbacks.append(move)
gc.set_threshold(1)
for obj, y in [(CrossConformalClassifier(LogisticRegression(), cv=3), np.arange(30) % 3),
               (CrossConformalRegressor(LinearRegression(), cv=3), x[:, 0] * 2)]:
    for step in (obj.fit, obj.evaluate):
        y = y.copy()
        moving.append(y)
        step(x, y)
        moving.clear()
    print(0 <= obj.coverage_ <= 1)
"""


def test_targets_the_collector_moves_are_read_as_copies():
    # A view of y, read after the next call into Python, read freed memory.
    assert run_child(["-c", TARGETS_MOVED_BY_THE_COLLECTOR]).split() == ["True", "True"]


# --- tampered state and lying inputs, in process ---


@pytest.mark.parametrize("attribute, value, what", [
    ("rank_", 0, "rank_ is not in 1 .. n_samples_"),
    ("n_samples_", 2 ** 70, "n_samples_ is out of range"),
    ("n_samples_", 40.0, "n_samples_ is not an int"),
    ("residuals_", [np.zeros(3)], "residuals_ does not hold one array per fit"),
    ("residuals_", [np.full(10, np.nan)] * 4, "residuals_ holds a value fit cannot have left"),
    ("residuals_", [np.full(10, -np.inf)] * 4, "residuals_ holds a value fit cannot have left"),
    ("estimators_", [], "estimators_ is empty"),
])
def test_tampered_state_asks_for_a_new_fit(attribute, value, what):
    x, y = regression_rows(3)
    obj = CrossConformalRegressor(LinearRegression(), cv=4).fit(x, y)
    setattr(obj, attribute, value)
    with pytest.raises(ValueError, match=what) as caught:
        obj.predict_intervals(x)
    assert "call fit again" in str(caught.value)  # these classes have no calibrate


class NegativeRows:
    """x whose shape, which scikit-learn counts rows by, says -5."""

    shape = (-5, 2)


def test_x_of_a_negative_row_count_is_refused():
    x, y = regression_rows(4)
    regressor = CrossConformalRegressor(LinearRegression(), cv=4).fit(x, y)
    classifier = CrossConformalClassifier(Uniform(), cv=4, score="aps_randomized")
    classifier.fit(x, np.arange(40) % 3)
    # The randomized score reserved 2**64 - 5 draws: "the stream is used up".
    for predict in (regressor.predict_intervals, classifier.predict_sets):
        with pytest.raises(ValueError, match="x has -5 rows by its shape"):
            predict(NegativeRows())


class Flaky:
    """An int setting whose __index__ answers 5, then -1."""

    calls = 0

    def __index__(self):
        Flaky.calls += 1
        return 5 if Flaky.calls == 1 else -1


@pytest.mark.parametrize("settings, what", [
    ({"cv": 2 ** 70}, "cv = 1180591620717411303424 folds needs 2 <= cv <= the 40 rows"),
    ({"method": "after_bootstrap", "n_bootstraps": 2 ** 70}, "lower n_bootstraps"),
    ({"method": "after_bootstrap", "max_samples": 2 ** 70}, "an int in 1 .. n or a float"),
    ({"method": "after_bootstrap", "max_samples": 41}, "an int in 1 .. n or a float"),
])
def test_int_settings_beyond_their_range_are_refused_by_name(settings, what):
    x, y = regression_rows(5)
    with pytest.raises(ValueError, match=what):
        CrossConformalRegressor(LinearRegression(), **settings).fit(x, y)


def test_an_int_setting_is_read_once():
    # A second read gave Binomial(-1, p), after the first had passed the check.
    x, y = regression_rows(6)
    obj = CrossConformalRegressor(LinearRegression(), method="after_bootstrap",
                                  n_bootstraps=Flaky(), random_state=0).fit(x, y)
    assert Flaky.calls == 1 and 1 <= obj.n_estimators_ <= 5


class Extreme(RegressorMixin, BaseEstimator):
    """Predicts the largest doubles, of the sign it is given."""

    def __init__(self, sign=1.0):
        self.sign = sign

    def fit(self, x, y):
        return self

    def predict(self, x):
        return np.full(len(x), self.sign * 1.7e308)


@pytest.mark.parametrize("method, sign", [("after_bootstrap", 1.0), ("after_bootstrap", -1.0),
                                          ("plus", -1.0), ("minmax", -1.0)])
def test_predictions_near_the_largest_double_give_bounds_not_nan(method, sign):
    # A mean of them overflowed to inf, which met a +inf residual as inf - inf; a
    # residual against targets of the other sign overflows, and fit's state was refused.
    x, y = np.zeros((60, 1)), np.full(60, 1.7e308)
    obj = CrossConformalRegressor(Extreme(sign), method=method, n_bootstraps=30, random_state=0)
    bounds = obj.fit(x, y).predict_intervals(x[:5])
    assert not np.isnan(bounds).any() and (bounds[:, 0] <= bounds[:, 1]).all()
