// The docstrings of the module's classes and methods, in numpydoc layout, as
// help() and inspect.getdoc show them.
#pragma once

namespace trov {
namespace conformal {

// The attributes a calibration with `shift` leaves, the same for both classes.
#define TROV_SHIFT_ATTRIBUTES                                                         \
  "shift_ : callable or None\n"                                                       \
  "    The ``shift`` calibrate weighted by; None when it did not.\n"                  \
  "calibration_weights_ : ndarray\n"                                                  \
  "    w(x) of each calibration row, when weighted.\n"                                \
  "ess_ : float\n"                                                                    \
  "    Kish's effective sample size (sum w)^2 / sum w^2 of all the calibration\n"     \
  "    weights, when weighted: how many unweighted rows they are worth. A class or\n" \
  "    group is worth less: its own rows' weights count.\n"

inline constexpr const char* kClassifierDoc =
    R"(Prediction sets for a fitted classifier, by split conformal calibration.

A class enters a row's set when its score is at most the threshold found on the
calibration rows: the k-th smallest of the n calibration scores, with
k = ceil((n + 1) * (1 - alpha)). Sets then hold the true class with probability
at least 1 - alpha_, over all rows together, when the calibration rows and the
new rows are exchangeable. The model is never refitted.

Parameters
----------
model : estimator
    A fitted classifier with ``predict_proba`` (and, if it has them, ``classes_``).
alpha : float, default=0.1
    The miscoverage level, in (0, 1); rounded to 12 significant digits by
    ``calibrate``.
score : {"lac", "aps", "aps_randomized", "raps"}, default="lac"
    The conformity score: "lac" (1 - p_k, the smallest sets on average), "aps"
    (probability of the classes ranked above k, exclusive), "aps_randomized"
    ("aps" + U * p_k) or "raps" ("aps_randomized" + lam * max(0, rank - k_reg)).
conditional : {None, "class", "group"}, default=None
    One threshold for all rows (None), one per class, or one per group given to
    ``calibrate``.
fallback : {"full", "marginal"}, default="full"
    The threshold of a class or group with too few calibration rows: every class
    ("full", which keeps the guarantee) or the overall threshold ("marginal").
random_state : int or None, default=None
    Fixes the entropy of the randomised scores' draws; None draws fresh entropy at
    each ``calibrate``.
lam : float, default=0.01
    The penalty of "raps", finite and >= 0.
k_reg : int, default=1
    The rank from which "raps" penalises, >= 0.
randomized : bool, default=True
    Whether "raps" adds the random term.

Attributes
----------
classes_ : ndarray
    The model's classes: the columns of the sets.
alpha_ : float
    The alpha calibrated for, rounded.
n_calibration_ : int
    The number of calibration rows.
threshold_ties_ : int
    The most calibration scores equal to one threshold they set (without
    conditional, the marginal one): 1 for scores without ties.
rank_ : int
    The k of the marginal threshold.
threshold_ : float or dict
    The threshold, or a dict class or group -> threshold when
    conditional. Unweighted: under ``shift`` each new row gets its own.
fallback_threshold_ : float
    The threshold of the classes or groups that fall back; unweighted: under ``shift``
    their rows get the weighted threshold of all rows, or +inf with
    ``fallback="full"``.
fallback_groups_ : list
    The classes or groups that fall back.
groups_ : ndarray
    The calibration groups (``conditional="group"``).
)" TROV_SHIFT_ATTRIBUTES R"(stratum_counts_ : dict
    Class or group -> its calibration rows, when conditional.
stratum_ranks_ : dict
    Class or group -> its k, or None when it fell back, when conditional.
calibration_scores_ : ndarray or dict
    The calibration scores, sorted ascending; when conditional, a dict class or
    group -> its own. ``predict_pvalues`` and levels other than ``alpha_`` are
    read off them (read-only; pickled with the object).
sets_, fallback_rows_, test_y_, test_groups_, test_weights_ : ndarray
    The test part's sets and what ``evaluate`` measured them on; with a list of
    alphas, sets_ is (rows, classes, levels) and fallback_rows_ (rows, levels).
coverage_, mean_set_size_ : float or ndarray
    The test part's coverage and mean set size, after ``evaluate``: one per
    level with a list of alphas.
test_alpha_ : float or ndarray
    The alpha or alphas ``evaluate`` measured at.

See Also
--------
ConformalRegressor : intervals for a fitted regressor.
trov.diagnoser.report.coverage_report : where the coverage falls short.

Examples
--------
>>> from sklearn.datasets import load_iris
>>> from sklearn.linear_model import LogisticRegression
>>> from trov.diagnoser.conformal import ConformalClassifier
>>> x, y = load_iris(return_X_y=True)
>>> model = LogisticRegression(max_iter=1000).fit(x[::2], y[::2])
>>> cc = ConformalClassifier(model, alpha=0.2).calibrate(x[1::2], y[1::2])
>>> cc
ConformalClassifier(model=LogisticRegression(max_iter=1000), alpha=0.2)
>>> cc.predict_sets(x[:2]).shape
(2, 3)
>>> cc.predict_sets(x[:2], alpha=[0.05, 0.1, 0.2]).shape
(2, 3, 3)
>>> cc.predict_pvalues(x[:2]).shape
(2, 3)
)";

inline constexpr const char* kRegressorDoc =
    R"(Prediction intervals for a fitted regressor, by split conformal calibration.

The interval of a row holds every y whose score is at most the threshold found on
the calibration rows (the k-th smallest of n, k = ceil((n + 1) * (1 - alpha))).
With "cqr" the score is measured from quantile models of the regressor's
residuals (learnt by ``fit``); with "absolute" it is |y - prediction|, a band of
constant width; with "normalized" it is |y - prediction| / (sigma(x) + beta), a
band of width proportional to each row's difficulty sigma(x). Intervals are
closed and hold y with probability at least 1 - alpha_ when calibration and new
rows are exchangeable. The model is never refitted. "absolute" and "normalized"
also give a whole predictive distribution per row (``predict_cdf``,
``predict_quantiles``).

Parameters
----------
model : estimator
    A fitted regressor with ``predict`` (one value per row).
alpha : float, default=0.1
    The miscoverage level, in (0, 1); rounded to 12 significant digits by
    ``calibrate``.
method : {"cqr", "absolute", "normalized"}, default="cqr"
    Conformalised quantile regression of the residuals, absolute errors, or
    absolute errors over sigma(x) + beta. The interval of "normalized" is
    prediction +- threshold * (sigma(x) + beta).
conditional : {None, "group"}, default=None
    One threshold for all rows (None) or one per group given to ``calibrate``.
fallback : {"full", "marginal"}, default="full"
    The threshold of a group with too few calibration rows: an unbounded interval
    ("full", which keeps the guarantee) or the overall threshold ("marginal").
depth : int, default=7
    The max_depth of the default LightGBM quantile models.
quantile_model : callable or None, default=None
    A factory ``quantile_model(level)`` returning an unfitted quantile regressor;
    None for LightGBM's. A module-level function when the object is pickled.
random_state : int or None, default=None
    The random_state of the default quantile and difficulty models, and the
    entropy of ``predict_cdf``'s tau (None: fresh at each ``calibrate``).
difficulty : estimator, callable or None, default=None
    sigma(x) for "normalized". None: a smooth LightGBM (50 trees at learning
    rate 0.05, leaves of 40 rows or more, max_depth ``depth``) regressing
    |residual| on x, fitted by ``fit``; an estimator: a clone of it, fitted so;
    a plain callable (no ``fit``, say a fitted model's ``predict``): sigma(x)
    itself, so that ``fit`` can be skipped. Negative values are clipped at 0.
    Fit it on rows other than the calibration rows: a sigma learnt on them is
    no fixed function of x, and the guarantee is lost. There is no split of the
    calibration rows behind the user's back: without ``fit`` and without a
    callable, ``calibrate`` raises NotFittedError.
beta : float or None, default=None
    Added to sigma(x) ("normalized"), in the target's units, > 0 (else
    ValueError): it keeps sigma + beta positive, so that intervals do not
    invert, and bounds how narrow an interval the difficulty model can make.
    None: a tenth of the mean absolute residual on ``fit``'s rows, a floor
    that follows the target's scale, so that a row called easy gets about a
    tenth of a typical width instead of a point; it needs ``fit``.

Attributes
----------
quantile_models_ : tuple
    The fitted lower and upper quantile models ("cqr", after ``fit``).
difficulty_model_ : estimator
    The fitted difficulty model ("normalized", after ``fit``, unless
    ``difficulty`` is a plain callable).
residual_scale_ : float
    The mean absolute residual on ``fit``'s rows ("normalized").
beta_ : float
    The beta calibrated with ("normalized").
predictive_scores_ : ndarray
    The calibration rows' signed scores (y - prediction) / (sigma + beta),
    ascending ("absolute": sigma + beta = 1), which the predictive
    distributions read; not kept for "cqr" or under ``shift``.
predictive_group_scores_ : dict
    Group -> its signed scores, ascending (``conditional="group"``).
alpha_ : float
    The alpha calibrated for, rounded.
n_calibration_ : int
    The number of calibration rows.
threshold_ties_ : int
    The most calibration scores equal to one threshold they set (without
    conditional, the marginal one): 1 for scores without ties.
rank_ : int
    The k of the marginal threshold.
threshold_ : float or dict
    The threshold, or a dict group -> threshold when
    conditional. Unweighted: under ``shift`` each new row gets its own.
fallback_threshold_ : float
    The threshold of the groups that fall back; unweighted: under ``shift``
    their rows get the weighted threshold of all rows, or +inf with
    ``fallback="full"``.
fallback_groups_ : list
    The groups that fall back.
groups_ : ndarray
    The calibration groups (``conditional="group"``).
)" TROV_SHIFT_ATTRIBUTES R"(stratum_counts_, stratum_ranks_ : dict
    Group -> its calibration rows, and its k (None when it fell back).
calibration_scores_ : ndarray or dict
    The calibration scores, sorted ascending; with ``conditional="group"``, a
    dict group -> its own. Levels other than ``alpha_`` are read off them
    (read-only; pickled with the object).
intervals_, test_pred_, fallback_rows_, empty_rows_, test_y_, test_weights_ : ndarray
    The test part's intervals and what ``evaluate`` measured them on; with a
    list of alphas, intervals_ is (rows, 2, levels) and fallback_rows_ and
    empty_rows_ (rows, levels).
coverage_, mean_width_ : float or ndarray
    The test part's coverage and mean width, after ``evaluate``: one per level
    with a list of alphas.
test_alpha_ : float or ndarray
    The alpha or alphas ``evaluate`` measured at.
pit_ : ndarray
    Q(x_i, y_i) of each test row, after ``evaluate`` ("absolute" and
    "normalized"): uniform when the distributions are calibrated.
crps_ : float
    The mean CRPS of the test rows. The randomised distribution keeps mass at
    +-inf, so its own CRPS is infinite; this is the CRPS of the empirical
    distribution of the n values prediction + s * a_i, s * [(1/n) sum_i
    |a_i - z| - (1/n^2) sum_i (2i - n - 1) a_(i)], z = (y - prediction) / s;
    +inf for a row of a group with no calibration rows.

See Also
--------
ConformalClassifier : prediction sets for a fitted classifier.
trov.diagnoser.report.coverage_report : where the coverage falls short.

Examples
--------
>>> import numpy as np
>>> from sklearn.linear_model import LinearRegression
>>> from trov.diagnoser.conformal import ConformalRegressor
>>> rng = np.random.default_rng(0)
>>> x = rng.normal(size=(400, 2)); y = x.sum(axis=1) + rng.normal(size=400)
>>> model = LinearRegression().fit(x[:200], y[:200])
>>> cr = ConformalRegressor(model, method="absolute").calibrate(x[200:], y[200:])
>>> cr.predict_intervals(x[:3]).shape
(3, 2)
>>> cr.predict_intervals(x[:3], alpha=[0.05, 0.1, 0.2]).shape
(3, 2, 3)
)";

