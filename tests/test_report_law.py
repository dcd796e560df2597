"""The report's flags against the exact law of split conformal, over both draws.

Each report is built from an object whose fitted attributes are set by hand: the
calibration draw gives each stratum its coverage from Beta(k, n + 1 - k), the law of
exact split conformal given its calibration part (Vovk 2012, "Conditional validity of
inductive conformal predictors"), and each test row is covered with that probability.
That is the whole law of a valid procedure with continuous scores, at a fraction of
the cost of calibrating models."""

import math

import numpy as np
import pytest
from scipy import sparse
from scipy.special import ndtri

from trov.diagnoser import report
from trov.diagnoser.conformal import ConformalClassifier, ConformalRegressor
from trov.diagnoser.reliability_evaluation import AdaptiveConformalClassifier, ResidualConformalRegressor

ALPHA = 0.1


def rank(n, alpha=ALPHA):
    return math.ceil(round((n + 1) * (1 - alpha), 9))


def draw_coverage(rng, n, alpha=ALPHA):
    """A stratum's coverage given a calibration draw of n rows."""
    k = rank(n, alpha)
    return 1.0 if k > n else rng.beta(k, n + 1 - k)


def interval_object(rng, coverage, x, n_calib, groups=None, counts=None):
    """An evaluated ConformalRegressor whose row i is covered with probability coverage[i]."""
    m = len(coverage)
    y = rng.normal(size=m)
    half = ndtri((1 + np.minimum(coverage, 1 - 1e-12)) / 2)  # P(|y| <= half) = coverage
    cr = ConformalRegressor(None, alpha=ALPHA, method="absolute",
                            conditional=None if groups is None else "group")
    cr.n_calibration_ = n_calib
    cr.rank_ = rank(n_calib)
    cr.alpha_ = ALPHA
    cr.intervals_ = np.c_[-half, half]
    cr.test_y_ = y
    cr.test_pred_ = np.zeros(m)
    cr.test_x_ = x
    cr.test_groups_ = groups
    cr.fallback_rows_ = np.zeros(m, bool)
    cr.fallback_groups_ = []
    if counts is not None:
        cr.stratum_counts_ = counts
        cr.stratum_ranks_ = {g: (rank(c) if rank(c) <= c else None) for g, c in counts.items()}
    return cr


def set_object(rng, labels, coverage, x, n_calib, classes, conditional=None, counts=None,
               score="lac"):
    """An evaluated ConformalClassifier: a covered row's set holds its label and, half the
    time, the next class; a missed row's set holds the next class only."""
    m = len(labels)
    covered = rng.random(m) < coverage
    sets = np.zeros((m, classes), bool)
    rows = np.arange(m)
    sets[rows[covered], labels[covered]] = True
    other = (labels + 1) % classes
    sets[rows, other] |= ~covered | (rng.random(m) < 0.5)
    cc = ConformalClassifier(None, alpha=ALPHA, score=score, conditional=conditional)
    cc.classes_ = np.arange(classes)
    cc.n_calibration_ = n_calib
    cc.rank_ = rank(n_calib)
    cc.alpha_ = ALPHA
    cc.sets_ = sets
    cc.test_y_ = labels
    cc.test_x_ = x
    cc.test_groups_ = None
    cc.fallback_rows_ = np.zeros(m, bool)
    cc.fallback_groups_ = []
    if counts is not None:
        cc.stratum_counts_ = counts
        cc.stratum_ranks_ = {g: rank(c) for g, c in counts.items()}
    return cc


def flagged(r):
    tables = any((t["flag"] != "").any() for name, t in r.tables.items()
                 if name != "worst_segments" and "flag" in t)
    return tables or r.summary.get("flag", "") != ""


def marginal_regressor(rng, n_calib=2000, m=4000, short=0.0):
    x = rng.normal(size=(m, 2))
    coverage = np.full(m, draw_coverage(rng, n_calib))
    if short:
        coverage[x[:, 0] > np.quantile(x[:, 0], 0.9)] -= short
    return interval_object(rng, coverage, x, n_calib)


