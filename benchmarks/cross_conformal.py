"""CrossConformalRegressor and CrossConformalClassifier against MAPIE's cross-conformal
classes: fit + predict on n training rows and m = n new rows, wall time and peak memory,
each library in a fresh process for every case.

Run: .venv/bin/python benchmarks/cross_conformal.py [--no-large]
(with PYTHONPATH=build/<dev build>/pkg to time a development build). MAPIE comes from
the `bench` extra: pip install ".[bench]".

Ridge regression and linear discriminant analysis (10 classes) are cheap to fit, so the
conformal part is what gets timed. Peak memory is the child's resident set high-water
mark (VmHWM, reset through /proc/self/clear_refs once the inputs exist) above its
resident size at that moment: what the fit and predict calls added.

MAPIE keeps every (training row, new row) pair: CV+ holds n x m doubles, and its
cross-conformal sets ("crossval", the same rule as ours) n x m x classes. Its sets are
therefore timed at smaller n, and its default "mean" rule (the folds' scores averaged,
one threshold) at the full sizes for reference. The largest size runs ours alone.
"""

import json
import subprocess
import sys
import time

import numpy as np

# The peak-memory probe of the split benchmark, read from /proc the same way.
from conformal_1m import memory, peak_reset

ALPHA = 0.1
CLASSES = 10
FEATURES = 10

# (task, rows, libraries): MAPIE's "crossval" sets need about 20 bytes per n x m x
# classes entry, 20 GB at n = m = 10^4, so it runs at smaller sizes only.
CASES = [
    ("regression", 10_000, ("trov", "mapie")),
    ("regression", 20_000, ("trov", "mapie")),
    ("classification", 2_000, ("trov", "mapie-crossval")),
    ("classification", 5_000, ("trov", "mapie-crossval")),
    ("classification", 10_000, ("trov", "mapie-mean")),
    ("classification", 20_000, ("trov", "mapie-mean")),
]
LARGE = [("regression", 200_000, ("trov",)), ("classification", 200_000, ("trov",))]


def regression_data(rng, rows):
    x = rng.normal(size=(rows, FEATURES))
    y = x @ np.arange(1, FEATURES + 1) + rng.normal(size=rows) * (1 + np.abs(x[:, 0]))
    return x, y


def classification_data(rng, rows):
    centers = np.random.default_rng(1).normal(size=(CLASSES, FEATURES))
    y = rng.integers(0, CLASSES, rows)
    return centers[y] + rng.normal(size=(rows, FEATURES)), y


def steps(library, task):
    """(fit, predict) for one library; predict returns (rows, 2) bounds or (rows,
    classes) sets."""
    from sklearn.discriminant_analysis import LinearDiscriminantAnalysis
    from sklearn.linear_model import Ridge

    if library == "trov":
        from trov.diagnoser.conformal import CrossConformalClassifier, CrossConformalRegressor

        if task == "regression":
            model = CrossConformalRegressor(Ridge(), alpha=ALPHA, method="plus", cv=5,
                                            random_state=0)
            return model.fit, model.predict_intervals
        model = CrossConformalClassifier(LinearDiscriminantAnalysis(), alpha=ALPHA,
                                         score="lac", cv=5, random_state=0)
        return model.fit, model.predict_sets

    from mapie.classification import CrossConformalClassifier
    from mapie.regression import CrossConformalRegressor

    if task == "regression":
        model = CrossConformalRegressor(Ridge(), confidence_level=1 - ALPHA, method="plus",
                                        cv=5, random_state=0)
        return model.fit_conformalize, lambda x: model.predict_interval(x)[1][:, :, 0]
    model = CrossConformalClassifier(LinearDiscriminantAnalysis(), confidence_level=1 - ALPHA,
                                     conformity_score="lac", cv=5, random_state=0)
    rule = library.split("-")[1]
    return model.fit_conformalize, lambda x: model.predict_set(x, agg_scores=rule)[1][:, :, 0]


def run_one(library, task, rows):
    data = regression_data if task == "regression" else classification_data
    rng = np.random.default_rng(0)
    fit, predict = steps(library, task)
    x, y = data(rng, 200)
    fit(x, y)
    predict(x)  # a small first round pays for imports and caches
    fit, predict = steps(library, task)
    x, y = data(rng, rows)
    new_x, new_y = data(rng, rows)
    base = memory("VmRSS")
    peak_reset()
    start = time.perf_counter()
    fit(x, y)
    fitted = time.perf_counter()
    out = np.asarray(predict(new_x))
    done = time.perf_counter()
    peak = memory("VmHWM") - base
    if task == "regression":
        covered = (out[:, 0] <= new_y) & (new_y <= out[:, 1])
        size = float(np.mean(out[:, 1] - out[:, 0]))
    else:
        covered = out[np.arange(rows), new_y]
        size = float(out.sum(axis=1).mean())
    return {"fit_s": fitted - start, "predict_s": done - fitted, "peak_bytes": peak,
            "coverage": float(np.mean(covered)), "size": size}


def child(library, task, rows):
    result = subprocess.run([sys.executable, __file__, "--one", library, task, str(rows)],
                            stdout=subprocess.PIPE, check=True, universal_newlines=True)
    return json.loads(result.stdout.strip().splitlines()[-1])


NAMES = {"trov": "trov.diagnoser", "mapie": "MAPIE, plus", "mapie-crossval": "MAPIE, crossval",
         "mapie-mean": "MAPIE, mean"}


def main():
    if len(sys.argv) == 5 and sys.argv[1] == "--one":
        print(json.dumps(run_one(sys.argv[2], sys.argv[3], int(sys.argv[4]))))
        return
    cases = CASES + ([] if "--no-large" in sys.argv else LARGE)
    print(f"n training rows, m = n new rows, alpha {ALPHA}, cv=5; Ridge for regression, "
          f"LDA with {CLASSES} classes for sets (score lac). Peak memory: the child's VmHWM "
          "above its RSS with the inputs made.\n")
    print("| task | n = m | library | fit s | predict s | total s | peak MB | coverage | "
          "mean width or set size |")
    print("|---|---|---|---|---|---|---|---|---|")
    notes = []
    for task, rows, libraries in cases:
        out = {}
        for library in libraries:
            r = out[library] = child(library, task, rows)
            print(f"| {task} | {rows} | {NAMES[library]} | {r['fit_s']:.3f} | "
                  f"{r['predict_s']:.3f} | {r['fit_s'] + r['predict_s']:.3f} | "
                  f"{r['peak_bytes'] / 2**20:.1f} | {r['coverage']:.4f} | {r['size']:.4f} |",
                  flush=True)
        if len(libraries) == 2:
            t, m = out[libraries[0]], out[libraries[1]]
            time_ratio = (t["fit_s"] + t["predict_s"]) / (m["fit_s"] + m["predict_s"])
            size_change = t["size"] / m["size"] - 1
            # Rough agreement: folds are drawn differently, so only sampling noise apart.
            agree = abs(size_change) < 0.05 and abs(t["coverage"] - m["coverage"]) < 0.02
            notes.append(
                f"{task}, n = m = {rows}, against {NAMES[libraries[1]]}: time {time_ratio:.3f} x, "
                f"memory {t['peak_bytes'] / max(m['peak_bytes'], 1):.3f} x; coverage "
                f"{t['coverage']:.4f} vs {m['coverage']:.4f}, "
                f"{'width' if task == 'regression' else 'set size'} {100 * size_change:+.1f} % "
                f"({'they agree' if agree else 'they DIFFER'})")
    print()
    for note in notes:
        print(f"- {note}")


if __name__ == "__main__":
    main()
