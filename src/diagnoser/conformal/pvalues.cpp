// ConformalClassifier.predict_pvalues: each class's conformal p-value, by binary
// search over the sorted calibration scores calibrate kept.
#include <string>

#include "diagnoser/common/items.h"
#include "diagnoser/common/labels.h"
#include "diagnoser/common/python_ops.h"
#include "diagnoser/conformal/calibration.h"
#include "diagnoser/conformal/scoring.h"
#include "diagnoser/conformal/stored.h"

namespace trov {
namespace conformal {
namespace {

py::object pvalues_once(const Args& a) {
  const py::object& self = a.self();
  const py::object& x = a["new_x"];
  // Gather: the fitted state once, then the model, the groups and the draws.
  py::object partition = checked_partition(a["partition"]);
  const bool smoothed = truth(a["smoothed"]);
  Snapshot state(self);
  require_state(state, "threshold_", "calibrate");
  require_state(state, "classes_", "calibrate");
  Output output = wanted_output(state, x);
  refuse_weighted(state, "predict_pvalues");
  Rule r = rule_of(state);
  Conditional mode = checked_conditional(state.setting("conditional"), true);
  // A copy: the model's call may refill classes_ in place.
  py::array known = numpy().attr("array")(state.at("classes_"));
  if (known.ndim() != 1) tampered("classes_ is not one-dimensional");
  py::list names = known.attr("tolist")();
  const auto class_count = static_cast<int64_t>(names.size());
  // Which strata fall back at alpha_: under "marginal" they use every row's scores.
  GroupTable table;
  std::vector<char> falls;
  if (mode == Conditional::kGroup) {
    table = group_table(state);
    falls = table.falls_back;
  } else if (mode == Conditional::kClass) {
    py::list fallback_groups(state.at("fallback_groups_"));
    for (py::handle name : items_of(names)) falls.push_back(fallback_groups.contains(name));
  }
  const auto strata = static_cast<int64_t>(falls.size());
  SortedScores stored = stored_scores(state, strata);
  const bool full = full_fallback_of(state);
  py::array_t<double> proba = probabilities(state.at("model"), x, "prediction");
  const py::ssize_t rows = proba.shape(0), columns = proba.shape(1);
  if (columns != class_count) {
    throw py::value_error("predict_proba returned " + std::to_string(columns) +
                          " columns for the prediction part, but calibration saw " +
                          std::to_string(class_count) + " classes");
  }
  py::array_t<int64_t> code;
  if (mode == Conditional::kGroup) {
    py::object groups = resolve_groups(a["groups"], x, rows, "prediction");
    code = exclusive<int64_t>(label_positions(groups, table.known, numpy()));
  }
  // The score's draws as predict_sets takes them, and the smoothing's from a stream
  // of its own at the same counters: a U shared with the score would tie the
  // p-value to it, and it would no longer be uniform.
  StreamKey score_key{}, smooth_key{};
  uint64_t start = 0;
  if (r.randomized || smoothed) {
    Reserved reserved = partition.is_none() ? reserve_draws(self, static_cast<uint64_t>(rows),
                                                            state.get("threshold_"))
                                            : prediction_stream(state);
    if (r.randomized) score_key = stream_key(reserved.entropy, 1, partition);
    if (smoothed) smooth_key = stream_key(reserved.entropy, 2, partition);
    start = partition.is_none() ? reserved.start : 0;
  }
  py::array_t<double> out({rows, columns});
  proba = exclusive<double>(std::move(proba));
  // Compute: nothing read before a call into Python is trusted after it.
  const Probabilities p{proba.data(), static_cast<int64_t>(proba.shape(0)),
                        static_cast<int64_t>(proba.shape(1))};
  if (p.rows != rows || p.classes != class_count ||
      (mode == Conditional::kGroup && code.size() != rows)) {
    throw py::value_error("the prediction rows changed while read");
  }
  require_distributions(proba, "prediction");
  std::vector<double> u(static_cast<std::size_t>(r.randomized ? rows : 0));
  std::vector<double> smooth(static_cast<std::size_t>(smoothed ? rows : 0));
  r.rule.u = r.randomized ? u.data() : nullptr;
  {
    const int64_t* c = mode == Conditional::kGroup ? code.data() : nullptr;
    double* values = out.mutable_data();
    py::gil_scoped_release release;
    if (r.randomized) uniform_draws(score_key.word, start, rows, u.data());
    if (smoothed) {
      uniform_draws(smooth_key.word, start, rows, smooth.data());
      for (double& v : smooth) v = 1.0 - v;  // in (0, 1]
    }
    // An empty stratum past the others: unseen groups under "full" have no scores.
    const int64_t empty = strata + 1;
    stored.start.push_back(stored.start.back());
    auto own = [&](int64_t g) -> int64_t { return falls[g] && !full ? 0 : 1 + g; };
    std::vector<int64_t> per_row, per_column;
    StratumOf stratum;
    if (c != nullptr) {
      for (py::ssize_t i = 0; i < rows; ++i) {
        per_row.push_back(c[i] >= 0 && c[i] < strata ? own(c[i]) : full ? empty : 0);
      }
      stratum.per_row = per_row.data();
    } else if (mode == Conditional::kClass) {
      for (int64_t k = 0; k < class_count; ++k) per_column.push_back(own(k));
      stratum.per_column = per_column.data();
    }
    class_pvalues(p, r.rule, stored.view(), stratum, smoothed ? smooth.data() : nullptr, values);
  }
  return published(out, known, py::array_t<bool>(0), output, py::bool_(false));
}

}  // namespace

py::object predict_pvalues(const Args& a) {
  // A calibrate published while the state was read: read it again, the new one whole.
  for (int tries = 1;; ++tries) {
    try {
      return pvalues_once(a);
    } catch (const Recalibrated&) {
      if (tries == 10) {
        throw py::value_error(
            "the object was calibrated again during each of ten tries to read "
            "its state: call predict_pvalues when calibrate has returned");
      }
    }
  }
}

}  // namespace conformal
}  // namespace trov
