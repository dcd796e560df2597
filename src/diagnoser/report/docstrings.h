// The docstrings of the report module, in numpydoc layout, as help() and
// inspect.getdoc show them.
#pragma once

namespace trov {
namespace report {

inline constexpr const char* kCoverageReportFunctionDoc =
    R"(Where coverage falls short: tables, findings and figures of a fitted object.

The report only reads the object: it never refits, calls no model and changes
nothing (given ``new_x``, it fits a density ratio of its own). Split conformal
guarantees marginal coverage only; per class and per segment it can fall short
with nothing broken, and the report finds where. Cross-conformal methods
guarantee a lower bound on average over fits, not for this one: their report
tests only the whole against that bound, and describes the rest. So does the
report of an object calibrated with weights (``calibrate(..., shift=...)``),
whose bound is 1 - alpha on average over draws of calibration and test rows:
each of its test rows has its own threshold, and no exact law holds for one
calibration.

A ConformalClassifier or ConformalRegressor evaluated at many levels
(``evaluate(..., alpha=[...])``) gets the table ``levels``: each level's
coverage against its target 1 - alpha and the exact law of its calibration, in
one family with the report's other tests. The other tables show one level:
``alpha_``, the level calibrated for, when it is among them, else the first.

A ConformalRegressor with predictive distributions ("absolute" or
"normalized", whose ``evaluate`` sets ``pit_`` and ``crps_``) gets a PIT
histogram (the table ``pit``) and the mean CRPS. All test rows share one
calibration draw, so the count of a bin of width w follows BetaBinomial(m,
w(n + 1), (1 - w)(n + 1)) for m test rows and n calibration rows (per group,
summed over groups, with ``conditional="group"``), not a binomial; each bin's
band is its central range at level 1 - (1 - confidence) / bins, so that a
calibrated model leaves some band with chance at most 1 - confidence.

An online object (``OnlineConformalClassifier``, ``OnlineConformalRegressor``)
promises coverage over the long run of its stream, not in each stretch of it:
its report describes the stream in time segments and a rolling window, tests
only the whole stream's misses, and runs an ``ExchangeabilityMartingale`` of
trov.diagnoser.conformal over the rows' p-values for the first row at which
the rows stopped being exchangeable (the alarm).

Whether the guarantee carries over to the rows the model will meet is the
shift section's question: a density ratio between the calibration rows (or the
test rows, which stand for them) and the new rows gives the summary's
``shift_*`` entries, the table ``shift features`` and a finding.

Parameters
----------
fitted : object
    A fitted AdaptiveConformalClassifier, ResidualConformalRegressor or
    Reliability, an evaluated ConformalClassifier, ConformalRegressor,
    CrossConformalClassifier or CrossConformalRegressor, or an
    OnlineConformalClassifier or OnlineConformalRegressor that has seen
    labelled rows.
confidence : float, default=0.95
    In (0, 1): the level of every Wilson interval, and 1 - confidence bounds the
    chance of any false flag in the report (Holm's step-down over all tests).
    For an online object, 1 - confidence is the level of the shortfall test and
    of the alarm (the martingale reaching 1 / (1 - confidence)).
bins : int, default=10
    The number of segments a numeric feature is cut into (nearly equal counts);
    categorical features keep the bins - 1 most frequent values and ``other``.
    Also the number of bins of the PIT histogram (at most 1000).
    For an online object, the number of consecutive time segments.
test_x : array-like, DataFrame or None, default=None
    The features of the test rows, in their order: gives a classifier its
    ``by_feature`` table, and replaces a regressor's stored ones.
new_x : array-like, DataFrame or None, default=None
    Rows the model will meet. The report fits
    ``DensityRatio(random_state=0)`` of trov.diagnoser.conformal on the test
    rows' features (``test_x``, else the object's own) as the source and these
    as the new rows, and reads its shift section from it. Not for an online
    object, nor is ``test_x`` or ``shift``.
shift : DensityRatio or None, default=None
    A fitted density ratio, or any object with its fitted ``auc_``,
    ``pvalue_`` and ``ess_`` (``n_source_``, ``n_new_`` and
    ``feature_importances``, called with ``random_state=0``, where it has
    them), used as it is. With neither
    ``shift`` nor ``new_x``, an object calibrated with a fitted density ratio
    as its ``shift`` gives that one.

Returns
-------
report : CoverageReport
    Its summary, tables and findings.

Raises
------
TypeError
    For an object of any other type, a confidence or bins that is no number, or
    a shift that is no fitted density ratio.
ValueError
    For an object not fitted (or evaluated), a confidence outside (0, 1), bins
    below 1, a test_x whose row count differs, shift and new_x together,
    new_x for an object that holds no test rows' features and no test_x, an
    online object that has seen no labelled rows or is given test_x, new_x or
    shift.
ImportError
    For new_x when trov.diagnoser.conformal has no DensityRatio, or an online
    object when it has no ExchangeabilityMartingale.

Notes
-----
The PIT test is apart from the flags too: a bin beyond its band sets
``pit_miscalibrated`` and carries no flag. Rows of a group without calibration
rows are left out of it. Bins narrower than the gap 1 / (n + 1) between
calibration ranks, or whose width times n + 1 is no integer, make the
beta-binomial law a little wider than the count's own, so the band errs on the
side of no flag (Vovk, Shen, Manokhin and Xie, 2017).

The shift is detected when ``shift_pvalue`` < 1 - confidence. That test is
apart from the flags, whose chance of any false one stays below 1 -
confidence. Weighted calibration mends a covariate shift, up to the error of
the estimated ratio (Tibshirani, Barber, Candes and Ramdas, 2019); it assumes
P(y | x) unchanged, and cannot mend a label or concept shift. No shift
detected is no proof of none: at a small n a shift may go unseen.

An online report's shortfall test takes as its null that every set, given the
rows before it, holds its label with chance at least 1 - alpha; the misses are
then stochastically below Binomial(n, alpha), however the rows depend on each
other. The alarm holds at level 1 - confidence by Ville's inequality (Vovk,
Nouretdinov and Gammerman, 2003): it says the scores' distribution changed, in
the features, in the label given them, or both, not which, and not that
coverage failed. Mixture betting wagers on small p-values, so it finds errors
that grow, not errors that shrink.