def per_class(rng, per_class_calib=200, per_class_test=3000, classes=10, short_class=None,
              short=0.0, conditional="class"):
    labels = np.repeat(np.arange(classes), per_class_test)
    if conditional == "class":
        drawn = np.array([draw_coverage(rng, per_class_calib) for _ in range(classes)])
    else:
        drawn = np.full(classes, draw_coverage(rng, per_class_calib * classes))
    if short_class is not None:
        drawn[short_class] -= short
    x = rng.normal(size=(len(labels), 1))
    counts = {c: per_class_calib for c in range(classes)} if conditional == "class" else None
    return set_object(rng, labels, drawn[labels], x, per_class_calib * classes, classes,
                      conditional, counts)


def per_group(rng, per_group_calib=300, per_group_test=2000, groups=4):
    g = np.repeat(np.array([f"g{i}" for i in range(groups)]), per_group_test)
    drawn = np.array([draw_coverage(rng, per_group_calib) for _ in range(groups)])
    coverage = drawn[np.repeat(np.arange(groups), per_group_test)]
    x = rng.normal(size=(len(g), 2))
    counts = {f"g{i}": per_group_calib for i in range(groups)}
    return interval_object(rng, coverage, x, per_group_calib * groups, g, counts)


def fallen_groups(rng, m_each=1000, unseen=5):
    """Per-group calibration where only group A has calibration rows (20): the unseen
    groups fall back to the marginal threshold, which is A's own, so every row shares
    one draw, while a feature segment mixes A's rows with theirs."""
    g = np.repeat(np.array(["A"] + [f"C{i}" for i in range(unseen)]), m_each)
    coverage = np.full(len(g), draw_coverage(rng, 20))
    cr = interval_object(rng, coverage, rng.normal(size=(len(g), 2)), 20, g, {"A": 20})
    cr.fallback = "marginal"
    return cr


class Table:
    """A model whose probabilities are its input."""

    def predict_proba(self, x):
        return np.asarray(x, dtype=float)


def weak_pairs(rng, m):
    """Two classes; the model's top class is right with its probability, 0.5 to 0.7."""
    top = rng.uniform(0.5, 0.7, m)
    return np.c_[top, 1 - top], (rng.random(m) > top).astype(int)


def all_full_sets(rng):
    """The procedures' classifier, fitted: erring on 40 % of the calibration rows, the
    deterministic score's threshold is the full set's score 1, which every row whose
    label ranks second shares, and every set holds both classes."""
    (tp, ty), (cp, cy), (sp, sy) = (weak_pairs(rng, m) for m in (50, 500, 1000))
    c = AdaptiveConformalClassifier(alpha=ALPHA)
    c.fit(Table(), tp, ty, sp, sy, cp, cy)
    return c


def confident_pairs(rng):
    """The procedures' classifier on a model right on about 95 % of the rows, with its
    own probabilities: its threshold sits among top-class probabilities near 1, so most
    sets hold both classes and cover well above the score's law, by construction."""
    def pairs(m):
        p = 1 / (1 + np.exp(-8 * rng.normal(size=m)))
        return np.c_[1 - p, p], (rng.random(m) < p).astype(int)

    (tp, ty), (cp, cy), (sp, sy) = (pairs(m) for m in (50, 2000, 4000))
    c = AdaptiveConformalClassifier(alpha=ALPHA)
    c.fit(Table(), tp, ty, sp, sy, cp, cy)
    return c


def procedure_regressor(rng, n_calib=1000, m=2000, alpha=0.05):
    """The procedures' regressor as exact split conformal leaves it (y = prediction +
    N(0, 1), intervals of the drawn coverage about the prediction), calibration bands
    and all: its default alpha, strict coverage and three features."""
    x = rng.normal(size=(m, 3))
    pred = x[:, 0] + 0.5 * x[:, 1]
    k = rank(n_calib, alpha)
    half = ndtri((1 + rng.beta(k, n_calib + 1 - k)) / 2)
    r = ResidualConformalRegressor(alpha=alpha)
    r.test_x, r.test_y, r.pred_test = x, pred + rng.normal(size=m), pred
    r.pred_low, r.pred_up, r.width = pred - half, pred + half, np.full(m, 2 * half)
    r.calib_y = rng.normal(size=n_calib)
    r.calib_low, r.calib_up = np.full(n_calib, -half), np.full(n_calib, half)
    return r


# --- false flags over both draws, and power ---

VALID = {
    "marginal": marginal_regressor,
    "per-class": per_class,
    "per-group": per_group,
    "19 calibration rows": lambda rng: marginal_regressor(rng, n_calib=19, m=2000),
    "all-full two-class sets": all_full_sets,
    "a confident two-class model": confident_pairs,
    "procedures' regressor": procedure_regressor,
}


