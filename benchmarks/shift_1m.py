"""Weighted against unweighted split conformal: predict_sets (and predict_intervals)
on a million new rows after calibrating on ten thousand, each pair in a fresh process.
The weights come from a cheap function of x, timed on its own and taken off: what is
left is the cost of weighting itself, beyond the density ratio's own predict.

Run: .venv/bin/python benchmarks/shift_1m.py [new rows]
(with PYTHONPATH=build/<dev build>/pkg to time a development build).
"""

import json
import subprocess
import sys
import time

import numpy as np

CALIBRATION = 10_000
# (what, score, classes, conditional)
CASES = [
    ("sets", "lac", 10, None),
    ("sets", "aps", 10, None),
    ("sets", "lac", 10, "class"),
    ("intervals", "absolute", 0, None),
]


class TableModel:
    """A fitted classifier whose rows' first columns are its probabilities."""

    def __init__(self, classes):
        self.classes_ = np.arange(classes)
        self.width = classes

    def predict_proba(self, x):
        return x[:, : self.width]


class FirstColumn:
    """A fitted regressor predicting the first column."""

    def predict(self, x):
        return x[:, 0]


def shift(x):
    # A likelihood ratio of the last column: a logistic selection.
    return np.exp(1.5 * x[:, -1])


def rows_of(rng, rows, classes):
    z = rng.normal(size=rows)
    if classes:
        p = rng.dirichlet(np.full(classes, 0.5), rows)
        y = np.minimum((p.cumsum(axis=1) < rng.random((rows, 1))).sum(axis=1), classes - 1)
        return np.column_stack([p, z]), y
    x = np.column_stack([rng.normal(size=rows), z])
    return x, x[:, 0] + (0.3 + np.abs(z)) * rng.normal(size=rows)


def run_one(what, score, classes, conditional, rows):
    from trov.diagnoser.conformal import ConformalClassifier, ConformalRegressor

    rng = np.random.default_rng(0)
    calib_x, calib_y = rows_of(rng, CALIBRATION, classes)
    new_x, _ = rows_of(rng, rows, classes)
    out = {}
    for weighted in (False, True):
        if what == "sets":
            model = ConformalClassifier(TableModel(classes), alpha=0.1, score=score,
                                        conditional=conditional)
            predict = model.predict_sets
        else:
            model = ConformalRegressor(FirstColumn(), alpha=0.1, method=score)
            predict = model.predict_intervals
        model.calibrate(calib_x, calib_y, shift=shift if weighted else None)
        predict(new_x[:1000])  # a first call pays for caches
        best = np.inf
        for _ in range(3):
            start = time.perf_counter()
            predict(new_x)
            best = min(best, time.perf_counter() - start)
        out["weighted" if weighted else "plain"] = best
    best = np.inf
    for _ in range(3):
        start = time.perf_counter()
        shift(new_x)
        best = min(best, time.perf_counter() - start)
    out["shift"] = best
    return out


def main():
    if len(sys.argv) == 7 and sys.argv[1] == "--one":
        conditional = None if sys.argv[5] == "None" else sys.argv[5]
        print(json.dumps(run_one(sys.argv[2], sys.argv[3], int(sys.argv[4]), conditional,
                                 int(sys.argv[6]))))
        return
    print(f"{CALIBRATION} calibration rows, {ROWS} new rows; best of 3, seconds")
    print(f"{'call':>9} {'score':>8} {'classes':>7} {'mode':>6} | {'plain':>6} {'weighted':>8} "
          f"{'w(x)':>6} | weighted - w(x), over plain")
    for what, score, classes, conditional in CASES:
        result = subprocess.run(
            [sys.executable, __file__, "--one", what, score, str(classes), str(conditional),
             str(ROWS)],
            stdout=subprocess.PIPE, check=True, universal_newlines=True)
        t = json.loads(result.stdout.strip().splitlines()[-1])
        print(f"{what:>9} {score:>8} {classes:>7} {str(conditional):>6} | {t['plain']:6.3f} "
              f"{t['weighted']:8.3f} {t['shift']:6.3f} | "
              f"{(t['weighted'] - t['shift']) / t['plain']:.2f}")


ROWS = 1_000_000
if __name__ == "__main__":
    if len(sys.argv) == 2:
        ROWS = int(sys.argv[1])
    main()
