// The docstrings of DensityRatio, in numpydoc layout.
#pragma once

namespace trov {
namespace conformal {

inline constexpr const char* kDensityRatioDoc =
    R"(The density ratio of new rows to source rows, and a test that they are
exchangeable.

A domain classifier learns to tell source rows (label 0) from new rows (label 1),
cross-fitted over ``cv`` stratified folds: each fold's model is a clone of
``classifier`` fitted on the other folds, and it predicts P(new | x) for the
fold's own, held-out rows. From these:

- ``pvalue_`` tests H0: the source and new rows' features are exchangeable
  (drawn alike). Within each fold k, a one-sided Mann-Whitney test compares the
  held-out P(new) of the fold's new rows with those of its source rows
  (alternative: the new rows' are larger). Ties are broken at random (a
  permutation drawn from ``random_state``), so the statistic is a rank sum
  without ties and its exact permutation law applies. Given the other folds,
  fold k's model is fixed and, under H0, fold k's rows are exchangeable, so each
  p_k is exact: P(p_k <= t) <= t. ``pvalue_`` = min(1, K * min_k p_k)
  (Bonferroni over the K folds). One rank test of all the held-out
  probabilities together would not be valid: each fold's model was fitted on the
  labels of the other folds' rows, and such a test rejected 8 to 12 % of true
  H0 at 0.05 (200 + 200 exchangeable rows, logistic regression and the default
  classifier), against 4 % for ``pvalue_``.
- The exact law (Harding, 1984), in extended precision, is used while
  min(m, n)^2 * max(m, n) <= 1.25e8 and m * n <= 2^25, for the fold's m new and
  n source rows: up to 500 rows of each per fold. Beyond, p_k is the normal approximation with continuity
  correction, which is close at such sizes but not exact.
- ``auc_``: the area under the ROC curve of all the held-out probabilities
  together (ties count one half); 0.5 when the rows cannot be told apart.
  Descriptive only, for the reason above.
- ``ratio(x)``: w(x) = p(x) / (1 - p(x)) * n_source / n_new, an estimate of the
  density ratio dP_new / dP_source at x, with p(x) the mean of the K fold
  models' P(new | x), clipped to [clip, 1 - clip]. The factor n_source / n_new
  cancels in the weighted conformal threshold and in the effective sample size:
  it only scales the reported w.
- ``ess_``: Kish's effective sample size (sum w)^2 / sum w^2 of the source
  rows' out-of-fold weights: about how many source rows a reweighting by w is
  worth. Far below ``n_source_``, the weighted thresholds rest on few rows.

Weighted conformal prediction (Tibshirani, Barber, Candes and Ramdas, 2019)
weighs each calibration row by w to cover new rows whose features are shifted.
With an estimated w, coverage falls short of 1 - alpha by no more than a term
that shrinks with the estimate's error, provided the estimate is independent of
the calibration rows and the same function is applied to the calibration rows
and to the new rows (Lei and Candes, 2021). So give as ``source_x`` rows drawn
like the calibration rows but not the calibration rows themselves, the training
part's features for instance, and apply the fitted object to both. Strictly,
that argument holds for new rows the ratio was not fitted on; with many new
rows, each one's part in the fit is small.

Parameters
----------
classifier : classifier or None, default=None
    Any scikit-learn classifier with ``predict_proba``; ``fit`` fits clones of
    it (``sklearn.base.clone``), never the object itself. None:
    ``HistGradientBoostingClassifier(random_state=random_state)``, which takes
    NaN features as they are.
cv : int, default=5
    The number of folds of ``StratifiedKFold(cv, shuffle=True,
    random_state=random_state)``; each part needs at least cv rows.
clip : float, default=0.01
    0 <= clip < 0.5: probabilities are kept in [clip, 1 - clip], so weights lie
    within [clip / (1 - clip), (1 - clip) / clip] * n_source / n_new. With 0, a
    probability of 1 gives an infinite weight.
n_jobs : int or None, default=None
    Fits run through ``joblib.Parallel(n_jobs)``, under whatever backend
    ``joblib.parallel_backend`` chose.
random_state : int, RandomState or None, default=None
    The folds' shuffle, the tie-breaking permutation and the default
    classifier's seed; an int makes ``fit`` reproducible.

Attributes
----------
estimators_ : list
    The K fitted clones, one per fold.
folds_ : ndarray of int64
    Per row of the stacked rows (source_x, then new_x), its fold.
oof_proba_ : ndarray
    Per stacked row, its held-out P(new), from the fold model that did not see
    it.
auc_ : float
fold_pvalues_ : ndarray of shape (K,)
    Each fold's exact (or approximate, see above) one-sided p-value.
pvalue_ : float
    min(1, K * min(fold_pvalues_)).
n_source_, n_new_ : int
    The rows of each part.
ess_ : float
n_features_in_ : int
feature_names_in_ : ndarray of object
    The column names, when the parts are data frames.

Examples
--------
>>> ratio = DensityRatio(random_state=0).fit(train_x, new_x)
>>> ratio.pvalue_, ratio.auc_, ratio.ess_
>>> calib_w, new_w = ratio(calib_x), ratio(new_x)
>>> ratio.feature_importances()
)";

inline constexpr const char* kDensityFitDoc =
    R"(Fit the domain classifier's clones, one per fold, and test exchangeability.

Parameters
----------
source_x : array-like of shape (n_source, features) or DataFrame
    Rows drawn like the calibration rows, but not the calibration rows
    themselves.
new_x : array-like of shape (n_new, features) or DataFrame
    The new rows whose distribution may have shifted: data frames when
    source_x is one, with the same columns (in any order).

Returns
-------
self : DensityRatio

Raises
------
ValueError
    For parts of different columns, fewer than ``cv`` rows in a part, or a
    ``predict_proba`` that returns no probabilities of two classes per row.
TypeError
    For a classifier without ``fit`` or ``predict_proba``.
)";

inline constexpr const char* kDensityCallDoc =
    R"(The estimated density ratio at each row of x.

Parameters
----------
x : array-like or DataFrame
    Rows with the fitted columns (a data frame's in any order).

Returns
-------
w : ndarray of float64, shape (rows,)
    p / (1 - p) * n_source_ / n_new_, p the mean of the fold models' P(new | x)
    clipped to [clip, 1 - clip] (the clip fit used).

Raises
------
NotFittedError
    Before ``fit``.
)";

inline constexpr const char* kDensityImportancesDoc =
    R"(Which features tell new rows from source rows.

For each feature, its column is permuted among each fold's held-out rows, each
fold model predicts its own permuted rows, and the pooled held-out AUC is
recomputed; the importance is ``auc_`` minus that AUC, averaged over the
repeats. A feature the classifier does not use scores 0, and one whose
distribution shifted scores highest.

Parameters
----------
n_repeats : int, default=5
    The permutations per feature.
random_state : int, RandomState or None, default=None
    The permutations.

Returns
-------
importances : pandas.Series
    Feature name (x0, x1, ... for arrays) -> mean AUC drop, largest first,
    named "auc_drop".

Raises
------
NotFittedError
    Before ``fit``.
)";

inline constexpr const char* kDensityGetParamsDoc =
    R"(The parameters of the object, as scikit-learn's estimators give them.

Parameters
----------
deep : bool, default=True
    Also give the classifier's own parameters as ``classifier__<name>``.

Returns
-------
params : dict
)";

}  // namespace conformal
}  // namespace trov
