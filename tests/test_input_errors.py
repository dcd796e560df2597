"""Input the procedures cannot work with: refused with errors that name the fault and the fix."""

import lightgbm
import numpy as np
import pandas as pd
import pytest
from test_classifier import CALIB_P1, CALIB_Y, TEST_P1, TEST_Y, RowModel, fitted, ids, two_class
from test_regressor import MODEL, POINT, fake, make_data, rows  # noqa: F401 (fixture)
from test_regressor_plots import drawn, figures, segmented
from test_significance import ColumnClassifier, ColumnRegressor, classification_data


class TestNonFiniteValues:
    @pytest.mark.parametrize("part", ["calibration", "test"])
    def test_classifier_probabilities(self, mod, part):
        table = two_class(CALIB_P1 + TEST_P1)
        bad = [1, 3, 4] if part == "calibration" else [10, 11, 13]
        table[bad, 0] = [np.nan, np.inf, -np.inf]
        clf = mod.AdaptiveConformalClassifier()
        with pytest.raises(ValueError, match=(
                f"^predict_proba returned 3 rows with NaN or infinite probabilities "
                f"for the {part} part$")):
            clf.fit(RowModel(table), None, None, ids(6, 9), TEST_Y, ids(9), CALIB_Y)
        assert vars(clf) == {"alpha": 0.1}

    # Which part is bad, and the attributes stored before the step that reads it.
    REGRESSOR_CASES = {
        "calibration targets": ("the targets have 1 row with NaN or infinite values for the "
                                "calibration part", 1),
        "test targets": ("the targets have 1 row with NaN or infinite values for the test part", 3),
        "training targets": ("the targets have 1 row with NaN or infinite values for the "
                             "training part", 4),
        "test predictions": ("predict returned 2 rows with NaN or infinite predictions for "
                             "the test part", 4),
    }

    @pytest.mark.parametrize("case", REGRESSOR_CASES)
    def test_regressor_targets_and_predictions(self, mod, fake, case):
        x = rows(np.arange(45.0), -1.0, 1.0)
        y = np.arange(45.0)
        if case.endswith("targets"):
            y[{"calibration": 25, "test": 42, "training": 5}[case.split()[0]]] = np.nan
        else:
            x[[41, 42], 0] = np.inf
        message, stored = self.REGRESSOR_CASES[case]
        r = mod.ResidualConformalRegressor()
        with pytest.raises(ValueError, match=f"^{message}$"):
            r.fit(POINT, x[:20], y[:20], x[40:], y[40:], x[20:40], y[20:40])
        assert len(vars(r)) == 4 + stored

    def test_significance_check(self, mod):
        x, y = classification_data()
        with pytest.raises(ValueError, match="probabilities for the test part"):
            mod.Reliability_without_uncertain(ColumnClassifier()).fit(np.where(x > 0.9, np.nan, x),
                                                                     y)
        check = mod.Reliability_without_uncertain(ColumnRegressor())
        with pytest.raises(ValueError, match="^the targets have 1 row .* for the test part$"):
            check.fit(x, np.append(y[:-1], np.inf))
        with pytest.raises(ValueError, match="predictions for the test part"):
            check.fit(np.where(x > 0.9, -np.inf, x), y)
        assert list(vars(check)) == ["estimator", "significance_level"]

    def test_big_endian_parts_are_read_in_their_byte_order(self, mod, fake):
        # As FITS files give them. 1 + 2**-36 or so: finite, but NaN read little-endian.
        raw = b"\x3f\xf0\x00\x00\x00\x00\xf0\x7f"
        odd = np.frombuffer(raw, dtype=">f8")[0]
        assert np.isnan(np.frombuffer(raw, dtype="<f8")[0]) and np.isfinite(odd)
        x = rows(np.arange(45.0), -1.0, 1.0)
        y = np.arange(45.0).astype(">f8")
        y[42] = odd
        native = mod.ResidualConformalRegressor().fit(POINT, x[:20], y[:20].astype(float),
                                                      x[40:], y[40:].astype(float), x[20:40],
                                                      y[20:40].astype(float))
        big = mod.ResidualConformalRegressor().fit(POINT, x[:20], y[:20], x[40:], y[40:],
                                                   x[20:40], y[20:40])
        assert big[0] == native[0]
        np.testing.assert_array_equal(big[1], native[1])
        y[25] = np.nan
        with pytest.raises(ValueError, match="1 row with NaN or infinite values for the "
                                             "calibration part"):
            mod.ResidualConformalRegressor().fit(POINT, x[:20], y[:20], x[40:], y[40:],
                                                 x[20:40], y[20:40])
        table = two_class(CALIB_P1 + TEST_P1).astype(">f8")
        table[12, 1] = np.nan
        with pytest.raises(ValueError, match="1 row with NaN or infinite probabilities for the "
                                             "test part"):
            mod.AdaptiveConformalClassifier().fit(RowModel(table), None, None, ids(6, 9),
                                                  TEST_Y, ids(9), CALIB_Y)

    def test_object_probabilities_are_read_as_numbers(self, mod):
        table = two_class(CALIB_P1 + TEST_P1).astype(object)
        table[12, 1] = None
        clf = mod.AdaptiveConformalClassifier()
        with pytest.raises(ValueError, match="1 row with NaN"):
            clf.fit(RowModel(table), None, None, ids(6, 9), TEST_Y, ids(9), CALIB_Y)


