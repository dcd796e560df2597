"""The coverage report: its figures against their formulas and against the plots' segments."""

import json
import math
from html.parser import HTMLParser

import matplotlib.pyplot as plt
import numpy as np
import pandas as pd
import pytest
from scipy.special import ndtri  # scikit-learn brings scipy; statistics.NormalDist is 3.8+

from trov.diagnoser import report


def wilson(k, n, confidence):
    z = ndtri(1 - (1 - confidence) / 2)
    p = k / n
    centre = (p + z * z / (2 * n)) / (1 + z * z / n)
    half = z / (1 + z * z / n) * math.sqrt(p * (1 - p) / n + z * z / (4 * n * n))
    return centre - half, centre + half


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


@pytest.mark.parametrize("confidence", [0.5, 0.9, 0.95, 0.999999])
@pytest.mark.parametrize("k, n", [(0, 7), (3, 7), (7, 7), (912, 1000)])
def test_wilson_interval_matches_the_formula(mod, confidence, k, n):
    c = classifier(mod, [[0]] * n, [0] * k + [1] * (n - k))
    s = report.coverage_report(c, confidence=confidence).summary
    low, high = wilson(k, n, confidence)
    assert s["coverage"] == k / n
    assert s["coverage_low"] == pytest.approx(max(low, 0), abs=1e-12)
    assert s["coverage_high"] == pytest.approx(min(high, 1), abs=1e-12)


def test_textbook_interval_and_flags(mod):
    # 8 of 10 at 95%: the textbook Wilson interval [0.4902, 0.9433]
    r = report.coverage_report(classifier(mod, [[0]] * 10, [0] * 8 + [1] * 2))
    assert (round(r.summary["coverage_low"], 4), round(r.summary["coverage_high"], 4)) == (
        0.4902, 0.9433)
    # target 0.8: 2 of 10 lies surely below it, 200 of 200 surely above 0.85, 8 of 10 neither
    sets = [[0]] * 20 + [[1]] * 200
    labels = [0] * 8 + [1] * 2 + [0] * 2 + [1] * 8 + [1] * 200
    t = report.coverage_report(classifier(mod, sets, labels, alpha=0.2)).tables["by_class"]
    assert t["n"].tolist() == [10, 210]
    assert t["flag"].tolist() == ["", "over-covered"]
    t = report.coverage_report(classifier(mod, [[0]] * 10, [0] * 2 + [1] * 8, alpha=0.2))
    assert t.tables["by_set_size"]["flag"].tolist() == ["under-covered"]


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
        "class", "n", "coverage", "coverage_low", "coverage_high", "mean_set_size", "flag"]
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
        "set_size", "n", "coverage", "coverage_low", "coverage_high", "flag"]
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
        "segment", "n", "low", "high", "coverage", "coverage_low", "coverage_high",
        "mean_width", "flag"]


def plot_feature_widths(r, name, bins):
    """plot_feature's mean width per segment, read from its stems."""
    r.plot_feature(name, bins=bins)
    stems = plt.figure(plt.get_fignums()[0]).axes[0].containers[0]
    return stems.markerline.get_ydata()


@pytest.mark.filterwarnings("ignore:Mean of empty slice", "ignore:invalid value encountered")
@pytest.mark.parametrize("n, bins", [(23, 4), (40, 7), (5, 10), (1, 3), (12, 1)])
def test_segments_hold_the_rows_plot_feature_puts_in_them(mod, n, bins):
    rng = np.random.default_rng(n)
    ties = rng.integers(0, 3, size=n).astype(float)  # many equal values
    x = np.c_[rng.normal(size=n), ties]
    y = np.zeros(n)
    # widths 2**row: a segment's mean width names exactly its rows
    r = regressor(mod, x, y, -(2.0 ** np.arange(n)), np.zeros(n), names=["a", "b"])
    t = report.coverage_report(r, bins=bins).tables["by_feature"]
    for j, name in enumerate(["a", "b"]):
        part = t[t["feature"] == name]
        expected = plot_feature_widths(r, name, bins)
        plt.close("all")
        assert part["segment"].tolist() == list(range(bins))
        assert part["n"].sum() == n
        got = part["mean_width"].to_numpy()
        empty = part["n"].to_numpy() == 0
        assert np.array_equal(got[~empty], expected[~empty])
        assert np.all(expected[empty] == 0) and np.all(np.isnan(got[empty]))
        assert np.all(np.isnan(part["coverage"][empty]))
        assert (part["coverage_low"][empty] == 0).all() and (part["coverage_high"][empty] == 1).all()
        for row in part[~empty].itertuples():
            rows = [i for i in range(n) if int(round(row.mean_width * row.n)) >> i & 1]
            assert len(rows) == row.n
            assert (row.low, row.high) == (x[rows, j].min(), x[rows, j].max())
    if (n, bins) == (5, 10):
        assert t[t["feature"] == "a"]["n"].tolist() == [0, 0, 1, 0, 1, 0, 0, 1, 0, 2]


def test_data_frames_by_position_and_the_lowest_segment(mod):
    x = pd.DataFrame({"u": [5.0, 4, 3, 2, 1, 0], "v": [0.0, 1, 2, 3, 4, 5]}, index=[9, 8, 7, 6, 5, 4])
    y = np.arange(6.0)
    low = y - 1
    up = np.where(y < 2, y - 0.5, y + 1)  # rows 0 and 1 not covered
    r = report.coverage_report(regressor(mod, x, y, low, up, names=["u", "v"]), bins=3)
    s = r.summary
    # bounds 0, 1, 3: u ranks rows 5 | 4, 3 | 2, 1, 0 and v rows 0 | 1, 2 | 3, 4, 5
    assert (s["fsc"], s["fsc_feature"], s["fsc_segment"]) == (0.0, "v", 0)
    worst = r.tables["worst_segments"]
    assert worst[["feature", "segment", "n", "coverage"]].values.tolist() == [
        ["u", 2, 3, 1 / 3], ["v", 0, 1, 0.0]]
    by_prediction = r.tables["by_prediction"]
    assert by_prediction["coverage"].tolist() == [0.0, 0.5, 1.0]


def test_many_segments(mod):
    # past 255 segments the rows are marked with wider segment numbers
    n, bins = 1000, 300
    x = np.random.default_rng(3).integers(0, 50, size=(n, 1)).astype(float)
    r = regressor(mod, x, np.zeros(n), -np.ones(n), np.ones(n))
    t = report.coverage_report(r, bins=bins).tables["by_feature"]
    q = [int(b) for b in np.quantile(np.arange(n), np.array([i / bins for i in range(bins + 1)]))]
    assert t["n"].tolist() == np.diff(q[:-1]).tolist() + [n - q[-2]]


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
    r = report.coverage_report(regressor(mod, x, x[:, 0], x[:, 0] - 1, x[:, 0] + 1), bins=10)
    d = json.loads(json.dumps(r.to_dict(), allow_nan=False))
    assert d["kind"] == "regression" and d["summary"]["n"] == 5
    assert d["tables"]["by_feature"][0]["coverage"] is None  # an empty segment
    assert d["tables"]["by_feature"][2]["n"] == 1
