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
  double share_fallback = 0;  // test rows predicted with a fallback threshold
  std::vector<FlaggedRow> flagged;
};

std::vector<std::string> findings(const Evidence& e);

}  // namespace report
}  // namespace trov