def notes(raised):
    return getattr(raised.value, "__notes__", [])


class TestNotes:
    @pytest.mark.parametrize("alpha, rows, least", [(0.1, 8, 9), (0.05, 18, 19), (0.3, 2, 3)])
    def test_too_few_calibration_rows(self, mod, alpha, rows, least):
        calib_p1 = (CALIB_P1 * 3)[:rows]
        with pytest.raises(ValueError, match="Quantiles must be in the range") as raised:
            fitted(mod, calib_p1=calib_p1, calib_y=np.resize(CALIB_Y, rows), alpha=alpha)
        (note,) = notes(raised)
        level = (1 - alpha) * (rows + 1) / rows
        assert f"is {level} for n = {rows} calibration rows and alpha = {alpha}" in note
        assert note.endswith(f"give at least {least} calibration rows for this alpha")
        # The least count is enough.
        fitted(mod, calib_p1=(CALIB_P1 * 3)[:least], calib_y=np.resize(CALIB_Y, least),
               alpha=alpha)

    def test_alpha_outside_the_unit_interval(self, mod, fake, rebind):
        with pytest.raises(ValueError) as raised:
            fitted(mod, alpha=1.5)
        assert notes(raised) == ["alpha must lie strictly between 0 and 1, got 1.5"]
        x, y = rows(np.zeros(60), -1.0, 1.0), np.zeros(60)
        r = mod.ResidualConformalRegressor(alpha=1.5)
        with pytest.raises(ValueError) as raised:
            r.fit(POINT, x[:30], y[:30], x[:5], y[:5], x[30:], y[30:])
        assert notes(raised) == ["alpha must lie strictly between 0 and 1, got 1.5"]
        # LightGBM refuses a quantile level of 0 itself.
        rebind("LGBMRegressor", lightgbm.LGBMRegressor)
        x, y = make_data(60)
        r = mod.ResidualConformalRegressor(alpha=0)
        with pytest.raises(lightgbm.basic.LightGBMError) as raised:
            r.fit(MODEL, x[:30], y[:30], x[:5], y[:5], x[30:], y[30:])
        assert notes(raised) == ["alpha must lie strictly between 0 and 1, got 0"]

    def test_column_names_lightgbm_refuses(self, mod, rebind):
        rebind("LGBMRegressor", lightgbm.LGBMRegressor)
        x, y = make_data(60)
        frame = pd.DataFrame(x, columns=["price [$]", "size_m2", "ratio: x/y"])
        r = mod.ResidualConformalRegressor()
        with pytest.raises(lightgbm.basic.LightGBMError, match="JSON characters") as raised:
            r.fit(MODEL, frame[:30], y[:30], frame[:5], y[:5], frame[30:], y[30:])
        assert notes(raised) == [
            "LightGBM refuses the column names ['price [$]', 'ratio: x/y']: rename them (for "
            "example to letters, digits and underscores) or pass numpy arrays"]

    def test_without_add_note_the_notes_list_is_made(self, mod, rebind):
        class OldError(Exception):
            add_note = property(lambda self: (_ for _ in ()).throw(AttributeError))

        class Failing:
            def __init__(self, **kwargs):
                raise OldError("refused")

        rebind("LGBMRegressor", Failing)
        x, y = make_data(60)
        with pytest.raises(OldError) as raised:
            mod.ResidualConformalRegressor(alpha=-1).fit(MODEL, x[:30], y[:30], x[:5], y[:5],
                                                        x[30:], y[30:])
        assert raised.value.__notes__ == ["alpha must lie strictly between 0 and 1, got -1"]

    def test_significance_level_outside_the_unit_interval(self, mod):
        x, y = classification_data()
        check = mod.Reliability_without_uncertain(ColumnRegressor(), 1.5)
        with pytest.raises(ValueError, match="Quantiles must be in the range") as raised:
            check.fit(x, y)
        assert notes(raised) == ["significance_level must lie between 0 and 1, got 1.5"]

    def test_feature_names(self, mod):
        r = segmented(mod, np.arange(10.0))
        with pytest.raises(IndexError, match="out of bounds") as raised:
            r.plot_feature("d")
        assert notes(raised) == ["'d' is not among the feature names ['a', 'b', 'c']"]
        r.feature_names = ("a", "b", "c")
        with pytest.raises(IndexError) as raised:
            r.plot_feature("d")
        assert notes(raised) == ["'d' is not among the feature names ['a', 'b', 'c']"]
        r.feature_names = []
        with pytest.raises(IndexError) as raised:
            r.plot_feature("b")
        assert notes(raised)[0].startswith("feature_names is empty: give the names")
        assert figures() == []

    @pytest.mark.parametrize("kind", [list, tuple, pd.Index])
    def test_feature_names_in_a_list_tuple_or_index(self, mod, kind):
        # Found as in an array: the same figure.
        r = segmented(mod, np.arange(10.0), names=("a", "b", "b"))
        r.plot_feature("b", 2)
        expected = drawn(figures()[0])
        r.feature_names = kind(["a", "b", "b"])
        r.plot_feature("b", 2)
        for shown, want in zip(drawn(figures()[2]), expected):
            np.testing.assert_array_equal(shown, want)

    @pytest.mark.parametrize("bins", [0, -3])
    def test_bins_below_one(self, mod, bins):
        r = segmented(mod, np.arange(10.0))
        with pytest.raises(ValueError, match=f"^bins must be a positive integer, got {bins}$"):
            r.plot_feature("b", bins)
        assert figures() == []


class TestEmptyTestPart:
    def test_classifier(self, mod):
        with pytest.raises(ValueError, match="^the test part is empty"):
            fitted(mod, test_p1=[], test_y=np.array([], dtype=int))
        clf = fitted(mod)
        clf.test_y, clf.test_class = np.array([], dtype=int), []
        with pytest.raises(ValueError, match="^the test part is empty"):
            clf.diagnose()

    def test_regressor(self, mod, fake):
        x = rows(np.arange(40.0), -1.0, 1.0)
        y = np.arange(40.0)
        r = mod.ResidualConformalRegressor()
        with pytest.raises(ValueError, match="^the test part is empty"):
            r.fit(POINT, x[:20], y[:20], x[:0], y[:0], x[20:], y[20:])
        r = segmented(mod, [])
        with pytest.raises(ValueError, match="^the test part is empty"):
            r.plot_feature("b")
        assert figures() == []
