"""Times ResidualConformalRegressor on a million test rows: fit, diagnose, plot, plot_feature.

Run: MPLBACKEND=Agg .venv/bin/python benchmarks/regressor_1m.py [rows]
(with PYTHONPATH=build/<dev build>/pkg to time a development build).

The quantile models are the real LightGBM regressor, timed separately so the
module's own share of `fit` shows: what is left after LightGBM's fit and predict
and the caller's model.
"""

import sys
import time
import warnings

import matplotlib

matplotlib.use("Agg")

import lightgbm  # noqa: E402
import numpy as np  # noqa: E402

import trov.diagnoser.reliability_evaluation as reliability_evaluation  # noqa: E402

spent = {"lightgbm fit": 0.0, "lightgbm predict": 0.0, "model predict": 0.0}


class Timed(lightgbm.LGBMRegressor):
    def fit(self, *args, **kwargs):
        start = time.perf_counter()
        try:
            return super().fit(*args, **kwargs)
        finally:
            spent["lightgbm fit"] += time.perf_counter() - start

    def predict(self, *args, **kwargs):
        start = time.perf_counter()
        try:
            return super().predict(*args, **kwargs)
        finally:
            spent["lightgbm predict"] += time.perf_counter() - start


class Linear:
    """The caller's fitted model: a slightly wrong linear function."""

    def __init__(self, coef):
        self.coef = coef

    def predict(self, x):
        start = time.perf_counter()
        out = x @ self.coef
        spent["model predict"] += time.perf_counter() - start
        return out


def main():
    rows = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
    rng = np.random.default_rng(0)
    p = 5
    coef = np.arange(1.0, p + 1)

    def data(n):
        x = rng.normal(size=(n, p))
        # Noise grows with the first feature, so the bands have something to learn.
        return x, x @ coef + rng.normal(size=n) * (1 + np.abs(x[:, 0]))

    train_x, train_y = data(20_000)
    test_x, test_y = data(rows)
    model = Linear(coef * 0.95)

    reliability_evaluation.display = lambda widget: None
    reliability_evaluation.LGBMRegressor = Timed
    reg = reliability_evaluation.ResidualConformalRegressor(
        feature_names=np.array(["x{}".format(i) for i in range(p)]))

    timings = {}
    start = time.perf_counter()
    reg.fit(model, train_x, train_y, test_x, test_y)
    timings["fit"] = time.perf_counter() - start
    for step, call in [("diagnose", reg.diagnose), ("plot", reg.plot),
                       ("plot_feature", lambda: reg.plot_feature("x0"))]:
        start = time.perf_counter()
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            call()
        timings[step] = time.perf_counter() - start

    own_fit = timings["fit"] - sum(spent.values())
    print(f"{rows} test rows, 20000 training rows, coverage = {reg.coverage:.4f}, "
          f"mean width = {reg.width.mean():.4f}")
    for name, seconds in spent.items():
        print(f"  {name:<18}{seconds:8.3f} s")
    for name, seconds in timings.items():
        print(f"{name:<20}{seconds:8.3f} s")
    print(f"fit without LightGBM and the model: {own_fit:.3f} s")


if __name__ == "__main__":
    main()