@pytest.mark.parametrize("case", VALID)
def test_valid_reports_flag_at_most_one_minus_confidence(case):
    rng = np.random.default_rng(list(VALID).index(case))
    reports = 50
    share = sum(flagged(report.coverage_report(VALID[case](rng))) for _ in range(reports)) / reports
    # 5 % expected at most; 6 of 50 or more has chance below 4 % at that rate
    assert share <= 0.1, share


def test_segments_mixing_groups_that_fell_back_to_the_marginal_threshold():
    # Ten unseen groups share group A's draw through the marginal threshold; summed as
    # independent of A's law, valid reports were flagged in about 18 % of draws.
    rng = np.random.default_rng(23)
    reports = 100
    share = sum(flagged(report.coverage_report(fallen_groups(rng, m_each=300, unseen=10)))
                for _ in range(reports)) / reports
    assert share <= 0.1, share


def test_power_on_a_class_short_by_a_tenth():
    rng = np.random.default_rng(7)
    # 4,000 test and 2,000 calibration rows, ten classes; class 3 short by 0.1
    marginal = sum(
        report.coverage_report(per_class(rng, 200, 400, short_class=3, short=0.1,
                                         conditional=None)).tables["by_class"]["flag"][3]
        == "under-covered" for _ in range(40))
    # per-class calibration, four classes of 500 calibration and 1,000 test rows
    own = sum(
        report.coverage_report(per_class(rng, 500, 1000, classes=4, short_class=3,
                                         short=0.1)).tables["by_class"]["flag"][3]
        == "under-covered" for _ in range(40))
    assert marginal >= 36 and own >= 36, (marginal, own)


def test_findings_agree_with_the_flags():
    rng = np.random.default_rng(11)
    for _ in range(30):
        # a class short by 0.1 under marginal calibration: the flag asks for per-class
        # calibration, and no finding may blame the draw or call that remedy useless
        r = report.coverage_report(per_class(rng, 200, 400, short_class=3, short=0.1,
                                             conditional=None))
        text = " ".join(r.findings)
        if r.tables["by_class"]["flag"][3] == "under-covered":
            assert 'conditional="class"' in text
            assert "would not help" not in text and "draw was low" not in text, text
            assert "alike" not in text
        # "within" the law's range only when the count is
        if any("yet within" in f for f in r.findings):
            assert r.summary["coverage"] >= r.summary["expected_low"]
        # a segment short by 0.15 beside a valid whole
        r = report.coverage_report(marginal_regressor(rng, short=0.15))
        text = " ".join(r.findings)
        if (r.tables["by_feature"]["flag"] == "under-covered").any():
            assert "would not help" not in text and "alike" not in text, text
    rng = np.random.default_rng(12)
    x = rng.normal(size=(4000, 2))
    covered = np.r_[np.ones(3525), np.zeros(475)]  # 0.881, just below the law's 0.883
    r = report.coverage_report(interval_object(rng, covered, x, 2000))
    assert not flagged(r) and r.summary["coverage"] < r.summary["expected_low"]
    assert r.findings[0].startswith("Coverage ") and "within" not in r.findings[0]
    assert "below what exact split conformal gives" in r.findings[0] and "no flag" in r.findings[0]


def test_singletons_under_randomised_sets_are_described_not_flagged():
    rng = np.random.default_rng(13)
    m, n_calib = 4000, 2000
    labels = rng.integers(0, 3, m)
    # a whole level inside its law, above the target and just below it; singletons (even
    # rows) 0.1 short of it, pairs 0.1 above
    for c, whole in ((0.91, "Marginal coverage holds"), (0.893, "which the report does not flag")):
        single = np.arange(m) % 2 == 0
        covered = rng.random(m) < np.where(single, c - 0.1, c + 0.1)
        rows = np.arange(m)
        sets = np.zeros((m, 3), bool)
        sets[rows, np.where(covered, labels, (labels + 1) % 3)] = True
        sets[rows[~single], ((labels + 2) % 3)[~single]] = True
        cc = set_object(rng, labels, 1.0, rng.normal(size=(m, 1)), n_calib, 3,
                        score="aps_randomized")
        cc.sets_ = sets
        r = report.coverage_report(cc)
        assert (r.summary["coverage"] >= 0.9) == (c > 0.9)
        by_size = r.tables["by_set_size"]
        assert by_size["set_size"].tolist() == [1, 2] and by_size["coverage_high"][0] < 0.9
        assert by_size["p_adjusted"].isna().all() and (by_size["flag"] == "").all()
        assert not flagged(r)
        assert any(f.startswith("Sets of one class cover") and whole in f
                   and "adaptive sets" in f for f in r.findings), r.findings
        assert not any(f.startswith("All clear") for f in r.findings)
    # worded by the score that made the sets
    cc.score = "lac"
    singles = [f for f in report.coverage_report(cc).findings if f.startswith("Sets of one")]
    assert len(singles) == 1 and '"lac" set' in singles[0] and "adaptive" not in singles[0]


