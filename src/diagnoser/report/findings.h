// The report's findings: a few plain sentences, each backed by a figure of the report.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace trov {
namespace report {

// What a flagged row stands for, so that a finding can name its remedy.
enum class RowKind { kClass, kGroup, kSegment, kOther };

struct FlaggedRow {
  std::string what;  // "class 1", "x0 in [0.1, 0.4]"
  double coverage;
  int64_t n;
  bool under;
  RowKind kind;
  bool tied = false;  // above the law of untied scores, with ties: said, not flagged
};

struct Evidence {
  double confidence, target;
  int64_t n, covered;
  double coverage_low, coverage_high;           // Wilson
  int64_t n_calib = -1;                         // -1: not known
  int64_t expected_low = 0, expected_high = 0;  // counts; when n_calib is known
  double calib_low = 0, calib_high = 1;         // the coverage law given the calibration size
  double share_full = 0;
  int64_t classes = 0;  // 0 for a regressor
  // How the sets or intervals were calibrated: "" (marginal), "class" or "group";
  // and the classifier's score ("aps" for the procedures' deterministic one).
  std::string conditional, score = "aps";
  bool tied = false;       // tied scores: over-coverage is described, never flagged
  std::string ties;        // what showed them
  bool inclusive = false;  // the procedures' sets, which cover more than the law
  bool whole_tied_over = false;
  double share_fallback = 0;                // test rows a fallback decided
  std::vector<std::string> fallback_names;  // the classes or groups that fell back
  std::vector<FlaggedRow> flagged;
  // The whole report's flag ("", "under-covered", "over-covered") when it is tested.
  std::string whole_flag;
  bool by_law = false;          // the flags follow the calibration law
  double least_detectable = 0;  // NaN: no shortfall at all would be flagged
  // "": by the whole's test; "class" or "group": by each one's own test; "row": by
  // the tests of the classes and segments against the target.
  std::string detect_in;
  bool low_everywhere = false;  // every class, segment and group below the target
  int64_t singleton_n = 0;      // sets of one class
  double singleton_coverage = 0, singleton_high = 1;
  // A cross-conformal object: its marginal bound and the sentence stating it, the
  // whole's p-value against that bound, the coverage at or below which the whole is
  // flagged (NaN: none is), and the rows whose interval lies below the bound, which
  // are described, never tested.
  bool cross = false;
  double bound = 0, p_whole = 1, flag_at_most = 0;
  std::string guarantee = "";
  std::vector<FlaggedRow> below_bound;
  // Weighted split conformal: tested as a cross-conformal object is, with the bound
  // 1 - alpha; `calibration_ess` is Kish's effective size of its calibration weights.
  bool weighted = false;
  double calibration_ess = 0;
};

std::vector<std::string> findings(const Evidence& e);

// What a density ratio between the rows the report reads and the new rows shows.
struct ShiftEvidence {
  double confidence;
  double auc, pvalue, ess;
  int64_t n_source = -1, n_new = -1;  // -1: not known
  bool detected;
  std::vector<std::string> top;  // the features that tell the rows apart most
  std::string source;            // "calibration" or "test": the rows compared
  std::string estimator;         // the class a remedy names
  bool weighted = false;         // the object is calibrated with weights already
  double calibration_ess = 0;
  int64_t n_calib = -1;
};

std::vector<std::string> shift_findings(const ShiftEvidence& e);

// What a stream of an online conformal object shows.
struct OnlineEvidence {
  double confidence, target, coverage;
  int64_t n, misses;
  double p_shortfall;  // the misses' binomial tail at alpha
  bool shortfall;
  std::string method;
  int64_t window, worst_from;
  double worst;         // the lowest coverage of a window
  int64_t alarm = -1;   // the exchangeability martingale's first row at 1 / (1 - confidence)
  double log_peak = 0;  // the largest log martingale
  int64_t n_calibration = 0;
};

std::vector<std::string> online_findings(const OnlineEvidence& e);

// A number with `digits` decimals, as findings write it.
std::string fixed(double v, int digits = 3);

// A p-value as findings write it: "p < 1e-6" below that, else two significant digits.
std::string p_text(double p);

}  // namespace report
}  // namespace trov
