"""The report's shift section (does the guarantee carry over to new rows?) and the
report of objects calibrated with weights."""

import json

import numpy as np
import pandas as pd
import pytest

from trov.diagnoser import conformal, report
from trov.diagnoser.conformal import ConformalClassifier, ConformalRegressor
from test_report import classifier


class Column:
    """A fitted regressor predicting the first feature."""

    def predict(self, x):
        return np.asarray(x, dtype=float)[:, 0]


class Ratio:
    """What the report reads of a fitted density ratio, and a weight per row."""

    def __init__(self, auc=0.5, pvalue=0.5, ess=150.0, n_source=200, n_new=100, drops=None,
                 weight=lambda x: np.ones(len(x))):
        self.auc_, self.pvalue_, self.ess_ = auc, pvalue, ess
        self.n_source_, self.n_new_ = n_source, n_new
        self.drops, self.weight, self.calls = drops, weight, []

    def feature_importances(self, n_repeats=5, random_state=None):
        self.calls.append(random_state)
        return pd.Series(self.drops, dtype=float).sort_values(ascending=False)

    def __call__(self, x):
        return self.weight(np.asarray(x, dtype=float))


def evaluated_regressor(rng, n=200, shift=None, mean=0.0):
    """A regressor calibrated on N(0, 1) features, evaluated on N(mean, 1) ones."""
    x = rng.normal(size=(n, 3))
    y = x[:, 0] + rng.normal(size=n)
    cr = ConformalRegressor(Column(), alpha=0.1, method="absolute")
    cr.calibrate(x, y) if shift is None else cr.calibrate(x, y, shift=shift)
    tx = rng.normal(size=(n, 3)) + [mean, 0, 0]
    return cr.evaluate(pd.DataFrame(tx, columns=["a", "b", "c"]), tx[:, 0] + rng.normal(size=n))


DROPS = {"a": 0.31, "b": 0.02, "c": -0.01, "d": 0.0, "e": 0.2, "f": 0.05, "g": np.nan}


def test_a_detected_shift_names_its_features_and_the_remedy():
    cr = evaluated_regressor(np.random.default_rng(0))
    ratio = Ratio(auc=0.8349, pvalue=3e-9, ess=340.4, n_source=2000, n_new=500, drops=DROPS)
    r = report.coverage_report(cr, shift=ratio)
    s = r.summary
    assert (s["shift_auc"], s["shift_pvalue"], s["shift_ess"]) == (0.8349, 3e-9, 340.4)
    assert (s["shift_n_source"], s["shift_n_new"]) == (2000, 500)
    assert s["shift_detected"] is True and s["weighted"] is False
    assert "calibration_ess" not in s and ratio.calls == [0]  # seeded importances
    # the five largest drops, largest first; NaN never among them before a number
    table = r.tables["shift features"]
    assert table["feature"].tolist() == ["a", "e", "f", "b", "d"]
    assert table["auc_drop"].tolist() == [0.31, 0.2, 0.05, 0.02, 0.0]
    first = r.findings[0]  # a shift is what to act on first
    assert first.startswith("New rows differ from the calibration rows (AUC 0.83, p < 1e-6): "
                            "the marginal guarantee does not carry over")
    # at most three named, only those whose permutation lowers the AUC
    assert "apart most (the table \"shift features\"): a, e, f." in first
    assert "ConformalRegressor(model).calibrate(calib_x, calib_y, shift=" in first
    assert "effective sample size is 340 of 2,000 rows" in first
    assert "P(y | x)" in first and "label or concept shift" in first
    html = r._repr_html_()
    assert "Shift to new rows" in html and "<code>shift features</code>" in html
    assert html.count("<code>shift features</code>") == 1
    assert json.loads(json.dumps(r.to_dict()))["summary"]["shift_detected"] is True


@pytest.mark.parametrize("pvalue, confidence, detected, said", [
    (0.62, 0.95, False, "p = 0.62"),
    (0.04, 0.95, True, "p = 0.04"),
    (0.04, 0.97, False, "p = 0.04"),  # detected below 1 - confidence only
    (0.0031415, 0.95, True, "p = 0.0031"),
    (1.2e-5, 0.95, True, "p = 1.2e-05"),
    (1e-6, 0.95, True, "p = 1e-06"),
    (9.9e-7, 0.95, True, "p < 1e-6"),
])
def test_shift_detected_below_one_minus_confidence(pvalue, confidence, detected, said):
    cr = evaluated_regressor(np.random.default_rng(1))
    r = report.coverage_report(cr, confidence=confidence, shift=Ratio(auc=0.51, pvalue=pvalue))
    assert r.summary["shift_detected"] is detected
    text = r.findings[0] if detected else r.findings[-1]
    assert f"(AUC 0.51, {said})" in text
    if not detected:
        assert text.startswith("No shift between the calibration and new rows is detectable at "
                               "this n (AUC 0.51, ")
        assert "no proof there is none" in text and "with 200 calibration and 100 new rows" in text