inline constexpr const char* kInitDoc =
    R"(Initialise self; the parameters are those of the class, see ``help(type(self))``.)";

// The calibrations' `shift` parameter, the same for both classes.
#define TROV_SHIFT_PARAMETER                                                             \
  "shift : DensityRatio, callable or None, default=None\n"                               \
  "    Weights for a covariate shift: a fitted ``DensityRatio``, or any callable from\n" \
  "    x to one likelihood ratio w(x) >= 0 per row (new rows' density over the\n"        \
  "    calibration rows'). Each new row then gets its own threshold: the smallest\n"     \
  "    calibration score whose cumulative weight reaches (1 - alpha)(W + w(x)), W the\n" \
  "    calibration rows' total weight (Tibshirani, Barber, Candes and Ramdas, 2019),\n"  \
  "    within each class or group when conditional. A row whose weight exceeds\n"        \
  "    alpha (W + w(x)) gets every class, or an unbounded interval, and is marked in\n"  \
  "    the fallback mask. With equal weights the thresholds are the unweighted ones\n"   \
  "    exactly. The guarantee holds when P(y | x) is the same for the new rows and w\n"  \
  "    is the true ratio, independent of the calibration rows (estimate it on other\n"   \
  "    rows); it does not correct a label shift or a change of P(y | x).\n"

