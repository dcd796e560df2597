"""Cross-conformal intervals and sets: exact bounds against the full matrix, the
split rule as the special case of identical folds, coverage over repeated draws,
fits through joblib and Dask, fit parameters per fold, errors and pickling."""

import pickle
import warnings

import numpy as np
import pytest
from scipy.special import ndtr
from sklearn.base import BaseEstimator, ClassifierMixin, clone
from sklearn.dummy import DummyRegressor
from sklearn.exceptions import NotFittedError
from sklearn.linear_model import LinearRegression, LogisticRegression, Ridge
from sklearn.model_selection import GroupKFold, KFold, LeaveOneOut, ShuffleSplit
from sklearn.naive_bayes import GaussianNB

from trov.diagnoser.conformal import (ConformalClassifier, CrossConformalClassifier,
                                      CrossConformalRegressor)

BETA = np.array([1.0, -2.0, 0.5])


def linear_rows(rng, n, scale=1.0):
    x = rng.normal(size=(n, 3))
    return x, x @ BETA + scale * rng.normal(size=n)


def residual_matrix(cr, n):
    r = np.empty(n)
    for f, values in enumerate(cr.residuals_):
        r[np.flatnonzero(cr.folds_ == f)] = values
    return r


@pytest.mark.parametrize("cv, n", [(5, 103), (LeaveOneOut(), 25), (KFold(3), 31)])
def test_plus_and_minmax_bounds_equal_the_full_matrix_to_the_last_bit(cv, n):
    rng = np.random.default_rng(1)
    x, y = linear_rows(rng, n)
    y[::4] = np.round(y[::4])  # ties among the residuals
    new_x = rng.normal(size=(40, 3)) * np.array([1, 1e6, 1e-6])
    for method in ("plus", "minmax"):
        cr = CrossConformalRegressor(Ridge(), method=method, cv=cv, random_state=3).fit(x, y)
        mu = np.stack([e.predict(new_x) for e in cr.estimators_], 1)
        r, k = residual_matrix(cr, n), cr.rank_
        assert k == int(np.ceil(0.9 * (n + 1) - 1e-9))
        if method == "plus":
            low = np.sort(mu[:, cr.folds_] - r, axis=1)[:, n - k]
            high = np.sort(mu[:, cr.folds_] + r, axis=1)[:, k - 1]
        else:
            q = np.sort(r)[k - 1]
            low, high = mu.min(1) - q, mu.max(1) + q
        np.testing.assert_array_equal(cr.predict_intervals(new_x), np.stack([low, high], 1))


@pytest.mark.parametrize("aggregate", ["mean", "median"])
def test_after_bootstrap_bounds_equal_the_out_of_bag_matrix(aggregate):
    rng = np.random.default_rng(2)
    n = 60
    x, y = linear_rows(rng, n)
    new_x = rng.normal(size=(30, 3))
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        cr = CrossConformalRegressor(Ridge(), method="after_bootstrap", n_bootstraps=12,
                                     aggregate=aggregate, random_state=5).fit(x, y)
    oob = cr.out_of_bag_
    assert oob.shape == (n, cr.n_estimators_) == (n, len(cr.estimators_))
    everywhere = ~oob.any(1)
    assert np.isinf(cr.residuals_[everywhere]).all()
    assert bool(everywhere.any()) == any("every bootstrap bag" in str(w.message) for w in caught)
    combine = np.mean if aggregate == "mean" else np.median
    train = np.stack([e.predict(x) for e in cr.estimators_], 1)
    centre = np.array([combine(train[i, oob[i]]) if oob[i].any() else np.nan for i in range(n)])
    expected_r = np.where(everywhere, np.inf, np.abs(y - centre))
    np.testing.assert_allclose(cr.residuals_, expected_r, rtol=1e-12)
    mu = np.stack([e.predict(new_x) for e in cr.estimators_], 1)
    k = cr.rank_
    centres = np.stack([combine(mu[:, oob[i]], 1) if oob[i].any() else np.zeros(len(new_x))
                        for i in range(n)], 1)
    low = np.sort(centres - cr.residuals_, axis=1)[:, n - k]
    high = np.sort(centres + cr.residuals_, axis=1)[:, k - 1]
    np.testing.assert_allclose(cr.predict_intervals(new_x), np.stack([low, high], 1), rtol=1e-12)


