"""The report of online conformal objects: a stream described in time, tested once
as a whole, and an exchangeability alarm."""

import json
import math

import numpy as np
import pytest
from scipy import stats
from scipy.special import logsumexp

from trov.diagnoser import conformal, report
from test_report_shift import evaluated_regressor


def conformal_class(name):
    """A stand-in recognised as the conformal module's class of that name."""
    return type(name, (), {"__module__": "trov.diagnoser.conformal", "__qualname__": name})


OnlineConformalRegressor = conformal_class("OnlineConformalRegressor")
OnlineConformalClassifier = conformal_class("OnlineConformalClassifier")


class Mixture:
    """The mixture of power martingales over a grid of bets (Vovk, Nouretdinov and
    Gammerman 2003), recording what the report asks of it."""

    made = []

    def __init__(self, betting="mixture", random_state=None):
        self.betting, self.random_state, self.p = betting, random_state, np.empty(0)
        Mixture.made.append(self)

    def update(self, source):
        self.given = source
        self.p = np.concatenate([self.p, np.asarray(source, dtype=float)])
        eps = np.linspace(0.01, 0.99, 50)[:, None]
        bets = np.cumsum(np.log(eps) + (eps - 1) * np.log(self.p), axis=1)
        self.log_martingale_ = logsumexp(bets, axis=0) - np.log(len(eps))
        self.n_ = len(self.p)
        return self

    def alarm(self, delta):
        hit = np.flatnonzero(self.log_martingale_ >= -np.log(delta))
        return int(hit[0]) if len(hit) else None


@pytest.fixture(autouse=True)
def martingale(monkeypatch):
    monkeypatch.setattr(conformal, "ExchangeabilityMartingale", Mixture, raising=False)
    Mixture.made.clear()


def aci(scores, alpha=0.1, gamma=0.01):
    """Adaptive conformal inference (Gibbs and Candes 2021) on a stream of scores: each
    threshold a quantile of the scores before it, at a level moved after every row."""
    n = len(scores)
    threshold, p = np.empty(n), np.empty(n)
    level = alpha
    for t in range(n):
        past = np.sort(scores[:t])
        p[t] = (1 + np.sum(past >= scores[t])) / (t + 1)
        k = math.ceil((t + 1) * (1 - level))
        threshold[t] = np.inf if k > t else (-np.inf if k < 1 else past[k - 1])
        level += gamma * (alpha - (scores[t] > threshold[t]))
    return threshold, p


def stream(noise, alpha=0.1, gamma=0.01):
    """An OnlineConformalRegressor that met y = prediction + noise, row by row."""
    n = len(noise)
    scores = np.abs(noise)
    threshold, p = aci(scores, alpha, gamma)
    o = OnlineConformalRegressor()
    o.alpha_, o.method, o.score, o.n_steps_, o.n_calibration_ = alpha, "aci", "absolute", n, 0
    o.scores_, o.thresholds_, o.pvalues_ = scores, threshold, p
    o.errors_ = scores > threshold
    o.predictions_, o.y_ = np.zeros(n), noise
    with np.errstate(invalid="ignore"):
        bounds = np.where(threshold[:, None] < 0, np.nan, [-1, 1] * threshold[:, None])
    o.intervals_ = bounds
    return o


def rolling(errors, w):
    covered = np.concatenate([[0], np.cumsum(~errors)])
    return (covered[w:] - covered[:-w]) / w


def test_a_drifting_stream_shows_its_alarm_in_summary_table_finding_and_figure():
    rng = np.random.default_rng(0)
    o = stream(np.concatenate([rng.normal(size=600), 3 * rng.normal(size=600)]))
    r = report.coverage_report(o)
    s = r.summary
    assert r.kind == "regression" and (s["n"], s["target"], s["method"]) == (1200, 0.9, "aci")
    assert s["coverage"] == pytest.approx(1 - o.errors_.mean()) and s["window"] == 60
    roll = rolling(o.errors_, 60)
    assert s["worst_window_coverage"] == roll.min() and s["worst_window_from"] == roll.argmin()
    (made,) = Mixture.made  # seeded, on a copy of the p-values
    assert (made.betting, made.random_state) == ("mixture", 0) and made.given is not o.pvalues_
    assert np.array_equal(made.given, o.pvalues_)
    alarm = s["alarm"]
    assert 600 <= alarm < 700 and alarm == made.alarm(0.05)
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
    # noise that falls gives large p-values: the martingale bets against them
    for noise in (rng.normal(size=400), np.concatenate([3 * rng.normal(size=200),
                                                        rng.normal(size=200)])):
        r = report.coverage_report(stream(noise), confidence=0.9)
        assert r.summary["alarm"] is None and not r.tables["segments"]["after_alarm"].any()
        last = r.findings[-1]
        assert last.startswith("No alarm: The exchangeability martingale (mixture betting on "
                               "the rows' conformal p-values) stayed below 1 / (1 - confidence) "
                               "= 10 over the 400 rows (its peak ")
        assert "no proof the rows are exchangeable" in last and "not errors that shrink" in last
        assert "no alarm>" in repr(r)


