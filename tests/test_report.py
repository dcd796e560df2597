"""The coverage report: its figures against their formulas and against the plots' segments."""

import json
import math
from html.parser import HTMLParser

import matplotlib.pyplot as plt
import numpy as np
import pandas as pd
import pytest
from scipy import stats  # scikit-learn brings scipy
from scipy.special import ndtri  # statistics.NormalDist is 3.8+

from trov.diagnoser import report


def classifier(mod, sets, labels, alpha=0.1, **attrs):
    """An AdaptiveConformalClassifier holding what fit leaves, from hand-made sets."""
    c = mod.AdaptiveConformalClassifier(alpha=alpha)
    c.test_class = sets
    c.test_y = np.asarray(labels)
    c.test_sorted_index = np.tile([1, 0], (len(labels), 1))
    for name, value in attrs.items():
        setattr(c, name, value)
    return c


def regressor(mod, x, y, low, up, alpha=0.1, names=(), calib=19):
    r = mod.ResidualConformalRegressor(alpha=alpha, feature_names=np.array(names))
    r.test_x = x
    r.test_y = np.asarray(y, dtype=float)
    r.pred_low = np.asarray(low, dtype=float)
    r.pred_up = np.asarray(up, dtype=float)
    r.pred_test = (r.pred_low + r.pred_up) / 2
    r.width = abs(r.pred_up - r.pred_low)
    r.calib_y = np.zeros(calib)
    return r


# --- Wilson intervals and flags ---


# Newcombe (1998), "Two-sided confidence intervals for the single proportion", table I,
# method 3 (Wilson's score interval without continuity correction), 95 %.
@pytest.mark.parametrize("k, n, low, high", [
    (81, 263, 0.2553, 0.3662), (15, 148, 0.0624, 0.1605), (0, 20, 0.0, 0.1611),
    (1, 29, 0.0061, 0.1718), (29, 29, 0.8830, 1.0)])
def test_wilson_interval_published_values(mod, k, n, low, high):
    s = report.coverage_report(classifier(mod, [[0]] * n, [0] * k + [1] * (n - k))).summary
    assert s["coverage"] == k / n
    assert (round(s["coverage_low"], 4), round(s["coverage_high"], 4)) == (low, high)


def test_textbook_interval(mod):
    # 8 of 10 at 95%: the textbook Wilson interval [0.4902, 0.9433]
    r = report.coverage_report(classifier(mod, [[0]] * 10, [0] * 8 + [1] * 2))
    assert (round(r.summary["coverage_low"], 4), round(r.summary["coverage_high"], 4)) == (
        0.4902, 0.9433)


def holm(p):
    order = np.argsort(p, kind="stable")
    out, running = np.empty(len(p)), 0.0
    for rank, i in enumerate(order):
        running = max(running, min(1.0, (len(p) - rank) * p[i]))
        out[i] = running
    return out


def test_flags_by_exact_tests_with_holm_over_the_whole_report(mod):
    # target 0.8, tol 0.01 (no calibration count): class 0 covered 12 of 12, class 1
    # 190 of 190, class 2 50 of 78; set sizes are described, never tested
    sets = [[0]] * 30 + [[1]] * 200 + [[0, 1, 2]] * 50
    labels = [0] * 12 + [2] * 18 + [1] * 190 + [2] * 10 + [2] * 50
    k = np.array([12, 190, 50])
    n = np.array([12, 190, 78])
    # The procedure's sets keep the class at which the running sum reaches q, so they
    # cover more than the law: over-coverage leaves Holm's family and is said, not
    # flagged, whether running sums meet q (0.9), never do (0.75), or q is unknown.
    for q, values in ((0.75, np.tile([0.6, 0.3, 0.1], (280, 1))),
                      (0.9, np.tile([0.6, 0.3, 0.1], (280, 1))), (None, None)):
        c = classifier(mod, sets, labels, alpha=0.2, classes=np.array([0, 1, 2]), q=q,
                       test_sorted_value=values)
        r = report.coverage_report(c)
        by_class, by_size = r.tables["by_class"], r.tables["by_set_size"]
        assert r.summary["tol"] == 0.01 and "n_calib" not in r.summary
        got = by_class["p_adjusted"].to_numpy()
        assert got == pytest.approx(holm(stats.binom.cdf(k, n, 0.79)), rel=1e-9)
        assert by_class["flag"].tolist() == ["", "", "under-covered"]
        assert by_size["p_adjusted"].isna().all() and by_size["flag"].tolist() == ["", ""]
        assert by_size["coverage"].tolist() == [202 / 230, 1]
        assert any(f.startswith("Wider than the target needs") and "class 1" in f
                   and "running probability reaches q" in f and "carries no flag" in f
                   for f in r.findings)
    # at a higher confidence the same rows clear a higher bar: no flag
    r = report.coverage_report(c, confidence=1 - 1e-9)
    assert r.tables["by_class"]["flag"].tolist() == ["", "", ""]


