"""AdaptiveConformalClassifier: calibration, prediction sets and their diagnosis."""

import numpy as np
import pandas as pd
import pytest
from sklearn.model_selection import train_test_split


class RowModel:
    """A fitted two-class model whose feature is a row id: predict_proba looks the
    id up in a fixed probability table."""

    def __init__(self, table):
        self.table = np.asarray(table, dtype=float)

    def predict_proba(self, x):
        return self.table[np.asarray(x)[:, 0]]


def two_class(p1):
    p1 = np.asarray(p1, dtype=float)
    return np.column_stack([1 - p1, p1])


def ids(rows, start=0):
    return np.arange(start, start + rows).reshape(-1, 1)


def scores(probs, labels):
    """Sum of the sorted probabilities from the top class down to the true class."""
    probs = np.asarray(probs)
    out = []
    for row, label in zip(probs, labels):
        out.append(np.sort(row)[::-1][: list(np.argsort(row)[::-1]).index(label) + 1].sum())
    return np.array(out)


# Nine calibration rows whose true class is always the most probable one (largest
# top probability 0.8), then the test rows.
CALIB_P1 = [0.8, 0.3, 0.7, 0.35, 0.6, 0.25, 0.65, 0.4, 0.75]
CALIB_Y = np.array([1, 0, 1, 0, 1, 0, 1, 0, 1])
TEST_P1 = [0.9, 0.1, 0.6, 0.8, 0.5, 0.2]
TEST_Y = np.array([1, 0, 0, 1, 1, 1])


def fitted(mod, calib_p1=CALIB_P1, calib_y=CALIB_Y, test_p1=TEST_P1, test_y=TEST_Y, alpha=0.1):
    n = len(calib_p1)
    model = RowModel(two_class(list(calib_p1) + list(test_p1)))
    clf = mod.AdaptiveConformalClassifier(alpha)
    clf.fit(model, None, None, ids(len(test_p1), n), test_y, ids(n), calib_y)
    return clf


def test_new_object_holds_only_alpha(mod):
    clf = mod.AdaptiveConformalClassifier()
    assert vars(clf) == {"alpha": 0.1}


def test_fit_builds_the_sets_and_stores_the_stated_types(mod):
    clf = fitted(mod)
    assert clf.q == 0.8 and type(clf.q) is np.float64
    assert clf.max_test == 0.9 and type(clf.max_test) is np.float64
    # 0.8 reaches q by equality; 0.5/0.5 needs both classes; 0.6 needs both.
    assert clf.test_class == [[1], [0], [0, 1], [1], [0, 1], [0]]
    assert type(clf.test_class) is list
    assert all(type(s) is list and all(type(c) is int for c in s) for s in clf.test_class)
    assert clf.test_y.tolist() == TEST_Y.tolist() and clf.test_y.ndim == 1
    assert clf.test_sorted_index.tolist() == [[1, 0], [0, 1], [1, 0], [1, 0], [1, 0], [0, 1]]
    np.testing.assert_allclose(clf.test_sorted_value[:, 0], [0.9, 0.9, 0.6, 0.8, 0.5, 0.8])


def test_score_of_a_true_class_in_second_place_is_the_whole_row(mod):
    # The fifth row's true class is the less probable one: it scores 0.3 + 0.7.
    calib_y = CALIB_Y.copy()
    calib_y[4] = 0
    clf = fitted(mod, calib_y=calib_y)
    assert clf.q == pytest.approx(1.0)
    assert clf.q >= clf.max_test
    assert clf.test_class == [[0, 1]] * len(TEST_P1)


def test_quantile_level_is_unclamped(mod):
    rng = np.random.default_rng(3)
    calib_p1 = rng.uniform(0, 1, 9)
    calib_y = (rng.uniform(0, 1, 9) < 0.5).astype(int)
    clf = fitted(mod, calib_p1=calib_p1, calib_y=calib_y)
    # 9 rows at alpha 0.1: level (0.9 * 10) / 9 == 1.0, the largest score.
    assert clf.q == scores(two_class(calib_p1), calib_y).max()
    with pytest.raises(ValueError):
        fitted(mod, calib_p1=calib_p1[:8], calib_y=calib_y[:8])
    # With more rows the level is below one and interpolates.
    calib_p1 = rng.uniform(0, 1, 40)
    calib_y = (rng.uniform(0, 1, 40) < 0.5).astype(int)
    clf = fitted(mod, calib_p1=calib_p1, calib_y=calib_y, alpha=0.3)
    expected = np.quantile(scores(two_class(calib_p1), calib_y), 0.7 * 41 / 40)
    assert clf.q == expected