def test_the_number_of_bootstrap_fits_is_drawn_as_the_guarantee_needs():
    rng = np.random.default_rng(3)
    x, y = linear_rows(rng, 20)
    counts = []
    for seed in range(150):
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            cr = CrossConformalRegressor(LinearRegression(), method="after_bootstrap",
                                         n_bootstraps=20, random_state=seed).fit(x, y)
        counts.append(cr.n_estimators_)
    p = (1 - 1 / 21) ** 20
    # Binomial(20, p): mean 7.54, sd of the mean of 150 draws 0.18.
    assert abs(np.mean(counts) - 20 * p) < 0.6
    assert len(set(counts)) > 4
    with pytest.raises(ValueError, match="raise n_bootstraps"):
        for seed in range(200):  # Binomial(1, 0.38) is 0 for most seeds
            CrossConformalRegressor(Ridge(), method="after_bootstrap", n_bootstraps=1,
                                    random_state=seed).fit(x, y)


class FixedLogit(ClassifierMixin, BaseEstimator):
    """A classifier whose fit ignores the rows: every fold model is the same."""

    def __init__(self, weights=None):
        self.weights = weights

    def fit(self, x, y, sample_weight=None):
        self.classes_ = np.arange(self.weights.shape[1])
        return self

    def predict_proba(self, x):
        z = np.asarray(x) @ self.weights
        e = np.exp(z - z.max(1, keepdims=True))
        return e / e.sum(1, keepdims=True)


def logit_rows(rng, n, weights):
    x = rng.normal(size=(n, weights.shape[0]))
    p = FixedLogit(weights).fit(None, None).predict_proba(x)
    y = (rng.random(n)[:, None] > np.cumsum(p, 1)).sum(1)
    return x, y, p


@pytest.mark.filterwarnings("ignore:score='aps' degenerated")
@pytest.mark.parametrize("score", ["lac", "aps", "aps_randomized", "raps"])
def test_identical_fold_models_give_the_split_rule_exactly(score):
    rng = np.random.default_rng(4)
    weights = rng.normal(size=(4, 3))
    x, y, _ = logit_rows(rng, 150, weights)
    new_x = rng.normal(size=(200, 4))
    for alpha in (0.1, 0.25):
        cross = CrossConformalClassifier(FixedLogit(weights), alpha=alpha, score=score,
                                         random_state=7).fit(x, y)
        split = ConformalClassifier(FixedLogit(weights).fit(x, y), alpha=alpha, score=score,
                                    random_state=7).calibrate(x, y)
        np.testing.assert_array_equal(cross.predict_sets(new_x), split.predict_sets(new_x))
        # Draws come from one stream however the rows are split into calls.
        halves = [cross.predict_sets(new_x[:77]), cross.predict_sets(new_x[77:])]
        np.testing.assert_array_equal(np.vstack(halves),
                                      np.vstack([split.predict_sets(new_x[:77]),
                                                 split.predict_sets(new_x[77:])]))


@pytest.mark.parametrize("method, cv, n, draws", [("plus", 5, 40, 150),
                                                  ("plus", LeaveOneOut(), 20, 60),
                                                  ("minmax", 5, 40, 150),
                                                  ("after_bootstrap", 5, 40, 100)])
def test_regression_coverage_over_repeated_draws_holds_each_bound(method, cv, n, draws):
    # Exact conditional coverage of Gaussian noise, averaged over draws of the rows
    # (Barber, Candes, Ramdas and Tibshirani, 2021; Kim, Xu and Barber, 2020).
    rng = np.random.default_rng(5)
    covered = []
    for draw in range(draws):
        x, y = linear_rows(rng, n)
        new_x = rng.normal(size=(50, 3))
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            cr = CrossConformalRegressor(LinearRegression(), method=method, cv=cv,
                                         random_state=draw).fit(x, y)
        b = cr.predict_intervals(new_x)
        mean = new_x @ BETA
        covered.append(np.mean(ndtr(b[:, 1] - mean) - ndtr(b[:, 0] - mean)))
    coverage, se = np.mean(covered), np.std(covered) / np.sqrt(draws)
    assert coverage >= cr.coverage_bound_ - 3 * se
    # Near the nominal level on regular data: a rank off by one would show.
    assert 0.88 <= coverage <= 0.96, coverage


