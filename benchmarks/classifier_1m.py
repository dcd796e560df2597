"""Times AdaptiveConformalClassifier's fit + diagnose beside MAPIE's split conformal
classifier (prefit, LAC sets) and beside the numpy floor of the same steps.

Run: MPLBACKEND=Agg .venv/bin/python benchmarks/classifier_1m.py [rows] [--memory] [--plot]
(with PYTHONPATH=build/<dev build>/pkg to time a development build; MAPIE comes
with the `bench` extra). n test rows, n/10 calibration rows, a stand-in model whose
predict_proba is a precomputed array. --memory reports the peak traced memory of
fit + diagnose against the size of what they store (slower: tracemalloc is on).
"""

import gc
import sys
import time
import tracemalloc
from pathlib import Path

import matplotlib

matplotlib.use("Agg")

import numpy as np  # noqa: E402
from sklearn.base import BaseEstimator, ClassifierMixin  # noqa: E402

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
from classifier_reference import diagnose_floor, fit_floor  # noqa: E402

import trov.diagnoser.reliability_evaluation as reliability_evaluation  # noqa: E402


class TableClassifier(ClassifierMixin, BaseEstimator):
    """A fitted two-class model answering predict_proba with the table of as many rows."""

    def __init__(self, tables=None):
        self.tables = tables

    def fit(self, x, y):
        return self

    def __sklearn_is_fitted__(self):
        return True

    @property
    def classes_(self):
        return np.array([0, 1])

    def predict_proba(self, x):
        return self.tables[len(x)]

    def predict(self, x):
        return self.predict_proba(x).argmax(axis=1)


def two_class_table(rng, rows):
    """A confident model that is wrong on about 5% of the rows."""
    p = rng.beta(0.5, 0.5, rows)
    wrong = rng.random(rows) < 0.05
    return np.column_stack([1 - p, p]), ((p > 0.5) ^ wrong).astype(np.int64)


def best_of(runs, works):
    """The best time of each work, over rounds that run them in turn, so that a
    slower spell of the machine weighs on all of them alike."""
    times = {name: [] for name in works}
    for _ in range(runs):
        for name, work in works.items():
            gc.collect()
            start = time.perf_counter()
            result = work()
            times[name].append(time.perf_counter() - start)
            del result  # freed outside the timing
    return {name: min(spent) for name, spent in times.items()}


def stored_bytes(clf):
    """What the fitted and diagnosed object holds: arrays by their buffers, the sets
    by their list objects."""
    total, seen = 0, set()
    for value in vars(clf).values():
        if id(value) in seen:
            continue
        seen.add(id(value))
        if isinstance(value, np.ndarray):
            if value.base is None:
                total += value.nbytes
            if value.dtype == object:
                total += sum(sys.getsizeof(s) for s in value)
        elif isinstance(value, list):
            total += sys.getsizeof(value) + sum(sys.getsizeof(s) for s in value)
    return total


def main():
    args = [a for a in sys.argv[1:] if not a.startswith("--")]
    rows = int(float(args[0])) if args else 1_000_000
    rng = np.random.default_rng(0)
    calib_prob, calib_y = two_class_table(rng, rows // 10)
    test_prob, test_y = two_class_table(rng, rows)
    model = TableClassifier({rows // 10: calib_prob, rows: test_prob})
    calib_x, test_x = np.zeros((rows // 10, 1)), np.zeros((rows, 1))
    alpha = 0.1
    runs = 2 if rows >= 5_000_000 else 5

    def module():
        clf = reliability_evaluation.AdaptiveConformalClassifier(alpha=alpha)
        clf.fit(model, None, None, test_x, test_y, calib_x, calib_y)
        clf.diagnose()
        return clf

    if "--memory" in sys.argv:
        tracemalloc.start()
        before = tracemalloc.get_traced_memory()[0]
        tracemalloc.reset_peak()
        clf = module()
        peak = tracemalloc.get_traced_memory()[1] - before
        tracemalloc.stop()
        held = stored_bytes(clf)
        print(f"{rows} rows: peak {peak / 1e9:.3f} GB, stored attributes {held / 1e9:.3f} GB, "
              f"peak / stored {peak / held:.3f}")
        return

    from mapie.classification import SplitConformalClassifier

    def mapie():
        conformal = SplitConformalClassifier(model, confidence_level=1 - alpha,
                                             conformity_score="lac", prefit=True)
        conformal.conformalize(calib_x, calib_y)
        conformal.predict_set(test_x)

    def floor():
        test_class = fit_floor(calib_prob, calib_y, test_prob, alpha)[0]
        diagnose_floor(test_class, test_y)

    works = {"module": module, "MAPIE": mapie, "numpy floor": floor}
    only = [a.split("=", 1)[1] for a in sys.argv if a.startswith("--only=")]
    if only:
        # One run of one work in this process: what a fresh notebook session sees.
        print(f"{only[0]}: {best_of(1, {only[0]: works[only[0]]})[only[0]]:.4f} s")
        return
    timings = best_of(runs, works)
    print(f"{rows} test rows, {rows // 10} calibration rows (fit + diagnose, best of {runs})")
    for name, seconds in timings.items():
        print(f"{name:>12}: {seconds:7.3f} s")
    print(f"module / MAPIE: {timings['module'] / timings['MAPIE']:.2f}")

    if "--plot" in sys.argv:
        reliability_evaluation.display = lambda widget: None
        clf = module()
        start = time.perf_counter()
        clf.plot()
        print(f"{'plot':>12}: {time.perf_counter() - start:7.3f} s")


if __name__ == "__main__":
    main()
