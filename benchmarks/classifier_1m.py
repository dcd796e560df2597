"""Times AdaptiveConformalClassifier's fit + diagnose beside MAPIE's split conformal
classifier (prefit, LAC sets) and beside the numpy floor of the same steps.

Run: MPLBACKEND=Agg .venv/bin/python benchmarks/classifier_1m.py [rows] [options]
(with PYTHONPATH=build/<dev build>/pkg to time a development build; MAPIE comes
with the `bench` extra). n test rows, n/10 calibration rows, a stand-in model whose
predict_proba is a precomputed array. Without options: the best of rounds that run
the three in turn in one process. --fresh=N: module and MAPIE, one run in each of
N new processes apiece. --memory: the peak traced memory of fit + diagnose against
the size of what they store (slower: tracemalloc is on). --plot: also times plot.
"""

import gc
import statistics
import subprocess
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


def works_for(rows, alpha=0.1):
    """The three ways of getting the sets and their coverage, on n test rows and
    n/10 calibration rows."""
    rng = np.random.default_rng(0)
    calib_prob, calib_y = two_class_table(rng, rows // 10)
    test_prob, test_y = two_class_table(rng, rows)
    model = TableClassifier({rows // 10: calib_prob, rows: test_prob})
    calib_x, test_x = np.zeros((rows // 10, 1)), np.zeros((rows, 1))

    def module():
        clf = reliability_evaluation.AdaptiveConformalClassifier(alpha=alpha)
        clf.fit(model, None, None, test_x, test_y, calib_x, calib_y)
        clf.diagnose()
        return clf

    def mapie():
        from mapie.classification import SplitConformalClassifier

        conformal = SplitConformalClassifier(model, confidence_level=1 - alpha,
                                             conformity_score="lac", prefit=True)
        conformal.conformalize(calib_x, calib_y)
        return conformal.predict_set(test_x)

    def floor():
        test_class = fit_floor(calib_prob, calib_y, test_prob, alpha)[0]
        return diagnose_floor(test_class, test_y)

    return {"module": module, "MAPIE": mapie, "numpy floor": floor,
            "data": (model, test_x, test_y, calib_x, calib_y)}


def fresh_processes(rows, rounds, names=("module", "MAPIE")):
    """Each run in a new process after a warm-up on 1,000 rows: the allocator as a
    new notebook session finds it, with nothing left by the other library."""
    times = {name: [] for name in names}
    for _ in range(rounds):
        for name in names:
            child = subprocess.run([sys.executable, __file__, str(rows), f"--one={name}"],
                                   capture_output=True, text=True, check=True)
            times[name].append(float(child.stdout))
    print(f"{rows} test rows, {rows // 10} calibration rows "
          f"(fit + diagnose, one run in each of {rounds} new processes)")
    for name, spent in times.items():
        print(f"{name:>12}: best {min(spent):7.3f} s, median {statistics.median(spent):7.3f} s")
    ratio = {k: f(times["module"]) / f(times["MAPIE"])
             for k, f in [("best", min), ("median", statistics.median)]}
    print(f"module / MAPIE: best {ratio['best']:.2f}, median {ratio['median']:.2f}")


def main():
    args = [a for a in sys.argv[1:] if not a.startswith("--")]
    rows = int(float(args[0])) if args else 1_000_000
    options = dict(a[2:].split("=", 1) for a in sys.argv[1:] if a.startswith("--") and "=" in a)

    if "one" in options:
        name = options["one"]
        works_for(1000)[name]()
        work = works_for(rows)[name]
        print(best_of(1, {name: work})[name])
        return
    if "fresh" in options:
        fresh_processes(rows, int(options["fresh"]))
        return

    works = works_for(rows)
    data = works.pop("data")
    if "--memory" in sys.argv:
        tracemalloc.start()
        before = tracemalloc.get_traced_memory()[0]
        tracemalloc.reset_peak()
        clf = works["module"]()
        peak = tracemalloc.get_traced_memory()[1] - before
        tracemalloc.stop()
        held = stored_bytes(clf)
        print(f"{rows} rows: peak {peak / 1e9:.3f} GB, stored attributes {held / 1e9:.3f} GB, "
              f"peak / stored {peak / held:.3f}")
        return

    runs = 2 if rows >= 5_000_000 else 5
    timings = best_of(runs, works)
    print(f"{rows} test rows, {rows // 10} calibration rows "
          f"(fit + diagnose, best of {runs} rounds in one process)")
    for name, seconds in timings.items():
        print(f"{name:>12}: {seconds:7.3f} s")
    print(f"module / MAPIE: {timings['module'] / timings['MAPIE']:.2f}")

    if "--plot" in sys.argv:
        # Each step on its own, plot included (its figure is drawn, not shown).
        reliability_evaluation.display = lambda widget: None
        works["module"]()  # a warm run, as the timings above are best of several
        clf = reliability_evaluation.AdaptiveConformalClassifier(alpha=0.1)
        model, test_x, test_y, calib_x, calib_y = data
        for name, step in [("fit", lambda: clf.fit(model, None, None, test_x, test_y, calib_x,
                                                   calib_y)),
                           ("diagnose", clf.diagnose), ("plot", clf.plot)]:
            start = time.perf_counter()
            step()
            print(f"{name:>12}: {time.perf_counter() - start:7.3f} s")

if __name__ == "__main__":
    main()