inline constexpr const char* kClassifierCalibrateDoc =
    R"(Calibrate the thresholds on rows the model was not trained on.

Parameters
----------
calib_x : array-like or DataFrame
    The calibration rows, as the model's ``predict_proba`` takes them.
calib_y : array-like
    One label per row, each among the model's classes.
groups : array-like, callable or None, default=None
    The rows' groups for ``conditional="group"``: an array, or a callable applied
    to calib_x. A pandas Series is aligned to a DataFrame calib_x by index.
)" TROV_SHIFT_PARAMETER R"(
Returns
-------
self : ConformalClassifier
    Calibrated: ``classes_``, ``alpha_``, ``threshold_`` and the rest are set.

Raises
------
ValueError
    For labels that are no class, rows that are no probabilities, or fewer
    calibration rows than alpha needs (the message names the least number).

Warns
-----
UserWarning
    When classes or groups fall back or have fewer than 100 rows, or when
    ``"aps"`` degenerates.
)";

inline constexpr const char* kPredictSetsDoc = R"(Prediction sets for new rows.

Parameters
----------
new_x : array-like or DataFrame
    The rows, as the model's ``predict_proba`` takes them.
groups : array-like, callable or None, default=None
    The rows' groups (required for ``conditional="group"``); a group unseen in
    calibration gets the fallback threshold.