def test_a_low_calibration_draw_asks_for_more_rows_not_groups():
    rng = np.random.default_rng(4)
    x = rng.normal(size=(4000, 2))
    cr = interval_object(rng, np.full(4000, 0.82), x, 50)  # the draw's 3 % quantile
    r = report.coverage_report(cr)
    assert not flagged(r)
    text = " ".join(r.findings)
    assert "the calibration draw was low" in text and "More calibration rows" in text
    assert 'conditional="group"' not in text
    # every segment short beyond the law: a shift, and still no per-group remedy
    r = report.coverage_report(interval_object(rng, np.full(4000, 0.55), x, 50))
    assert r.summary["flag"] == "under-covered"
    text = " ".join(r.findings)
    assert "per-class or per-group calibration would not help" in text
    assert 'conditional="group"' not in text


def test_over_coverage_from_ties_is_said_not_flagged():
    rng = np.random.default_rng(5)
    m = 4000
    labels = rng.integers(0, 3, m)
    cc = set_object(rng, labels, np.full(m, 0.99), rng.normal(size=(m, 1)), 2000, 3, score="lac")
    # scores without ties: coverage above the law by more than 0.05 is flagged
    cc.threshold_ties_ = 1
    assert report.coverage_report(cc).summary["flag"] == "over-covered"
    # calibration scores sharing the threshold, or the deterministic score by name:
    # the upper tail of the law needs untied scores, so no flag, and a finding
    for ties, score in ((40, "lac"), (None, "aps")):
        cc.threshold_ties_, cc.score = ties, score
        r = report.coverage_report(cc)
        assert not flagged(r)
        text = " ".join(r.findings)
        assert "above what exact split conformal gives" in text and "carries no flag" in text
        assert 'score="aps_randomized"' in text
        assert ("40 calibration scores share a threshold" in text) == (ties == 40)
    # the procedures' regressor: ties read from its calibration bands
    r = procedure_regressor(rng, alpha=0.1)
    r.pred_low, r.pred_up = r.pred_test - 10, r.pred_test + 10
    assert report.coverage_report(r).summary["flag"] == "over-covered"
    r.calib_y = np.zeros(len(r.calib_y))  # every calibration score the same
    rep = report.coverage_report(r)
    assert not flagged(rep)
    assert any("1000 calibration scores share the threshold" in f for f in rep.findings)


def test_few_test_rows_say_what_they_cannot_see():
    rng = np.random.default_rng(6)
    r = report.coverage_report(marginal_regressor(rng, m=5))
    assert not flagged(r)
    assert r.findings[-1].startswith("Too few test rows to tell: with 5 test rows a shortfall is sure")
    assert not any(f.startswith("All clear") for f in r.findings)
    r = report.coverage_report(marginal_regressor(rng, m=1))
    assert r.findings[-1].startswith("Too few test rows to detect anything")


