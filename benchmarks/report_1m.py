"""Times coverage_report on a million test rows with ten features, against numpy's
argsort of those ten columns: the floor of any report that ranks every feature.

Run: MPLBACKEND=Agg .venv/bin/python benchmarks/report_1m.py [rows]
(with PYTHONPATH=build/<dev build>/pkg to time a development build).

The regressor holds hand-made intervals (what fit leaves, without LightGBM), since
the report only reads them. Each timing is the best of five runs.
"""

import sys
import time

import matplotlib

matplotlib.use("Agg")

import numpy as np  # noqa: E402

from trov.diagnoser import reliability_evaluation  # noqa: E402
from trov.diagnoser.report import coverage_report  # noqa: E402


def best(call, runs=5):
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        call()
        times.append(time.perf_counter() - start)
    return min(times)


def main():
    rows = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
    p = 10
    rng = np.random.default_rng(0)
    x = rng.normal(size=(rows, p))
    x[:, 1] = np.round(x[:, 1])  # a feature with many ties
    y = x @ np.arange(1.0, p + 1) + rng.normal(size=rows) * (1 + np.abs(x[:, 0]))
    pred = x @ np.arange(1.0, p + 1)
    half = 1.6 + 0.8 * np.abs(x[:, 0]) * rng.uniform(0.5, 1.5, size=rows)

    reg = reliability_evaluation.ResidualConformalRegressor(
        alpha=0.1, feature_names=np.array([f"x{j}" for j in range(p)]))
    reg.test_x, reg.test_y, reg.pred_test = x, y, pred
    reg.pred_low, reg.pred_up = pred - half, pred + half
    reg.width = abs(reg.pred_up - reg.pred_low)
    reg.calib_y = np.zeros(2000)

    argsort = best(lambda: [np.argsort(x[:, j]) for j in range(p)])
    report = best(lambda: coverage_report(reg))
    r = coverage_report(reg)
    html = best(r._repr_html_, runs=1)

    sets = [[0], [1], [0, 1]]
    acc = reliability_evaluation.AdaptiveConformalClassifier(alpha=0.1)
    acc.test_class = [sets[k] for k in rng.integers(0, 3, size=rows)]
    acc.test_y = rng.integers(0, 2, size=rows)
    classifier = best(lambda: coverage_report(acc))

    print(f"{rows} test rows, {p} features, coverage {r.summary['coverage']:.4f}, "
          f"{(r.tables['by_feature']['flag'] != '').sum()} flagged segments")
    print(f"numpy argsort of the {p} columns   {argsort:8.3f} s")
    print(f"coverage_report (regressor)        {report:8.3f} s  "
          f"= {report / argsort:.2f} x argsort (target <= 1.5)")
    print(f"  of which the prediction's ranking is one more column: "
          f"{(p + 1) / p:.2f} x the floor")
    print(f"coverage_report (classifier)       {classifier:8.3f} s")
    print(f"HTML of the regressor's report     {html:8.3f} s (not part of the above)")


if __name__ == "__main__":
    main()
