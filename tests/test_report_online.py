"""The report of online conformal objects: a stream described in time, tested once
as a whole, and an exchangeability alarm."""

import json

import numpy as np
import pytest
from scipy import stats
from sklearn.linear_model import LogisticRegression

from trov.diagnoser import conformal, report
from trov.diagnoser.conformal import (
    ExchangeabilityMartingale,
    OnlineConformalClassifier,
    OnlineConformalRegressor,
)
from test_report_shift import evaluated_regressor


class Zero:
    """A fitted regressor predicting 0: the score is the noise's size."""

    def predict(self, x):
        return np.zeros(len(x))


def stream(noise, method="aci", lr=0.01, seed=0):
    o = OnlineConformalRegressor(Zero(), alpha=0.1, method=method, lr=lr, random_state=seed)
    o.replay(np.zeros((len(noise), 1)), noise)
    return o


def hand_made(misses, n):
    """A stream whose misses are its first `misses` rows, and whose p-values never
    give an alarm."""
    o = stream(np.random.default_rng(n).normal(size=n), method="pid", lr=None)
    o.errors_ = np.arange(n) < misses
    o.pvalues_ = np.linspace(1, 0.5, n)
    return o


def rolling(errors, w):
    covered = np.concatenate([[0], np.cumsum(~errors)])
    return (covered[w:] - covered[:-w]) / w


def test_a_drifting_stream_shows_its_alarm_in_summary_table_finding_and_figure(monkeypatch):
    given = []
    update = ExchangeabilityMartingale.update
    monkeypatch.setattr(ExchangeabilityMartingale, "update",
                        lambda self, source: given.append(source) or update(self, source))
    rng = np.random.default_rng(0)
    o = stream(np.concatenate([rng.normal(size=600), 3 * rng.normal(size=600)]))
    r = report.coverage_report(o)
    s = r.summary
    assert r.kind == "regression" and (s["n"], s["target"], s["method"]) == (1200, 0.9, "aci")
    assert s["coverage"] == pytest.approx(o.coverage_) and s["window"] == 60
    assert s["worst_window_coverage"] == o.window_coverage(60)
    assert s["worst_window_from"] == o.rolling_coverage(60).argmin()
    (p,) = given  # a copy of the p-values, the martingale run afresh
    assert p is not o.pvalues_ and np.array_equal(p, o.pvalues_)
    alarm = s["alarm"]
    assert 600 <= alarm < 700 and alarm == ExchangeabilityMartingale().update(o).alarm(1 - 0.95)
    assert s["alarm_threshold"] == pytest.approx(20)
    seg = r.tables["segments"]
    assert seg["from"].tolist() == list(range(0, 1200, 120)) and (seg["n"] == 120).all()
    assert seg["after_alarm"].tolist() == (seg["from"] > alarm).tolist()
    assert "flag" not in seg and "p_adjusted" not in seg  # described, never flagged
    first = r.findings[0]
    assert f"at row {alarm} (0-based) of 1,200 rows" in first and "nor that coverage failed" in first
    assert "chance at most 5 %" in first and "Ville" in first
    html = r._repr_html_()
    assert 'alt="Rolling coverage, windows of 60 rows"' in html and "Flagged rows" not in html
    assert "<code>segments</code>" in html and "<code>rolling_coverage</code>" in html
    assert json.loads(json.dumps(r.to_dict()))["summary"]["alarm"] == alarm
    assert repr(r).endswith(f"target 0.9000, alarm at row {alarm}>") and "(online aci)" in repr(r)


def test_no_alarm_is_said_with_what_the_martingale_cannot_see():
    rng = np.random.default_rng(1)
    # noise that falls gives large p-values: mixture betting wagers against them
    for noise in (rng.normal(size=400), np.concatenate([3 * rng.normal(size=200),
                                                        rng.normal(size=200)])):
        r = report.coverage_report(stream(noise), confidence=0.9)
        assert r.summary["alarm"] is None and not r.tables["segments"]["after_alarm"].any()
        last = r.findings[-1]
        assert last.startswith("No alarm: The exchangeability martingale (mixture betting on "
                               "the rows' conformal p-values) stayed below 1 / (1 - confidence) "
                               "= 10 over the 400 rows (its peak ")
        assert "no proof the rows are exchangeable" in last and "not errors that shrink" in last
        assert 'betting="plugin"' in last and "no alarm>" in repr(r)


@pytest.mark.parametrize("misses, shortfall, said", [
    (60, True, "by more than chance explains"),
    (45, False, "by no more than chance explains"),
    (40, False, "meets the target 0.900."),
])
def test_only_the_whole_stream_is_tested(misses, shortfall, said):
    r = report.coverage_report(hand_made(misses, 400), bins=4)
    s = r.summary
    p = stats.binom.sf(misses - 1, 400, 0.1)
    assert s["p_shortfall"] == pytest.approx(p, rel=1e-9) and s["shortfall"] is shortfall
    assert said in r.findings[0]
    if misses > 40:
        assert f"misses {misses} or more of them" in r.findings[0]
    if shortfall:
        assert f"with chance at most {p:.2g}" in r.findings[0]
        # not calibrated first: the climb from no scores is named as a cause
        assert "started without calibrate" in r.findings[0]
    # a first segment of coverage as low as 0.4 is still only described
    seg = r.tables["segments"]
    assert seg["coverage"].iloc[0] == 1 - misses / 100 and "flag" not in seg
    worst = max(0, 50 - misses) / 50
    assert f"worst window of 50 rows (rows 0 to 49) covers {worst:.3f}" in r.findings[0]