return_fallback : bool, default=False
    Also return the mask of rows predicted with a fallback threshold.
partition : int or None, default=None
    A partition's number: the randomised scores then draw from that partition's
    own stream, from its start, and the object's counter stays where it is.
    Every call with one number starts that stream again: give a partition's
    rows in one call, or each chunk a number of its own.
alpha : float, sequence of floats or None, default=None
    None: the sets of ``alpha_``, from ``threshold_``. A float or a sequence
    of them: each level's threshold is read off ``calibration_scores_`` (the
    k-th smallest, k = ceil((n + 1)(1 - alpha)), per class or group when
    conditional, with the fallback a calibration at that level would give), so
    the sets are those ``calibrate`` would give at that alpha, with no new call
    to the model's ``predict_proba`` on the calibration rows. A sequence adds a
    trailing axis of levels. Not available after a calibration with ``shift``.

Returns
-------
sets : ndarray of bool, shape (rows, classes) or (rows, classes, levels), or DataFrame
    Whether each class (a column of ``classes_``) is in the row's set, at each
    level in the order given. All levels of one call share the randomised
    scores' draws, so the sets are nested when the alphas are, except under
    ``fallback="marginal"``: a class or group with enough rows at one level
    and too few at a smaller alpha takes the marginal threshold there, which
    may be smaller than its own at the larger alpha. A boolean
    DataFrame with columns ``classes_`` and new_x's index (a RangeIndex for other
    inputs) under ``set_output(transform="pandas")`` or scikit-learn's
    ``transform_output="pandas"``; for a sequence of alphas its columns are the
    MultiIndex (alpha, class), level by level, so ``frame[alpha]`` is one
    level's sets.
fallback : ndarray of bool, Series or DataFrame, shape (rows,) or (rows, levels)
    Only with ``return_fallback=True``; on the same index for pandas output,
    a DataFrame with the alphas as columns for a sequence of them.

Raises
------
NotFittedError
    Before ``calibrate``.
)";

inline constexpr const char* kPredictPvaluesDoc = R"(Conformal p-values of every class for new rows.

