#include "diagnoser/report/findings.h"

#include <algorithm>
#include <cstdio>

namespace trov {
namespace report {
namespace {

std::string fixed(double v, int digits = 3) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%.*f", digits, v);
  return buffer;
}

std::string percent(double share) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%.0f %%", share * 100);
  return buffer;
}

// "class 1 (coverage 0.710, n = 200); ..." farthest from the target first, at most
// `most` of them.
std::string listing(std::vector<FlaggedRow> rows, bool under) {
  constexpr int most = 5;
  std::stable_sort(rows.begin(), rows.end(), [under](const FlaggedRow& a, const FlaggedRow& b) {
    return under ? a.coverage < b.coverage : a.coverage > b.coverage;
  });
  std::string out;
  int shown = 0, more = 0;
  for (const FlaggedRow& r : rows) {
    if (r.under != under) continue;
    if (shown == most) {
      ++more;
      continue;
    }
    out += (shown ? "; " : "") + r.what + " (coverage " + fixed(r.coverage) +
           ", n = " + std::to_string(r.n) + ")";
    ++shown;
  }
  if (more) out += "; and " + std::to_string(more) + " more in the tables";
  return out;
}

bool under_covered(const Evidence& e, RowKind kind) {
  return std::any_of(e.flagged.begin(), e.flagged.end(),
                     [kind](const FlaggedRow& r) { return r.under && r.kind == kind; });
}

// The deterministic adaptive score fills every set once the model errs on more
// than alpha of the calibration rows; these two do not.
std::string score_remedy(const Evidence& e) {
  if (e.score != "aps") return "";
  return " The \"lac\" or \"aps_randomized\" score of trov.diagnoser.conformal gives "
         "smaller sets: ConformalClassifier(model, score=\"lac\").";
}

// Marginal calibration promises nothing per class or group; one threshold per
// class or group (Mondrian conformal prediction, Vovk et al., 2005) does.
std::string conditional_remedy(const Evidence& e) {
  std::string out;
  if (e.classes > 0 && e.conditional != "class" && under_covered(e, RowKind::kClass)) {
    out =
        "Per-class calibration gives every class its own threshold and so the target: "
        "ConformalClassifier(model, conditional=\"class\") from trov.diagnoser.conformal.";
  }
  if (e.conditional != "group" &&
      (under_covered(e, RowKind::kSegment) || under_covered(e, RowKind::kGroup))) {
    out += std::string(out.empty() ? "" : " ") +
           "Per-group calibration gives every group its own threshold: pass the segment (or "
           "any grouping of the rows) as groups to " +
           (e.classes > 0 ? "ConformalClassifier" : "ConformalRegressor") +
           "(model, conditional=\"group\") from trov.diagnoser.conformal.";
  }
  return out;
}

}  // namespace

std::vector<std::string> findings(const Evidence& e) {
  std::vector<std::string> out;
  double coverage = static_cast<double>(e.covered) / static_cast<double>(e.n);
  std::string level = percent(e.confidence);
  if (e.n_calib >= 0) {
    double nn = static_cast<double>(e.n);
    std::string range = fixed(static_cast<double>(e.expected_low) / nn) + " to " +
                        fixed(static_cast<double>(e.expected_high) / nn);
    std::string rows =
        std::to_string(e.n_calib) + " calibration and " + std::to_string(e.n) + " test rows";
    if (e.covered < e.expected_low) {
      out.push_back("Coverage " + fixed(coverage) + " is below the target " + fixed(e.target) +
                    " by more than chance explains: exact split conformal with " + rows +
                    " gives " + range + " in " + level +
                    " of draws. Check that calibration and test rows come from the same data.");
    } else if (e.covered > e.expected_high) {
      out.push_back("Coverage " + fixed(coverage) +
                    " is above what exact split conformal gives "
                    "with " +
                    rows + " (" + range + " in " + level +
                    " of draws): the sets or intervals are wider than the target needs.");
    }
  } else if (e.coverage_high < e.target) {
    out.push_back("Coverage " + fixed(coverage) + " is below the target " + fixed(e.target) +
                  " beyond chance: its " + level + " interval ends at " + fixed(e.coverage_high) +
                  ".");
  }
  if (e.classes > 0 && e.share_full > 0.5) {
    out.push_back(percent(e.share_full) + " of the sets hold " +
                  (e.classes == 2 ? std::string("both classes")
                                  : "all " + std::to_string(e.classes) + " classes") +
                  ": the sets say little about single rows." + score_remedy(e));
  }
  std::string under = listing(e.flagged, true), over = listing(e.flagged, false);
  if (!under.empty()) {
    out.push_back("Under-covered beyond chance: " + under + ".");
    std::string remedy = conditional_remedy(e);
    if (!remedy.empty()) out.push_back(remedy);
  }
  if (!over.empty()) {
    out.push_back("Over-covered (wider than the target needs): " + over + ".");
  }
  if (e.share_fallback > 0) {
    out.push_back(percent(e.share_fallback) +
                  " of the test rows were predicted with the fallback threshold: their class or "
                  "group had too few calibration rows for its own (see fallback_groups_).");
  }
  if (e.n_calib >= 0 && e.n_calib < 100) {
    out.push_back("Only " + std::to_string(e.n_calib) +
                  " calibration rows: the coverage a calibration draw of this size gives "
                  "ranges from " +
                  fixed(e.calib_low) + " to " + fixed(e.calib_high) + " (" + level +
                  "); a few hundred rows or more make the level stable.");
  }
  if (out.empty()) {
    out.push_back("All clear: coverage is within chance of the target and no row is flagged.");
  }
  return out;
}

}  // namespace report
}  // namespace trov