def test_the_least_detectable_shortfall_is_flagged_where_it_says():
    rng = np.random.default_rng(14)

    def whole_flag(m, x):
        cr = interval_object(rng, np.r_[np.ones(x), np.zeros(m - x)], rng.normal(size=(m, 1)),
                             2000)
        return report.coverage_report(cr)

    blind = []
    for m in range(2, 160, 3):
        said = [f for f in whole_flag(m, m).findings if f.startswith("Too few")]
        if not said:
            # not blind: a shortfall of 0.1 (rounded to a count below it) is flagged
            assert whole_flag(m, math.floor((0.8 + 1e-9) * m)).summary["flag"] == "under-covered"
            continue
        blind.append(m)
        if "detect anything" in said[0]:
            continue
        words = said[0].split("only from ")[1].split(" ")
        shortfall, count = float(words[0]), int(said[0].split(": ")[-1].split(" or fewer")[0])
        assert shortfall > 0.1 and abs(0.9 - count / m - shortfall) < 5e-4
        # the count it names is flagged, and it is the shortfall's count
        assert whole_flag(m, count).summary["flag"] == "under-covered"
    # per-class calibration has no test of the whole: the classes' own tests see it
    labels = np.repeat(np.arange(4), 12)
    counts = {c: 200 for c in range(4)}

    def per_class_report(covered_per_class):
        coverage = (np.tile(np.arange(12), 4) < covered_per_class).astype(float)
        return report.coverage_report(set_object(rng, labels, coverage, np.zeros((48, 1)), 800,
                                                 4, "class", counts))

    said = per_class_report(12).findings[-1]
    assert "and only where a whole class falls short by it" in said, said
    shortfall = float(said.split("only from ")[1].split(" ")[0])
    assert (per_class_report(math.floor((0.9 - shortfall) * 12 + 1e-9)).tables["by_class"]["flag"]
            == "under-covered").all()
    # too few rows up to some n (the count's rounding blurs the edge), never beyond
    assert blind[:20] == list(range(2, 60, 3)) and blind[-1] < 157


def test_conformal_reports_on_sparse_rows_empty_sets_and_fallback_classes():
    rng = np.random.default_rng(8)
    m = 300
    labels = rng.integers(0, 3, m)
    x = sparse.random(m, 4, density=0.3, format="csr", random_state=1)
    cc = set_object(rng, labels, np.full(m, 0.9), x, 600, 3, conditional="class",
                    counts={0: 290, 1: 300, 2: 10})
    cc.stratum_ranks_[2] = None  # class 2 fell back: its column is in every set
    cc.fallback_groups_ = [2]
    cc.fallback = "full"
    cc.sets_[:, 2] = True
    cc.sets_[:5] = False  # empty sets
    r = report.coverage_report(cc)
    assert set(r.tables["by_feature"]["feature"]) == {"x0", "x1", "x2", "x3"}
    dense = report.coverage_report(cc, test_x=x.toarray()).tables["by_feature"]
    assert r.tables["by_feature"]["n"].tolist() == dense["n"].tolist()
    assert np.isfinite(r.summary["bandwidth"])
    # the sets the fallback changed: those holding class 2, all but the five empty ones
    assert r.summary["share_fallback"] == (m - 5) / m
    assert np.isnan(r.tables["by_class"]["p_adjusted"][2])
    assert any("changed by the fallback: the class 2 had" in f for f in r.findings)
    # a marginal fallback adds class 2 where the marginal threshold lets it in
    cc.fallback = "marginal"
    cc.sets_[:, 2] = np.arange(m) % 3 == 0
    assert report.coverage_report(cc).summary["share_fallback"] == np.mean(np.arange(m) % 3 == 0)


def test_calibrate_keeps_what_the_law_needs():
    class Table:
        def predict_proba(self, x):
            return np.asarray(x, dtype=float)

    rng = np.random.default_rng(9)
    p = rng.dirichlet(np.ones(3), 500)
    y = np.r_[rng.integers(0, 2, 495), [2] * 5]
    cc = ConformalClassifier(Table(), alpha=0.1, score="lac")
    cc.calibrate(p, y)
    assert (cc.rank_, cc.alpha_) == (451, 0.1) and not hasattr(cc, "stratum_counts_")
    assert cc.threshold_ties_ == 1  # continuous probabilities: no score shares the threshold
    # a tree's few distinct probabilities: many scores at the threshold
    few = np.repeat(rng.dirichlet(np.ones(3), 4), 125, axis=0)
    assert ConformalClassifier(Table(), alpha=0.1).calibrate(few, y).threshold_ties_ > 50
    with pytest.warns(UserWarning):
        cc = ConformalClassifier(Table(), alpha=0.1, score="lac", conditional="class").calibrate(p, y)
    counts = {c: int(np.sum(y == c)) for c in range(3)}
    assert cc.stratum_counts_ == counts
    assert cc.stratum_ranks_ == {0: rank(counts[0]), 1: rank(counts[1]), 2: None}
    cc.evaluate(p, y)
    # fallback "full": class 2 is in every set
    assert cc.sets_[:, 2].all() and report.coverage_report(cc).summary["share_fallback"] == 1