The p-value of class y for a row compares its score s = s(x, y) with the n
calibration scores s_i kept in ``calibration_scores_`` (Vovk, Gammerman and
Shafer, 2005). Smoothed, p = (#{s_i > s} + U (#{s_i = s} + 1)) / (n + 1), with
one U in (0, 1] per row from a stream of its own, independent of the draws of
the randomised scores; the true class's p-value is then exactly uniform over
calibration and test draws together, and {y : p_y > alpha} covers with
probability exactly 1 - alpha. The draws include U: recalibrating fresh rows
under one fixed ``random_state`` repeats the same U, so that averages over such
recalibrations are not uniform. Not smoothed, p = (#{s_i >= s} + 1) / (n + 1),
and {y : p_y > alpha} is exactly ``predict_sets`` at that alpha: s <= threshold
if and only if #{s_i >= s} + 1 > alpha (n + 1). For the randomised scores that
holds for the same draws (the same ``partition`` in both calls; without one,
each call takes the next draws). Under ``fallback="marginal"`` it holds at the
levels where the same strata fall back as at ``alpha_``: the p-values take
their strata's fallback from ``alpha_``, the sets from each level. Compare that in integers,
(n + 1) p against alpha (n + 1), or call ``predict_sets(alpha=...)``: as floats,
p = 0.1 would enter the set of an alpha written 1 - 0.9. The smoothed set
{y : p_y > alpha} lies inside ``predict_sets`` at that alpha; it is the same
set when alpha (n + 1) is an integer and no scores tie, and otherwise drops
some labels at the boundary.

With ``conditional`` each class or group is compared with its own scores.
Those that fell back at ``alpha_`` use every calibration row's scores under
``fallback="marginal"``; under ``fallback="full"`` they keep their own few,
which still gives valid p-values, each at least 1 / (n + 1), so that their sets
hold every class whenever they fall back, as ``predict_sets`` gives them. A group
unseen in calibration has no scores: p = 1, or U smoothed, under "full", and
every row's scores under "marginal".

Parameters
----------
new_x : array-like or DataFrame
    The rows, as the model's ``predict_proba`` takes them.
smoothed : bool, default=True
    Break ties between scores with U, as above.
groups : array-like, callable or None, default=None
    The rows' groups (required for ``conditional="group"``).
partition : int or None, default=None
    A partition's number: the draws then come from that partition's own
    streams, from their start, as in ``predict_sets``, and the object's counter
    stays where it is; each call with one number starts them again.

Returns
-------
pvalues : ndarray of float, shape (rows, classes), or DataFrame
    One p-value per row and class (a column of ``classes_``); a DataFrame with
    columns ``classes_`` on new_x's index for pandas output.

Raises
------
NotFittedError
    Before ``calibrate``.
ValueError
    After a calibration with ``shift``, whose thresholds depend on each row's
    weight.
)";

inline constexpr const char* kClassifierEvaluateDoc = R"(Measure the sets' coverage on a test part.

Parameters
----------
test_x : array-like or DataFrame
    The test rows.
test_y : array-like
    Their labels; labels that are no class count as not covered (with a warning).
groups : array-like, callable or None, default=None
    The rows' groups, as for ``predict_sets``.
alpha : float, sequence of floats or None, default=None
    The level or levels, as for ``predict_sets``.

Returns
-------
self : ConformalClassifier
    With ``coverage_``, ``mean_set_size_``, ``sets_``, ``fallback_rows_``,
    ``test_x_``, ``test_y_``, ``test_groups_`` and ``test_alpha_`` set (numpy
    arrays whatever the output setting), ready for ``coverage_report``. For a
    sequence of alphas ``coverage_`` and ``mean_set_size_`` hold one value per
    level, and ``sets_`` a trailing axis of levels.

Raises
------
NotFittedError
    Before ``calibrate``.
)";

inline constexpr const char* kFitDoc =
    R"(Fit the quantile models ("cqr") or the difficulty model ("normalized") of the residuals.

The model itself is not refitted. Use rows other than the calibration rows, best
rows the model was not trained on either.

Parameters
----------
train_x : array-like or DataFrame
    The rows, as the model's ``predict`` takes them.
train_y : array-like
    Their targets.

Returns
-------
self : ConformalRegressor
    With ``quantile_models_`` set ("cqr"), or ``difficulty_model_`` and
    ``residual_scale_`` ("normalized"); unchanged for "absolute", which needs
    no fit.
)";

inline constexpr const char* kRegressorCalibrateDoc =
    R"(Calibrate the threshold on rows the model was not trained on.

Parameters
----------
calib_x : array-like or DataFrame
    The calibration rows.
calib_y : array-like
    Their targets.
groups : array-like, callable or None, default=None
    The rows' groups for ``conditional="group"``: an array, or a callable applied
    to calib_x. A pandas Series is aligned to a DataFrame calib_x by index.
)" TROV_SHIFT_PARAMETER R"(
Returns
-------
self : ConformalRegressor
    Calibrated: ``alpha_``, ``threshold_`` and the rest are set.

Raises
------
NotFittedError
    For "cqr" before ``fit``.
ValueError
    For fewer calibration rows than alpha needs (the message names the least
    number) or predictions of the wrong shape.
)";