Examples
--------
>>> report = coverage_report(cc, confidence=0.95, bins=10)  # doctest: +SKIP
>>> report.summary["coverage"], report.tables["by_class"]  # doctest: +SKIP
>>> report.to_html("report.html")  # doctest: +SKIP
>>> coverage_report(cc, new_x=x_new).summary["shift_detected"]  # doctest: +SKIP
>>> coverage_report(online).summary["alarm"]  # doctest: +SKIP
)";

inline constexpr const char* kCoverageReportDoc =
    R"(The coverage report of one fitted object, as ``coverage_report`` makes it.

Shown in a notebook as findings, summary, flagged rows, tables and figures.

Parameters
----------
kind : {"classification", "regression"}
    What was fitted.
confidence : float
    The level of the report's intervals and tests.
summary : dict
    The overall measures.
tables : dict of str to DataFrame
    The report's tables.
findings : list of str or None, default=None
    Plain sentences on what to act on; None for none.

Attributes
----------
kind : str
    "classification" or "regression".
confidence : float
    The level of the intervals and of the tests that set the flags.
summary : dict
    ``n``, ``coverage`` with ``coverage_low`` and ``coverage_high``, ``target``,
    ``fsc`` (the lowest segment coverage) and, where known, ``n_calib`` and the
    expected range ``expected_low`` / ``expected_high``; for a cross-conformal
    object instead ``method``, ``n_estimators``, ``coverage_bound``, ``guarantee``
    and ``flag_at_most`` (the coverage at or below which the whole is flagged);
    for an object calibrated with weights ``weighted`` (True),
    ``calibration_ess`` (Kish's effective sample size of its calibration
    weights, of ``n_calib``), ``coverage_bound``, ``guarantee`` and
    ``flag_at_most``. With a shift section: ``shift_auc``, ``shift_pvalue``,
    ``shift_ess``, ``shift_n_source``, ``shift_n_new``, ``shift_detected`` and
    ``weighted``. Evaluated at many levels, ``n_levels`` (the other entries
    are of the level shown). With predictive distributions, ``crps`` (the
    mean CRPS), ``pit_rows``, ``pit_bins``, ``pit_band_level`` (each bin's),
    ``pit_bins_outside`` and ``pit_miscalibrated``. For an online object: ``n``, ``coverage`` with its interval,
    ``target``, ``p_shortfall`` and ``shortfall`` (the whole stream's test),
    ``method``, ``score``, ``n_calib``, ``window`` with
    ``worst_window_coverage``, ``worst_window_from`` and ``worst_window_to``,
    ``mean_width`` (of bounded, non-empty intervals), ``n_unbounded`` and
    ``n_empty``, or ``mean_set_size``, ``share_full`` and ``share_empty``, and
    ``alarm`` (a row index or None), ``alarm_threshold`` and
    ``log_martingale_max``.
tables : dict of str to DataFrame
    ``by_class``, ``by_set_size``, ``by_feature``, ``worst_segments``,
    ``by_prediction``, ``by_group`` and ``levels``, as they apply; each row
    has ``n``, ``coverage``, its interval, ``p_adjusted`` and ``flag``;
    ``levels`` also ``alpha``, ``target``, ``expected_low``, ``expected_high``,
    the mean set size or width and ``shown``. With predictive distributions,
    ``pit``: ``bin_low``, ``bin_high``, ``count``, ``expected``, ``band_low``,
    ``band_high`` and ``outside`` (no flags). With a shift
    section, ``shift features``: the five features (``feature``) whose
    permutation lowers the ratio's AUC most (``auc_drop``). For an online
    object, ``segments`` (consecutive rows ``from`` .. ``to``, ``n``,
    coverage with its interval, mean width or set size, ``after_alarm``; no
    flags) and ``rolling_coverage`` (``row``, ``coverage``: the figure's line).
findings : list of str
    A few sentences, each backed by a figure of the report.

See Also
--------
coverage_report : makes the report.
compare_reports : reports side by side.

Examples
--------
>>> report = coverage_report(rel)  # doctest: +SKIP
>>> report.findings  # doctest: +SKIP
>>> report.to_dict()["summary"]["coverage"]  # doctest: +SKIP
)";

inline constexpr const char* kReportInitDoc =
    R"(Initialise self; the parameters are those of the class, see ``help(type(self))``.)";

inline constexpr const char* kToDictDoc =
    R"(The report as plain numbers and strings, ready for JSON.

Returns
-------
report : dict
    ``kind``, ``confidence``, ``summary``, ``tables`` (each a list of row dicts)
    and ``findings``; numpy scalars become Python numbers, NaN and infinities None.

Raises
------
ValueError
    For a value nested so deep (or containing itself) that it has no plain form.
)";

inline constexpr const char* kReportToHtmlDoc = R"(Write the report as one self-contained HTML file.

Inline CSS and figures, no script.

Parameters
----------
path : str or path-like
    The file to write.

Returns
-------
None
)";

