"""ConformalClassifier against MAPIE's SplitConformalClassifier (prefit): calibrate +
predict_sets on a million calibration rows and a million new rows, wall time and
peak memory, each run in a fresh process.

Run: .venv/bin/python benchmarks/conformal_1m.py [rows]
(with PYTHONPATH=build/<dev build>/pkg to time a development build). MAPIE comes
from the `bench` extra: pip install ".[bench]".
"""

import json
import subprocess
import sys
import time

import numpy as np

# (score, classes): MAPIE refuses adaptive sets for two classes.
CASES = [("lac", 2), ("lac", 10), ("aps", 10)]


class TableModel:
    """A fitted classifier whose rows are its probability rows."""

    def __init__(self, classes):
        self.classes_ = np.arange(classes)
        self.n_features_in_ = classes

    def fit(self, x, y):
        return self

    def predict_proba(self, x):
        return x

    def predict(self, x):
        return x.argmax(axis=1)

    def get_params(self, deep=True):
        return {"classes": len(self.classes_)}

    def __sklearn_is_fitted__(self):
        return True


def table(rng, rows, classes):
    p = rng.dirichlet(np.full(classes, 0.5), rows)
    y = (p.cumsum(axis=1) < rng.random((rows, 1))).sum(axis=1)
    return p, np.minimum(y, classes - 1)


def peak_reset():
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")


def memory(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field):
                return int(line.split()[1]) * 1024
    return 0


def run_one(library, score, classes, rows):
    rng = np.random.default_rng(0)
    model = TableModel(classes)
    calib_p, calib_y = table(rng, 1000, classes)
    new_p, _ = table(rng, 1000, classes)
    if library == "trov":
        from trov.diagnoser.conformal import ConformalClassifier

        def work():
            cc = ConformalClassifier(model, alpha=0.1, score=score).calibrate(calib_p, calib_y)
            return cc.predict_sets(new_p)
    else:
        from mapie.classification import SplitConformalClassifier

        def work():
            m = SplitConformalClassifier(model, confidence_level=0.9, conformity_score=score,
                                         prefit=True)
            m.conformalize(calib_p, calib_y)
            return m.predict_set(new_p)[1]
    work()  # a small first call pays for imports and caches
    calib_p, calib_y = table(rng, rows, classes)
    new_p, _ = table(rng, rows, classes)
    base = memory("VmRSS")
    peak_reset()
    start = time.perf_counter()
    sets = work()
    seconds = time.perf_counter() - start
    peak = memory("VmHWM") - base
    size = float(np.asarray(sets).reshape(rows, classes, -1)[:, :, 0].sum(axis=1).mean())
    return {"seconds": seconds, "peak_bytes": peak, "mean_size": size}


def main():
    if len(sys.argv) == 6 and sys.argv[1] == "--one":
        print(json.dumps(run_one(sys.argv[2], sys.argv[3], int(sys.argv[4]), int(sys.argv[5]))))
        return
    print(f"{ROWS} calibration rows + {ROWS} new rows; time and peak memory above the inputs")
    print(f"{'score':>6} {'classes':>7} | {'trov s':>7} {'MAPIE s':>7} {'ratio':>6} | "
          f"{'trov MB':>7} {'MAPIE MB':>8} {'ratio':>6} | mean sizes")
    for score, classes in CASES:
        out = {}
        for library in ("trov", "mapie"):
            result = subprocess.run(
                [sys.executable, __file__, "--one", library, score, str(classes), str(ROWS)],
                stdout=subprocess.PIPE, check=True, universal_newlines=True)
            out[library] = json.loads(result.stdout.strip().splitlines()[-1])
        t, m = out["trov"], out["mapie"]
        print(f"{score:>6} {classes:>7} | {t['seconds']:7.3f} {m['seconds']:7.3f} "
              f"{t['seconds'] / m['seconds']:6.3f} | {t['peak_bytes'] / 2**20:7.1f} "
              f"{m['peak_bytes'] / 2**20:8.1f} {t['peak_bytes'] / max(m['peak_bytes'], 1):6.3f} | "
              f"{t['mean_size']:.3f} {m['mean_size']:.3f}")


ROWS = 1_000_000
if __name__ == "__main__":
    if len(sys.argv) == 2:
        ROWS = int(sys.argv[1])
    main()
