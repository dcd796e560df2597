"""What predict_intervals adds to the predict time of the models it calls (the
model and its two quantile models), on a million new rows.

Run: .venv/bin/python benchmarks/conformal_intervals_1m.py [rows]
(with PYTHONPATH=build/<dev build>/pkg to time a development build).
"""

import sys
import time

import numpy as np
from sklearn.linear_model import LinearRegression

from trov.diagnoser.conformal import ConformalRegressor


class Cached:
    """Answers predict with the predictions a model made already."""

    def __init__(self, values):
        self.values = values

    def predict(self, x):
        return self.values


def best_of(repeats, step):
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        step()
        times.append(time.perf_counter() - start)
    return min(times)


def main():
    rows = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
    rng = np.random.default_rng(0)
    x = rng.normal(size=(rows + 40_000, 5))
    y = x @ np.arange(1, 6) + rng.normal(size=len(x)) * (1 + np.abs(x[:, 0]))
    model = LinearRegression().fit(x[:20_000], y[:20_000])
    cr = ConformalRegressor(model, alpha=0.1).fit(x[:20_000], y[:20_000])
    cr.calibrate(x[20_000:40_000], y[20_000:40_000])
    new = x[40_000:]
    low, high = cr.quantile_models_

    def models():
        model.predict(new)
        low.predict(new)
        high.predict(new)

    models_s = best_of(3, models)
    intervals_s = best_of(3, lambda: cr.predict_intervals(new))
    # The models' time varies from run to run more than the overhead itself on a
    # busy machine: the overhead is also timed alone, with their answers cached.
    cr.model = Cached(model.predict(new))
    cr.quantile_models_ = (Cached(low.predict(new)), Cached(high.predict(new)))
    alone_s = best_of(5, lambda: cr.predict_intervals(new))
    print(f"{rows} rows: models' predict {models_s:.3f} s, predict_intervals {intervals_s:.3f} s "
          f"({100 * (intervals_s / models_s - 1):+.1f} %); without the models {alone_s:.4f} s "
          f"({100 * alone_s / models_s:.2f} % of the models' time)")


if __name__ == "__main__":
    main()