inline constexpr const char* kPredictIntervalsDoc = R"(Prediction intervals for new rows.

Parameters
----------
new_x : array-like or DataFrame
    The rows, as the model's ``predict`` takes them.
groups : array-like, callable or None, default=None
    The rows' groups (required for ``conditional="group"``); a group unseen in
    calibration gets the fallback threshold.
return_fallback : bool, default=False
    Also return the mask of rows predicted with a fallback threshold.
alpha : float, sequence of floats or None, default=None
    None: the intervals of ``alpha_``, from ``threshold_``. A float or a
    sequence of them: each level's threshold is read off
    ``calibration_scores_`` (per group when conditional, with the fallback a
    calibration at that level would give), so the intervals are those
    ``calibrate`` would give at that alpha. "cqr" keeps the quantile models
    ``fit`` learnt for ``alpha``: valid at any level, but tightest at that one.
    A sequence adds a trailing axis of levels. Not available after a
    calibration with ``shift``.

Returns
-------
intervals : ndarray of float, shape (rows, 2) or (rows, 2, levels), or DataFrame
    The closed interval [low, high] of each row at each level; NaN for both
    bounds when it is empty (with a warning). A DataFrame with columns
    ``lower`` and ``upper`` and new_x's index (a RangeIndex for other inputs)
    under ``set_output(transform="pandas")`` or scikit-learn's
    ``transform_output="pandas"``; for a sequence of alphas its columns are the
    MultiIndex (alpha, bound), level by level, so ``frame[alpha]`` is one
    level's intervals.
fallback : ndarray of bool, Series or DataFrame, shape (rows,) or (rows, levels)
    Only with ``return_fallback=True``; on the same index for pandas output,
    a DataFrame with the alphas as columns for a sequence of them.

Raises
------
NotFittedError
    Before ``calibrate``.
)";

inline constexpr const char* kRegressorEvaluateDoc =
    R"(Measure the intervals' coverage on a test part.

Parameters
----------
test_x : array-like or DataFrame
    The test rows.
test_y : array-like
    Their targets; a value on a bound is covered, an empty interval covers nothing.
groups : array-like, callable or None, default=None
    The rows' groups, as for ``predict_intervals``.
alpha : float, sequence of floats or None, default=None
    The level or levels, as for ``predict_intervals``.

Returns
-------
self : ConformalRegressor
    With ``coverage_``, ``mean_width_``, ``intervals_``, ``test_pred_``,
    ``fallback_rows_``, ``empty_rows_``, ``test_x_``, ``test_y_``,
    ``test_groups_`` and ``test_alpha_`` set (numpy arrays whatever the output
    setting), ready for ``coverage_report``; for "absolute" and "normalized"
    also ``pit_`` and ``crps_``. For a sequence of alphas ``coverage_`` and
    ``mean_width_`` hold one value per level, and the intervals and masks a
    trailing axis of levels.

Raises
------
NotFittedError
    Before ``calibrate``.
)";

inline constexpr const char* kGetParamsDoc =
    R"(The parameters of the object, as scikit-learn's estimators give them.

Parameters
----------
deep : bool, default=True
    Also give the model's own parameters as ``model__<name>`` when it has
    ``get_params``.

Returns
-------
params : dict
    Parameter name -> value: exactly the parameters of ``__init__``.
)";

inline constexpr const char* kSetParamsDoc =
    R"(Set parameters of the object, as scikit-learn's estimators do.

Changed parameters take effect at the next ``calibrate`` (or ``fit``).

Parameters
----------
**params : dict
    Parameter name -> new value; ``model__<name>`` goes to the model's own
    ``set_params``.

Returns
-------
self : object
    The object itself.

Raises
------
ValueError
    For a name that is no parameter (nothing is set then); the message lists the
    valid ones.
)";

inline constexpr const char* kSetOutputDoc =
    R"(Choose the container of the predictions, as scikit-learn's set_output does.

Parameters
----------
transform : {"pandas", "default"} or None, default=None
    "pandas": predictions are DataFrames (and the fallback mask a Series) on the
    rows' index; "default": numpy arrays; None: unchanged. While unset, the
    object follows ``sklearn.get_config()["transform_output"]`` at each call.

Returns
-------
self : object
    The object itself.

Raises
------
ValueError
    For any other value.
)";

}  // namespace conformal
}  // namespace trov