class TestCalibrationSource:
    rng = np.random.default_rng(7)
    table = two_class(rng.uniform(0, 1, 100))
    train_y = (table[:90, 1] > 0.5).astype(int)

    def expected_q(self):
        _, calib_ids, _, calib_y = train_test_split(
            ids(90), self.train_y, test_size=0.1, random_state=0
        )
        return scores(self.table[calib_ids[:, 0]], calib_y).max()

    def fit(self, mod, **calibration):
        clf = mod.AdaptiveConformalClassifier()
        clf.fit(RowModel(self.table), ids(90), self.train_y, ids(10, 90), self.train_y[:10],
                **calibration)
        return clf

    def test_omitted_takes_a_seeded_tenth_of_the_training_rows(self, mod):
        assert self.fit(mod).q == self.expected_q()
        assert self.fit(mod).q == self.expected_q()

    @pytest.mark.parametrize("given", ["calib_x", "calib_y"])
    def test_one_part_given_is_replaced_by_the_split(self, mod, given):
        # Calibration rows 0..8 would give another threshold.
        part = {"calib_x": ids(9), "calib_y": np.ones(9, dtype=int)}[given]
        assert scores(self.table[:9], self.train_y[:9]).max() != self.expected_q()
        assert self.fit(mod, **{given: part}).q == self.expected_q()

    def test_both_given_never_touch_the_training_data(self, mod):
        clf = mod.AdaptiveConformalClassifier()
        calib_y = np.ones(9, dtype=int)
        clf.fit(RowModel(self.table), None, None, ids(10, 90), self.train_y[:10], ids(9), calib_y)
        assert clf.q == scores(self.table[:9], calib_y).max()

    def test_series_labels_are_used_by_position(self, mod):
        # train_test_split hands back a Series with a shuffled index.
        clf = mod.AdaptiveConformalClassifier()
        clf.fit(RowModel(self.table), ids(90), pd.Series(self.train_y), ids(10, 90),
                pd.Series(self.train_y[:10]))
        assert clf.q == self.expected_q()
        assert type(clf.test_y) is np.ndarray and clf.test_y.tolist() == self.train_y[:10].tolist()


def test_series_with_a_shuffled_index_is_read_by_position(mod):
    shuffled = pd.Series(CALIB_Y, index=[8, 3, 5, 0, 7, 1, 6, 2, 4])
    assert fitted(mod, calib_y=shuffled).q == 0.8


@pytest.mark.parametrize(
    "test_y",
    [TEST_Y.reshape(-1, 1), TEST_Y.tolist(), pd.Series(TEST_Y, index=[5, 4, 3, 2, 1, 0])],
    ids=["column", "list", "series"],
)
def test_test_labels_are_stored_flat(mod, test_y):
    clf = fitted(mod, test_y=test_y)
    assert type(clf.test_y) is np.ndarray
    assert clf.test_y.shape == (6,) and clf.test_y.tolist() == TEST_Y.tolist()


def test_calibration_labels_as_a_column(mod):
    assert fitted(mod, calib_y=CALIB_Y.reshape(-1, 1)).q == 0.8


def test_alpha_is_read_when_fit_runs(mod):
    rng = np.random.default_rng(11)
    calib_p1 = rng.uniform(0, 1, 30)
    calib_y = (rng.uniform(0, 1, 30) < 0.5).astype(int)
    model = RowModel(two_class(calib_p1))
    clf = mod.AdaptiveConformalClassifier(0.1)
    clf.alpha = 0.4
    clf.fit(model, None, None, ids(30), calib_y, ids(30), calib_y)
    assert clf.q == np.quantile(scores(two_class(calib_p1), calib_y), 0.6 * 31 / 30)


def test_a_label_outside_the_columns_raises_index_error(mod):
    calib_y = CALIB_Y.copy()
    calib_y[0] = 2
    with pytest.raises(IndexError):
        fitted(mod, calib_y=calib_y)


@pytest.mark.parametrize("calib_cols,test_cols,part", [
    (3, 3, "calibration"), (1, 2, "calibration"), (2, 3, "test"), (2, 1, "test")])
