"""AdaptiveConformalClassifier: the coverage bar chart and the single-sample plot."""

import matplotlib.colors as mcolors
import matplotlib.pyplot as plt
import numpy as np
import pytest


class RowModel:
    """Feature = row id; predict_proba looks the id up in a fixed table."""

    def __init__(self, p1):
        p1 = np.asarray(p1, dtype=float)
        self.table = np.column_stack([1 - p1, p1])

    def predict_proba(self, x):
        return self.table[np.asarray(x)[:, 0]]


# Nine calibration rows, true class always on top, largest top probability 0.8: q = 0.8.
CALIB_P1 = [0.8, 0.3, 0.7, 0.35, 0.6, 0.25, 0.65, 0.4, 0.75]
CALIB_Y = np.array([1, 0, 1, 0, 1, 0, 1, 0, 1])


def fitted(mod, test_p1, test_y, calib_y=CALIB_Y):
    clf = mod.AdaptiveConformalClassifier()
    model = RowModel(CALIB_P1 + list(test_p1))
    rows = len(test_p1)
    clf.fit(model, None, None, np.arange(9, 9 + rows).reshape(-1, 1), np.asarray(test_y),
            np.arange(9).reshape(-1, 1), calib_y)
    return clf


def expected_counts(test_y, sets):
    """{label: {true class: count}} for the chart, from the sets written as label text."""
    counts = {}
    for y, s in zip(test_y, sets):
        per_class = counts.setdefault(s, {})
        per_class[y] = per_class.get(y, 0) + 1
    return counts


def chart(ax):
    """{legend label: {x tick text: bar height}} of a seaborn grouped bar chart.

    Older seaborn draws a missing class-and-label pair as a bar of height NaN, newer
    seaborn draws nothing: either way a gap, left out here."""
    ticks = [t.get_text() for t in ax.get_xticklabels()]
    legend = [t.get_text() for t in ax.get_legend().get_texts()]
    bars = {}
    for label, container in zip(legend, ax.containers):
        bars[label] = {
            int(ticks[int(round(b.get_x() + b.get_width() / 2))]): b.get_height()
            for b in container
            if not np.isnan(b.get_height())
        }
    return legend, bars


class TestPlot:
    def test_three_labels_use_the_fixed_order(self, mod, displayed):
        test_y = [1, 0, 0, 1, 1, 1]
        clf = fitted(mod, [0.9, 0.1, 0.6, 0.8, 0.5, 0.2], test_y)
        clf.plot()
        legend, bars = chart(plt.gca())
        assert legend == ["{0}", "{1}", "{0, 1}"]
        sets = ["{1}", "{0}", "{0, 1}", "{1}", "{0, 1}", "{0}"]
        assert bars == expected_counts(test_y, sets)

    def test_two_labels_with_the_full_set_put_it_last(self, mod, displayed):
        # Class 0 only gets {0, 1}, so it appears first in the table.
        test_y = [0, 0, 1, 1]
        clf = fitted(mod, [0.6, 0.5, 0.9, 0.55], test_y)
        assert clf.test_class == [[0, 1], [0, 1], [1], [0, 1]]
        clf.plot()
        legend, bars = chart(plt.gca())
        assert legend == ["{1}", "{0, 1}"]
        assert bars == expected_counts(test_y, ["{0, 1}", "{0, 1}", "{1}", "{0, 1}"])

    def test_two_one_class_labels_count_each_bar_once(self, mod, displayed):
        # Every set holds one class: numpy flattens them, the labels still read {1}, {0}.
        test_y = [0, 1, 1, 0, 1]
        clf = fitted(mod, [0.9, 0.1, 0.95, 0.85, 0.15], test_y)
        clf.plot()
        legend, bars = chart(plt.gca())
        assert legend == ["{1}", "{0}"]  # order of first appearance: class 0 only got {1}
        assert bars == expected_counts(test_y, ["{1}", "{0}", "{1}", "{1}", "{0}"])
        # One table row per bar: seaborn has nothing to average, so no error bar.
        assert all(np.isnan(line.get_ydata()).all() for line in plt.gca().lines)

    def test_one_label_gives_one_bar_per_class(self, mod, displayed):
        calib_y = CALIB_Y.copy()
        calib_y[4] = 0  # a true class in second place: q = 1.0, every set full
        test_y = [0, 1, 1]
        clf = fitted(mod, [0.9, 0.2, 0.5], test_y, calib_y=calib_y)
        clf.plot()
        legend, bars = chart(plt.gca())
        assert legend == ["{0, 1}"]
        assert bars == {"{0, 1}": {0: 1, 1: 2}}

    def test_axes_figure_and_results_lines(self, mod, displayed):
        test_y = [1, 0, 1]
        clf = fitted(mod, [0.9, 0.6, 0.2], test_y)
        clf.plot(figsize=(10, 4))
        fig = plt.gcf()
        assert tuple(fig.get_size_inches()) == (10, 4)
        ax = plt.gca()
        assert ax.get_xlabel() == "True" and ax.xaxis.label.get_fontsize() == 12
        assert ax.get_ylabel() == "Count" and ax.yaxis.label.get_fontsize() == 12
        assert ax.get_title() == ""
        # Sets [1], [0, 1], [0]: two of three rows covered; 1/1 + 1/2 + 1/1.
        assert [w.value for w in displayed] == [
            "<b>Results:</b>",
            "Empirical Coverage: {}".format(np.round(2 / 3, 6)),
            "Average Bandwidth: {}".format(np.round(1 - 2.5 / 3, 6)),
        ]
        assert "0.666667" in displayed[1].value

    def test_default_figure_size(self, mod, displayed):
        fitted(mod, [0.9, 0.6], [1, 0]).plot()
        assert tuple(plt.gcf().get_size_inches()) == (8, 6)

    def test_a_missing_pair_is_skipped_and_other_errors_pass(self, mod, displayed):
        clf = fitted(mod, [0.9, 0.6, 0.2], [1, 0, 1])
        clf.plot()  # class 0 never got {1}, class 1 never got {0, 1}
        assert len(displayed) == 3
        del clf.test_y
        with pytest.raises(AttributeError):
            clf.plot()


