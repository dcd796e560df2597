"""Online coverage on drifting streams beside MAPIE's ACI (the bench extra), and the
replay speed at a million steps.

Each method sees one row at a time: its interval, then the row's label. MAPIE's
TimeSeriesRegressor(method="aci") is conformalised on the same calibration rows
(cv="prefit") and updated with the same step size γ = 0.005; it keeps a window of
scores as long as the calibration set, as its update does.

Run: .venv/bin/python benchmarks/online_stream.py [steps] [mapie_steps_timed]
(with PYTHONPATH=build/<dev build>/pkg to time a development build).
"""

import sys
import time
import warnings

import numpy as np
from sklearn.linear_model import LinearRegression

from trov.diagnoser.conformal import OnlineConformalRegressor


def drifting(kind, steps, rng):
    t = np.arange(steps)
    sd = {
        "change": np.where(t < steps // 2, 1.0, 3.0),
        "trend": 1 + 2 * t / steps,
        "season": 1 + 0.8 * np.sin(2 * np.pi * t / 2000),
    }[kind]
    x = rng.normal(size=(steps, 1))
    return x, x[:, 0] + sd * rng.normal(size=steps)


def coverage(covered, window=500):
    rolling = np.convolve(covered, np.ones(window) / window, "valid")
    return covered.mean(), rolling.min()


def mapie_stream(model, xc, yc, x, y, gamma):
    from mapie.regression import TimeSeriesRegressor

    mapie = TimeSeriesRegressor(model, method="aci", cv="prefit")
    mapie.fit(xc, yc)
    covered = np.empty(len(y), dtype=bool)
    start = time.perf_counter()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for t in range(len(y)):
            _, bounds = mapie.predict(x[t:t + 1], confidence_level=0.9,
                                      allow_infinite_bounds=True)
            low, high = bounds[0, 0, 0], bounds[0, 1, 0]
            covered[t] = low <= y[t] <= high
            mapie.update(x[t:t + 1], y[t:t + 1], confidence_level=0.9, gamma=gamma)
    return covered, (time.perf_counter() - start) / len(y)


def main():
    steps = int(sys.argv[1]) if len(sys.argv) > 1 else 20_000
    rng = np.random.default_rng(0)
    xf = rng.normal(size=(500, 1))
    model = LinearRegression().fit(xf, xf[:, 0] + rng.normal(size=500))
    xc = rng.normal(size=(500, 1))
    yc = xc[:, 0] + rng.normal(size=500)

    print(f"{steps:,} steps after 500 calibration rows, alpha 0.1, one row at a time;"
          " long-run coverage / worst 500-row window")
    print(f"{'scenario':10s} {'ours aci':>16s} {'ours pid':>16s} {'MAPIE aci':>16s}")
    per_step = []
    for kind in ("change", "trend", "season"):
        x, y = drifting(kind, steps, np.random.default_rng(1))
        cells = []
        for method in ("aci", "pid"):
            oc = OnlineConformalRegressor(model, method=method, random_state=0).calibrate(xc, yc)
            oc.replay(x, y)
            cells.append(coverage(~np.asarray(oc.errors_)))
        covered, seconds = mapie_stream(model, xc, yc, x, y, gamma=0.005)
        per_step.append(seconds)
        cells.append(coverage(covered))
        print(f"{kind:10s} " + " ".join(f"{a:.3f} / {w:.3f}".rjust(16) for a, w in cells))

    big = 1_000_000
    x, y = drifting("change", big, np.random.default_rng(2))
    print(f"\nreplay of {big:,} steps (model predict included):")
    for method in ("aci", "pid"):
        oc = OnlineConformalRegressor(model, method=method, random_state=0).calibrate(xc, yc)
        start = time.perf_counter()
        oc.replay(x, y)
        print(f"  ours {method}: {time.perf_counter() - start:.2f} s")
    seconds = float(np.median(per_step))
    print(f"  MAPIE aci: {seconds * 1e3:.2f} ms a step over {steps:,} steps, so about "
          f"{seconds * big / 60:.0f} min for {big:,} (predict and update per row, as a "
          "stream feeds it)")


if __name__ == "__main__":
    main()