def test_a_valid_stream_is_not_flagged():
    # Exchangeable rows: both methods' misses fall short no more than chance allows,
    # and the alarm keeps its level.
    rng = np.random.default_rng(2)
    reps = flagged = alarms = 0
    for method, lr in (("aci", 0.02), ("pid", None)):
        for seed in range(100):
            s = report.coverage_report(stream(rng.normal(size=300), method, lr, seed)).summary
            reps += 1
            flagged += s["shortfall"]
            alarms += s["alarm"] is not None
    assert flagged / reps <= 0.05 and alarms / reps <= 0.05


def test_widths_sets_windows_and_segments_at_their_edges():
    o = hand_made(3, 10)
    o.intervals_ = np.array([[-np.inf, 1], [np.nan, np.nan], [0, np.inf], [2, 5]] + [[0, 2]] * 6)
    r = report.coverage_report(o, bins=3)
    s = r.summary
    assert (s["window"], s["worst_window_coverage"], s["n_unbounded"], s["n_empty"]) == (
        10, 0.7, 2, 1)
    assert s["mean_width"] == pytest.approx((3 + 6 * 2) / 7)  # bounded, non-empty ones
    seg = r.tables["segments"]
    assert seg["from"].tolist() == [0, 3, 6] and seg["to"].tolist() == [2, 5, 9]
    assert seg["n_unbounded"].tolist() == [2, 0, 0] and seg["n_empty"].tolist() == [1, 0, 0]
    assert not any("worst window" in f for f in r.findings)  # one window: the whole
    assert len(report.coverage_report(o, bins=50).tables["segments"]) == 10
    # sets: the classifier's own, then hand-made ones
    rng = np.random.default_rng(3)
    x = rng.normal(size=(300, 2))
    y = (x[:, 0] + rng.logistic(size=300) > 0).astype(int)
    c = OnlineConformalClassifier(LogisticRegression().fit(x[:100], y[:100]), random_state=0)
    c.calibrate(x[100:200], y[100:200]).replay(x[200:], y[200:])
    r = report.coverage_report(c)
    assert r.kind == "classification" and r.summary["n_calib"] == 100
    assert r.summary["mean_set_size"] == c.sets_.sum(axis=1).mean()
    c.sets_ = np.repeat(np.array([[1, 1], [0, 0], [1, 0], [0, 1]], bool), [25, 10, 40, 25], axis=0)
    s = report.coverage_report(c).summary
    assert (s["mean_set_size"], s["share_full"], s["share_empty"]) == (1.15, 0.25, 0.1)
    # many windows: every k-th in the figure's table, the last and the worst always
    big = hand_made(0, 100_000)
    big.errors_ = rng.uniform(size=100_000) < 0.1
    b = report.coverage_report(big)
    roll, table = rolling(big.errors_, 1000), b.tables["rolling_coverage"]
    assert b.summary["window"] == 1000 and 1900 <= len(table) <= 2002
    assert table["row"].iloc[-1] == 99_999 and roll.argmin() + 999 in set(table["row"])
    assert np.array_equal(table["coverage"], roll[table["row"] - 999])


def test_bad_state_and_arguments_say_what_to_do(monkeypatch):
    def fails(error, match, change=None, **kwargs):
        o = hand_made(3, 10)
        if change:
            change(o)
        with pytest.raises(error, match=match):
            report.coverage_report(o, **kwargs)

    with pytest.raises(ValueError, match="has no n_steps_: update it with labelled rows"):
        report.coverage_report(OnlineConformalRegressor(Zero()))
    fails(ValueError, "has seen no labelled rows", lambda o: setattr(o, "n_steps_", 0))
    fails(TypeError, r"errors_ must be a 1-D bool array.*dtype float64 and shape \(10,\)",
          lambda o: setattr(o, "errors_", o.errors_ * 1.0))
    fails(ValueError, "errors_ holds 9 entries for n_steps_ = 10 rows: replay",
          lambda o: setattr(o, "errors_", o.errors_[1:]))
    fails(ValueError, r"pvalues_ must lie in \(0, 1\]", lambda o: o.pvalues_.__setitem__(2, 0))
    fails(ValueError, r"alpha_ must lie in \(0, 1\)", lambda o: setattr(o, "alpha_", 1.0))
    fails(ValueError, r"intervals_ must be 10 by 2", lambda o: setattr(o, "intervals_", np.zeros(
        (10, 3))))
    fails(ValueError, r"\[1.0, 0.0\] at row 0: an empty interval has NaN bounds",
          lambda o: setattr(o, "intervals_", np.array([[1.0, 0.0]] * 10)))
    for given in ({"test_x": np.zeros((10, 1))}, {"new_x": np.zeros((5, 1))}):
        fails(ValueError, "reads its stream alone", **given)
    monkeypatch.setattr(ExchangeabilityMartingale, "alarm", lambda self, delta: 10)
    fails(ValueError, r"alarm\(\) gave row 10, outside the 10 rows")
    monkeypatch.delattr(conformal, "ExchangeabilityMartingale")
    fails(ImportError, "no ExchangeabilityMartingale")
    with pytest.raises(TypeError, match="Reliability, an OnlineConformalClassifier or "
                                        "OnlineConformalRegressor that has seen labelled rows, or"):
        report.coverage_report(object())


def test_compare_reports_sets_streams_beside_evaluated_objects():
    rng = np.random.default_rng(4)
    online = report.coverage_report(stream(rng.normal(size=300)))
    split = report.coverage_report(evaluated_regressor(rng))
    side = report.compare_reports({"online": online, "split": split}).table
    assert side.index.tolist()[-3:] == ["window", "worst_window_coverage", "alarm"]
    assert side.loc["window", "online"] == 50 and side.loc["window", "split"] is None
    assert side.loc["flags", "online"] == 0 and side.loc["coverage", "online"] == online.summary[
        "coverage"]
    assert "alarm" not in report.compare_reports({"split": split}).table.index
