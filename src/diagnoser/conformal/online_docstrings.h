// The docstrings of the online classes and of the exchangeability martingale.
#pragma once

namespace trov {
namespace conformal {

#define TROV_ONLINE_PARAMETERS(WHAT, DEFAULT_METHOD, SCORES)                                     \
  "Parameters\n"                                                                                 \
  "----------\n"                                                                                 \
  "model : object\n"                                                                             \
  "    The fitted " WHAT                                                                         \
  ", used as it is; it is never refit.\n"                                                        \
  "alpha : float, default 0.1\n"                                                                 \
  "    The target miss rate: coverage 1 - alpha in the long run.\n"                              \
  "method : {\"aci\", \"pid\"}, default \"" DEFAULT_METHOD                                       \
  "\"\n"                                                                                         \
  "    ``\"aci\"``, adaptive conformal inference (Gibbs and Candes, 2021): a working\n"          \
  "    level moves as alpha_{t+1} = alpha_t + lr (alpha - err_t), and the threshold is the\n"    \
  "    ceil((1 - alpha_t)(n_t + 1))-th smallest of the n_t scores so far (+inf beyond n_t;\n"    \
  "    every label when alpha_t <= 0, none when alpha_t >= 1).\n"                                \
  "    ``\"pid\"``, conformal PID control (Angelopoulos, Candes and Tibshirani, 2023): a\n"      \
  "    quantile tracker p_{t+1} = p_t + lr (err_t - alpha) plus the integrator and the\n"        \
  "    scorecaster's forecast: q_t = p_t + r_t(sum of (err_i - alpha)) + s_hat_t.\n"             \
  "score : " SCORES                                                                              \
  "\n"                                                                                           \
  "lr : float or None\n"                                                                         \
  "    The step. None: 0.005 for ``\"aci\"`` (Gibbs and Candes' choice); for ``\"pid\"``,\n"     \
  "    0.1 B, with B the largest finite calibration score (after ``calibrate``) or,\n"           \
  "    without one or when all are 0, the largest finite score seen so far (while that\n"        \
  "    is 0, a vanishing 1e-300, which keeps the step and the gain > 0).\n"                      \
  "integrator : bool, default True\n"                                                            \
  "    ``\"pid\"`` only: add r_t(x) = gain * tan(x log t / (t saturation)), +-inf once the\n"    \
  "    angle leaves (-pi/2, pi/2). This bounds the long-run miss rate for every sequence.\n"     \
  "window : int or None\n"                                                                       \
  "    ``\"aci\"``: read the threshold from the last ``window`` scores only. ``\"pid\"``: the\n" \
  "    rows the scorecaster learns from. None: all of them.\n"                                   \
  "scorecaster : estimator or None\n"                                                            \
  "    ``\"pid\"`` only: a regressor of the next score from the ``lags`` scores before it,\n"    \
  "    cloned and refit at 32, 64, ..., 4096 rows and then every 4096; its forecast is\n"        \
  "    added to the threshold (the derivative term).\n"                                          \
  "lags : int, default 5\n"                                                                      \
  "    The scorecaster's features.\n"                                                            \
  "gain : float or None\n"                                                                       \
  "    The integrator's K_I, > 0 (``integrator=False`` turns it off); None: B, as for lr.\n"     \
  "saturation : float, default 1.0\n"                                                            \
  "    The integrator's C_sat.\n"                                                                \
  "random_state : int or None\n"                                                                 \
  "    Seeds the draws that break ties in the online p-values ``pvalues_``.\n"

#define TROV_ONLINE_GUARANTEE                                                                  \
  "The guarantee is long-run, for every sequence, even an adversarial one, and not per\n"      \
  "row. With T labelled rows and err_t the miss of row t:\n\n"                                 \
  "- ``\"aci\"``: \\|mean(err) - alpha\\| <= (max(alpha, 1 - alpha) + lr) / (lr T);\n"         \
  "- ``\"pid\"`` without the integrator, a fixed lr, and every score and the starting\n"       \
  "  threshold (after ``calibrate``, the calibration quantile) in [0, B]:\n"                   \
  "  \\|mean(err) - alpha\\| <= (B + lr) / (lr T);\n"                                          \
  "- ``\"pid\"`` with the integrator: at most (pi/2) saturation / log T + 1/T.\n\n"            \
  "These are bounds. Any tighter figure (say, coverage within 0.01 of the target after\n"      \
  "20,000 rows of a drifting stream) is what simulations show, not a guarantee; so is the\n"   \
  "coverage of the worst rolling window, ``window_coverage``.\n\n"                             \
  "Each row's p-value against all the scores before it, the calibration ones included, is\n"   \
  "kept in ``pvalues_``: under exchangeability they are independent and uniform, whatever\n"   \
  "the method, since the score is fixed. Feed the object to ``ExchangeabilityMartingale``\n"   \
  "to test that.\n\n"                                                                          \
  "``update`` with many rows, ``replay`` and one ``update`` per row give the same state and\n" \
  "the same thresholds; a pickled object resumes where it stopped.\n"

#define TROV_ONLINE_ATTRIBUTES(SHOWN)                                                             \
  "Attributes\n"                                                                                  \
  "----------\n"                                                                                  \
  "alpha_ : float\n"                                                                              \
  "n_calibration_ : int\n"                                                                        \
  "    Calibration rows of the warm start (0 without one).\n"                                     \
  "n_steps_ : int\n"                                                                              \
  "    Labelled stream rows so far.\n"                                                            \
  "scores_, thresholds_ : ndarray of shape (n_steps_,)\n"                                         \
  "    Each row's score and the threshold it was compared with.\n"                                \
  "errors_ : ndarray of bool\n"                                                                   \
  "    The misses: score > threshold.\n"                                                          \
  "pvalues_ : ndarray\n"                                                                          \
  "    (#{earlier scores > s_t} + U_t (#{earlier scores = s_t} + 1)) / (n + 1), U_t in (0, 1].\n" \
  "alphas_ : ndarray or None\n"                                                                   \
  "    ``\"aci\"``: the working level of each row.\n"                                             \
  "alpha_t_, quantile_ : float or None\n"                                                         \
  "    The working level (``\"aci\"``) or the tracker (``\"pid\"``) for the next row.\n"          \
  "coverage_ : float\n"                                                                           \
  "    1 - mean(errors_).\n" SHOWN                                                                \
  "scorecaster_ : estimator or None\n"                                                            \
  "    The scorecaster as last refit.\n"

inline constexpr const char* kOnlineRegressorDoc =
    "Prediction intervals for a stream of rows whose targets arrive after their\n"
    "predictions, with a threshold that moves with each miss.\n\n"
    "Use it when labels come later and the data drift: a threshold calibrated once then\n"
    "covers less and less. The interval of a row is prediction +- q_t, for the score\n"
    "\\|y - prediction\\|; a negative q_t gives an empty interval (NaN bounds).\n\n"
    "    oc = OnlineConformalRegressor(model).calibrate(calib_x, calib_y)\n"
    "    low, high = oc.predict_interval(x_t)   # before the label\n"
    "    oc.update(x_t, y_t)                    # after it\n\n" TROV_ONLINE_PARAMETERS(
        "regressor, with predict", "pid",
        "{\"absolute\"}, default \"absolute\"\n") "\n" TROV_ONLINE_GUARANTEE
                                                  "\n" TROV_ONLINE_ATTRIBUTES(
                                                      "intervals_ : ndarray of shape (n_steps_, "
                                                      "2)\n"
                                                      "predictions_, y_ : ndarray of shape "
                                                      "(n_steps_,)\n") "\n"
    "Examples\n"
    "--------\n"
    ">>> oc = OnlineConformalRegressor(model, method=\"aci\").calibrate(calib_x, calib_y)\n"
    ">>> bounds = oc.replay(x, y)\n"
    ">>> oc.coverage_, oc.window_coverage(500)\n";

inline constexpr const char* kOnlineClassifierDoc =
    "Prediction sets for a stream of rows whose labels arrive after their predictions,\n"
    "with a threshold that moves with each miss.\n\n"
    "The set of a row holds every class whose score is at most q_t.\n\n"
    "    occ = OnlineConformalClassifier(model).calibrate(calib_x, calib_y)\n"
    "    in_set = occ.predict_set(x_t)   # one bool per class, before the label\n"
    "    occ.update(x_t, y_t)            # after it\n\n" TROV_ONLINE_PARAMETERS(
        "classifier, with predict_proba", "aci",
        "{\"lac\", \"aps\"}, default \"lac\"\n"
        "    1 - p(y | x), or the probability of the classes ranked above y plus y's own.\n")
        "\n" TROV_ONLINE_GUARANTEE "\n" TROV_ONLINE_ATTRIBUTES(
            "sets_ : ndarray of bool, shape (n_steps_, n_classes)\n"
            "y_ : ndarray of shape (n_steps_,)\n"
            "classes_ : ndarray\n"
            "    The classes the stream started with.\n") "\n"
            "Examples\n"
            "--------\n"
            ">>> occ = OnlineConformalClassifier(model).calibrate(calib_x, calib_y)\n"
            ">>> sets = occ.replay(x, y)\n"
            ">>> occ.coverage_, sets.sum(axis=1).mean()\n";

inline constexpr const char* kOnlineCalibrateDoc =
    "Start the stream anew from calibration rows (a warm start): their scores become the\n"
    "history the first thresholds are read from, ``\"pid\"``'s tracker starts at the split\n"
    "conformal threshold and its scale B is their largest finite score. Without it the stream\n"
    "starts from nothing at its first ``update``: ``\"aci\"`` gives full sets until it has\n"
    "enough scores, ``\"pid\"`` starts at 0.\n\n"
    "Parameters\n----------\ncalib_x : array-like\n    Rows the model was not fitted on.\n"
    "calib_y : array-like\n    Their labels.\n\n"
    "Returns\n-------\nself\n";

inline constexpr const char* kOnlineUpdateDoc =
    "Add labelled rows, in order, each compared with the threshold of its turn, which\n"
    "depends only on the rows before it.\n\n"
    "Rows predicted together before any of their labels arrived all had the threshold of\n"
    "the first; ``update`` records each against its own turn's.\n\n"
    "Parameters\n----------\nx : array-like\n    The rows, in the order they came.\n"
    "y : array-like\n    Their labels.\n\n"
    "Returns\n-------\nself\n";

inline constexpr const char* kOnlineReplayRegressorDoc =
    "Run a whole labelled sequence through the stream, each row seeing only the rows before\n"
    "it, as ``update`` would one row at a time; natively, with the scores computed in one\n"
    "pass.\n\n"
    "Parameters\n----------\nx : array-like\n    The rows, in the order they came.\n"
    "y : array-like\n    Their labels.\n\n"
    "Returns\n-------\nndarray of shape (rows, 2)\n    Each row's interval at its turn.\n";

inline constexpr const char* kOnlineReplayClassifierDoc =
    "Run a whole labelled sequence through the stream, each row seeing only the rows before\n"
    "it, as ``update`` would one row at a time; natively, with the scores computed in one\n"
    "pass.\n\n"
    "Parameters\n----------\nx : array-like\n    The rows, in the order they came.\n"
    "y : array-like\n    Their labels.\n\n"
    "Returns\n-------\nndarray of bool, shape (rows, n_classes)\n    Each row's set at its turn.\n";

inline constexpr const char* kPredictIntervalDoc =
    "The interval of the next row, before its label.\n\n"
    "Parameters\n----------\nx : array-like\n"
    "    One row: a 1-D vector, a pandas Series, or one row of a matrix or frame.\n\n"
    "Returns\n-------\n(low, high) : tuple of float\n";

inline constexpr const char* kPredictSetDoc =
    "The set of the next row, before its label.\n\n"
    "Parameters\n----------\nx : array-like\n"
    "    One row: a 1-D vector, a pandas Series, or one row of a matrix or frame.\n\n"
    "Returns\n-------\nndarray of bool, shape (n_classes,)\n";

inline constexpr const char* kRollingCoverageDoc =
    "Coverage over each run of ``window`` consecutive labelled rows, the one ending at row\n"
    "window - 1 first.\n\n"
    "Parameters\n----------\nwindow : int\n    Rows per window, at most n_steps_.\n\n"
    "Returns\n-------\nndarray of shape (n_steps_ - window + 1,)\n";

inline constexpr const char* kWindowCoverageDoc =
    "The coverage of the worst run of ``window`` consecutive labelled rows: descriptive, no\n"
    "guarantee bounds it.\n\n"
    "Parameters\n----------\nwindow : int\n    Rows per window, at most n_steps_.\n\n"
    "Returns\n-------\nfloat\n";

inline constexpr const char* kMartingaleDoc =
    "A conformal test martingale: evidence against exchangeability, gathered from online\n"
    "p-values one at a time (Vovk, Nouretdinov and Gammerman, 2003).\n\n"
    "Under exchangeability the p-values are independent and uniform and the martingale\n"
    "M_t, a product of bets b_t(p_t) with each b_t a density on [0, 1], has expectation 1.\n"
    "By Ville's inequality, P(M_t >= 1/delta for some t) <= delta: ``alarm(delta)`` is\n"
    "wrong with probability at most delta, however long one watches and whenever one\n"
    "stops.\n\n"
    "An alarm says that the scores' distribution changed: that of x, of y given x, or\n"
    "both. It does not say which, nor that coverage failed.\n\n"
    "The p-values must come from a fixed score against all earlier scores, as an online\n"
    "object's ``pvalues_`` do; p-values from a window or from a moving level are not\n"
    "independent, and the bound fails.\n\n"
    "Parameters\n"
    "----------\n"
    "betting : {\"mixture\", \"plugin\"}, default \"mixture\"\n"
    "    ``\"mixture\"``: the bets eps p^(eps - 1) averaged over eps on the midpoints of 100\n"
    "    equal cells of (0, 1), in log space. They pay on small p-values only, so a fall in\n"
    "    noise (p-values drifting up) is never detected.\n"
    "    ``\"plugin\"``: the bet on p_t is a Gaussian kernel density of p_1 ... p_{t-1},\n"
    "    reflected at 0 and 1, each p-value's kernel at the midpoint of one of 200 equal\n"
    "    bins and the density constant on each, so that it integrates to exactly 1\n"
    "    (Fedorova et al., 2012); it detects departures either way, more slowly.\n"
    "bandwidth : float, default 0.1\n"
    "    The plug-in's kernel width.\n\n"
    "Attributes\n"
    "----------\n"
    "n_ : int\n"
    "pvalues_ : ndarray\n"
    "log_martingale_ : ndarray\n"
    "    log M_t after each p-value.\n\n"
    "Examples\n"
    "--------\n"
    ">>> mart = ExchangeabilityMartingale().update(online)   # or an array of p-values\n"
    ">>> mart.alarm(0.01)\n";

inline constexpr const char* kMartingaleUpdateDoc =
    "Bet on more p-values: an array, or an online object, whose ``pvalues_`` this martingale\n"
    "has not yet seen are taken (so calling it after each ``update`` keeps it in step).\n\n"
    "Parameters\n----------\nsource : array-like or online object\n"
    "    P-values in (0, 1], in the order they came, or an object with ``pvalues_``.\n\n"
    "Returns\n-------\nself\n";

inline constexpr const char* kAlarmDoc =
    "The index of the first p-value after which the martingale reached 1/delta, or None.\n\n"
    "The probability of an alarm under exchangeability is at most delta.\n\n"
    "Parameters\n----------\ndelta : float, default 0.01\n    The false-alarm probability "
    "allowed.\n\n"
    "Returns\n-------\nint or None\n";

#undef TROV_ONLINE_PARAMETERS
#undef TROV_ONLINE_GUARANTEE
#undef TROV_ONLINE_ATTRIBUTES

}  // namespace conformal
}  // namespace trov
