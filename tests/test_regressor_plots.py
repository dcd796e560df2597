import warnings

import matplotlib.pyplot as plt
import numpy as np
import pandas as pd
import pytest


class Recorder:
    """Stands in for pyplot: logs each call by name, then makes it."""

    def __init__(self, log):
        self._log = log

    def __getattr__(self, name):
        target = getattr(plt, name)
        if not callable(target):
            return target

        def call(*args, **kwargs):
            self._log.append((name, args, kwargs))
            return target(*args, **kwargs)

        return call


@pytest.fixture
def calls(rebind):
    log = []
    rebind("plt", Recorder(log))
    rebind("display", lambda widget: log.append(("display", (widget.value,), {})))
    return log


def fitted(mod, n=6, depth=7, **attrs):
    """An instance holding what a fit leaves behind, from hand-made arrays."""
    r = mod.ResidualConformalRegressor(depth=depth)
    r.test_y = np.linspace(3.0, -2.0, n)
    r.pred_test = r.test_y + 0.1
    r.pred_low = r.pred_test - 1.0
    r.pred_up = r.pred_test + np.linspace(0.5, 2.0, n)
    r.width = r.pred_up - r.pred_low
    r.coverage = 0.9
    for name, value in attrs.items():
        setattr(r, name, value)
    return r


def figures():
    return [plt.figure(num) for num in plt.get_fignums()]


# --- the bandwidth plot ---


def test_plot_draws_sorted_intervals_then_bandwidth_histogram(mod, displayed):
    r = fitted(mod, depth=4)
    assert r.plot() is None
    main, strip = figures()
    assert tuple(main.get_size_inches()) == (8, 6)
    assert tuple(strip.get_size_inches()) == (8, 2)

    ax = main.axes[0]
    assert ax.get_title() == "ResCQR with Depth-4 LGBM"
    assert (ax.get_xlabel(), ax.get_ylabel()) == ("Sorted Index", "Testing Response y")
    assert [t.get_text() for t in ax.get_legend().get_texts()] == [
        "Lower Bound", "Upper Bound", "Point Prediction", "True Response"]
    order = np.argsort(r.test_y)
    expected = [r.pred_low, r.pred_up, r.pred_test, r.test_y]
    for series, values in zip(ax.collections, expected):
        np.testing.assert_array_equal(series.get_offsets()[:, 0], np.arange(6))
        np.testing.assert_array_equal(series.get_offsets()[:, 1], values[order])

    (hist,) = strip.axes
    assert hist.get_title() == "Histogram of Bandwidth"
    assert hist.get_legend() is None
    assert sum(p.get_height() for p in hist.patches) == 6
    (mean_line,) = hist.lines
    assert mean_line.get_xdata()[0] == np.mean(r.width)
    assert (mean_line.get_color(), mean_line.get_linestyle()) == ("red", "--")

    assert [w.value for w in displayed] == [
        "<b>Results:</b>", "Empirical Coverage: 0.9",
        "Average Bandwidth: {}".format(np.round(np.mean(r.width), 6))]


def test_plot_calls_in_order_with_a_custom_size(mod, calls):
    r = fitted(mod, width=np.array([1.0, 2.0, 2.0]), coverage=2 / 3, n=3)
    r.plot((12, 4))
    assert [c[0] for c in calls] == [
        "figure", "title", "scatter", "scatter", "scatter", "scatter", "xlabel", "ylabel",
        "legend", "tight_layout", "show", "figure", "title", "hist", "axvline",
        "tight_layout", "show", "display", "display", "display"]
    assert calls[0][2] == {"figsize": (12, 4)}
    assert calls[11][2] == {"figsize": (12, 2)}
    assert [c[2] for c in calls[2:6]] == [{"label": k} for k in (
        "Lower Bound", "Upper Bound", "Point Prediction", "True Response")]
    assert calls[1] == ("title", ("ResCQR with Depth-7 LGBM",), {"fontsize": 15})
    assert calls[14][2] == {"color": "red", "linestyle": "--"}
    assert [c[1][0] for c in calls[-3:]] == [
        "<b>Results:</b>", "Empirical Coverage: 0.666667", "Average Bandwidth: 1.666667"]
    assert [tuple(f.get_size_inches()) for f in figures()] == [(12, 4), (12, 2)]