def test_a_ratio_without_importances_or_counts_still_gives_the_section():
    cr = evaluated_regressor(np.random.default_rng(2))
    ratio = Ratio(auc=0.9, pvalue=0.0, ess=12.0, n_source=None, n_new=None)
    del ratio.n_source_
    ratio.feature_importances = None  # not callable: no table
    r = report.coverage_report(cr, shift=ratio)
    assert r.summary["shift_n_source"] is None and r.summary["shift_n_new"] is None
    assert "shift features" not in r.tables
    assert "effective sample size is 12 rows." in r.findings[0]
    assert "tell them apart most" not in r.findings[0]


class Recording:
    """DensityRatio as the report builds it: records what it was given."""

    made = []

    def __init__(self, classifier=None, cv=5, clip=0.01, n_jobs=None, random_state=None):
        self.random_state = random_state
        Recording.made.append(self)

    def fit(self, source_x, new_x):
        self.source, self.new = source_x, new_x
        source, new = np.asarray(source_x, dtype=float), np.asarray(new_x, dtype=float)
        if source.shape[1] != new.shape[1]:
            raise ValueError("source_x and new_x hold different features")
        self.auc_, self.pvalue_, self.ess_ = 0.7, 1e-4, 0.5 * len(source)
        self.n_source_, self.n_new_ = len(source), len(new)
        return self


def test_new_x_fits_a_ratio_on_the_test_rows(monkeypatch):
    monkeypatch.setattr(conformal, "DensityRatio", Recording, raising=False)
    Recording.made.clear()
    rng = np.random.default_rng(3)
    cr = evaluated_regressor(rng)
    new_x = rng.normal(size=(80, 3)) + 1
    r = report.coverage_report(cr, new_x=new_x)
    (made,) = Recording.made
    assert made.random_state == 0 and made.source is cr.test_x_ and made.new is new_x
    s = r.summary
    assert (s["shift_n_source"], s["shift_n_new"], s["shift_ess"]) == (200, 80, 100.0)
    assert r.findings[0].startswith("New rows differ from the test rows (AUC 0.70, p = 0.0001)")
    # a test_x given replaces the stored rows, as it does for the tables
    other = rng.normal(size=(200, 3))
    report.coverage_report(cr, test_x=other, new_x=new_x)
    assert Recording.made[-1].source is other
    # the procedures' classifier keeps no test features
    from trov.diagnoser import reliability_evaluation as mod
    acc = classifier(mod, [[0]] * 20, [0] * 20)
    with pytest.raises(ValueError, match="AdaptiveConformalClassifier holds none: pass them "
                                         "as test_x"):
        report.coverage_report(acc, new_x=new_x)
    assert "shift_auc" in report.coverage_report(acc, test_x=new_x[:20], new_x=new_x).summary
    # the ratio's own error, with what the report asked of it
    with pytest.raises(ValueError, match="different features") as caught:
        report.coverage_report(cr, new_x=new_x[:, :2])
    assert "the test rows (the source) and new_x" in str(getattr(caught.value, "__notes__", ""))
    monkeypatch.delattr(conformal, "DensityRatio")
    with pytest.raises(ImportError, match="no DensityRatio .* pass shift="):
        report.coverage_report(cr, new_x=new_x)


def test_bad_shift_arguments_say_what_to_pass():
    cr = evaluated_regressor(np.random.default_rng(4))
    with pytest.raises(ValueError, match="shift .* or new_x .*, not both"):
        report.coverage_report(cr, shift=Ratio(), new_x=np.zeros((3, 3)))
    with pytest.raises(TypeError, match="shift must be a fitted DensityRatio .* got <object"):
        report.coverage_report(cr, shift=object())
    for name, value, error in (("auc_", 1.5, ValueError), ("pvalue_", float("nan"), ValueError),
                               ("pvalue_", True, TypeError), ("ess_", "3", TypeError),
                               ("ess_", 500.0, ValueError), ("n_new_", 0, ValueError),
                               ("n_source_", 2.0, TypeError)):
        ratio = Ratio()
        setattr(ratio, name, value)
        with pytest.raises(error, match=f"shift.{name} (must|is 500.0, more than its n_source_)"):
            report.coverage_report(cr, shift=ratio)
    ratio = Ratio()
    del ratio.ess_
    with pytest.raises(TypeError, match="has no ess_: fit it with DensityRatio"):
        report.coverage_report(cr, shift=ratio)
    ratio = Ratio()
    ratio.feature_importances = lambda random_state: {"a": 0.1}
    with pytest.raises(TypeError, match=r"importances\(\) must give a pandas Series .* got \{"):
        report.coverage_report(cr, shift=ratio)
    ratio.feature_importances = lambda random_state: pd.Series({"a": "high"})
    with pytest.raises(ValueError) as caught:
        report.coverage_report(cr, shift=ratio)
    assert "pandas Series of feature -> AUC drop, numbers" in str(caught.value.__notes__)
