#include "diagnoser/report/findings.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace trov {
namespace report {

std::string fixed(double v, int digits) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%.*f", digits, v);
  return buffer;
}

namespace {

std::string percent(double share) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%.0f %%", share * 100);
  return buffer;
}

// "class 1 (coverage 0.710, n = 200); ..." farthest from the target first, at most
// `most` of them.
std::string listing(std::vector<FlaggedRow> rows, bool under, bool tied = false) {
  constexpr int most = 5;
  std::stable_sort(rows.begin(), rows.end(), [under](const FlaggedRow& a, const FlaggedRow& b) {
    return under ? a.coverage < b.coverage : a.coverage > b.coverage;
  });
  std::string out;
  int shown = 0, more = 0;
  for (const FlaggedRow& r : rows) {
    if (r.under != under || r.tied != tied) continue;
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

bool any_under(const Evidence& e) {
  return std::any_of(e.flagged.begin(), e.flagged.end(),
                     [](const FlaggedRow& r) { return r.under; });
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

// Ties: calibration scores that repeat (the deterministic adaptive score; a tree's
// few distinct probabilities; a target of few values) put more than the rank needs
// under the threshold, so coverage exceeds the law of continuous scores for real
// (Angelopoulos & Bates 2021, section 1.1: the upper bound needs scores without
// ties). That law then bounds coverage from below only.
std::string ties(const Evidence& e) {
  if (e.inclusive) {
    return " The procedure's sets keep the class at which the running probability reaches "
           "q, so they cover at least what the law says, and more where that class is "
           "likely; the law then bounds coverage from below only, so this carries no flag. "
           "The randomised score of trov.diagnoser.conformal follows the law: "
           "ConformalClassifier(model, score=\"aps_randomized\").";
  }
  std::string seen = e.ties.empty() ? "" : " (here " + e.ties + ")";
  if (e.classes == 0) {
    return " Tied scores do this" + seen +
           ": a target or model of few distinct values gives many rows the same score, and "
           "the threshold then takes them all in; with ties the law bounds coverage from "
           "below only, so this carries no flag.";
  }
  std::string cause = e.score == "aps" ? "the deterministic \"aps\" score and models whose "
                                         "probabilities repeat (trees)"
                                       : "models whose probabilities repeat (trees)";
  return " Tied scores do this" + seen + ": " + cause +
         " give many rows the same score, and the threshold then takes them all in; with "
         "ties the law bounds coverage from below only, so this carries no flag. A "
         "randomised score breaks the ties: ConformalClassifier(model, "
         "score=\"aps_randomized\") from trov.diagnoser.conformal.";
}

// Why sets of one class miss more often, in the words of the score that made them.
std::string singleton_cause(const Evidence& e) {
  if (e.score == "lac") {
    return "a \"lac\" set holds one class where only that class's probability clears the "
           "threshold, and such sets miss more often by construction (the threshold promises "
           "coverage over all sets, not per size), not by a fault.";
  }
  return "adaptive sets are smallest where the model is surest, and miss more there by "
         "construction, not by a fault.";
}

std::string names(const std::vector<std::string>& values) {
  constexpr std::size_t most = 5;
  std::string out;
  for (std::size_t i = 0; i < values.size() && i < most; ++i) out += (i ? ", " : "") + values[i];
  if (values.size() > most) out += " and " + std::to_string(values.size() - most) + " more";
  return out;
}

// Below this many calibration rows the coverage of a draw varies widely.
constexpr int64_t kFewCalibration = 100;
// A report that would miss a shortfall this large says so instead of an all-clear.
constexpr double kBlind = 0.1;

// The words that tell what varies under a marginal bound: the fit of a
// cross-conformal method, or the calibration draw of weighted split conformal.
struct BoundWords {
  const char* draws;  // whose draws the bound averages over
  const char* one;    // one such draw
  const char* each;   // "not for each ..."
  const char* this_;  // "This ... covers these rows"
  std::string check;  // what to check when coverage is far below the bound
};

BoundWords bound_words(const Evidence& e) {
  if (!e.weighted) {
    return {"the training rows", "a fit", "fit", "This fit",
            "that the test rows come from the same data as the training rows"};
  }
  return {"the calibration rows", "a calibration draw", "draw", "This calibration",
          "that the weights are the density ratio of the test rows to the calibration rows, "
          "and that only the features shifted: weighting cannot mend a change of P(y | x)"};
}

// Thousands apart: "2,000". The magnitude is taken unsigned: -INT64_MIN overflows.
std::string grouped(int64_t v) {
  const uint64_t magnitude = v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
  std::string digits = std::to_string(magnitude), out;
  for (std::size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
    out += digits[i];
  }
  return (v < 0 ? "-" : "") + out;
}

// An effective sample size as a count of rows, "340 of 2,000 rows". llround is
// defined only within int64, and past 2^53 a double has no exact units to group.
std::string effective(double ess, int64_t of) {
  if (std::isnan(ess))
    return "none: every row weighs 0 (a classifier sure of every row, with clip=0)";
  std::string out;
  if (ess >= 0 && ess < 9007199254740992.0) {
    out = grouped(std::llround(ess));
  } else {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.3g", ess);
    out = buffer;
  }
  return of > 0 ? out + " of " + grouped(of) + " rows" : out + " rows";
}

// Weighted split conformal gives each test row its own threshold: no exact law
// holds given the calibration draw, only coverage >= 1 - alpha on average over
// draws of calibration and test rows when the weights are the true density ratio
// (Tibshirani, Barber, Candes & Ramdas 2019, "Conformal prediction under
// covariate shift").
std::string weighted_guarantee(const Evidence& e) {
  std::string out =
      "Calibrated with weights (shift=): each test row has its own threshold, so the exact "
      "law of split conformal does not apply. The guarantee is marginal and weighted: "
      "coverage of at least 1 - alpha = " +
      fixed(e.bound) +
      " on average over draws of the calibration and test rows, when the weights are the "
      "density ratio of the test rows to the calibration rows and P(y | x) is the same for "
      "both; nothing per class or segment. The whole is tested against it by Markov's "
      "inequality, the rest is described. The calibration weights are worth " +
      effective(e.calibration_ess, e.n_calib) + " (Kish's effective sample size)";
  if (e.calibration_ess < static_cast<double>(kFewCalibration)) {
    out +=
        ": so few make the coverage of a draw vary widely, and more calibration rows "
        "like the new ones narrow it";
  }
  return out + ".";
}

// A cross-conformal or weighted object promises a marginal bound only: the whole
// is tested against it by Markov's inequality, and everything else is described.
std::vector<std::string> cross_findings(const Evidence& e) {
  std::vector<std::string> out;
  BoundWords w = bound_words(e);
  if (e.weighted) out.push_back(weighted_guarantee(e));
  double coverage = static_cast<double>(e.covered) / static_cast<double>(e.n);
  std::string level = percent(e.confidence), allowed = percent(1 - e.confidence);
  std::string miss = fixed(1 - coverage), bound = fixed(e.bound);
  std::string interval = " (its " + level + " interval " + fixed(e.coverage_low) + " to " +
                         fixed(e.coverage_high) + ")";
  if (e.whole_flag == "under-covered") {
    out.push_back("Coverage " + fixed(coverage) + " is below the guaranteed " + bound +
                  " by more than a draw of " + w.draws + " explains: under that bound " + w.one +
                  " misses a share " + miss + " of the rows with chance at most " +
                  fixed(e.p_whole) + " (Markov's inequality), within the " + allowed +
                  " the report allows. Check " + w.check + ".");
  } else if (coverage < e.bound) {
    out.push_back(
        "Coverage " + fixed(coverage) + " is below the guaranteed " + bound + interval +
        ", yet carries no flag: the bound holds on average over draws of " + w.draws +
        ", not for each " + w.each + ", and under it " + w.one + " misses a share " + miss +
        " of the rows with chance up to " + fixed(e.p_whole) + " (Markov's inequality)." +
        (e.coverage_high < e.bound ? " So low a coverage is still worth a check " + w.check + "."
                                   : std::string()));
  } else if (e.coverage_high < e.target) {
    out.push_back("Coverage " + fixed(coverage) + " is below 1 - alpha = " + fixed(e.target) +
                  interval + " but not below the guaranteed " + bound +
                  ": the method promises the bound, not 1 - alpha, so this carries no flag.");
  } else if (e.coverage_low > e.target + 0.05) {
    out.push_back("Coverage " + fixed(coverage) + " is above 1 - alpha = " + fixed(e.target) +
                  " by more than 0.05" + interval +
                  ": the sets or intervals are wider than the level needs; the method promises "
                  "a lower bound only, so this carries no flag.");
  }
  if (e.classes > 0 && e.share_full > 0.5) {
    out.push_back(percent(e.share_full) + " of the sets hold " +
                  (e.classes == 2 ? std::string("both classes")
                                  : "all " + std::to_string(e.classes) + " classes") +
                  ": the sets say little about single rows." +
                  (e.score == "lac" ? ""
                   : e.weighted
                       ? " The \"lac\" score gives smaller sets: ConformalClassifier(model, "
                         "score=\"lac\")."
                       : " The \"lac\" score gives smaller sets: "
                         "CrossConformalClassifier(model, score=\"lac\")."));
  }
  if (e.weighted && e.share_fallback > 0) {
    // A row whose weight outweighs alpha of the calibration mass and its own has no
    // calibration score at the level: it gets every class or an unbounded interval.
    out.push_back(percent(e.share_fallback) + " of the test rows are marked in fallback_rows_: " +
                  "their weight is so large beside the calibration rows' that no calibration "
                  "score reaches the level, so they get " +
                  (e.classes > 0 ? "every class" : "an unbounded interval") +
                  (e.conditional.empty() ? "" : ", or their " + e.conditional + " fell back") +
                  ". More calibration rows like the new ones make them fewer.");
  }
  std::string below = listing(e.below_bound, true);
  if (!below.empty()) {
    out.push_back(std::string(w.this_) + " covers these rows less than both the guaranteed " +
                  bound + " and the whole (" + fixed(coverage) + "), by exact binomial tests at " +
                  level + " over all the tables' rows together: " + below +
                  ". Described, not flagged: the bound is over all rows and promises nothing "
                  "per class or segment.");
    Evidence remedy = e;
    remedy.flagged = e.below_bound;
    std::string text = conditional_remedy(remedy);
    if (!text.empty()) out.push_back(text);
  }
  if (e.singleton_n > 0 && e.singleton_high < e.target) {
    out.push_back("Sets of one class cover " + fixed(e.singleton_coverage) + " (n = " +
                  std::to_string(e.singleton_n) + "), less than 1 - alpha = " + fixed(e.target) +
                  ": they are where the model is surest, and the bound covers all sets "
                  "together, not each size; set sizes carry no flag.");
  }
  if (e.whole_flag.empty()) {
    std::string single = std::string("a single ") + (e.weighted ? "calibration draw" : "fit");
    if (std::isnan(e.flag_at_most)) {
      out.push_back("No coverage of these test rows could be flagged at " + level +
                    ": a marginal bound of " + bound + " still lets " + single +
                    " cover nothing with chance up to " + fixed(1 - e.bound) + ", more than the " +
                    allowed + " the report allows. The figures describe this " + w.each +
                    "; a confidence below " + bound + " can flag a coverage far below it.");
    } else {
      out.push_back("Only coverage of " + fixed(e.flag_at_most) + " or less is flagged at " +
                    level + ": " + single + " may fall below the bound " + bound +
                    " by chance, and the test allows for that, so a smaller shortfall goes "
                    "unseen.");
    }
  }
  return out;
}

}  // namespace

std::string p_text(double p) {
  if (p < 1e-6) return "p < 1e-6";
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%.2g", p);
  return std::string("p = ") + buffer;
}

// What the new rows' features tell: a shift the classifier of the density ratio
// finds, or an all-clear that says what it could not see.
std::vector<std::string> shift_findings(const ShiftEvidence& e) {
  std::string rows = "the " + e.source + " rows";
  std::string figures = "AUC " + fixed(e.auc, 2) + ", " + p_text(e.pvalue);
  std::string calibrated =
      "The object is calibrated with weights (shift=); its calibration "
      "weights are worth " +
      effective(e.calibration_ess, e.n_calib) + " (Kish's effective sample size).";
  if (!e.detected) {
    std::string sizes = e.n_source > 0 && e.n_new > 0
                            ? " with " + grouped(e.n_source) + " " + e.source + " and " +
                                  grouped(e.n_new) + " new rows"
                            : "";
    std::string text =
        "No shift between the " + e.source + " and new rows is detectable at this n (" + figures +
        "): that is no proof there is none, and" + sizes + " a small shift may go unseen.";
    if (e.weighted) text += " " + calibrated;
    return {text};
  }
  std::string text = "New rows differ from " + rows + " (" + figures + ")";
  text += e.weighted ? ": the unweighted guarantee would not carry over to them."
                     : ": the marginal guarantee does not carry over to them.";
  if (!e.top.empty()) {
    text +=
        " The features that tell them apart most (the table \"shift features\"): " + names(e.top) +
        ".";
  }
  std::string assumption =
      " Weighting assumes P(y | x) is the same for the new rows, and cannot fix a label or "
      "concept shift.";
  if (e.weighted) {
    text += " " + calibrated +
            " Weighting restores the marginal guarantee for a covariate shift, up to the error "
            "of the estimated ratio." +
            assumption;
  } else {
    text +=
        " Weighted calibration (shift=) restores it for a covariate shift, up to the error "
        "of the estimated ratio: " +
        e.estimator +
        "(model).calibrate(calib_x, calib_y, shift=DensityRatio().fit(train_x, new_x)) from "
        "trov.diagnoser.conformal, the ratio fitted on rows drawn like the calibration rows "
        "but not on them (the training rows serve); the ratio's effective sample size is " +
        effective(e.ess, e.n_source) + "." + assumption +
        " If the test rows are new rows, the ranges of exact split conformal below do not "
        "apply to them: those assume test rows drawn like the calibration rows.";
  }
  return {text};
}

// What the stream shows: its long-run coverage against the target, and whether the
// exchangeability martingale raised its alarm.
std::vector<std::string> online_findings(const OnlineEvidence& e) {
  std::string allowed = percent(1 - e.confidence);
  std::string rows = grouped(e.n) + " row" + (e.n == 1 ? "" : "s");
  std::string method =
      "Online calibration" + (e.method.empty() ? std::string() : " (\"" + e.method + "\")");
  std::string coverage = "Long-run coverage " + fixed(e.coverage) + " over " + rows;
  // The binomial tail is valid for that null however the rows depend on each
  // other; the method promises less, the target in the long run only, so what the
  // test rejects is said as what it is.
  std::string null = "a stream whose every set or interval holds its label with chance at least " +
                     fixed(e.target) + " given the rows before it";
  std::string text;
  if (e.shortfall) {
    text = coverage + " is below the target " + fixed(e.target) +
           " by more than chance explains: " + null + " misses " + grouped(e.misses) +
           " or more of them with chance " +
           (e.p_shortfall < 1e-6 ? "below 1e-6" : "at most " + p_text(e.p_shortfall).substr(4)) +
           " (exact binomial tail, whatever the rows' dependence). " + method +
           " promises the target over the long run, and lags until its threshold catches up";
    // A stream started without calibrate misses its first rows while the threshold
    // climbs from nothing: that, not a change, may be all the test sees.
    if (e.n_calibration == 0) {
      text += ": this stream started without calibrate, from no scores, and its first rows "
              "miss while the threshold climbs; a shortfall over a short stream may be that "
              "alone. Calibrate on held-out rows before the stream, or judge a longer one. "
              "Else the stream changed faster than it adapts";
    } else {
      text += " after a change: the stream changed faster than it adapts";
    }
    text += ". A larger step size adapts faster, at the price of wider swings.";
  } else if (e.coverage < e.target) {
    text = coverage + " is below the target " + fixed(e.target) +
           ", by no more than chance explains: " + null + " misses " + grouped(e.misses) +
           " or more of them with chance " + p_text(e.p_shortfall).substr(4) +
           " (exact binomial tail).";
  } else {
    text = coverage + " meets the target " + fixed(e.target) + ".";
  }
  if (e.window < e.n) {
    text += " Its worst window of " + grouped(e.window) + " rows (rows " + grouped(e.worst_from) +
            " to " + grouped(e.worst_from + e.window - 1) + ") covers " + fixed(e.worst) +
            "; windows and segments are described, not tested: the guarantee is over the "
            "stream, and a valid method dips below the target in some stretch of it.";
  }
  char bar[32];
  std::snprintf(bar, sizeof bar, "%.4g", 1 / (1 - e.confidence));
  std::string martingale =
      "The exchangeability martingale (mixture betting on the rows' "
      "conformal p-values)";
  std::string alarm;
  if (e.alarm >= 0) {
    alarm = martingale + " reached 1 / (1 - confidence) = " + bar + " at row " + grouped(e.alarm) +
            " (0-based) of " + rows +
            ": the distribution of the scores changed by then, in the features, in the label "
            "given the features, or both. It does not say which, nor that coverage failed: "
            "online calibration keeps adapting after a change (the table \"segments\" marks "
            "the segments after it, after_alarm). Exchangeable rows raise such an alarm with "
            "chance at most " +
            allowed + " however long the stream runs (Ville's inequality).";
  } else {
    char peak[32];
    std::snprintf(peak, sizeof peak, "%.3g", std::exp(e.log_peak));
    alarm = "No alarm: " + martingale + " stayed below 1 / (1 - confidence) = " + bar +
            " over the " + rows + " (its peak " + peak +
            "). That is no proof the rows are exchangeable: mixture betting wagers on small "
            "p-values, that is on scores larger than before, so it finds errors that grow (more "
            "noise, a model gone stale) but not errors that shrink (less noise), and a small or "
            "short change may go unseen. Plug-in betting finds changes either way, more slowly: "
            "ExchangeabilityMartingale(betting=\"plugin\").update(online).alarm(delta) from "
            "trov.diagnoser.conformal.";
  }
  // An alarm is what to act on first; an all-clear comes last.
  if (e.alarm >= 0) return {alarm, text};
  return {text, alarm};
}

std::vector<std::string> findings(const Evidence& e) {
  if (e.cross) return cross_findings(e);
  std::vector<std::string> out;
  double coverage = static_cast<double>(e.covered) / static_cast<double>(e.n);
  std::string level = percent(e.confidence);
  std::string everywhere_remedy =
      " The shortfall is the same in every class, segment and group, so per-class or per-group "
      "calibration would not help";
  if (e.n_calib >= 0) {
    double nn = static_cast<double>(e.n);
    std::string range = fixed(static_cast<double>(e.expected_low) / nn) + " to " +
                        fixed(static_cast<double>(e.expected_high) / nn);
    std::string rows =
        std::to_string(e.n_calib) + " calibration and " + std::to_string(e.n) + " test rows";
    if (e.whole_flag == "under-covered") {
      std::string text = "Coverage " + fixed(coverage) + " is below the target " + fixed(e.target) +
                         " by more than chance explains: exact split conformal with " + rows +
                         " gives " + range + " in " + level + " of draws.";
      if (e.low_everywhere) {
        text +=
            everywhere_remedy + ": check that calibration and test rows come from the same data";
        text += e.n_calib < kFewCalibration ? ", and calibrate on more rows." : ".";
      } else {
        text += " Check that calibration and test rows come from the same data.";
      }
      out.push_back(text);
    } else if (e.whole_flag == "over-covered" || e.whole_tied_over) {
      out.push_back("Coverage " + fixed(coverage) +
                    " is above what exact split conformal gives with " + rows + " (" + range +
                    " in " + level +
                    " of draws) by more than 0.05: the sets or intervals are wider than the "
                    "target needs." +
                    (e.whole_tied_over ? ties(e) : ""));
    } else if (e.coverage_high < e.target) {
      // The test rows alone say the level is short; the calibration law says how
      // often a draw of this size gives that (Vovk 2012).
      bool within = e.covered >= e.expected_low;
      std::string where = within ? ", yet within what exact split conformal gives with "
                                 : ", below what exact split conformal gives with ";
      std::string text = "Coverage " + fixed(coverage) + " is below the target " + fixed(e.target) +
                         where + rows + " (" + range + " in " + level + " of draws)";
      if (!within) {
        text +=
            ", though not by more than chance allows once all the report's tests are "
            "counted: no flag.";
      } else if (any_under(e) && !e.low_everywhere) {
        text +=
            ": the whole is within that range; the rows flagged below fall short beyond "
            "it.";
      } else {
        text +=
            std::string(e.low_everywhere ? ", and short alike in every class and segment" : "") +
            ": the calibration draw was low, not any part of the data. More calibration "
            "rows narrow that range; per-class or per-group calibration would not help.";
      }
      out.push_back(text);
    }
  } else if (e.coverage_high < e.target && e.by_law && e.covered >= e.expected_low) {
    // Each class or group follows its own calibration draw; the whole follows their sum.
    double nn = static_cast<double>(e.n);
    out.push_back("Coverage " + fixed(coverage) + " is below the target " + fixed(e.target) +
                  ", yet within what the calibration draws of the " +
                  (e.conditional == "class" ? "classes" : "groups") + " give together (" +
                  fixed(static_cast<double>(e.expected_low) / nn) + " to " +
                  fixed(static_cast<double>(e.expected_high) / nn) + " in " + level +
                  " of draws): more calibration rows per " + e.conditional + " narrow that range.");
  } else if (e.coverage_high < e.target) {
    out.push_back("Coverage " + fixed(coverage) + " is below the target " + fixed(e.target) +
                  ": its " + level + " interval ends at " + fixed(e.coverage_high) + "." +
                  (e.low_everywhere && !e.conditional.empty()
                       ? " It is short in every class, segment and group alike: each threshold "
                         "follows its own calibration draw, and more calibration rows per " +
                             e.conditional + " narrow their range."
                       : ""));
  }
  if (e.classes > 0 && e.share_full > 0.5) {
    out.push_back(percent(e.share_full) + " of the sets hold " +
                  (e.classes == 2 ? std::string("both classes")
                                  : "all " + std::to_string(e.classes) + " classes") +
                  ": the sets say little about single rows." + score_remedy(e));
  }
  std::string under = listing(e.flagged, true), over = listing(e.flagged, false),
              tied_over = listing(e.flagged, false, true);
  if (!under.empty()) {
    out.push_back("Under-covered beyond chance: " + under + ".");
    if (e.low_everywhere) {
      out.push_back(everywhere_remedy.substr(1) +
                    ": the calibration draw or a shift between calibration and test rows "
                    "is the cause; more calibration rows narrow the draw's range.");
    } else {
      std::string remedy = conditional_remedy(e);
      if (!remedy.empty()) out.push_back(remedy);
    }
  }
  if (!over.empty()) {
    out.push_back("Over-covered (wider than the target needs): " + over + ".");
  }
  if (!tied_over.empty()) {
    out.push_back("Wider than the target needs (coverage more than 0.05 above it): " + tied_over +
                  "." + ties(e));
  }
  bool whole_holds =
      e.whole_flag != "under-covered" && (e.n_calib >= 0 || e.coverage_high >= e.target);
  if (e.singleton_n > 0 && e.singleton_high < e.target && whole_holds) {
    out.push_back("Sets of one class cover " + fixed(e.singleton_coverage) +
                  " (n = " + std::to_string(e.singleton_n) + "), less than the target " +
                  fixed(e.target) + ": " + singleton_cause(e) +
                  // Below the target, "holds" would overstate what the rows show.
                  (coverage >= e.target
                       ? " Marginal coverage holds (" + fixed(coverage) + " over all rows)"
                       : " Over all rows coverage is " + fixed(coverage) +
                             ", which the report does not flag") +
                  "; set sizes carry no flag.");
  }
  if (e.share_fallback > 0 || !e.fallback_names.empty()) {
    bool one = e.fallback_names.size() == 1;
    std::string plural =
        e.conditional == "class" ? (one ? "class " : "classes ") : (one ? "group " : "groups ");
    out.push_back(percent(e.share_fallback) + " of the test rows had their set changed by the " +
                  "fallback: " +
                  (e.fallback_names.empty() ? std::string("their class or group")
                                            : "the " + plural + names(e.fallback_names)) +
                  " had too few calibration rows for a threshold of their own (see "
                  "fallback_groups_), and carry no test of their own.");
  }
  if (e.n_calib >= 0 && e.n_calib < kFewCalibration) {
    out.push_back("Only " + std::to_string(e.n_calib) +
                  " calibration rows: the coverage a calibration draw of this size gives "
                  "ranges from " +
                  fixed(e.calib_low) + " to " + fixed(e.calib_high) + " (" + level +
                  "); a few hundred rows or more make the level stable.");
  }
  bool any_flag = !e.whole_flag.empty() || std::any_of(e.flagged.begin(), e.flagged.end(),
                                                       [](const FlaggedRow& r) { return !r.tied; });
  if (!any_flag && (std::isnan(e.least_detectable) || e.least_detectable > kBlind)) {
    // The count the shortfall stands for, as least_detectable found it.
    int64_t sure = std::isnan(e.least_detectable)
                       ? 0
                       : std::llround((e.target - e.least_detectable) * static_cast<double>(e.n));
    std::string rows = std::to_string(e.n) + " test row" + (e.n == 1 ? "" : "s");
    if (e.n_calib >= 0 && e.n_calib < kFewCalibration) {
      rows = std::to_string(e.n_calib) + " calibration and " + rows;
    }
    std::string what = e.n_calib >= 0 && e.n_calib < kFewCalibration ? "rows" : "test rows";
    std::string where = e.detect_in.empty() ? ""
                        : e.detect_in == "row"
                            ? ", and only where a whole class or segment falls short by it"
                            : ", and only where a whole " + e.detect_in + " falls short by it";
    std::string count = e.detect_in.empty()
                            ? " (coverage " + fixed(e.target - e.least_detectable) + ": " +
                                  std::to_string(sure) + " or fewer rows covered)"
                            : "";
    out.push_back(std::isnan(e.least_detectable)
                      ? "Too few " + what + " to detect anything: with " + rows +
                            " not even coverage 0 is sure to be flagged at " + level + "."
                      : "Too few " + what + " to tell: with " + rows +
                            " a shortfall is sure to be flagged at " + level + " only from " +
                            fixed(e.least_detectable) + " on" + count + where +
                            "; a smaller one may go unseen.");
  }
  if (out.empty()) {
    out.push_back("All clear: coverage is within chance of the target and no row is flagged.");
  }
  return out;
}

}  // namespace report
}  // namespace trov