class TestPlotSingle:
    @staticmethod
    def red(patch):
        return mcolors.to_rgba(patch.get_facecolor()) == mcolors.to_rgba("r")

    def test_one_class_set_colours_the_first_bar(self, mod):
        clf = fitted(mod, [0.9, 0.6, 0.3], [1, 0, 1])
        clf.plot_single(0)
        ax = plt.gca()
        assert [self.red(p) for p in ax.patches] == [True, False]
        assert [t.get_text() for t in ax.get_xticklabels()] == ["1", "0"]
        np.testing.assert_allclose([p.get_height() for p in ax.patches], [0.9, 1.0])
        assert ax.get_title() == "conformal predcition" and ax.title.get_fontsize() == 15
        assert ax.get_xlabel() == "class" and ax.get_ylabel() == "cumulative softmax output"
        assert ax.xaxis.label.get_fontsize() == 12
        (line,) = ax.lines
        assert list(line.get_ydata()) == [0.8, 0.8]
        assert tuple(plt.gcf().get_size_inches()) == (8, 6)

    def test_full_set_colours_both_bars_and_index_counts_from_the_end(self, mod):
        clf = fitted(mod, [0.9, 0.6, 0.1], [1, 0, 1])
        clf.plot_single(-2, figsize=(5, 3))
        ax = plt.gca()
        assert [self.red(p) for p in ax.patches] == [True, True]
        assert [t.get_text() for t in ax.get_xticklabels()] == ["1", "0"]
        np.testing.assert_allclose([p.get_height() for p in ax.patches], [0.6, 1.0])
        assert tuple(plt.gcf().get_size_inches()) == (5, 3)
        plt.close("all")
        clf.plot_single(-1)
        assert [self.red(p) for p in plt.gca().patches] == [True, False]
        assert [t.get_text() for t in plt.gca().get_xticklabels()] == ["0", "1"]

    def test_after_diagnose_the_array_rows_are_used(self, mod):
        clf = fitted(mod, [0.9, 0.95], [1, 1])
        clf.diagnose()  # every set holds one class: a 2-D array
        clf.plot_single(1)
        assert [self.red(p) for p in plt.gca().patches] == [True, False]

    def test_index_outside_the_rows_raises(self, mod):
        clf = fitted(mod, [0.9, 0.6], [1, 0])
        with pytest.raises(IndexError):
            clf.plot_single(2)
        with pytest.raises(TypeError):
            clf.plot_single()
