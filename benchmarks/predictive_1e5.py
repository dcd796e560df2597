"""Conformal predictive distributions: predict_cdf and predict_quantiles on 10^5 new
rows from 10^4 calibration rows, the model's answers cached so that only the
distributions are timed; peak memory by tracemalloc (numpy reports its buffers).

Run: .venv/bin/python benchmarks/predictive_1e5.py [rows] [calibration rows]
(with PYTHONPATH=build/<dev build>/pkg to time a development build).
"""

import sys
import time
import tracemalloc

import numpy as np

from trov.diagnoser.conformal import ConformalRegressor


class Cached:
    """Answers predict with fixed values, one per row."""

    def __init__(self, values):
        self.values = values

    def predict(self, x):
        return self.values[: len(x)]


def measured(step, repeats=3):
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        step()
        times.append(time.perf_counter() - start)
    tracemalloc.start()
    step()
    peak = tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()
    return min(times), peak / 2**20


def main():
    rows = int(sys.argv[1]) if len(sys.argv) > 1 else 100_000
    n = int(sys.argv[2]) if len(sys.argv) > 2 else 10_000
    rng = np.random.default_rng(0)
    centre = rng.normal(size=max(rows, n))
    sigma = rng.uniform(0.5, 2, size=max(rows, n))
    calib_y = centre[:n] + sigma[:n] * rng.normal(size=n)
    x = np.zeros((max(rows, n), 1))
    for method in ("absolute", "normalized"):
        cr = ConformalRegressor(Cached(centre), method=method, beta=0.1,
                                difficulty=lambda rows_x, s=sigma: s[: len(rows_x)],
                                random_state=0).calibrate(x[:n], calib_y)
        new = x[:rows]
        y = centre[:rows] + sigma[:rows] * rng.normal(size=rows)
        cases = [
            ("predict_cdf, one y per row", lambda: cr.predict_cdf(new, y)),
            ("predict_cdf, 10 y per row",
             lambda: cr.predict_cdf(new, y[:, None] + np.linspace(-2, 2, 10))),
            ("predict_quantiles, 19 levels",
             lambda: cr.predict_quantiles(new, np.arange(1, 20) / 20)),
        ]
        for name, step in cases:
            seconds, peak = measured(step)
            print(f"{method:10s} {name:30s} {rows} x {n}: {seconds:.4f} s, peak {peak:.1f} MB")


if __name__ == "__main__":
    main()