@pytest.mark.parametrize("score", ["lac", "aps_randomized"])
def test_classification_coverage_over_repeated_draws_is_near_the_level(score):
    rng = np.random.default_rng(6)
    weights = np.array([[2.0, 0, -2], [0, 1.5, -1.5], [0.5, -0.5, 0]])
    covered = []
    for draw in range(150):
        x, y, _ = logit_rows(rng, 60, weights)
        new_x, _, p = logit_rows(rng, 50, weights)
        cc = CrossConformalClassifier(GaussianNB(), score=score, random_state=draw).fit(x, y)
        sets = cc.predict_sets(new_x)
        covered.append(np.mean((sets * p[:, cc.classes_]).sum(1)))
    coverage, se = np.mean(covered), np.std(covered) / np.sqrt(len(covered))
    assert coverage >= cc.coverage_bound_ - 3 * se
    assert 0.88 <= coverage <= 0.96, coverage


class Recorder(BaseEstimator):
    """A regressor that keeps what fit was given."""

    def __init__(self, log=None):
        self.log = log

    def fit(self, x, y, sample_weight=None, note=None):
        self.log.append((len(x), None if sample_weight is None else np.asarray(sample_weight),
                         note))
        self.mean_ = float(np.average(y, weights=sample_weight))
        return self

    def predict(self, x):
        return np.full(len(x), self.mean_)


def test_fit_params_reach_every_clone_with_per_row_values_sliced():
    pd = pytest.importorskip("pandas")
    rng = np.random.default_rng(7)
    x, y = linear_rows(rng, 50)
    frame = pd.DataFrame(x, columns=list("abc"), index=np.arange(50) * 3)
    weight = np.arange(50.0) + 1
    estimator = Recorder([])
    cr = CrossConformalRegressor(estimator, cv=5, random_state=0)
    cr.fit(frame, pd.Series(y, index=frame.index), sample_weight=weight, note="kept")
    # Clones were fitted, never the caller's object.
    assert not hasattr(estimator, "mean_") and estimator.log == []
    for f, model in enumerate(cr.estimators_):
        (rows, w, note), = model.log
        assert rows == 40 and note == "kept" and model is not estimator
        np.testing.assert_array_equal(w, weight[cr.folds_ != f])
    out = cr.set_output(transform="pandas").predict_intervals(frame.iloc[:7])
    assert list(out.columns) == ["lower", "upper"] and list(out.index) == list(frame.index[:7])


def test_parallel_fits_and_pickles_give_the_same_bounds():
    joblib = pytest.importorskip("joblib")
    rng = np.random.default_rng(8)
    x, y = linear_rows(rng, 80)
    new_x = rng.normal(size=(20, 3))
    one = CrossConformalRegressor(Ridge(), random_state=1).fit(x, y)
    with joblib.parallel_backend("threading"):
        two = CrossConformalRegressor(Ridge(), n_jobs=2, random_state=1).fit(x, y)
    again = pickle.loads(pickle.dumps(two))
    for other in (two, again):
        np.testing.assert_array_equal(one.predict_intervals(new_x), other.predict_intervals(new_x))
    cc = CrossConformalClassifier(LogisticRegression(), score="aps_randomized",
                                  random_state=2).fit(x, y > 0)
    copy = pickle.loads(pickle.dumps(cc))
    np.testing.assert_array_equal(cc.predict_sets(new_x), copy.predict_sets(new_x))
    assert clone(cc).get_params()["score"] == "aps_randomized"


