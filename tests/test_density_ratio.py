"""DensityRatio: the exact Mann-Whitney law of each fold's test against exact integer
counts, the test's size under exchangeable rows and its power under a shift, the
estimated ratio against the true one, errors, pickling and reproducibility."""

import math
import pickle
from fractions import Fraction
from itertools import combinations

import numpy as np
import pandas as pd
import pytest
from scipy.stats import norm
from sklearn.base import BaseEstimator, ClassifierMixin, clone
from sklearn.dummy import DummyClassifier
from sklearn.exceptions import NotFittedError
from sklearn.linear_model import LogisticRegression
from sklearn.naive_bayes import GaussianNB
from threadpoolctl import threadpool_limits

from trov.diagnoser.conformal import DensityRatio


class FirstColumn(ClassifierMixin, BaseEstimator):
    """P(new | x) = logistic(scale * x0), whatever rows it is fitted on."""

    def __init__(self, scale=1.0, answer=None):
        self.scale = scale
        self.answer = answer

    def fit(self, x, y):
        self.classes_ = np.array([0, 1])
        return self

    def predict_proba(self, x):
        p = 1 / (1 + np.exp(-self.scale * np.asarray(x, float)[:, 0]))
        proba = np.c_[1 - p, p]
        return proba if self.answer is None else self.answer(proba)


def mw_counts(m, n):
    """Counts of U = 0 .. m n: the coefficients of prod_i (1 - q^(n+i)) / (1 - q^i),
    i = 1 .. m, in exact integers (the series truncated at m n, which is exact)."""
    c = np.zeros(m * n + 1, dtype=object)
    c[:] = 0
    c[0] = 1
    for i in range(1, m + 1):
        if n + i <= m * n:
            c[n + i:] = c[n + i:] - c[:m * n + 1 - (n + i)].copy()
        for r in range(i):
            c[r::i] = np.cumsum(c[r::i])
    return c


def choose(n, k):
    return math.factorial(n) // (math.factorial(k) * math.factorial(n - k))


def upper_tail(counts, u, m, n):
    return float(Fraction(int(sum(counts[max(u, 0):])), choose(m + n, m)))


def fold_statistics(ratio):
    """Per fold: U (pairs of a new row's held-out P(new) above a source row's), m, n."""
    label = np.r_[np.zeros(ratio.n_source_), np.ones(ratio.n_new_)]
    out = []
    for k in range(len(ratio.estimators_)):
        s, y = ratio.oof_proba_[ratio.folds_ == k], label[ratio.folds_ == k]
        new, source = s[y == 1], s[y == 0]
        out.append((int((new[:, None] > source[None, :]).sum()), len(new), len(source)))
    return out


