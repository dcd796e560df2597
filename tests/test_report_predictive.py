"""The report's PIT histogram and CRPS of predictive distributions, and coverage at many levels."""

import warnings

import numpy as np
import pytest
from sklearn.dummy import DummyRegressor

from trov.diagnoser import report
from trov.diagnoser.conformal import ConformalClassifier, ConformalRegressor


class Column:
    """A regressor predicting the first feature: the true mean below."""

    def predict(self, x):
        return np.asarray(x, dtype=float)[:, 0]


class Table:
    """A classifier whose rows are probability rows."""

    def predict_proba(self, x):
        return np.asarray(x, dtype=float)


def regression(rng, n, m, scale=1.0, groups=False, alpha=None, seed=None):
    """Fresh calibration and test rows, y = x + noise; the test noise times `scale`."""
    x = rng.normal(size=(n + m, 1))
    noise = rng.normal(size=n + m)
    noise[n:] *= scale
    g = np.where(np.arange(n + m) % 3 == 0, "a", "b") if groups else None
    cr = ConformalRegressor(Column(), method="absolute", alpha=0.1,
                            conditional="group" if groups else None, random_state=seed)
    cr.calibrate(x[:n], x[:n, 0] + noise[:n], groups=None if g is None else g[:n])
    return cr.evaluate(x[n:], x[n:, 0] + noise[n:], groups=None if g is None else g[n:],
                       alpha=alpha)


def flag_rate(make, reps, confidence):
    return np.mean([report.coverage_report(make(r), confidence=confidence, bins=4)
                    .summary["pit_miscalibrated"] for r in range(reps)])


def test_pit_band_holds_its_level_and_finds_too_narrow_distributions():
    # Few calibration rows and many test rows: the binomial band of independent
    # rows would flag nearly every calibrated draw; the beta-binomial one holds.
    rng = np.random.default_rng(0)
    valid = flag_rate(lambda r: regression(rng, 40, 1500, seed=r), 100, 0.8)
    assert valid <= 0.2 + 3 * np.sqrt(0.2 * 0.8 / 100)
    # per group, each group's own draw: the sum of their laws
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        grouped = flag_rate(lambda r: regression(rng, 60, 1500, groups=True, seed=r), 60, 0.8)
    assert grouped <= 0.2 + 3 * np.sqrt(0.2 * 0.8 / 60)
    narrow = flag_rate(lambda r: regression(rng, 300, 1500, scale=2.0, seed=r), 10, 0.8)
    assert narrow == 1

    cr = regression(np.random.default_rng(1), 300, 1500, scale=2.0, seed=0)
    r = report.coverage_report(cr, bins=10)
    pit = r.tables["pit"]
    assert pit.columns.tolist() == ["bin_low", "bin_high", "count", "expected", "band_low",
                                    "band_high", "outside"]
    assert pit["count"].sum() == 1500 == r.summary["pit_rows"]
    assert np.array_equal(pit["count"], np.histogram(cr.pit_, bins=10, range=(0, 1))[0])
    assert pit["outside"].iloc[0] and pit["outside"].iloc[-1]
    assert (pit["band_low"] <= pit["expected"]).all() and (pit["expected"] <= pit["band_high"]).all()
    assert r.summary["crps"] == cr.crps_ and r.summary["pit_band_level"] == pytest.approx(0.995)
    assert any("too narrow" in f for f in r.findings)
    assert any(f.startswith("Mean CRPS") for f in r.findings)
    page = r._repr_html_()
    assert "PIT histogram" in page and "data:image/png" in page
    assert r.to_dict()["tables"]["pit"][0]["outside"] is True


def test_pit_section_only_with_a_distribution():
    rng = np.random.default_rng(2)
    x = rng.normal(size=(600, 1))
    y = x[:, 0] + rng.normal(size=600)
    cqr = ConformalRegressor(Column(), method="cqr", alpha=0.2, quantile_model=lambda level:
                             DummyRegressor(strategy="quantile", quantile=level))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        cqr.fit(x[:200], y[:200]).calibrate(x[200:400], y[200:400]).evaluate(x[400:], y[400:])
    r = report.coverage_report(cqr)
    assert "pit" not in r.tables and "crps" not in r.summary
    cr = regression(rng, 200, 300, seed=1)
    cr.pit_ = cr.pit_ + 2
    with pytest.raises(ValueError, match=r"pit_ must hold values in \[0, 1\]"):
        report.coverage_report(cr)
    cr.pit_ = cr.pit_[:10] - 2
    with pytest.raises(ValueError, match="pit_ must hold one value per test row"):
        report.coverage_report(cr)


def classification(rng, n, m, alpha, conditional=None):
    # Labels drawn from the probabilities themselves: sets of every level are valid.
    p = rng.dirichlet(np.ones(3), n + m)
    y = np.minimum((rng.random(n + m)[:, None] > np.cumsum(p, axis=1)).sum(axis=1), 2)
    cc = ConformalClassifier(Table(), alpha=0.1, score="lac", conditional=conditional,
                             random_state=0)
    cc.calibrate(p[:n], y[:n])
    return cc.evaluate(p[n:], y[n:], alpha=alpha)


