"""Predictive distributions and p-values beside crepes 0.9.1, for time and peak
memory: ConformalPredictiveSystem's percentiles and CDF values against
ConformalRegressor's predict_quantiles and predict_cdf (10^5 new rows, 10^4
calibration rows), and crepes' ConformalClassifier.predict_p against
ConformalClassifier.predict_pvalues (10^6 rows x 10 classes, 10^4 calibration
rows). The models' answers are cached on both sides (crepes takes them as
arrays), so only the conformal step is timed; crepes' alphas = 1 - p, the same
score as "lac", are computed inside its timed call, as ours are.

Memory: every case runs in a fresh child process, which builds its inputs, calls
once on a few rows (paging in the code), resets the kernel's resident high-water
mark (/proc/self/clear_refs, so Linux only) and reports VmHWM after the first full
call minus VmRSS before it. That counts native allocations, which tracemalloc does
not see (ours are C++ vectors), and the result itself, which both sides must hold;
each case starts from the same clean heap. Time: the best of the calls in that
child (crepes' p-values at 10^6 rows run once: about six minutes).

After the table, the two are checked where they should agree: quantiles exactly,
non-smoothed p-values exactly, and the smoothed values only in distribution: each
side's (n + 1) * value, less the count of scores strictly beyond, must lie in its
tie cell, and the spread of the two sides' draws in it is compared, not the draws.

Run: .venv/bin/python benchmarks/crepes_side_by_side.py [regressor|classifier|all]
     [--rows-scale=F]
(with PYTHONPATH=build/<dev build>/pkg to time a development build; crepes comes
with the `bench` extra). --rows-scale shrinks every row count, for a quick look.
"""

import gc
import json
import subprocess
import sys
import time
import warnings

import numpy as np

CALIBRATION = 10_000
REGRESSOR_ROWS = 100_000
CLASSIFIER_ROWS = 1_000_000
CLASSES = 10
WARM_UP = 37  # rows; never a calibration size
# Both sides' conventions give ranks floor(p (n + 1)) below 1/2 and ceil(p (n + 1))
# from 1/2; the outer two fall off the calibration (rank 0 and n + 1 at n = 10^4).
LEVELS = np.array([0.00005, 0.05, 0.1, 0.25, 0.5, 0.75, 0.9, 0.95, 0.99995])


class Cached:
    """Answers predict and predict_proba with a model's answers: the calibration
    rows' for as many rows, else the first of the new rows' (a view, no copy)."""

    def __init__(self, calibration, new):
        self.calibration = calibration
        self.new = new

    def predict(self, x):
        return self.calibration if len(x) == len(self.calibration) else self.new[: len(x)]

    predict_proba = predict


def regressor_data(rows, n):
    rng = np.random.default_rng(0)
    hat = rng.normal(size=n + rows)
    # Skewed noise: the predictive distribution is not symmetric about the prediction.
    y = hat + rng.gamma(2.0, 1.0, size=n + rows) - 2.0
    return hat[:n], y[:n], hat[n:], y[n:]


def classifier_data(rows, n):
    rng = np.random.default_rng(1)
    proba = rng.dirichlet(np.full(CLASSES, 0.5), size=n + rows)
    # Labels drawn from the probabilities: a calibrated model.
    labels = (rng.random(n + rows)[:, None] > np.cumsum(proba, axis=1)).sum(axis=1)
    labels = np.minimum(labels, CLASSES - 1)
    return proba[:n], labels[:n], proba[n:], labels[n:]


def ours_regressor(n, cal_hat, new_hat):
    from trov.diagnoser.conformal import ConformalRegressor

    model = Cached(cal_hat[0], new_hat)
    return ConformalRegressor(model, method="absolute", random_state=0).calibrate(
        np.zeros((n, 1)), cal_hat[1])


def ours_classifier(n, cal, new_proba):
    from trov.diagnoser.conformal import ConformalClassifier

    model = Cached(cal[0], new_proba)
    return ConformalClassifier(model, score="lac", random_state=0).calibrate(
        np.zeros((n, 1)), cal[1])