def simulated(mod, rng, shortfall):
    """A regressor report as exact split conformal leaves it: 4000 test rows, 8 features,
    2000 calibration rows, coverage the same everywhere except, with `shortfall`, 0.75
    over the tenth of the rows with the largest x0."""
    n, n_cal = 4000, 2000
    x = rng.normal(size=(n, 8))
    tol = 0.9 - stats.beta.ppf(0.05, 1801, 200)
    coverage = np.full(n, 0.9 - tol)  # on the edge of the hypothesis of no shortfall
    if shortfall:
        coverage[x[:, 0] > np.quantile(x[:, 0], 0.9)] = 0.75
    half = ndtri((1 + coverage) / 2)  # P(|y| < half) is the coverage
    r = report.coverage_report(regressor(mod, x, rng.normal(size=n), -half, half, calib=n_cal))
    assert r.summary["tol"] == 0.01
    return r


def any_flag(r):
    return any((r.tables[t]["flag"] != "").any() for t in ("by_feature", "by_prediction"))


def test_flags_false_alarm_rate_and_power_by_simulation(mod):
    rng = np.random.default_rng(12)
    false_alarms = sum(any_flag(simulated(mod, rng, False)) for _ in range(60))
    assert false_alarms <= 6  # at most about 5 % of reports
    detected = 0
    for _ in range(20):
        t = simulated(mod, rng, True).tables["by_feature"]
        top = t[(t["feature"] == "x0")].iloc[-1]  # the segment of the largest x0
        detected += top["flag"] == "under-covered"
    assert detected >= 19


# --- classification tables ---

SETS = [[0], [1], [0, 1], [1], [0], [0, 1], [1], [0, 1]]
LABELS = [0, 0, 1, 1, 1, 0, 1, 0]  # covered: 1 0 1 1 0 1 1 1


def as_diagnosed(sets):
    """test_class as diagnose leaves it: an object array of lists."""
    out = np.empty(len(sets), dtype=object)
    out[:] = [list(s) for s in sets]
    return out


@pytest.mark.parametrize("form", [list, as_diagnosed])
def test_per_class_and_per_size_coverage(mod, form):
    c = classifier(mod, form(SETS), LABELS)
    before = {k: (v, v if not isinstance(v, list) else list(v)) for k, v in vars(c).items()}
    r = report.coverage_report(c)
    s = r.summary
    assert (s["n"], s["coverage"]) == (8, 6 / 8)
    assert s["target"] == pytest.approx(0.9)
    assert s["mean_set_size"] == 11 / 8
    assert s["bandwidth"] == pytest.approx(1 - (5 + 3 / 2) / 8)
    assert (s["share_one_class"], s["share_full"], s["share_empty"]) == (5 / 8, 3 / 8, 0.0)
    by_class = r.tables["by_class"]
    assert by_class.columns.tolist() == [
        "class", "n", "coverage", "coverage_low", "coverage_high", "mean_set_size", "p_adjusted",
        "flag"]
    assert by_class["class"].tolist() == [0, 1]
    assert by_class["n"].tolist() == [4, 4]
    assert by_class["coverage"].tolist() == [3 / 4, 3 / 4]
    assert by_class["mean_set_size"].tolist() == [6 / 4, 5 / 4]
    assert s["class_coverage_gap"] == pytest.approx(0.15)
    assert s["worst_class"] == 0
    by_size = r.tables["by_set_size"]
    assert by_size["set_size"].tolist() == [1, 2]
    assert by_size["n"].tolist() == [5, 3]
    assert by_size["coverage"].tolist() == [3 / 5, 1.0]
    assert by_size.columns.tolist() == [
        "set_size", "n", "coverage", "coverage_low", "coverage_high", "p_adjusted", "flag"]
    # read only: the same objects, the sets unchanged
    assert vars(c).keys() == before.keys()
    for name, (obj, copy) in before.items():
        assert getattr(c, name) is obj
        if isinstance(obj, list):
            assert obj == copy