def test_plot_with_equal_widths_and_before_fit(mod):
    r = fitted(mod, width=np.full(6, 1.5))
    r.plot()
    hist = figures()[1].axes[0]
    assert sorted(p.get_height() for p in hist.patches)[-1] == 6
    assert hist.lines[0].get_xdata()[0] == 1.5
    plt.close("all")
    with pytest.raises(AttributeError):
        mod.ResidualConformalRegressor().plot()
    assert figures() == []


def test_results_header_is_shown_before_the_values_are_read(mod, displayed):
    r = fitted(mod)
    del r.coverage
    with pytest.raises(AttributeError, match="coverage"):
        r.plot()
    assert [w.value for w in displayed] == ["<b>Results:</b>"]


# --- the feature-segmented plot ---


def segmented(mod, column, names=("a", "b", "c"), at=1, seed=0, width=None):
    """An instance whose test inputs have `column` at position `at` among noise columns."""
    column = np.asarray(column, dtype=float)
    rng = np.random.default_rng(seed)
    x = rng.normal(size=(len(column), len(names)))
    x[:, at] = column
    return fitted(mod, n=len(column), test_x=x, test_y=column * 2, pred_test=column * 3,
                  width=np.ones(len(column)) if width is None else width,
                  feature_names=np.array(names))


def drawn(fig):
    """(x, width, prediction, response) per segment, as the first figure shows them."""
    ax1, ax2 = fig.axes
    markers = ax1.containers[0].markerline
    (pred, response) = ax2.lines
    np.testing.assert_array_equal(pred.get_xdata(), markers.get_xdata())
    return markers.get_xdata(), markers.get_ydata(), pred.get_ydata(), response.get_ydata()


def test_hundred_rows_in_ten_segments(mod):
    rng = np.random.default_rng(1)
    column = rng.permutation(100).astype(float)
    r = segmented(mod, column)
    r.plot_feature("b")
    starts = [0, 9, 19, 29, 39, 49, 59, 69, 79, 89, 100]
    segments = [np.arange(starts[i], starts[i + 1]) for i in range(10)]
    assert [len(s) for s in segments] == [9] + [10] * 8 + [11]
    x, width, pred, response = drawn(figures()[0])
    np.testing.assert_array_equal(x, [np.median(s) for s in segments])
    np.testing.assert_array_equal(response, [np.mean(2.0 * s) for s in segments])
    np.testing.assert_array_equal(pred, [np.mean(3.0 * s) for s in segments])
    np.testing.assert_array_equal(width, np.ones(10))


def test_segment_widths_follow_the_feature_ranking(mod):
    column = np.array([5.0, 1.0, 4.0, 2.0, 3.0, 0.0])
    r = segmented(mod, column, width=np.array([10.0, 20.0, 30.0, 40.0, 50.0, 60.0]))
    r.plot_feature("b", 3)
    # Ranks by feature: rows 5, 1, 3, 4, 2, 0; rank bounds 0, 1, 3: rows {5}, {1, 3}, {4, 2, 0}.
    x, width, _, _ = drawn(figures()[0])
    np.testing.assert_array_equal(x, [0.0, 1.5, 4.0])
    np.testing.assert_array_equal(width, [60.0, 30.0, 30.0])


def test_five_rows_in_ten_segments_leaves_some_empty(mod):
    column = np.array([40.0, 10.0, 30.0, 0.0, 20.0])
    r = segmented(mod, column)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)  # numpy's median of an empty segment
        r.plot_feature("b", bins=10)
    x, width, pred, response = drawn(figures()[0])
    empty = [0, 1, 3, 5, 6, 8]
    assert np.isnan(x[empty]).all()
    for values in (width, pred, response):
        np.testing.assert_array_equal(values[empty], 0)
    np.testing.assert_array_equal(x[[2, 4, 7, 9]], [0.0, 10.0, 20.0, 35.0])
    np.testing.assert_array_equal(response[[2, 4, 7, 9]], [0.0, 20.0, 40.0, 70.0])