def test_other_than_two_columns_are_refused_before_anything_is_stored(mod, calib_cols, test_cols,
                                                                     part):
    class Columns(RowModel):
        def predict_proba(self, x):
            rows = super().predict_proba(x)
            cols = calib_cols if len(rows) == len(CALIB_P1) else test_cols
            return np.column_stack([rows[:, :1]] * (cols - 1) + [rows[:, 1:]])[:, :cols]

    clf = mod.AdaptiveConformalClassifier()
    got = calib_cols if part == "calibration" else test_cols
    with pytest.raises(ValueError, match=f"sets for two classes.* {got} columns for the {part} "):
        clf.fit(Columns(two_class(CALIB_P1 + TEST_P1)), None, None, ids(6, 9), TEST_Y, ids(9),
                CALIB_Y)
    assert vars(clf) == {"alpha": 0.1}


class TestDiagnose:
    def test_mixed_set_sizes(self, mod):
        clf = fitted(mod)
        result = clf.diagnose()
        assert list(result) == ["number of class", "sample count"]
        assert result["number of class"].tolist() == [1, 2]
        assert result["sample count"].tolist() == [4, 2]
        assert [list(s) for s in clf.label_list] == [[0], [0, 1], [1]]
        assert clf.label_list.dtype == object and clf.label_list.shape == (3,)
        assert clf.test_class.dtype == object and clf.test_class.shape == (6,)
        assert clf.test_class.tolist() == [[1], [0], [0, 1], [1], [0, 1], [0]]
        # class 0: rows 1, 2; class 1: rows 0, 3, 4, 5 (row 5 got [0]).
        assert clf.class_conf == {0: {"[0]": 1, "[0, 1]": 1}, 1: {"[0]": 1, "[0, 1]": 1, "[1]": 2}}
        assert all(type(k) is str for conf in clf.class_conf.values() for k in conf)
        assert all(isinstance(k, np.integer) for k in clf.class_conf)
        assert all(isinstance(v, np.integer) for c in clf.class_conf.values() for v in c.values())
        assert clf.coverage == 5 / 6 and type(clf.coverage) is float
        assert clf.width == pytest.approx(1 - (4 + 2 * 0.5) / 6) and type(clf.width) is np.float64

    def test_all_sets_full(self, mod):
        calib_y = CALIB_Y.copy()
        calib_y[4] = 0
        clf = fitted(mod, calib_y=calib_y)
        result = clf.diagnose()
        assert clf.label_list == ["[0, 1]"]
        assert clf.class_conf == {0: {"[0, 1]": 2}, 1: {"[0, 1]": 4}}
        # str, not the numpy.str_ of the array the text was put in
        assert all(type(k) is str for conf in clf.class_conf.values() for k in conf)
        assert result["number of class"].tolist() == [2] and result["sample count"].tolist() == [6]
        assert clf.width == 0.5 and clf.coverage == 1.0
        assert clf.test_class.shape == (6, 2)

    def test_all_sets_of_one_class_flatten(self, mod):
        test_p1 = [0.9, 0.1, 0.95, 0.2, 0.85]
        test_y = np.array([1, 0, 0, 0, 1])
        clf = fitted(mod, test_p1=test_p1, test_y=test_y)
        assert clf.test_class == [[1], [0], [1], [0], [1]]
        result = clf.diagnose()
        assert clf.label_list.tolist() == [0, 1] and clf.label_list.dtype.kind == "i"
        assert clf.test_class.shape == (5, 1)
        assert clf.class_conf == {0: {"0": 2, "1": 1}, 1: {"1": 2}}
        assert clf.width == 0.0 and clf.coverage == 4 / 5
        assert result["number of class"].tolist() == [1] and result["sample count"].tolist() == [5]

    @pytest.mark.parametrize("test_p1", [TEST_P1, [0.9, 0.1, 0.95], [0.7, 0.6, 0.5]],
                             ids=["mixed", "one-class", "full"])
    def test_twice_gives_equal_results(self, mod, test_p1):
        clf = fitted(mod, test_p1=test_p1, test_y=TEST_Y[: len(test_p1)])
        first = clf.diagnose()
        before = (clf.test_class.copy(), clf.coverage, clf.width, clf.class_conf, list(clf.label_list))
        second = clf.diagnose()
        for key in first:
            np.testing.assert_array_equal(first[key], second[key])
        assert clf.test_class.tolist() == before[0].tolist()
        assert clf.test_class.dtype == before[0].dtype
        assert (clf.coverage, clf.width, clf.class_conf) == before[1:4]
        assert [list(np.atleast_1d(s)) for s in clf.label_list] == [
            list(np.atleast_1d(s)) for s in before[4]]

    def test_labels_are_shifted_through_classes_but_not_without_them(self, mod):
        # Labels 1 and 2 are the positions 0 and 1 of the fitted classes.
        clf = fitted(mod, calib_y=CALIB_Y + 1, test_y=TEST_Y + 1)
        assert clf.q == 0.8 and clf.classes.tolist() == [1, 2]
        clf.diagnose()
        assert clf.coverage == 5 / 6
        assert clf.class_conf[1] == {"[0]": 1, "[0, 1]": 1}
        # State set by hand without `classes` compares labels with positions directly.
        del clf.classes
        clf.test_class = clf.test_class.tolist()
        clf.diagnose()
        covered = sum(int(y in s) for y, s in zip(TEST_Y + 1, [[1], [0], [0, 1], [1], [0, 1], [0]]))
        assert clf.coverage == covered / 6

    @pytest.mark.parametrize("kind", ["float", "bool", "str"])
    def test_other_label_types_compare_by_value(self, mod, kind):
        clf = fitted(mod)
        clf.test_y = {"float": TEST_Y.astype(float), "bool": TEST_Y.astype(bool),
                      "str": np.array(["0", "1"])[TEST_Y]}[kind]
        clf.diagnose()
        sets = [[1], [0], [0, 1], [1], [0, 1], [0]]
        expected = sum(int(y in s) for y, s in zip(clf.test_y, sets)) / 6
        assert clf.coverage == expected
        assert sorted(clf.class_conf) == sorted(np.unique(clf.test_y))
        assert list(clf.class_conf.values())[1] == {"[0]": 1, "[0, 1]": 1, "[1]": 2}

    def test_nan_label_gets_an_empty_entry(self, mod):
        clf = fitted(mod)
        clf.test_y = np.array([1, 0, 0, 1, 1, np.nan])
        clf.diagnose()
        conf = list(clf.class_conf.values())
        assert conf == [{"[0]": 1, "[0, 1]": 1}, {"[0, 1]": 1, "[1]": 2}, {}]
        assert clf.coverage == 5 / 6

    def test_label_count_mismatch_raises_after_storing_the_sets(self, mod):
        clf = fitted(mod)
        clf.test_y = TEST_Y[:5]
        with pytest.raises(IndexError):
            clf.diagnose()
        assert type(clf.test_class) is list
        # A label too many passes the row loop and fails on the class masks.
        clf.test_y = np.append(TEST_Y, 1)
        with pytest.raises(IndexError):
            clf.diagnose()
        assert isinstance(clf.test_class, np.ndarray)
        assert not hasattr(clf, "coverage")

    def test_without_fit_raises_attribute_error(self, mod):
        with pytest.raises(AttributeError):
            mod.AdaptiveConformalClassifier().diagnose()

    def test_fit_again_restores_the_list(self, mod):
        clf = fitted(mod)
        clf.diagnose()
        model = RowModel(two_class(CALIB_P1 + TEST_P1))
        clf.fit(model, None, None, ids(6, 9), TEST_Y, ids(9), CALIB_Y)
        assert type(clf.test_class) is list
        assert clf.diagnose()["sample count"].tolist() == [4, 2]