def test_sets_of_one_length_as_a_matrix_and_empty_sets(mod):
    r = report.coverage_report(classifier(mod, np.array([[0], [1], [1]]), [0, 0, 1]))
    assert r.summary["coverage"] == 2 / 3
    assert r.tables["by_set_size"]["set_size"].tolist() == [1]
    r = report.coverage_report(classifier(mod, [[], [0, 1], [1]], [0, 0, 1]))
    assert (r.summary["share_empty"], r.summary["share_full"]) == (1 / 3, 1 / 3)
    assert r.tables["by_set_size"]["coverage"].tolist() == [0.0, 1.0, 1.0]


def test_labels_map_to_positions_through_classes(mod):
    labels = ["yes", "no", "no", "maybe", "yes"]
    c = classifier(mod, [[1], [0], [1], [0, 1], [0, 1]], labels, classes=np.array(["no", "yes"]))
    r = report.coverage_report(c)
    # "maybe" is no class: never covered
    assert r.summary["coverage"] == 3 / 5
    t = r.tables["by_class"].set_index("class")
    assert t["coverage"].to_dict() == {"maybe": 0.0, "no": 0.5, "yes": 1.0}
    assert r.summary["worst_class"] == "maybe"
    # without classes, labels compare with positions: 1.0 is position 1, "1" is none
    c = classifier(mod, [[1], [1], [0]], np.array([1.0, 0.0, 0.0]))
    assert report.coverage_report(c).summary["coverage"] == 2 / 3
    c = classifier(mod, [[1], [1]], np.array(["1", "1"]))
    assert report.coverage_report(c).summary["coverage"] == 0.0


# --- regression ---


def test_regression_summary_counts_strictly_inside(mod):
    y = [0.0, 1.0, 2.0, 3.0, 4.0, 5.0]
    low = [-1.0, 1.0, 1.0, 2.0, 3.0, 6.0]  # row 1 on its lower bound, row 5 outside
    up = [1.0, 2.0, 2.0, 4.0, 7.0, 7.0]  # row 2 on its upper bound
    r = report.coverage_report(regressor(mod, np.c_[y, y], y, low, up, calib=99))
    s = r.summary
    assert (s["n"], s["coverage"], s["n_calib"]) == (6, 0.5, 99)
    assert (s["band_low"], s["band_high"]) == (pytest.approx(0.9), pytest.approx(0.91))
    assert s["mean_width"] == pytest.approx(11 / 6)
    assert s["median_width"] == 1.5
    assert r.tables["by_feature"]["feature"].unique().tolist() == ["x0", "x1"]
    assert r.tables["by_prediction"].columns.tolist() == [
        "segment", "label", "n", "low", "high", "coverage", "coverage_low", "coverage_high",
        "mean_width", "p_adjusted", "flag"]


def segments(t, feature):
    part = t[t["feature"] == feature]
    return part["label"].tolist(), part["n"].tolist()


def test_segments_respect_ties_values_missing_and_categories(mod):
    rng = np.random.default_rng(5)
    n = 200
    ties = np.repeat([0.0, 1.0, 2.0, 3.0], [20, 90, 30, 60])  # cuts fall inside the runs
    frame = pd.DataFrame({
        "ties": ties,
        "binary": np.r_[np.zeros(150), np.ones(50)],
        "gaps": np.where(np.arange(n) % 10 == 0, np.nan, np.arange(n, dtype=float)),
        "city": np.r_[["b"] * 80, ["a"] * 80, ["c"] * 20, ["d"] * 12, ["e"] * 8],
        "flag": np.arange(n) % 4 == 0,
        "cat": pd.Categorical(np.r_[["x"] * 100, [None] * 100]),
    })
    y = rng.normal(size=n)
    r = regressor(mod, frame, y, y - 1, y + np.r_[np.ones(100), -np.ones(100)])
    r.feature_names = None
    t = report.coverage_report(r, bins=3).tables["by_feature"]
    # equal values in one segment: the equal-count cuts (66, 133) move to 110 and 140
    assert segments(t, "ties") == (["[0, 1]", "2", "3"], [110, 30, 60])
    assert segments(t, "binary") == (["0", "1"], [150, 50])  # few values: one each
    labels, counts = segments(t, "gaps")
    assert labels[-1] == "missing" and counts == [60, 60, 60, 20]
    part = t[t["feature"] == "gaps"]
    assert np.isnan(part["low"].iloc[-1]) and part["coverage"].iloc[-1] == 0.5
    assert (part["low"].iloc[:3].tolist(), part["high"].iloc[:3].tolist()) == (
        [1.0, 67.0, 134.0], [66.0, 133.0, 199.0])
    assert segments(t, "city") == (["a", "b", "other"], [80, 80, 40])  # 2 most frequent
    assert segments(t, "flag") == (["False", "True"], [150, 50])
    assert segments(t, "cat") == (["x", "missing"], [100, 100])
    assert t.groupby("feature")["n"].sum().eq(n).all()
    # the rows' order does not matter
    order = rng.permutation(n)
    r2 = regressor(mod, frame.iloc[order], y[order], (y - 1)[order],
                   (y + np.r_[np.ones(100), -np.ones(100)])[order])
    r2.feature_names = None
    pd.testing.assert_frame_equal(report.coverage_report(r2, bins=3).tables["by_feature"], t)