def test_levels_are_reported_each_against_its_target():
    rng = np.random.default_rng(3)
    levels = [0.05, 0.1, 0.2]
    cr = regression(rng, 500, 800, alpha=levels, seed=0)
    r = report.coverage_report(cr)
    t = r.tables["levels"]
    assert t["alpha"].tolist() == levels and t["target"].tolist() == pytest.approx([0.95, 0.9, 0.8])
    assert t["coverage"].tolist() == pytest.approx(cr.coverage_.tolist())
    assert t["mean_width"].tolist() == pytest.approx(cr.mean_width_.tolist())
    assert t["shown"].tolist() == [False, True, False] and r.summary["alpha"] == 0.1
    assert r.summary["coverage"] == pytest.approx(cr.coverage_[1]) and r.summary["n_levels"] == 3
    assert (t["expected_low"] < t["target"]).all() and (t["target"] < t["expected_high"]).all()
    assert r.findings[0].startswith("Evaluated at 3 levels (alpha 0.05, 0.1 and 0.2)")
    assert "pit" in r.tables and "Coverage at each level" in r._repr_html_()

    # alpha_ not among them: the first level is shown, by its own law
    cc = classification(rng, 400, 600, [0.3, 0.05], conditional="class")
    r = report.coverage_report(cc)
    t = r.tables["levels"]
    assert t["coverage"].tolist() == pytest.approx(cc.coverage_.tolist())
    assert t["mean_set_size"].tolist() == pytest.approx(cc.mean_set_size_.tolist())
    assert t["shown"].tolist() == [True, False] and r.summary["alpha"] == 0.3
    assert r.summary["coverage"] == pytest.approx(cc.coverage_[0])
    assert "since alpha_ = 0.1" in r.findings[0]
    cc.sets_ = cc.sets_[..., :1]
    with pytest.raises(ValueError, match="by 2 levels: call evaluate again"):
        report.coverage_report(cc)


def test_levels_hold_their_level_together_and_flag_a_shortfall():
    # 30 calibration rows and 1500 test rows: each level's coverage varies with the
    # draw far beyond a binomial's spread; the exact laws must absorb it.
    rng = np.random.default_rng(4)
    levels = [0.1, 0.2, 0.3, 0.4]
    confidence = 0.8
    reps = 80
    flagged = []
    for r in range(reps):
        rep = report.coverage_report(regression(rng, 30, 1500, alpha=levels, seed=r),
                                     confidence=confidence, bins=2)
        flagged.append((rep.tables["levels"]["flag"] != "").any())
    assert np.mean(flagged) <= 0.2 + 3 * np.sqrt(0.2 * 0.8 / reps)
    short = report.coverage_report(regression(rng, 500, 1500, scale=2.0, alpha=levels, seed=0))
    assert (short.tables["levels"]["flag"] == "under-covered").all()
    assert any("level alpha = 0.4 (coverage 0.3" in f for f in short.findings)
    valid = flag_rate_levels(rng, 40, confidence)
    assert valid <= 0.2 + 3 * np.sqrt(0.2 * 0.8 / 40)


def flag_rate_levels(rng, reps, confidence):
    """Classifier sets per class at three levels: any level flagged."""
    out = []
    for _ in range(reps):
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")  # few calibration rows per class, on purpose
            cc = classification(rng, 60, 1000, [0.1, 0.2, 0.3], "class")
        r = report.coverage_report(cc, confidence=confidence)
        out.append((r.tables["levels"]["flag"] == "under-covered").any())
    return np.mean(out)


def test_pit_edges_unseen_groups_bins_and_a_single_other_level():
    rng = np.random.default_rng(5)
    x = rng.normal(size=(900, 1))
    y = x[:, 0] + rng.normal(size=900)
    g = np.where(np.arange(900) % 2 == 0, "a", "b")
    g[800:850] = "new"  # never calibrated: no draw of theirs, and an empty distribution
    cr = ConformalRegressor(Column(), method="normalized", difficulty=lambda v: np.ones(len(v)),
                            beta=0.5, conditional="group", random_state=0)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        cr.calibrate(x[:400], y[:400], groups=g[:400]).evaluate(x[400:], y[400:], groups=g[400:])
    r = report.coverage_report(cr, bins=10**9)
    assert r.summary["pit_rows"] == 450 and r.summary["pit_bins"] == 1000
    assert r.tables["pit"]["count"].sum() == 450 and np.isinf(r.summary["crps"])
    assert any("50 rows of groups without calibration rows left out" in f for f in r.findings)
    assert any(f.startswith("The mean CRPS is infinite") for f in r.findings)
    one = report.coverage_report(cr, bins=1)
    assert one.tables["pit"]["band_low"].tolist() == [450] and not one.summary["pit_miscalibrated"]

    # one level other than alpha_: the report tests it by its own law, not alpha_'s
    cr = regression(rng, 400, 1000, alpha=0.3, seed=0)
    r = report.coverage_report(cr)
    assert r.summary["alpha"] == 0.3 and r.summary["coverage"] == cr.coverage_
    assert r.summary["expected_low"] < 0.7 < r.summary["expected_high"] and "levels" not in r.tables
    assert r.summary["flag"] == ""