inline constexpr const char* kComparisonDoc =
    R"(Coverage reports of one kind side by side, as ``compare_reports`` makes them.

Parameters
----------
kind : {"classification", "regression"}
    The kind of every report.
reports : dict of str to CoverageReport
    The reports by name.
table : DataFrame
    One column per report, one row per measure.

Attributes
----------
kind : str
    "classification" or "regression".
reports : dict of str to CoverageReport
    The reports compared, by name.
table : DataFrame
    Coverage with its interval, mean set size or width, the worst class and
    segment, and the number of flagged rows; one column per report. Where some
    report has them, ``shift_auc``, ``shift_pvalue``, ``shift_ess``,
    ``weighted`` and ``calibration_ess`` too, and ``window``,
    ``worst_window_coverage`` and ``alarm`` of online reports; None for the
    reports without.

See Also
--------
compare_reports : makes the comparison.

Examples
--------
>>> side = compare_reports({"marginal": coverage_report(a),
...                         "per class": coverage_report(b)})  # doctest: +SKIP
>>> side.table  # doctest: +SKIP
)";

inline constexpr const char* kComparisonToHtmlDoc =
    R"(Write the comparison as one self-contained HTML page.

Parameters
----------
path : str or path-like
    The file to write.

Returns
-------
None
)";

inline constexpr const char* kCompareReportsDoc = R"(Set coverage reports of one kind side by side.

Parameters
----------
reports : dict of str to CoverageReport
    At least one report, by name; all classification or all regression.

Returns
-------
comparison : ReportComparison
    Its ``table`` has one column per report.

Raises
------
TypeError
    For reports that are not a dict of names to CoverageReport.
ValueError
    For no reports, or reports of different kinds.

Examples
--------
>>> side = compare_reports({"marginal": coverage_report(cc_marginal),
...                         "per class": coverage_report(cc_per_class)})  # doctest: +SKIP
>>> side.to_html("side.html")  # doctest: +SKIP
)";

}  // namespace report
}  // namespace trov