def test_one_segment_holds_every_row(mod):
    column = np.array([3.0, 1.0, 2.0, 7.0])
    r = segmented(mod, column)
    r.plot_feature("b", 1)
    x, width, pred, response = drawn(figures()[0])
    np.testing.assert_array_equal(x, [2.5])
    np.testing.assert_array_equal(pred, [np.mean(3 * column)])
    hist = figures()[1].axes[0]
    assert len(hist.patches) == 1


def test_feature_figures_layout(mod, calls):
    r = segmented(mod, np.arange(20.0), names=("x0", "rate", "x2"))
    r.plot_feature("rate", bins=4, figsize=(10, 5))
    main, strip = figures()
    assert tuple(main.get_size_inches()) == (10, 5)
    assert tuple(strip.get_size_inches()) == (10, 2)
    ax1, ax2 = main.axes
    assert ax1.get_xlabel() == "rate"
    assert (ax1.get_ylabel(), ax2.get_ylabel()) == ("Avg Bandwidth", "Avg Response")
    assert "Segmented Prediction" in (ax1.get_title(), ax2.get_title())
    assert ax1.get_legend() is None
    assert [t.get_text() for t in ax2.get_legend().get_texts()] == [
        "Avg Prediction", "Avg Response"]
    assert [line.get_color() for line in ax2.lines] == ["green", "red"]
    stems = ax1.containers[0].stemlines
    assert stems.get_linewidth()[0] == 5
    assert plt.matplotlib.colors.same_color(stems.get_color()[0], "orange")
    (hist,) = strip.axes
    assert hist.get_title() == "Histogram of rate"
    assert len(hist.patches) == 4
    assert sum(p.get_height() for p in hist.patches) == 20

    names = [c[0] for c in calls]
    assert names == ["subplots", "setp", "title", "tight_layout", "show", "figure", "title",
                     "hist", "tight_layout", "show"]
    assert calls[1][1][1:] == ("linewidth", 5)
    assert calls[8] == ("tight_layout", (), {"pad": 0.8})
    assert calls[7][2] == {"bins": 4}


def test_name_found_twice_takes_the_first_column(mod):
    r = segmented(mod, np.arange(10.0) + 100, names=("a", "b", "a"), at=0)
    r.plot_feature("a", 2)
    x, _, _, _ = drawn(figures()[0])
    np.testing.assert_array_equal(x, [101.5, 106.5])  # ranks 0..3, then 4..9
    hist = figures()[1].axes[0]
    assert hist.patches[0].get_x() == 100.0


def test_unknown_names_raise_before_drawing(mod):
    r = segmented(mod, np.arange(10.0))
    with pytest.raises(IndexError):
        r.plot_feature("missing")
    r.feature_names = []  # the constructor's default: a plain list matches nothing
    with pytest.raises(IndexError):
        r.plot_feature("a")
    r.feature_names = np.array(["a", "b", "c"])
    with pytest.raises(TypeError):
        r.plot_feature("b", bins=2.5)
    assert figures() == []


def test_data_frame_inputs_are_read_by_position(mod):
    rng = np.random.default_rng(3)
    column = rng.normal(size=50)
    r = segmented(mod, column)
    r.plot_feature("b", 5)
    from_array = drawn(figures()[0])
    plt.close("all")

    r.test_x = pd.DataFrame(r.test_x, columns=["p", "q", "r"])
    r.plot_feature("b", 5)
    for shown, expected in zip(drawn(figures()[0]), from_array):
        np.testing.assert_array_equal(shown, expected)
    hist = figures()[1].axes[0]
    assert hist.patches[0].get_x() == column.min()

    # A table of mixed column types still reads the named column by position.
    r.test_x = pd.DataFrame({"p": ["u"] * 50, "q": column, "r": np.arange(50)})
    r.plot_feature("b", 5)
    for shown, expected in zip(drawn(figures()[-2]), from_array):
        np.testing.assert_array_equal(np.asarray(shown, dtype=float), expected)