def test_huge_bins_give_one_segment_per_value(mod):
    x = np.random.default_rng(3).integers(0, 50, size=(1000, 1)).astype(float)
    r = regressor(mod, x, np.zeros(1000), -np.ones(1000), np.ones(1000))
    t = report.coverage_report(r, bins=10**30).tables["by_feature"]
    assert t["n"].tolist() == np.unique(x, return_counts=True)[1].tolist()
    assert t["label"].tolist() == [str(v) for v in range(50)]


def test_data_frames_by_position_and_the_lowest_segment(mod):
    x = pd.DataFrame({"u": [5.0, 4, 3, 2, 1, 0], "v": [0.0, 1, 2, 3, 4, 5]}, index=[9, 8, 7, 6, 5, 4])
    y = np.arange(6.0)
    low = y - 1
    up = np.where(y < 2, y - 0.5, y + 1)  # rows 0 and 1 not covered
    r = report.coverage_report(regressor(mod, x, y, low, up, names=["u", "v"]), bins=3)
    s = r.summary
    # cuts at 2 and 4: u ranks rows 5, 4 | 3, 2 | 1, 0 and v rows 0, 1 | 2, 3 | 4, 5
    assert (s["fsc"], s["fsc_feature"], s["fsc_segment"]) == (0.0, "u", 2)  # the first lowest
    worst = r.tables["worst_segments"]
    assert worst[["feature", "segment", "label", "n", "coverage"]].values.tolist() == [
        ["u", 2, "[4, 5]", 2, 0.0], ["v", 0, "[0, 1]", 2, 0.0]]
    assert r.tables["by_prediction"]["coverage"].tolist() == [0.0, 1.0, 1.0]


def test_agrees_with_the_procedures_own_figures(mod):
    rng = np.random.default_rng(0)
    x = rng.normal(size=(400, 2))

    class Model:
        def predict_proba(self, x):
            p = 1 / (1 + np.exp(-3 * x[:, 0]))
            return np.column_stack([1 - p, p])

        def predict(self, x):
            return 2 * x[:, 0]

    labels = (rng.uniform(size=400) < Model().predict_proba(x)[:, 1]).astype(int)
    acc = mod.AdaptiveConformalClassifier(alpha=0.2)
    acc.fit(Model(), None, None, x[200:], labels[200:], x[:200], labels[:200])
    before = report.coverage_report(acc).summary
    counts = acc.diagnose()
    r = report.coverage_report(acc)
    assert r.summary == before  # the list of sets and the array diagnose made
    assert r.summary["coverage"] == acc.coverage
    assert r.summary["bandwidth"] == pytest.approx(acc.width)
    assert r.tables["by_set_size"]["set_size"].tolist() == counts["number of class"].tolist()
    assert r.tables["by_set_size"]["n"].tolist() == counts["sample count"].tolist()

    y = 2 * x[:, 0] + rng.normal(size=400)
    rcr = mod.ResidualConformalRegressor(alpha=0.2, depth=2)
    rcr.fit(Model(), x[:200], y[:200], x[200:], y[200:], x[100:200], y[100:200])
    s = report.coverage_report(rcr).summary
    assert (s["coverage"], s["n_calib"]) == (rcr.coverage, 100)
    assert s["mean_width"] == pytest.approx(rcr.width.mean())
    assert s["median_width"] == np.median(rcr.width)


# --- entry point checks ---