def crepes_percentiles(cps, hat, levels):
    """crepes' call for the same levels: lower below 1/2, higher from 1/2."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # it warns of the levels beyond the calibration
        return cps.predict(hat, lower_percentiles=100 * levels[levels < 0.5],
                           higher_percentiles=100 * levels[levels >= 0.5])


def case_steps(case, rows, n):
    """Builds a case's inputs; returns a function that makes its step on the first k
    new rows, and the repeats to time it."""
    if case.startswith("reg"):
        cal_hat, cal_y, new_hat, new_y = regressor_data(rows, n)
        new_x = np.zeros((rows, 1))
        if case.endswith("ours"):
            cr = ours_regressor(n, (cal_hat, cal_y), new_hat)
            if case.startswith("reg-quantiles"):
                return (lambda k: lambda: cr.predict_quantiles(new_x[:k], LEVELS)), 5
            return (lambda k: lambda: cr.predict_cdf(new_x[:k], new_y[:k])), 5
        from crepes import ConformalPredictiveSystem

        cps = ConformalPredictiveSystem().fit(cal_y - cal_hat, seed=0)
        if case.startswith("reg-quantiles"):
            return (lambda k: lambda: crepes_percentiles(cps, new_hat[:k], LEVELS)), 3
        return (lambda k: lambda: cps.predict(new_hat[:k], y=new_y[:k])), 3
    cal_p, cal_labels, new_p, _ = classifier_data(rows, n)
    new_x = np.zeros((rows, 1))
    if case.endswith("ours"):
        cc = ours_classifier(n, (cal_p, cal_labels), new_p)
        return (lambda k: lambda: cc.predict_pvalues(new_x[:k], smoothed=True)), 5
    from crepes import ConformalClassifier

    cal_scores = 1 - cal_p[np.arange(n), cal_labels]
    crepes_cc = ConformalClassifier().fit(cal_scores, seed=0)
    repeats = 1 if rows * CLASSES > 10**6 else 3
    return (lambda k: lambda: crepes_cc.predict_p(1 - new_p[:k])), repeats


def rss_kib(field):
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise RuntimeError(f"no {field} in /proc/self/status")


def child(case, rows, n):
    make, repeats = case_steps(case, rows, n)
    # A call on a few rows first pages in the code and the one-time allocations,
    # which are no part of a call's memory.
    make(WARM_UP)()
    step = make(rows)
    times = []
    peak = None
    for _ in range(repeats):
        gc.collect()
        before = rss_kib("VmRSS")
        with open("/proc/self/clear_refs", "w") as clear:
            clear.write("5")  # the high-water mark restarts from the current RSS
        start = time.perf_counter()
        result = step()
        times.append(time.perf_counter() - start)
        if peak is None:  # later calls reuse the heap that the first one grew
            peak = (rss_kib("VmHWM") - before) / 1024
        del result
    print(json.dumps({"seconds": min(times), "peak_mb": peak, "calls": repeats}))


def run_case(case, rows, n):
    out = subprocess.run([sys.executable, __file__, "--child", case, str(rows), str(n)],
                         capture_output=True, text=True, check=False)
    if out.returncode != 0:
        raise RuntimeError(f"{case} failed:\n{out.stderr}")
    return json.loads(out.stdout.strip().splitlines()[-1])


def in_cell(scaled, below, ties, low_open):
    """Whether (n + 1) * value - below lies in the tie cell: (0, ties + 1] for ours,
    [0, ties + 1) for crepes (numpy's rand is in [0, 1))."""
    u = scaled - below
    eps = 1e-7
    if low_open:
        return (u > -eps) & (u <= ties + 1 + eps), u / (ties + 1)
    return (u >= -eps) & (u < ties + 1 + eps), u / (ties + 1)


def ks_distance(a, b):
    both = np.sort(np.concatenate([a, b]))
    return np.max(np.abs(np.searchsorted(np.sort(a), both, "right") / len(a)
                         - np.searchsorted(np.sort(b), both, "right") / len(b)))


def check_regressor(rows, n):
    from crepes import ConformalPredictiveSystem

    cal_hat, cal_y, new_hat, new_y = regressor_data(rows, n)
    cr = ours_regressor(n, (cal_hat, cal_y), new_hat)
    cps = ConformalPredictiveSystem().fit(cal_y - cal_hat, seed=0)
    new_x = np.zeros((rows, 1))
    ours_q = cr.predict_quantiles(new_x, LEVELS)
    theirs = crepes_percentiles(cps, new_hat, LEVELS)
    same = np.sum(ours_q == theirs)
    print(f"quantiles, {rows} rows x {len(LEVELS)} levels (with rank 0 and n + 1): "
          f"{same} of {ours_q.size} equal (infinities included)")
    ours_cdf = cr.predict_cdf(new_x, new_y)
    theirs_cdf = cps.predict(new_hat, y=new_y)
    scores = np.sort(cal_y - cal_hat)
    below = np.searchsorted(scores, new_y - new_hat, "left")
    ties = np.searchsorted(scores, new_y - new_hat, "right") - below
    ok_ours, u_ours = in_cell((n + 1) * ours_cdf, below, ties, True)
    ok_theirs, u_theirs = in_cell((n + 1) * theirs_cdf, below, ties, False)
    print(f"CDF at the true y, {rows} rows: in the cell of #{{a_i < A}} "
          f"ours {ok_ours.sum()}, crepes {ok_theirs.sum()} of {rows} "
          f"(rows with ties: {np.sum(ties > 0)}); the draws within it: mean "
          f"{u_ours.mean():.4f} against {u_theirs.mean():.4f}, two-sample KS distance "
          f"{ks_distance(u_ours, u_theirs):.4f}; PIT means {ours_cdf.mean():.4f} "
          f"against {theirs_cdf.mean():.4f}")


def check_classifier(rows, n):
    from crepes import ConformalClassifier

    cal_p, cal_labels, new_p, new_labels = classifier_data(rows, n)
    cc = ours_classifier(n, (cal_p, cal_labels), new_p)
    cal_scores = 1 - cal_p[np.arange(n), cal_labels]
    crepes_cc = ConformalClassifier().fit(cal_scores, seed=0)
    new_x = np.zeros((rows, 1))
    plain = cc.predict_pvalues(new_x, smoothed=False)
    theirs_plain = crepes_cc.predict_p(1 - new_p, smoothing=False)
    print(f"p-values not smoothed, {rows} rows x {CLASSES} classes: "
          f"{np.sum(plain == theirs_plain)} of {plain.size} equal")
    smooth = cc.predict_pvalues(new_x, smoothed=True)
    theirs = crepes_cc.predict_p(1 - new_p, smoothing=True)
    # The cells count scores strictly above the row's and the ties with it.
    scores = np.sort(cal_scores)
    test = 1 - new_p
    above = n - np.searchsorted(scores, test, "right")
    ties = np.searchsorted(scores, test, "right") - np.searchsorted(scores, test, "left")
    ok_ours, u_ours = in_cell((n + 1) * smooth, above, ties, True)
    ok_theirs, u_theirs = in_cell((n + 1) * theirs, above, ties, False)
    truth = np.arange(rows), new_labels
    print(f"p-values smoothed: in the cell of #{{s_i > s}} ours {ok_ours.sum()}, "
          f"crepes {ok_theirs.sum()} of {smooth.size}; the draws within it: mean "
          f"{u_ours.mean():.4f} against {u_theirs.mean():.4f}, two-sample KS distance "
          f"{ks_distance(u_ours.ravel(), u_theirs.ravel()):.4f}; true labels' p-values: "
          f"mean {smooth[truth].mean():.4f} against {theirs[truth].mean():.4f}, "
          f"share <= 0.1 {np.mean(smooth[truth] <= 0.1):.4f} against "
          f"{np.mean(theirs[truth] <= 0.1):.4f}")


def available(part):
    from trov.diagnoser.conformal import ConformalClassifier, ConformalRegressor

    if part == "regressor":
        return hasattr(ConformalRegressor, "predict_quantiles")
    return hasattr(ConformalClassifier, "predict_pvalues")


def main():
    if sys.argv[1:2] == ["--child"]:
        child(sys.argv[2], int(sys.argv[3]), int(sys.argv[4]))
        return
    args = [a for a in sys.argv[1:] if not a.startswith("--")]
    scale = next((float(a.split("=")[1]) for a in sys.argv[1:]
                  if a.startswith("--rows-scale=")), 1.0)
    parts = ["regressor", "classifier"] if not args or args[0] == "all" else args[:1]
    cases = {
        "regressor": [("predict_quantiles / percentiles, 9 levels", "reg-quantiles",
                       REGRESSOR_ROWS),
                      ("predict_cdf / predict(y=)", "reg-cdf", REGRESSOR_ROWS)],
        "classifier": [("predict_pvalues / predict_p, smoothed", "cls-pvalues",
                        CLASSIFIER_ROWS)],
    }
    n = max(50, int(CALIBRATION * min(scale, 1.0)))
    table = []
    for part in parts:
        if not available(part):
            print(f"{part}: this build lacks "
                  f"{'predict_quantiles' if part == 'regressor' else 'predict_pvalues'}"
                  "; skipped")
            continue
        for name, case, rows in cases[part]:
            rows = max(100, int(rows * scale))
            ours = run_case(case + "-ours", rows, n)
            theirs = run_case(case + "-crepes", rows, n)
            table.append((name, rows, ours, theirs))
    if table:
        print(f"\n{n} calibration rows; time: best of the calls; peak: first full call, "
              "resident high-water mark above the RSS before it")
        print(f"{'call (ours / crepes)':44s} {'rows':>9s} {'ours s':>9s} {'crepes s':>9s} "
              f"{'ratio':>7s} {'ours MB':>8s} {'crepes MB':>9s} {'ratio':>7s}")
        for name, rows, ours, theirs in table:
            print(f"{name:44s} {rows:9d} {ours['seconds']:9.4f} {theirs['seconds']:9.3f} "
                  f"{ours['seconds'] / theirs['seconds']:7.4f} {ours['peak_mb']:8.1f} "
                  f"{theirs['peak_mb']:9.1f} {ours['peak_mb'] / theirs['peak_mb']:7.3f}"
                  f"  (calls {ours['calls']} / {theirs['calls']})")
        print()
    # The checks run on fewer rows: crepes' p-values cost about 50 us each.
    for part in parts:
        if available(part) and part == "regressor":
            check_regressor(max(100, int(REGRESSOR_ROWS * scale)), n)
        elif available(part):
            check_classifier(max(100, int(20_000 * scale)), n)


if __name__ == "__main__":
    main()
