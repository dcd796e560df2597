"""The coverage report of the conformal module's objects, its remedies, and reports side by side."""

import warnings

import numpy as np
import pandas as pd
import pytest

from trov.diagnoser import report
from trov.diagnoser.conformal import ConformalClassifier, ConformalRegressor


class Table:
    """A fitted classifier whose rows are probability rows: x is the matrix itself."""

    def predict_proba(self, x):
        return np.asarray(x, dtype=float)


class Column:
    """A regressor predicting the first feature."""

    def predict(self, x):
        return np.asarray(x, dtype=float)[:, 0]


def minority_problem(rng, n):
    """Two classes, a tenth of the rows in class 1, whose probability the model
    understates: marginal calibration leaves class 1 short."""
    y = (rng.random(n) < 0.1).astype(int)
    p1 = np.clip(np.where(y == 1, rng.beta(2, 4, n), rng.beta(1, 8, n)), 0, 1)
    p = np.c_[1 - p1, p1]
    return np.c_[p, rng.normal(size=n)], y


def evaluated(rng, conditional=None, groups=False, n=2000):
    x, y = minority_problem(rng, 2 * n)
    g = np.where(x[:, 2] > 0, "right", "left") if groups else None
    cc = ConformalClassifier(Table(), alpha=0.1, score="lac", conditional=conditional,
                             random_state=0)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        cc.calibrate(x[:n, :2], y[:n], groups=None if g is None else g[:n])
    return cc.evaluate(pd.DataFrame(x[n:, :2], columns=["p0", "p1"]), y[n:],
                       groups=None if g is None else g[n:])


def test_conformal_classifier_report_reads_its_sets():
    rng = np.random.default_rng(0)
    with pytest.raises(ValueError, match="not evaluated .*call evaluate before coverage_report"):
        report.coverage_report(ConformalClassifier(Table()))
    cc = evaluated(rng)
    r = report.coverage_report(cc)
    s = r.summary
    assert r.kind == "classification" and s["n"] == 2000 and s["n_calib"] == 2000
    assert s["coverage"] == cc.coverage_ and s["mean_set_size"] == pytest.approx(cc.mean_set_size_)
    covered = cc.sets_[np.arange(2000), cc.test_y_]
    by_class = r.tables["by_class"]
    assert by_class["n"].tolist() == [np.sum(cc.test_y_ == 0), np.sum(cc.test_y_ == 1)]
    assert by_class["coverage"].tolist() == [covered[cc.test_y_ == k].mean() for k in (0, 1)]
    # the stored test rows give the feature table, by the frame's names
    assert set(r.tables["by_feature"]["feature"]) == {"p0", "p1"}
    assert "by_group" not in r.tables
    # marginal calibration leaves the minority class short; the report names the remedy
    assert by_class["flag"][1] == "under-covered"
    assert any('conditional="class"' in f for f in r.findings)

    per_class = report.coverage_report(evaluated(rng, conditional="class"))
    # each class follows its own law; the whole, their sum
    s = per_class.summary
    assert s["conditional"] == "class" and s["expected_low"] <= s["coverage"] <= s["expected_high"]
    assert per_class.tables["by_class"]["coverage"][1] >= 0.85
    assert not any('conditional="class"' in f for f in per_class.findings)

    cc.sets_ = cc.sets_[:, :1]
    with pytest.raises(ValueError, match="sets_ must be a bool array of 2000 rows by 2 classes"):
        report.coverage_report(cc)


def test_group_calibration_gives_a_group_table():
    cc = evaluated(np.random.default_rng(1), conditional="group", groups=True)
    r = report.coverage_report(cc)
    by_group = r.tables["by_group"]
    assert by_group["group"].tolist() == ["left", "right"]
    covered = cc.sets_[np.arange(len(cc.test_y_)), cc.test_y_]
    for row in by_group.itertuples():
        rows = cc.test_groups_ == row.group
        assert row.n == rows.sum() and row.coverage == covered[rows].mean()
    assert "Coverage by calibration group" in r._repr_html_()
    # per-group intervals: no band of the one-threshold law either
    x = np.c_[np.arange(400.0), np.zeros(400)]
    g = np.where(np.arange(400) < 5, 2, np.arange(400) % 2)  # group 2 too small: fallback
    cr = ConformalRegressor(Column(), method="absolute", conditional="group")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        cr.calibrate(x, x[:, 0] + g, groups=g).evaluate(x, x[:, 0] + g, groups=g)
    r = report.coverage_report(cr)
    assert r.tables["by_group"]["coverage"].tolist() == [1, 1, 1] and "band_high" not in r.summary
    assert r.summary["share_fallback"] == 5 / 400
    assert any(f.startswith("1 % of the test rows had their set changed by the fallback: the group 2 had")
               for f in r.findings)