class ClassesModel(RowModel):
    """RowModel that names its probability columns, as scikit-learn classifiers do."""

    def __init__(self, table, classes):
        super().__init__(table)
        self.classes_ = np.asarray(classes)


LABEL_KINDS = {
    "0/1": [0, 1], "1/2": [1, 2], "-1/1": [-1, 1], "bool": [False, True], "str": ["no", "yes"],
}


class TestLabelPositions:
    def fit_with(self, mod, names, model_classes=None, calib_y=CALIB_Y, test_y=TEST_Y, clf=None):
        names = np.asarray(names)
        table = two_class(CALIB_P1 + TEST_P1)
        model = ClassesModel(table, names if model_classes is None else model_classes)
        clf = clf or mod.AdaptiveConformalClassifier()
        clf.fit(model, None, None, ids(6, 9), names[test_y], ids(9), names[calib_y])
        return clf

    def outcome(self, clf):
        clf.diagnose()
        sets = clf.test_class.tolist()
        return sets, clf.q, clf.coverage, clf.width, list(clf.class_conf.values())

    @pytest.mark.parametrize("kind", LABEL_KINDS)
    def test_results_do_not_depend_on_the_label_values(self, mod, kind):
        baseline = self.outcome(fitted(mod))
        clf = self.fit_with(mod, LABEL_KINDS[kind])
        assert list(vars(clf))[-2:] == ["q", "classes"]
        assert clf.classes.tolist() == LABEL_KINDS[kind]
        assert clf.test_y.tolist() == np.asarray(LABEL_KINDS[kind])[TEST_Y].tolist()
        assert self.outcome(clf) == baseline
        assert sorted(clf.class_conf) == sorted(LABEL_KINDS[kind])

    def test_columns_follow_classes_not_the_smallest_label(self, mod):
        # No calibration row of class -1: positions still come from classes_.
        calib_y = np.ones(9, dtype=int)
        clf = self.fit_with(mod, [-1, 1], calib_y=calib_y)
        assert clf.q == scores(two_class(CALIB_P1), calib_y).max()

    def test_without_classes_the_smallest_calibration_label_is_position_zero(self, mod):
        clf = fitted(mod, calib_y=CALIB_Y + 5, test_y=TEST_Y + 5)
        assert clf.classes.tolist() == [5, 6]
        assert self.outcome(clf) == self.outcome(fitted(mod))

    @pytest.mark.parametrize("names", [["no", "yes", "maybe"], [0, 1, -7], [0.5, 1.5, 9.0]],
                             ids=["str", "int", "float"])
    def test_test_labels_outside_the_classes_are_not_covered(self, mod, names):
        clf = self.fit_with(mod, names, model_classes=names[:2])
        clf.test_y = np.array(names)[[1, 0, 0, 2, 1, 1]]
        clf.diagnose()
        # Rows 0, 1, 2 and 4 hold their label; row 3 (the third name) and row 5 ([0]) do not.
        assert clf.coverage == 4 / 6
        assert clf.class_conf[names[2]] == {"[1]": 1}

    @pytest.mark.parametrize("names", [[0, 1, 2], ["no", "yes", "maybe"]], ids=["int", "str"])
    def test_a_calibration_label_outside_the_classes_raises(self, mod, names):
        calib_y = CALIB_Y.copy()
        calib_y[3] = 2
        clf = mod.AdaptiveConformalClassifier()
        with pytest.raises(ValueError) as raised:
            self.fit_with(mod, names, model_classes=names[:2], calib_y=calib_y, clf=clf)
        message = str(raised.value)
        assert repr(names[2]) in message and repr(names[:2]) in message
        assert vars(clf) == {"alpha": 0.1}