def test_fits_run_on_a_dask_cluster():
    distributed = pytest.importorskip("distributed")
    joblib = pytest.importorskip("joblib")
    rng = np.random.default_rng(9)
    x, y = linear_rows(rng, 60)
    local = CrossConformalRegressor(Ridge(), method="after_bootstrap", n_bootstraps=8,
                                    random_state=4)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        expected = clone(local).fit(x, y).predict_intervals(x[:10])
        with distributed.Client(processes=False, n_workers=1, threads_per_worker=2,
                                dashboard_address=None):
            with joblib.parallel_backend("dask"):
                local.fit(x, y)
    np.testing.assert_array_equal(local.predict_intervals(x[:10]), expected)


def test_a_class_missing_from_a_fold_and_grouped_folds():
    rng = np.random.default_rng(10)
    x = rng.normal(size=(61, 2))
    y = np.where(x[:, 0] > 0, "up", "down").astype(object)
    y[17] = "rare"  # in one test fold only, so that fold's model never saw it
    cc = CrossConformalClassifier(LogisticRegression(), cv=5, random_state=0).fit(x, y)
    sets = cc.predict_sets(x)
    assert list(cc.classes_) == ["down", "rare", "up"] and sets.shape == (61, 3)
    groups = np.repeat(np.arange(12), 6)[:61]
    cr = CrossConformalRegressor(Ridge(), cv=GroupKFold(4)).fit(x, x[:, 0], groups=groups)
    for f in range(4):
        assert len(set(groups[cr.folds_ == f]) & set(groups[cr.folds_ != f])) == 0
    assert cr.coverage_bound_ == 0 and "no coverage is guaranteed" in cr.guarantee_


def test_grouped_folds_claim_no_bound_that_few_groups_break():
    # Two exchangeable groups and a row of a new group: a row-level CV+ bound (0.78)
    # would be false, as coverage is near 2/3.
    rng = np.random.default_rng(12)
    covered = []
    for _ in range(200):
        groups = np.repeat([0, 1], 50)
        y = rng.normal(size=2)[groups] + 0.1 * rng.normal(size=100)
        cr = CrossConformalRegressor(DummyRegressor(), cv=2).fit(np.zeros((100, 1)), y,
                                                                  groups=groups)
        low, high = cr.predict_intervals(np.zeros((1, 1)))[0]
        covered.append(ndtr(high / np.sqrt(1.01)) - ndtr(low / np.sqrt(1.01)))
    assert np.mean(covered) < 0.75
    assert cr.coverage_bound_ <= np.mean(covered) - 3 * np.std(covered) / np.sqrt(200)


def test_a_lower_bound_of_zero_is_positive_zero_as_the_difference_gives_it():
    class One(BaseEstimator):
        def fit(self, x, y):
            return self

        def predict(self, x):
            return np.ones(len(x))

    x, y = np.zeros((20, 1)), np.tile([0.0, 2.0], 10)
    low = CrossConformalRegressor(One(), cv=LeaveOneOut()).fit(x, y).predict_intervals(x[:3])[:, 0]
    assert not np.signbit(low).any() and (low == 0).all()


def test_errors_say_what_to_do():
    rng = np.random.default_rng(11)
    x, y = linear_rows(rng, 30)
    with pytest.raises(NotFittedError):
        CrossConformalRegressor(Ridge()).predict_intervals(x)
    with pytest.raises(NotFittedError):
        CrossConformalClassifier(LogisticRegression()).predict_sets(x)
    with pytest.raises(ValueError, match="needs at least 9 rows, got 8"):
        CrossConformalRegressor(Ridge(), cv=2).fit(x[:8], y[:8])
    with pytest.raises(ValueError, match="in two test folds|in no test fold"):
        CrossConformalRegressor(Ridge(), cv=ShuffleSplit(3, random_state=0)).fit(x, y)
    with pytest.raises(ValueError, match="method"):
        CrossConformalRegressor(Ridge(), method="jackknife").fit(x, y)

    class NoSelf(Ridge):
        def fit(self, x, y):
            super().fit(x, y)

    with pytest.raises(TypeError, match="return the fitted estimator"):
        CrossConformalRegressor(NoSelf()).fit(x, y)
