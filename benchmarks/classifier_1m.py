"""Times AdaptiveConformalClassifier on a million test rows: fit, diagnose, plot.

Run: MPLBACKEND=Agg .venv/bin/python benchmarks/classifier_1m.py [rows]
(with PYTHONPATH=build/<dev build>/pkg to time a development build).
"""

import sys
import time

import matplotlib

matplotlib.use("Agg")

import numpy as np  # noqa: E402

import trov.diagnoser.reliability_evaluation as reliability_evaluation  # noqa: E402


class TableModel:
    """Answers predict_proba with a fixed table per data part."""

    def __init__(self, tables):
        self.tables = tables

    def predict_proba(self, part):
        return self.tables[part]


def two_class_table(rng, rows):
    """A confident model that is wrong on about 5% of the rows."""
    p = rng.beta(0.5, 0.5, rows)
    wrong = rng.random(rows) < 0.05
    return np.column_stack([1 - p, p]), ((p > 0.5) ^ wrong).astype(int)


def main():
    rows = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
    rng = np.random.default_rng(0)
    calib_prob, calib_y = two_class_table(rng, 10_000)
    test_prob, test_y = two_class_table(rng, rows)
    model = TableModel({"calib": calib_prob, "test": test_prob})
    reliability_evaluation.display = lambda widget: None

    clf = reliability_evaluation.AdaptiveConformalClassifier(alpha=0.1)
    timings = {}
    start = time.perf_counter()
    clf.fit(model, None, None, "test", test_y, "calib", calib_y)
    timings["fit"] = time.perf_counter() - start
    start = time.perf_counter()
    result = clf.diagnose()
    timings["diagnose"] = time.perf_counter() - start
    start = time.perf_counter()
    clf.diagnose()
    timings["diagnose again"] = time.perf_counter() - start
    start = time.perf_counter()
    clf.plot()
    timings["plot"] = time.perf_counter() - start

    print(f"{rows} test rows, q = {clf.q:.4f}, coverage = {clf.coverage:.4f}, width = {clf.width:.4f}")
    print("set sizes:", dict(zip(result["number of class"].tolist(), result["sample count"].tolist())))
    for step, seconds in timings.items():
        print(f"{step:>15}: {seconds:6.2f} s")
    print(f"{'total':>15}: {sum(timings.values()):6.2f} s")


if __name__ == "__main__":
    main()