def test_what_it_accepts(mod):
    with pytest.raises(TypeError, match="AdaptiveConformalClassifier, ResidualConformalRegressor"):
        report.coverage_report(object())
    with pytest.raises(TypeError):
        report.coverage_report(mod.Reliability_without_uncertain(None))
    with pytest.raises(ValueError, match="not fitted"):
        report.coverage_report(mod.AdaptiveConformalClassifier())
    with pytest.raises(ValueError, match="Reliability is not fitted"):
        report.coverage_report(mod.Reliability(None))
    c = classifier(mod, SETS, LABELS)
    for bad, error in [(0, ValueError), (1.0, ValueError), (float("nan"), ValueError),
                       ("0.9", TypeError)]:
        with pytest.raises(error, match="confidence"):
            report.coverage_report(c, confidence=bad)
    for bad, error in [(0, ValueError), (2.0, TypeError), (True, TypeError)]:
        with pytest.raises(error, match="bins"):
            report.coverage_report(c, bins=bad)
    facade = mod.Reliability(None)
    facade.reliability = c
    assert report.coverage_report(facade, bins=np.int64(3)).summary == report.coverage_report(c).summary


# --- outputs ---


class Links(HTMLParser):
    """Every tag and attribute of a page, and its text."""

    def __init__(self):
        super().__init__()
        self.tags, self.attributes, self.text = [], [], []

    def handle_starttag(self, tag, attrs):
        self.tags.append(tag)
        self.attributes.extend(attrs)

    def handle_data(self, data):
        self.text.append(data)


def test_html_is_self_contained(mod, tmp_path):
    rng = np.random.default_rng(1)
    x = rng.normal(size=(60, 2))
    y = rng.normal(size=60)
    r = report.coverage_report(regressor(mod, x, y, y - 0.5 - x[:, 0], y + 1), bins=4)
    path = tmp_path / "report.html"
    assert r.to_html(path) is None
    for page in [r._repr_html_(), path.read_text(encoding="utf-8")]:
        parsed = Links()
        parsed.feed(page)
        assert not {"script", "link", "iframe", "object", "embed"} & set(parsed.tags)
        images = [value for name, value in parsed.attributes if name == "src"]
        assert len(images) == 2 and all(v.startswith("data:image/png;base64,") for v in images)
        others = [value or "" for name, value in parsed.attributes if name != "src"]
        assert not [v for v in others + parsed.text if "http" in v or "//" in v]
        assert "under-covered" in page and "by_prediction" in page
    assert plt.get_fignums() == []  # nothing left in pyplot


def test_to_dict_is_plain_json(mod):
    x = np.arange(5.0)[:, None]
    x[0] = np.nan
    r = report.coverage_report(regressor(mod, x, x[:, 0], x[:, 0] - 1, x[:, 0] + 1), bins=10)
    d = json.loads(json.dumps(r.to_dict(), allow_nan=False))
    assert d["kind"] == "regression" and d["summary"]["n"] == 5
    assert d["tables"]["by_feature"][-1]["low"] is None  # the missing segment
    assert d["tables"]["by_feature"][2]["n"] == 1
    assert d["findings"] == r.findings and all(isinstance(f, str) for f in r.findings)


# --- the classifier by feature, names ---


def test_classifier_by_feature_with_names_from_a_data_frame(mod):
    rng = np.random.default_rng(7)
    n = 300
    x = pd.DataFrame({"cost $\\frac{a}$": rng.normal(size=n), "kind": rng.choice(["a", "b"], n)})
    labels = rng.integers(0, 2, n)
    # rows of kind "b" get the wrong class: never covered
    sets = [[y] if k == "a" else [1 - y] for y, k in zip(labels, x["kind"])]
    c = classifier(mod, sets, labels)
    r = report.coverage_report(c, bins=4, test_x=x)
    t = r.tables["by_feature"]
    assert t["feature"].unique().tolist() == ["cost $\\frac{a}$", "kind"]
    assert "mean_set_size" in t.columns and "worst_segments" in r.tables
    kind = t[t["feature"] == "kind"].set_index("label")
    assert kind["coverage"].to_dict() == {"a": 1.0, "b": 0.0}
    assert kind.loc["b", "flag"] == "under-covered"
    assert (r.summary["fsc"], r.summary["fsc_feature"]) == (0.0, "kind")
    assert any("kind = b" in f for f in r.findings)
    assert "cost $\\frac{a}$" in r._repr_html_()  # drawn as plain text, not mathtext
    assert "by_feature" not in report.coverage_report(c).tables
    with pytest.raises(ValueError, match="299 rows but the fitted test part has 300"):
        report.coverage_report(c, test_x=x.iloc[1:])
    # a regressor's test_x is replaced, names included
    y = np.zeros(n)
    r = report.coverage_report(regressor(mod, np.ones((n, 1)), y, y - 1, y + 1), test_x=x)
    assert r.tables["worst_segments"]["feature"].tolist() == ["cost $\\frac{a}$", "kind"]