def test_reference_counts_equal_brute_force_enumeration():
    for m, n in [(1, 5), (3, 4), (4, 4), (2, 6), (5, 3)]:
        brute = np.zeros(m * n + 1, dtype=int)
        for ranks in combinations(range(m + n), m):
            brute[sum(ranks) - m * (m - 1) // 2] += 1
        counts = mw_counts(m, n)
        assert list(counts) == list(brute) and sum(counts) == choose(m + n, m)


def test_fold_pvalues_follow_the_exact_law_at_every_statistic():
    # Folds of 4 new and 3 source rows: every U in 0 .. 12, each p the exact upper tail.
    counts, seen = mw_counts(4, 3), set()
    rng = np.random.default_rng(0)
    for shift in np.linspace(-3, 3, 41):
        a, b = rng.normal(size=(6, 1)), rng.normal(size=(8, 1)) + shift
        ratio = DensityRatio(FirstColumn(), cv=2, random_state=1).fit(a, b)
        for (u, m, n), p in zip(fold_statistics(ratio), ratio.fold_pvalues_):
            assert (m, n) == (4, 3)
            assert p == pytest.approx(upper_tail(counts, u, m, n), rel=1e-13)
            seen.add(u)
        assert ratio.pvalue_ == min(1, 2 * ratio.fold_pvalues_.min())
    assert seen == set(range(13))


def test_exact_law_keeps_its_accuracy_deep_in_the_tail():
    # 80 new and 100 source rows per fold: p-values from 1 down to about 1e-40.
    counts, smallest = mw_counts(80, 100), 1.0
    rng = np.random.default_rng(1)
    for shift in (-1.0, 0.0, 0.3, 1.0, 3.0):
        a, b = rng.normal(size=(200, 1)), rng.normal(size=(160, 1)) + shift
        ratio = DensityRatio(FirstColumn(), cv=2, random_state=2).fit(a, b)
        for (u, m, n), p in zip(fold_statistics(ratio), ratio.fold_pvalues_):
            assert p == pytest.approx(upper_tail(counts, u, m, n), rel=1e-9, abs=1e-300)
            smallest = min(smallest, p)
    assert smallest < 1e-30


def edgeworth_upper(u, m, n):
    # P(U >= u) to about 1e-6 at these sizes: the normal tail with continuity
    # correction plus the fourth-cumulant term (U's law is symmetric).
    var = m * n * (m + n + 1) / 12
    k4 = -m * n * (m + n + 1) * (m * m + n * n + m * n + m + n) / 120
    z = (u - 0.5 - m * n / 2) / math.sqrt(var)
    return norm.sf(z) + k4 / var**2 / 24 * (z**3 - 3 * z) * norm.pdf(z)


def test_exact_pvalues_near_the_centre_at_the_largest_exact_size():
    # Near U = m n / 2 the recursion subtracts most: its rounding must not move p by
    # more than the law's own fourth-order term could.
    per = 500
    rng = np.random.default_rng(0)
    worst = 0.0
    for delta in (0.0, 0.02):
        a = rng.normal(size=(2 * per, 1))
        b = rng.normal(size=(2 * per, 1)) + delta
        ratio = DensityRatio(FirstColumn(), cv=2, random_state=0).fit(a, b)
        for (u, m, n), p in zip(fold_statistics(ratio), ratio.fold_pvalues_):
            worst = max(worst, abs(p - edgeworth_upper(u, m, n)))
    assert worst < 1e-5


def normal_upper(u, m, n):
    z = (u - 0.5 - m * n / 2) / math.sqrt(m * n * (m + n + 1) / 12)
    return 0.5 * math.erfc(z / math.sqrt(2))


@pytest.mark.parametrize("per_fold, exact", [(500, True), (501, False)])
def test_the_normal_approximation_takes_over_beyond_the_cost_cap(per_fold, exact):
    rng = np.random.default_rng(3)
    a = rng.normal(size=(2 * per_fold, 1))
    b = rng.normal(size=(2 * per_fold, 1)) + 0.1
    ratio = DensityRatio(FirstColumn(), cv=2, random_state=0).fit(a, b)
    for (u, m, n), p in zip(fold_statistics(ratio), ratio.fold_pvalues_):
        assert (m, n) == (per_fold, per_fold)
        approx = normal_upper(u, m, n)
        if exact:
            assert abs(p - approx) > 1e-6 * approx
        else:
            assert p == pytest.approx(approx, rel=1e-12)


def test_under_exchangeable_rows_the_test_holds_its_level():
    # 200 + 200 rows alike: each fold's p is exact, so at most about 5 % fall at or
    # below 0.05, and pvalue_ (Bonferroni) rejects at most about 5 % of draws.
    rng = np.random.default_rng(4)
    pvalues, folds = [], []
    for draw in range(200):
        a, b = rng.normal(size=(200, 3)), rng.normal(size=(200, 3))
        # Naive Bayes fits in a fraction of a millisecond; any classifier keeps the level.
        ratio = DensityRatio(GaussianNB(), random_state=draw).fit(a, b)
        pvalues.append(ratio.pvalue_)
        folds.extend(ratio.fold_pvalues_)
    pvalues, folds = np.array(pvalues), np.array(folds)
    assert (pvalues <= 0.05).mean() <= 0.05 + 2.5 * math.sqrt(0.05 * 0.95 / 200)
    assert (folds <= 0.05).mean() <= 0.05 + 2.5 * math.sqrt(0.05 * 0.95 / 1000)
    assert folds.mean() >= 0.5 - 2.5 * math.sqrt(1 / 12 / 1000)


def test_ties_are_broken_at_random_so_tied_probabilities_give_uniform_pvalues():
    # A constant classifier ties every row: midranks would put every p near 0.5,
    # ties counted for the new rows would put it near 0.
    rng = np.random.default_rng(5)
    folds = []
    for draw in range(200):
        a, b = rng.normal(size=(60, 2)), rng.normal(size=(60, 2))
        folds.extend(DensityRatio(DummyClassifier(), random_state=draw).fit(a, b).fold_pvalues_)
    folds = np.array(folds)
    margin = 2.5 * math.sqrt(0.2 * 0.8 / len(folds))
    for level in (0.05, 0.2, 0.5):
        assert abs((folds <= level).mean() - level) <= margin + 0.01


def shifted(rng, n_source, n_new, delta, features=3):
    a = rng.normal(size=(n_source, features))
    b = rng.normal(size=(n_new, features))
    b[:, 1] += delta
    return a, b


def test_a_half_deviation_shift_is_found_and_its_feature_ranked_first():
    rng = np.random.default_rng(6)
    a, b = shifted(rng, 1000, 1000, 0.5)
    ratio = DensityRatio(LogisticRegression(), random_state=0).fit(a, b)
    assert ratio.pvalue_ < 0.01 and 0.6 < ratio.auc_ < 0.68  # Phi(0.5 / sqrt(2)) = 0.638
    importances = ratio.feature_importances(n_repeats=3, random_state=0)
    assert importances.name == "auc_drop" and list(importances.index)[0] == "x1"
    assert importances.is_monotonic_decreasing and importances["x1"] > 0.08
    assert abs(importances["x0"]) < 0.02


def test_the_default_classifier_takes_data_frames_with_missing_values():
    rng = np.random.default_rng(12)
    a, b = shifted(rng, 600, 600, 1.0)
    a[::7, 0] = b[::7, 0] = np.nan  # missing alike in both parts
    frame = lambda x: pd.DataFrame(x, columns=["age", "dose", "site"])  # noqa: E731
    # One thread: OpenMP's spinning threads slow to a crawl on a busy machine.
    with threadpool_limits(1):
        ratio = DensityRatio(random_state=0).fit(frame(a), frame(b)[["site", "age", "dose"]])
        assert ratio.pvalue_ < 0.01 and list(ratio.feature_names_in_) == ["age", "dose", "site"]
        assert ratio.feature_importances(n_repeats=2, random_state=0).index[0] == "dose"


def test_the_ratio_matches_the_true_ratio_of_a_gaussian_mean_shift():
    # N(0, I) against N(delta e_1, I): w(x) = exp(delta x_1 - delta^2 / 2), whatever
    # the sizes of the parts; Kish's ESS of the source rows' weights tends to
    # n exp(-delta^2).
    rng = np.random.default_rng(7)
    delta = 0.5
    a, b = shifted(rng, 4000, 2000, delta)
    ratio = DensityRatio(LogisticRegression(C=1e4), random_state=0).fit(a, b)
    grid = np.zeros((9, 3))
    grid[:, 1] = np.linspace(-2, 2, 9)
    truth = np.exp(delta * grid[:, 1] - delta**2 / 2)
    w = ratio(grid)
    assert w.dtype == np.float64 and w.shape == (9,)
    np.testing.assert_allclose(np.log(w), np.log(truth), atol=0.15)
    assert ratio.ess_ / ratio.n_source_ == pytest.approx(np.exp(-delta**2), abs=0.04)
    p = np.clip(ratio.oof_proba_[:4000], 0.01, 0.99)
    source_w = p / (1 - p) * 2
    assert ratio.ess_ == pytest.approx(source_w.sum() ** 2 / (source_w**2).sum(), rel=1e-12)


def test_clip_bounds_the_weights():
    rng = np.random.default_rng(8)
    a, b = shifted(rng, 300, 100, 6.0)
    for clip in (0.01, 0.2):
        ratio = DensityRatio(LogisticRegression(), clip=clip, random_state=0).fit(a, b)
        w = ratio(np.r_[a, b])
        low, high = clip / (1 - clip) * 3, (1 - clip) / clip * 3
        assert w.min() == pytest.approx(low) and w.max() == pytest.approx(high)
    # The clip that fit used stays, until the next fit.
    ratio.set_params(clip=0.4)
    assert ratio(np.r_[a, b]).max() == pytest.approx(high)


class NoProba(BaseEstimator):
    def fit(self, x, y):
        return self


@pytest.mark.parametrize("answer, message", [
    (lambda p: p[:, 1], "expected 2 dimensions"),
    (lambda p: np.c_[p, p[:, :1]], "expected \\(rows, 2\\)"),
    (lambda p: p[1:], "expected \\(rows, 2\\)"),
    (lambda p: np.where(p > 0.7, np.nan, p), "NaN or infinite"),
    (lambda p: p * 3, "must be probabilities"),
    (lambda p: [[1, 2, 3], [4]], "shape \\(rows, 2\\)"),
])
def test_bad_predict_proba_answers_are_named(answer, message):
    rng = np.random.default_rng(9)
    a, b = rng.normal(size=(20, 2)), rng.normal(size=(20, 2))
    with pytest.raises(ValueError, match=message):
        DensityRatio(FirstColumn(answer=answer), cv=2).fit(a, b)


def test_bad_inputs_and_settings_say_what_to_do():
    rng = np.random.default_rng(10)
    a, b = rng.normal(size=(30, 3)), rng.normal(size=(12, 3))
    with pytest.raises(NotFittedError):
        DensityRatio()(a)
    with pytest.raises(NotFittedError):
        DensityRatio().feature_importances()
    frame = pd.DataFrame(a, columns=list("abc"))
    with pytest.raises(ValueError, match="missing \\['c'\\], extra \\['d'\\]"):
        DensityRatio().fit(frame, pd.DataFrame(b, columns=list("abd")))
    with pytest.raises(ValueError, match="give both as data frames"):
        DensityRatio().fit(frame, b)
    with pytest.raises(ValueError, match="3 features but new_x 2"):
        DensityRatio().fit(a, b[:, :2])
    with pytest.raises(ValueError, match="2-D"):
        DensityRatio().fit(a[:, 0], b[:, 0])
    with pytest.raises(ValueError, match="at least cv rows of each"):
        DensityRatio(cv=13).fit(a, b)
    for cv in (1, 2.0, True):
        with pytest.raises(ValueError, match="cv must be an int >= 2"):
            DensityRatio(cv=cv).fit(a, b)
    for clip in (0.5, -0.1, np.nan, "0.1"):
        with pytest.raises(ValueError, match="clip must be"):
            DensityRatio(clip=clip).fit(a, b)
    with pytest.raises(TypeError, match="predict_proba"):
        DensityRatio(NoProba()).fit(a, b)
    ratio = DensityRatio(LogisticRegression(), random_state=0).fit(frame, frame.iloc[:12] + 1)
    with pytest.raises(ValueError, match="missing \\['b'\\]"):
        ratio(frame[["a", "c"]])
    np.testing.assert_array_equal(ratio(frame[["c", "a", "b"]]), ratio(frame))
    with pytest.raises(ValueError, match="has 2 features"):
        DensityRatio(LogisticRegression()).fit(a, b)(a[:, :2])
    with pytest.raises(ValueError, match="n_repeats"):
        ratio.feature_importances(n_repeats=0)


def test_pickles_clones_and_seeds_reproduce_the_fit():
    joblib = pytest.importorskip("joblib")
    rng = np.random.default_rng(11)
    a, b = shifted(rng, 150, 100, 0.3)
    ratio = DensityRatio(LogisticRegression(), random_state=3).fit(a, b)
    copy = pickle.loads(pickle.dumps(ratio))
    np.testing.assert_array_equal(copy(b), ratio(b))
    assert copy.feature_importances(random_state=1).equals(ratio.feature_importances(random_state=1))
    with joblib.parallel_backend("threading"):
        again = clone(ratio).set_params(n_jobs=2).fit(a, b)
    for name in ("folds_", "oof_proba_", "fold_pvalues_"):
        np.testing.assert_array_equal(getattr(again, name), getattr(ratio, name))
    assert (again.pvalue_, again.auc_, again.ess_) == (ratio.pvalue_, ratio.auc_, ratio.ess_)
    # Tied probabilities: the p-values come from the seeded tie-break alone.
    tied = [DensityRatio(DummyClassifier(), random_state=s).fit(a, b).fold_pvalues_
            for s in (5, 5, 6)]
    np.testing.assert_array_equal(tied[0], tied[1])
    assert not np.array_equal(tied[0], tied[2])
    params = ratio.get_params()
    assert set(params) >= {"classifier", "cv", "clip", "n_jobs", "random_state", "classifier__C"}
    assert repr(ratio) == "DensityRatio(classifier=LogisticRegression(), random_state=3)"
    assert ratio.set_params(classifier__C=2.0).classifier.C == 2.0
