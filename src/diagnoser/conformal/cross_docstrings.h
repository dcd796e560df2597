// The docstrings of the cross-conformal classes, in numpydoc layout.
#pragma once

namespace trov {
namespace conformal {

inline constexpr const char* kCrossRegressorDoc =
    R"(Prediction intervals from every row at once: CV+, jackknife+, minmax or
jackknife+-after-bootstrap.

No rows are set aside for calibration. Clones of ``estimator`` are fitted, one
per fold (or per bootstrap bag), and each row's residual R_i = |y_i - mu_-i(x_i)|
comes from the fits that did not see it. With k = ceil((1 - alpha)(n + 1)):

- "plus" (CV+; jackknife+ with ``cv=LeaveOneOut()``): from the (n + 1 - k)-th
  smallest of mu_-f(i)(x) - R_i to the k-th smallest of mu_-f(i)(x) + R_i.
- "minmax": from min_f mu_-f(x) - q to max_f mu_-f(x) + q, q the k-th smallest R_i.
- "after_bootstrap": as "plus", mu_-i the ``aggregate`` of the fits whose bag
  misses row i.

Coverage guaranteed for exchangeable rows and a fitting algorithm that treats its
rows alike (Barber, Candes, Ramdas and Tibshirani, 2021; Kim, Xu and Barber,
2020): K-fold CV+ at least 1 - 2 alpha - min{2(1 - 1/K)/(n/K + 1),
(1 - K/n)/(K + 1)} (for equal folds); jackknife+ and jackknife+-after-bootstrap
at least 1 - 2 alpha; minmax at least 1 - alpha. In practice CV+ and jackknife+
land near 1 - alpha. ``coverage_bound_`` and ``guarantee_`` state the bound of a
fit.

Memory grows with n + m, not n x m: each test row's bounds are order statistics
of the K folds' sorted residuals, shifted by its K predictions, selected by
binary search. Test rows are predicted in chunks of at most 2**24 prediction
values (128 MiB), whatever the number of rows or fits.

Parameters
----------
estimator : estimator
    An unfitted scikit-learn regressor; ``fit`` fits clones of it
    (``sklearn.base.clone``), never the object itself.
alpha : float, default=0.1
    The miscoverage level, in (0, 1); rounded to 12 significant digits.
method : {"plus", "minmax", "after_bootstrap"}, default="plus"
cv : int or splitter, default=5
    An int K: ``KFold(K, shuffle=True, random_state=random_state)``, or
    ``GroupKFold(K)`` when ``fit`` is given groups. Any scikit-learn splitter
    whose test folds partition the rows (``LeaveOneOut``, ``GroupKFold``, ...);
    ``groups`` given to ``fit`` reach its ``split``. Grouped folds need
    exchangeable groups and a test row from a new group.
n_bootstraps : int, default=30
    B, for "after_bootstrap": the number of fits is drawn as
    Binomial(B, (1 - 1/(n + 1))^m) for bags of m rows drawn with replacement, or
    Binomial(B, 1 - m/(n + 1)) for subsamples, as the guarantee needs; for m = n
    that is about 0.37 B fits on average.
aggregate : {"mean", "median"}, default="mean"
    How "after_bootstrap" combines the fits that left a row out.
n_jobs : int or None, default=None
    Fits run through ``joblib.Parallel(n_jobs)``, under whatever backend
    ``joblib.parallel_backend`` chose (a Dask cluster with "dask").
random_state : int, RandomState or None, default=None
    The folds' shuffle and the bags.
bootstrap : bool, default=True
    "after_bootstrap": bags drawn with replacement (True) or subsamples without.
max_samples : int, float or None, default=None
    The bag size m: n with replacement, n // 2 without, when None; a float is a
    share of n.

Attributes
----------
estimators_ : list
    The fitted clones, one per fold or bag.
residuals_ : list of ndarray or ndarray
    The out-of-fold residuals: one array per fold, in the order of its rows
    (``folds_`` names each row's fold); for "after_bootstrap" one array of n,
    +inf for a row that every bag holds.
folds_ : ndarray
    Each row's fold (absent for "after_bootstrap").
out_of_bag_ : ndarray of shape (n, fits)
    "after_bootstrap": True where the fit's bag misses the row.
n_samples_, n_calibration_ : int
    n: every row calibrates.
n_estimators_ : int
    The number of fits.
alpha_ : float
rank_ : int
    k.
method_, aggregate_ : str
coverage_bound_ : float
    The guaranteed marginal coverage, over draws of the training and test rows.
guarantee_ : str
    The method, its folds or fits, and the bound, in words.

Examples
--------
>>> from sklearn.linear_model import Ridge
>>> cr = CrossConformalRegressor(Ridge(), alpha=0.1, cv=5).fit(x, y)
>>> bounds = cr.predict_intervals(new_x)
>>> cr.evaluate(test_x, test_y).coverage_
)";

inline constexpr const char* kCrossRegressorFitDoc =
    R"(Fit the clones and compute the out-of-fold residuals.

Parameters
----------
x : array-like or DataFrame
    The rows, as the estimator's ``fit`` and ``predict`` take them.
y : array-like
    One target per row.
groups : array-like or None, default=None
    Passed to the splitter's ``split``.
**fit_params : dict
    Passed to every clone's ``fit``; a value with one entry per row (such as
    ``sample_weight``) is sliced to the clone's rows.

Returns
-------
self : CrossConformalRegressor

Raises
------
ValueError
    When alpha needs more rows than given (the message names the least n), or
    the splitter does not partition the rows.
)";

