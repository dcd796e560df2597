"""The cross-conformal classes against hostile estimators, splitters, random states and
tampered fitted state: each is refused with an error that says what to do, or works;
none reads memory it does not own. The hazards run in child processes."""

import numpy as np
import pytest
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