class TestUncommonForms:
    """Forms the native row loops do not read, answered as numpy and Python answer them."""

    def test_probabilities_with_a_trailing_axis(self, mod):
        class Model3D(RowModel):
            def predict_proba(self, x):
                return super().predict_proba(x)[:, :, None]

        # Test rows whose largest probability is below q: all sets full.
        table = two_class(CALIB_P1 + [0.5, 0.6, 0.7])
        clf = mod.AdaptiveConformalClassifier()
        clf.fit(Model3D(table), None, None, ids(3, 9), TEST_Y[:3], ids(9), CALIB_Y)
        assert clf.q == 0.8 and clf.test_class == [[0, 1]] * 3
        # Otherwise a set's end is an array, which cannot end a slice.
        with pytest.raises(TypeError):
            clf.fit(Model3D(two_class(CALIB_P1 + TEST_P1)), None, None, ids(6, 9), TEST_Y, ids(9),
                    CALIB_Y)

    @pytest.mark.parametrize("test_p1", [TEST_P1, [0.9, 0.1, 0.95]], ids=["mixed", "one-class"])
    def test_sets_of_a_list_subclass(self, mod, test_p1):
        class Set(list):
            pass

        expected = fitted(mod, test_p1=test_p1, test_y=TEST_Y[: len(test_p1)])
        expected_result = expected.diagnose()
        clf = fitted(mod, test_p1=test_p1, test_y=TEST_Y[: len(test_p1)])
        clf.test_class = [Set(s) for s in clf.test_class]
        result = clf.diagnose()
        for key in result:
            np.testing.assert_array_equal(result[key], expected_result[key])
        assert clf.test_class.tolist() == expected.test_class.tolist()
        assert (clf.coverage, clf.width, clf.class_conf) == (
            expected.coverage, expected.width, expected.class_conf)
        assert [np.asarray(s).tolist() for s in clf.label_list] == [
            np.asarray(s).tolist() for s in expected.label_list]