def test_conformal_regressor_intervals_are_closed():
    x = np.c_[np.arange(200.0), np.zeros(200)]
    cr = ConformalRegressor(Column(), alpha=0.1, method="absolute")
    cr.calibrate(x, x[:, 0] + np.where(np.arange(200) % 2, 1.0, -1.0))  # every residual 1
    assert cr.threshold_ == 1
    # every test y on a bound: all covered, as the module itself counts
    cr.evaluate(x, x[:, 0] + np.where(np.arange(200) % 3, 1.0, -1.0))
    r = report.coverage_report(cr)
    assert r.kind == "regression" and cr.coverage_ == 1 and r.summary["coverage"] == 1
    assert r.summary["mean_width"] == 2 and r.tables["by_prediction"]["coverage"].min() == 1
    with pytest.raises(ValueError, match="call evaluate before coverage_report"):
        report.coverage_report(ConformalRegressor(Column(), method="absolute").calibrate(x, x[:, 0]))


def test_remedies_for_short_segments_and_full_sets(mod):
    c = mod.AdaptiveConformalClassifier(alpha=0.1)
    c.test_class = [[0, 1]] * 90 + [[0]] * 10
    c.test_y = np.ones(100, int)
    c.test_sorted_index = np.tile([1, 0], (100, 1))
    assert 'score="lac"' in report.coverage_report(c).findings[0]
    # a regressor missing most rows of one segment
    x = np.c_[np.arange(4000.0), np.zeros(4000)]
    cr = ConformalRegressor(Column(), alpha=0.1, method="absolute")
    cr.calibrate(x, x[:, 0] + np.where(np.arange(4000) % 10, 0.5, 2.0))
    cr.evaluate(x, x[:, 0] + np.where((np.arange(4000) < 400) & (np.arange(4000) % 4 > 0), 9, 0))
    findings = report.coverage_report(cr).findings
    assert any("ConformalRegressor(model, conditional=\"group\")" in f for f in findings)


def test_compare_reports_side_by_side(tmp_path):
    rng = np.random.default_rng(2)
    a = report.coverage_report(evaluated(rng))
    b = report.coverage_report(evaluated(rng, conditional="class"))
    c = report.compare_reports({"marginal": a, "per class": b})
    t = c.table
    assert t.columns.tolist() == ["marginal", "per class"]
    assert t.loc["coverage", "marginal"] == a.summary["coverage"]
    assert t.loc["coverage_high", "per class"] == b.summary["coverage_high"]
    assert t.loc["mean_set_size", "per class"] == b.summary["mean_set_size"]
    assert t.loc["worst_class", "marginal"] == "class 1"
    assert t.loc["flags", "marginal"] >= 1
    assert t.loc["worst_segment", "marginal"].startswith("p")
    path = tmp_path / "side.html"
    c.to_html(path)
    for page in [c._repr_html_(), path.read_text(encoding="utf-8")]:
        assert "per class" in page and "worst_class" in page and "http" not in page
    assert path.read_text(encoding="utf-8").startswith("<!DOCTYPE html>")

    with pytest.raises(TypeError, match="expects a dict of name to CoverageReport"):
        report.compare_reports([a, b])
    with pytest.raises(TypeError, match="'b' is no CoverageReport"):
        report.compare_reports({"a": a, "b": 1})
    x = np.c_[np.arange(20.0)]
    cr = ConformalRegressor(Column(), method="absolute").calibrate(x, x[:, 0]).evaluate(x, x[:, 0])
    with pytest.raises(ValueError, match="compare reports of one kind"):
        report.compare_reports({"a": a, "r": report.coverage_report(cr)})
