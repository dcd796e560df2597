// The docstrings of ConformalRegressor's predictive distributions.
#pragma once

namespace trov {
namespace conformal {

inline constexpr const char* kPredictCdfDoc =
    R"(The conformal predictive distribution's CDF at given values of y.

For "absolute" and "normalized". With the calibration rows' signed scores
a_i = (y_i - prediction_i) / s_i (s = sigma + beta for "normalized", 1 for
"absolute") and A = (y - prediction(x)) / s(x),

    Q(x, y) = (#{i : a_i < A} + tau * (#{i : a_i = A} + 1)) / (n + 1),

with tau in (0, 1] drawn once per row and used for all of its values, so that Q
is non-decreasing in y (Vovk et al., 2017, 2018). At the true y, Q is exactly
Uniform(0, 1) over calibration and test draws together, for any model. By group,
a row uses its group's calibration rows, however few (a group whose intervals
fall back to the marginal threshold still has its own distribution, valid, if
wide); a group never calibrated gets none (``fallback="full"``: Q is tau / 1,
uniform whatever y) or every row's (``fallback="marginal"``).

Parameters
----------
new_x : array-like or DataFrame
    The rows, as the model's ``predict`` takes them.
y : float or array-like
    A number (the same y for every row), one value per row, or an array
    (rows, k) of k values per row.
groups : array-like, callable or None, default=None
    The rows' groups (required for ``conditional="group"``).

Returns
-------
cdf : ndarray of float, shape (rows,) or (rows, k)
    Q(x, y), in (0, 1]; a numpy array whatever the output setting.

Raises
------
NotFittedError
    Before ``calibrate``.
ValueError
    For "cqr" or a calibration with ``shift`` (no distribution is kept), or a y
    whose rows are not new_x's.

Notes
-----
tau comes from the object's prediction stream (``random_state`` fixes its
entropy): each call takes the next counters, one per row, as
``ConformalClassifier``'s randomised scores do, so repeated calls give fresh
tau. Every answer is a binary search over the sorted scores: the memory is that
of the result.
)";

inline constexpr const char* kPredictQuantilesDoc =
    R"(Quantiles of the conformal predictive distribution.

For "absolute" and "normalized". With C_(j) = prediction(x) + s(x) * a_(j), the
calibration rows' signed scores a in ascending order,

* for p >= 1/2, q(p) = C_(ceil(p (n + 1))), +inf beyond n;
* for p < 1/2, q(p) = C_(floor(p (n + 1))), -inf at rank 0;

the ranks counted exactly from p as written (0.05 is 1/20). Then
[q(alpha / 2), q(1 - alpha / 2)] holds y with probability at least 1 - alpha.
This equal-tailed interval of signed scores is not ``predict_intervals``'
prediction +- tau * s, whose threshold comes from the absolute scores: the two
differ when the residuals are skewed.

Parameters
----------
new_x : array-like or DataFrame
    The rows, as the model's ``predict`` takes them.
levels : float or sequence of float
    Probabilities strictly between 0 and 1, rounded to 12 significant digits as
    alpha is.
groups : array-like, callable or None, default=None
    The rows' groups (required for ``conditional="group"``).

Returns
-------
quantiles : ndarray of float, shape (rows, levels), or (rows,) for one number
    A numpy array whatever the output setting.

Raises
------
NotFittedError
    Before ``calibrate``.
ValueError
    For "cqr", a calibration with ``shift``, or a level outside (0, 1).
)";

}  // namespace conformal
}  // namespace trov