class TestSetsAfterDiagnose:
    """diagnose turns the list of sets into an array of the same set objects; whoever
    else holds the list or a set sees nothing change."""

    def test_sets_are_separate_untracked_lists_of_ints(self, mod):
        import gc

        clf = fitted(mod)
        assert len({id(s) for s in clf.test_class}) == len(TEST_P1)
        assert all(type(s) is list and not gc.is_tracked(s) for s in clf.test_class)
        clf.test_class[0].append(7)  # one set changed, no other
        assert [s for s in clf.test_class if 7 in s] == [clf.test_class[0]]

    @pytest.mark.parametrize("hold_list", [True, False], ids=["list held", "sets held"])
    def test_the_array_holds_the_same_sets(self, mod, hold_list):
        import sys

        clf = fitted(mod)
        expected = fitted(mod).diagnose()
        held = clf.test_class if hold_list else None
        sets = list(clf.test_class)
        contents = [list(s) for s in sets]
        result = clf.diagnose()
        assert all(a is b for a, b in zip(clf.test_class, sets))
        assert [list(s) for s in clf.test_class] == contents
        if hold_list:
            assert held == contents and all(a is b for a, b in zip(held, sets))
        else:  # by `sets`, the array, `s`, getrefcount's argument and label_list, no more
            shown = {id(s) for s in clf.label_list}
            assert [sys.getrefcount(s) for s in sets] == [4 + (id(s) in shown) for s in sets]
        for key in result:
            np.testing.assert_array_equal(result[key], expected[key])

    @pytest.mark.parametrize("odd_row", [None, 45_000], ids=["all lists", "a subclass late"])
    def test_a_large_diagnosis_equals_the_general_one(self, mod, odd_row):
        # Enough rows for the second half to be counted on a second thread; a set it
        # cannot read sends the whole diagnosis down the general road.
        class Set(list):
            pass

        rng = np.random.default_rng(3)
        rows = 60_000
        kinds = rng.choice(3, rows, p=[0.5, 0.2, 0.3])
        sets = [[[0], [0, 1], [1]][k] for k in kinds]

        def diagnosed(make):
            clf = mod.AdaptiveConformalClassifier()
            clf.q, clf.max_test, clf.classes = 0.5, 0.9, np.array([0, 1])
            clf.test_y = rng_labels.copy()
            clf.test_class = [make(j, s) for j, s in enumerate(sets)]
            return clf, clf.diagnose()

        rng_labels = rng.integers(0, 2, rows)
        clf, result = diagnosed(lambda j, s: Set(s) if j == odd_row else list(s))
        general, expected = diagnosed(lambda j, s: Set(s))
        assert (clf.coverage, clf.width, clf.class_conf) == (
            general.coverage, general.width, general.class_conf)
        for key in result:
            np.testing.assert_array_equal(result[key], expected[key])
        assert [list(s) for s in clf.label_list] == [list(s) for s in general.label_list]
        assert clf.test_class.tolist() == general.test_class.tolist() == sets

    def test_a_property_storing_the_sets_elsewhere(self, mod):
        class Stored(mod.AdaptiveConformalClassifier):
            @property
            def test_class(self):
                return self.kept

            @test_class.setter
            def test_class(self, value):
                self.kept = value

        clf = fitted(mod)
        expected = clf.diagnose()
        sub = Stored(0.1)
        sub.fit(RowModel(two_class(CALIB_P1 + TEST_P1)), None, None, ids(6, 9), TEST_Y, ids(9),
                CALIB_Y)
        first = sub.kept
        result = sub.diagnose()
        assert first == [list(s) for s in sub.kept] and len(first) == len(TEST_P1)
        assert (sub.coverage, sub.class_conf) == (clf.coverage, clf.class_conf)
        for key in result:
            np.testing.assert_array_equal(result[key], expected[key])