def hand_made(misses, n, alpha=0.1, sets=None):
    """A stream whose misses are the first `misses` of n rows."""
    o = OnlineConformalRegressor() if sets is None else OnlineConformalClassifier()
    o.alpha_, o.method, o.score, o.n_steps_, o.n_calibration_ = alpha, "pid", "lac", n, 50
    o.errors_ = np.arange(n) < misses
    o.pvalues_ = np.linspace(1, 0.5, n)
    if sets is None:
        o.intervals_ = np.tile([-1.0, 1.0], (n, 1))
    else:
        o.sets_, o.classes_ = sets, np.arange(sets.shape[1])
    return o


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
    # a first segment of coverage as low as 0.4 is still only described
    seg = r.tables["segments"]
    assert seg["coverage"].iloc[0] == 1 - misses / 100 and "flag" not in seg
    worst = max(0, 50 - misses) / 50
    assert f"worst window of 50 rows (rows 0 to 49) covers {worst:.3f}" in r.findings[0]


def test_a_valid_stream_is_not_flagged():
    # Each set holds its label with chance 1 - level given the past, the level moved
    # by adaptive conformal inference: the misses fall short no more than chance allows.
    rng = np.random.default_rng(2)
    reps, n, alpha, gamma = 200, 300, 0.1, 0.02
    u = rng.uniform(size=(reps, n))
    level, errors = np.full(reps, alpha), np.empty((reps, n), bool)
    for t in range(n):
        errors[:, t] = u[:, t] < level
        level += gamma * (alpha - errors[:, t])
    p = np.ones((reps, n))
    for t in range(1, n):
        p[:, t] = (1 + (u[:, :t] <= u[:, [t]]).sum(axis=1)) / (t + 1)
    flagged = alarms = 0
    for k in range(reps):
        o = hand_made(0, n)
        o.errors_, o.pvalues_ = errors[k], p[k]
        s = report.coverage_report(o).summary
        flagged += s["shortfall"]
        alarms += s["alarm"] is not None
    assert flagged / reps <= 0.05 and alarms / reps <= 0.05


def test_widths_sets_windows_and_segments_at_their_edges():
    o = hand_made(3, 10)
    o.intervals_[:4] = [[-np.inf, 1], [np.nan, np.nan], [0, np.inf], [2, 5]]
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
    sets = np.array([[1, 1, 1]] * 2 + [[0, 0, 0]] + [[1, 0, 0]] * 5, bool)
    c = report.coverage_report(hand_made(2, 8, sets=sets))
    assert c.kind == "classification" and c.summary["mean_set_size"] == 11 / 8
    assert (c.summary["share_full"], c.summary["share_empty"]) == (0.25, 0.125)
    # many windows: every k-th in the figure's table, the last and the worst always
    rng = np.random.default_rng(3)
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

    fails(ValueError, "has seen no labelled rows", lambda o: setattr(o, "n_steps_", 0))
    fails(ValueError, "has no errors_: calibrate it", lambda o: delattr(o, "errors_"))
    fails(TypeError, r"errors_ must be a 1-D bool array.*dtype float64 and shape \(10,\)",
          lambda o: setattr(o, "errors_", o.errors_ * 1.0))
    fails(ValueError, "errors_ holds 9 entries for n_steps_ = 10 rows: replay",
          lambda o: setattr(o, "errors_", o.errors_[1:]))
    fails(ValueError, r"pvalues_ must lie in \(0, 1\]", lambda o: o.pvalues_.__setitem__(2, 0))
    fails(ValueError, r"alpha_ must lie in \(0, 1\)", lambda o: setattr(o, "alpha_", 1.0))
    fails(ValueError, r"intervals_ must be 10 by 2", lambda o: setattr(o, "intervals_", np.zeros((10, 3))))
    fails(ValueError, r"\[1.0, 0.0\] at row 0: an empty interval has NaN bounds",
          lambda o: o.intervals_.__setitem__(0, [1, 0]))
    for given in ({"test_x": np.zeros((10, 1))}, {"new_x": np.zeros((5, 1))}):
        fails(ValueError, "reads its stream alone", **given)
    monkeypatch.setattr(Mixture, "alarm", lambda self, delta: 10)
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
