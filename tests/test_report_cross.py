"""The coverage report of the cross-conformal classes: the bound they guarantee, the one
test it allows, and tables that describe."""

import numpy as np
import pandas as pd
import pytest
from sklearn.linear_model import LogisticRegression, Ridge

from trov.diagnoser import report
from trov.diagnoser.conformal import (
    ConformalClassifier,
    CrossConformalClassifier,
    CrossConformalRegressor,
)

WEIGHTS = np.array([1.0, 2.0, 0.0])


def linear(rng, n, scale=None):
    x = rng.normal(size=(n, 3))
    noise = np.ones(n) if scale is None else scale(x)
    return x, x @ WEIGHTS + noise * rng.normal(size=n)


def untested(r):
    """No table row carries a test: the bound promises nothing per row."""
    for name, table in r.tables.items():
        if "flag" in table:
            assert (table["flag"] == "").all() and table["p_adjusted"].isna().all(), name


def test_cross_regressor_report_states_its_bound_and_tests_only_the_whole():
    rng = np.random.default_rng(0)
    x, y = linear(rng, 200)
    # the test rows' noise grows where x0 > 1: that segment falls short
    tx, ty = linear(rng, 400, lambda x: np.where(x[:, 0] > 1, 5.0, 1.0))
    cr = CrossConformalRegressor(Ridge(), alpha=0.1, cv=5, random_state=0).fit(x, y)
    r = report.coverage_report(cr.evaluate(tx, ty))
    s = r.summary
    assert r.kind == "regression"
    assert (s["method"], s["n_estimators"], s["n_calib"]) == ("plus", 5, 200)
    assert s["coverage_bound"] == cr.coverage_bound_ and s["guarantee"] == cr.guarantee_
    assert s["coverage"] == cr.coverage_ and s["mean_width"] == pytest.approx(cr.mean_width_)
    # no Beta law given the fits: none of its ranges, and no row tested against the target
    assert not {"expected_low", "expected_high", "band_low", "band_high", "tol"} & set(s)
    untested(r)
    # a bound of 0.77 lets one fit cover nothing with chance 0.23 > 0.05: nothing can be flagged
    assert s["flag"] == "" and np.isnan(s["flag_at_most"])
    assert any(f.startswith("No coverage of these test rows could be flagged at 95 %")
               for f in r.findings)
    assert not any("split conformal" in f for f in r.findings)
    # the short segment is named as this fit's, not flagged
    assert any(f.startswith("This fit covers these rows less than") and "x0 in" in f
               for f in r.findings)
    html = r._repr_html_()
    assert "Markov" in html and "exact one-sided binomial" not in html
    assert repr(r).endswith("0 flagged rows>")


def test_only_a_coverage_no_fit_could_reach_is_flagged():
    rng = np.random.default_rng(1)
    x, y = linear(rng, 150)
    tx, ty = linear(rng, 200)
    # minmax at alpha 0.02 guarantees 0.98: a fit misses a share m with chance <= 0.02 / m
    cr = CrossConformalRegressor(Ridge(), alpha=0.02, method="minmax", cv=5).fit(x, y)
    assert cr.coverage_bound_ == pytest.approx(0.98)
    at_law = report.coverage_report(cr.evaluate(tx, ty)).summary
    assert at_law["flag"] == "" and at_law["flag_at_most"] == pytest.approx(0.6, abs=1 / 200)
    shifted = report.coverage_report(cr.evaluate(tx, ty + 6))
    s = shifted.summary
    assert s["coverage"] <= 0.6 and s["flag"] == "under-covered"
    assert s["p_adjusted"] == pytest.approx((1 - cr.coverage_bound_) / (1 - s["coverage"]))
    assert shifted.findings[0].startswith(
        f"Coverage {s['coverage']:.3f} is below the guaranteed 0.980 by more than a draw")
    untested(shifted)
    # short alike everywhere: no segment is named apart from the whole
    assert not any(f.startswith("This fit covers") for f in shifted.findings)
    # the same rows at a confidence above the bound: no test of one fit can reject it
    strict = report.coverage_report(cr, confidence=0.99).summary
    assert strict["flag"] == "" and np.isnan(strict["flag_at_most"])

    # jackknife+-after-bootstrap: its fits, not folds
    jab = CrossConformalRegressor(Ridge(), alpha=0.1, method="after_bootstrap", n_bootstraps=60,
                                  random_state=0).fit(x, y).evaluate(tx, ty)
    s = report.coverage_report(jab).summary
    assert (s["method"], s["n_estimators"]) == ("after_bootstrap", jab.n_estimators_)
    assert s["coverage_bound"] == pytest.approx(0.8) and s["guarantee"] == jab.guarantee_


def three_classes(rng, n):
    x = rng.normal(size=(n, 2))
    logits = x @ np.array([[2.0, 0.0, -2.0], [0.0, 2.0, -1.0]])
    return x, np.argmax(logits + rng.gumbel(size=(n, 3)), axis=1)


def test_cross_classifier_report_reads_its_sets_beside_a_split_one():
    rng = np.random.default_rng(2)
    x, y = three_classes(rng, 450)
    x = pd.DataFrame(x, columns=["a", "b"])
    test = x.iloc[150:]
    cc = CrossConformalClassifier(LogisticRegression(), alpha=0.1, cv=3, random_state=0)
    cc.fit(x.iloc[:150], y[:150]).evaluate(test, y[150:])
    r = report.coverage_report(cc)
    s = r.summary
    assert r.kind == "classification" and (s["n"], s["n_calib"], s["n_estimators"]) == (300, 150, 3)
    assert s["coverage"] == cc.coverage_ and s["mean_set_size"] == pytest.approx(cc.mean_set_size_)
    covered = cc.sets_[np.arange(300), np.searchsorted(cc.classes_, cc.test_y_)]
    assert r.tables["by_class"]["coverage"].tolist() == [covered[cc.test_y_ == k].mean()
                                                         for k in cc.classes_]
    assert set(r.tables["by_feature"]["feature"]) == {"a", "b"}
    untested(r)
    assert r.to_dict()["summary"]["flag_at_most"] is None

    split = ConformalClassifier(LogisticRegression().fit(x.iloc[:75], y[:75]), alpha=0.1)
    split.calibrate(x.iloc[75:150], y[75:150]).evaluate(test, y[150:])
    side = report.compare_reports({"cross": r, "split": report.coverage_report(split)}).table
    assert side.loc["coverage", "cross"] == cc.coverage_ and side.loc["flags", "cross"] == 0


def test_cross_objects_are_named_and_their_state_checked():
    with pytest.raises(TypeError, match="ConformalRegressor, CrossConformalClassifier or "
                                        "CrossConformalRegressor, got object"):
        report.coverage_report(object())
    with pytest.raises(ValueError, match="CrossConformalRegressor is not evaluated .*call evaluate"):
        report.coverage_report(CrossConformalRegressor(Ridge()))
    rng = np.random.default_rng(3)
    x, y = linear(rng, 60)
    cr = CrossConformalRegressor(Ridge(), cv=3).fit(x, y).evaluate(x, y)
    for value, error in ((1.5, ValueError), ("0.8", TypeError), (float("nan"), ValueError)):
        cr.coverage_bound_ = value
        with pytest.raises(error, match="coverage_bound_ must .*call fit again"):
            report.coverage_report(cr)
    cr.coverage_bound_, cr.n_estimators_ = 0.5, 0
    with pytest.raises(ValueError, match="n_estimators_ is 0, outside 1 to .*call fit again"):
        report.coverage_report(cr)