inline constexpr const char* kCrossPredictIntervalsDoc =
    R"(Intervals for new rows.

Parameters
----------
new_x : array-like or DataFrame

Returns
-------
intervals : ndarray of shape (rows, 2) or DataFrame
    Lower and upper bounds (columns "lower", "upper" as a DataFrame).

Raises
------
NotFittedError
    Before ``fit``.
)";

inline constexpr const char* kCrossRegressorEvaluateDoc =
    R"(Measure the intervals' coverage on a test part.

Parameters
----------
test_x : array-like or DataFrame
test_y : array-like
    Their targets; a value on a bound is covered.

Returns
-------
self : CrossConformalRegressor
    With ``coverage_``, ``mean_width_``, ``intervals_``, ``test_pred_`` (the
    mean of the fits' predictions, or their aggregate), ``fallback_rows_`` and
    ``empty_rows_`` (all False), ``test_x_``, ``test_y_`` and ``test_groups_``
    set, ready for ``coverage_report``.
)";

inline constexpr const char* kCrossClassifierDoc =
    R"(Prediction sets from every row at once: cross-conformal (CV+) sets.

Clones of ``estimator`` are fitted, one per fold, and each row's calibration
score E_i comes from the fold model that did not see it. A class y enters the set
of x when #{i : E_i < s_-f(i)(x, y)} < k, k = ceil((1 - alpha)(n + 1)) (Romano,
Sesia and Candes, 2020): a tie counts as conforming. With identical fold models
this is the split rule of ``ConformalClassifier``.

Coverage is at least 1 - 2 alpha - min{2(1 - 1/K)/(n/K + 1), (1 - K/n)/(K + 1)}
for exchangeable rows, equal folds and a fitting algorithm that treats its rows
alike; in practice near 1 - alpha. Memory grows with n + m: the counts are K
binary searches per class in the folds' sorted scores.

Parameters
----------
estimator : estimator
    An unfitted scikit-learn classifier with ``predict_proba``; clones of it are
    fitted. A fold whose training rows lack a class gets probability 0 for it.
alpha : float, default=0.1
score : {"lac", "aps", "aps_randomized", "raps"}, default="lac"
    As in ``ConformalClassifier``. The randomised scores take one U per
    training row and one per test row, shared by the fold models.
cv : int or splitter, default=5
    As in ``CrossConformalRegressor``.
n_jobs : int or None, default=None
random_state : int or None, default=None
    The folds' shuffle and the draws of the randomised scores.
lam, k_reg, randomized :
    The "raps" settings, fixed before the fit.

Attributes
----------
classes_ : ndarray
    The labels of y, sorted.
estimators_ : list
scores_ : list of ndarray
    Each fold's out-of-fold calibration scores, sorted.
folds_ : ndarray
n_samples_, n_calibration_, n_estimators_, alpha_, rank_, method_,
coverage_bound_, guarantee_ :
    As in ``CrossConformalRegressor``.

Examples
--------
>>> from sklearn.linear_model import LogisticRegression
>>> cc = CrossConformalClassifier(LogisticRegression(), score="lac").fit(x, y)
>>> sets = cc.predict_sets(new_x)
)";

inline constexpr const char* kCrossClassifierFitDoc =
    R"(Fit the clones and compute the out-of-fold calibration scores.

Parameters
----------
x : array-like or DataFrame
y : array-like
    One label per row; ``classes_`` are its distinct labels.
groups : array-like or None, default=None
**fit_params : dict
    As in ``CrossConformalRegressor.fit``.

Returns
-------
self : CrossConformalClassifier
)";

inline constexpr const char* kCrossPredictSetsDoc =
    R"(Prediction sets for new rows.

Parameters
----------
new_x : array-like or DataFrame

Returns
-------
sets : ndarray of shape (rows, classes) of bool, or DataFrame
    Columns in the order of ``classes_``.

Raises
------
NotFittedError
    Before ``fit``.
)";

inline constexpr const char* kCrossClassifierEvaluateDoc =
    R"(Measure the sets' coverage on a test part.

Parameters
----------
test_x : array-like or DataFrame
test_y : array-like
    Their labels; one that is no class counts as not covered (with a warning).

Returns
-------
self : CrossConformalClassifier
    With ``coverage_``, ``mean_set_size_``, ``sets_``, ``fallback_rows_`` (all
    False), ``test_x_``, ``test_y_`` and ``test_groups_`` set, ready for
    ``coverage_report``.
)";

inline constexpr const char* kCrossGetParamsDoc =
    R"(The parameters of the object, as scikit-learn's estimators give them.

Parameters
----------
deep : bool, default=True
    Also give the estimator's own parameters as ``estimator__<name>``.

Returns
-------
params : dict
)";

}  // namespace conformal
}  // namespace trov