class TestAgainstTheDocumentedSteps:
    """Seeded random problems, ties and edge thresholds included, against the steps in numpy."""

    @staticmethod
    def assert_same(actual, expected):
        assert type(actual) is type(expected)
        if isinstance(expected, np.ndarray):
            assert (actual.dtype, actual.shape) == (expected.dtype, expected.shape)
            assert [np.asarray(x).tolist() for x in actual] == [np.asarray(x).tolist()
                                                                 for x in expected]
        elif isinstance(expected, dict):
            assert list(actual) == list(expected)
            for key in expected:
                assert type(key) is type(next(k for k in actual if k == key))
                TestAgainstTheDocumentedSteps.assert_same(actual[key], expected[key])
        else:
            assert actual == expected

    @pytest.mark.parametrize("seed", range(12))
    def test_fit_and_diagnose_equal_the_steps(self, mod, seed):
        from classifier_reference import diagnose_steps, fit_steps

        rng = np.random.default_rng(seed)
        rows, calib_rows = rng.integers(1, 60), rng.integers(20, 60)
        # A coarse grid makes ties (0.5 against 0.5) and scores equal to q common.
        grid = rng.choice([0.05, 0.1, 0.25], p=[0.4, 0.3, 0.3])
        p1 = np.round(rng.random(rows + calib_rows) / grid) * grid
        if seed % 4 == 3:  # one class holds every test set
            p1[calib_rows:] = rng.choice([0.0, 1.0], rows)
        # Labels drawn from the probabilities: a calibrated model, whose sets vary.
        y = (rng.random(rows + calib_rows) < p1).astype(np.int64)
        calib_y, test_y = y[:calib_rows], y[calib_rows:]
        alpha = rng.choice([0.1, 0.2, 0.3, 0.5, 0.7])
        model = RowModel(two_class(p1))
        if seed % 2:
            model.classes_ = np.array([0, 1])
        clf = mod.AdaptiveConformalClassifier(alpha)
        clf.fit(model, None, None, ids(rows, calib_rows), test_y, ids(calib_rows), calib_y)
        expected = fit_steps(two_class(p1[:calib_rows]), calib_y, two_class(p1[calib_rows:]),
                             alpha)
        for name, value in expected.items():
            self.assert_same(getattr(clf, name), value)
        assert all(type(k) is int for s in clf.test_class for k in s)

        attributes, result = diagnose_steps(clf.test_class, test_y, clf.q >= clf.max_test)
        for _ in range(2):  # from the list, then from the array it became
            self.assert_same(clf.diagnose(), result)
            for name, value in attributes.items():
                self.assert_same(getattr(clf, name), value)
            assert all(type(key) is str for conf in clf.class_conf.values() for key in conf)


    def test_a_large_test_part_equals_the_vectorised_steps(self, mod):
        # Enough rows for the order to be written beside the sets on a second thread.
        from classifier_reference import fit_floor

        rng = np.random.default_rng(5)
        rows, calib_rows = 60_000, 2_000
        p1 = np.round(rng.beta(0.3, 0.3, rows + calib_rows) * 998 + 1) / 1000  # ties at 0.5
        y = (rng.random(rows + calib_rows) < p1).astype(np.int64)
        clf = mod.AdaptiveConformalClassifier(0.3)
        clf.fit(RowModel(two_class(p1)), None, None, ids(rows, calib_rows), y[calib_rows:],
                ids(calib_rows), y[:calib_rows])
        test_class, index, value, q, max_test = fit_floor(
            two_class(p1[:calib_rows]), y[:calib_rows], two_class(p1[calib_rows:]), 0.3)
        assert (clf.q, clf.max_test) == (q, max_test) and q < max_test
        np.testing.assert_array_equal(clf.test_sorted_index, index)
        np.testing.assert_array_equal(clf.test_sorted_value, value)
        assert clf.test_class == test_class and len({len(s) for s in test_class}) == 2


def test_diagnosis_and_report_read_set_members_alike(mod):
    # One reader: members equal to a class position by value count, others do not.
    from trov.diagnoser import report

    clf = mod.AdaptiveConformalClassifier()
    clf.q, clf.max_test = 0.5, 0.9
    clf.test_class = [[np.int64(0)], [1.0], [True], [0, 1], [0.5]]
    clf.test_y = np.array([0, 1, 1, 1, 0])
    clf.test_sorted_index = np.tile([1, 0], (5, 1))
    reported = report.coverage_report(clf).summary["coverage"]
    clf.diagnose()
    assert clf.coverage == reported == 4 / 5