def test_findings_say_what_to_act_on(mod):
    full = [[0, 1]] * 90 + [[0]] * 10
    r = report.coverage_report(classifier(mod, full, [1] * 100))
    assert r.findings[0].startswith("90 % of the sets hold both classes")
    x = np.arange(40.0)[:, None]
    y = np.zeros(40)
    r = report.coverage_report(regressor(mod, x, y, y - 1, y + 1, calib=19))
    assert r.summary["n_calib"] == 19 and r.summary["expected_high"] == 1.0
    assert [f.split(":")[0] for f in r.findings] == ["Only 19 calibration rows",
                                                     "Too few rows to tell"]
    x = np.arange(400.0)[:, None]
    y = np.zeros(400)
    r = report.coverage_report(regressor(mod, x, y, y - 1, y + 1, calib=999))
    assert r.findings[0].startswith("Coverage 1.000 is above what exact split conformal gives")
    assert r.summary["flag"] == "over-covered"
    y = np.where(x[:, 0] % 10 == 0, 5.0, 0.0)  # 40 of 400 rows outside: 0.9 as targeted
    r = report.coverage_report(regressor(mod, x, y, -np.ones(400), np.ones(400), calib=999))
    assert r.findings == [
        "All clear: coverage is within chance of the target and no row is flagged."]


# --- odd input: exceptions, never a crash ---

REPORT_HAZARDS = """
import numpy as np
import trov.diagnoser.reliability_evaluation as mod
from trov.diagnoser import report


def regressor(n=50):
    r = mod.ResidualConformalRegressor(alpha=0.1)
    x = np.random.default_rng(0).normal(size=(n, 2))
    r.test_x, r.test_y, r.pred_test = x, x[:, 0], x[:, 0]
    r.pred_low, r.pred_up, r.width = x[:, 0] - 1, x[:, 0] + 1, np.full(n, 2.0)
    r.calib_y = np.zeros(30)
    return r


def outcome(call):
    try:
        call()
        return "ok"
    except Exception as error:
        return type(error).__name__


loop, deep = report.coverage_report(regressor()), report.coverage_report(regressor())
loop.summary["self"] = loop.summary
deep.summary["deep"] = nested = []
for _ in range(100000):
    nested.append([])
    nested = nested[0]


class Names:  # len() says two, iteration gives one
    def __len__(self):
        return 2

    def __iter__(self):
        return iter(["a"])


class Name:  # its str() frees the width array's buffer
    def __init__(self, owner):
        self.owner = owner

    def __str__(self):
        self.owner.width.resize(0, refcheck=False)
        return "a"


lying, freeing = regressor(), regressor()
lying.feature_names = Names()
freeing.feature_names = [Name(freeing), "b"]

huge = mod.AdaptiveConformalClassifier()
huge.alpha, huge.test_class, huge.test_y = 0.1, [[2**63 - 1], [0]], np.array([0, 1])


class WrappedNumpy:  # np.unique with an inverse out of range
    def __getattr__(self, name):
        return getattr(np, name)

    def unique(self, *args, **kwargs):
        values, inverse = np.unique(*args, **kwargs)
        return values, inverse + 10**6


wrapped = mod.AdaptiveConformalClassifier()
wrapped.alpha, wrapped.test_class, wrapped.test_y = 0.1, [[0], [1]], np.array([0, 1])
results = [outcome(loop.to_dict), outcome(deep.to_dict),
           outcome(lambda: report.coverage_report(lying)),
           outcome(lambda: report.coverage_report(freeing)),
           outcome(lambda: report.coverage_report(huge))]
report.np = WrappedNumpy()
results.append(outcome(lambda: report.coverage_report(wrapped)))
print(" ".join(results))
"""


def test_hazards_raise_instead_of_crashing():
    from test_native_safety import run_child

    assert run_child(["-c", REPORT_HAZARDS]).split() == [
        "ValueError", "ValueError", "ValueError", "ok", "ValueError", "ValueError"]


def test_confidence_with_an_infinite_quantile_is_refused(mod):
    with pytest.raises(ValueError, match="normal quantile is not finite"):
        report.coverage_report(classifier(mod, SETS, LABELS), confidence=0.9999999999999999)
