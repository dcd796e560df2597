// ExchangeabilityMartingale: a conformal test martingale over online p-values, whose
// alarm is wrong with probability at most delta at any stopping time.
#include <pybind11/numpy.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "diagnoser/common/method.h"
#include "diagnoser/common/python_ops.h"
#include "diagnoser/conformal/calibration.h"
#include "diagnoser/conformal/classes.h"
#include "diagnoser/conformal/docstrings.h"
#include "diagnoser/conformal/estimator.h"
#include "diagnoser/conformal/fitting.h"
#include "diagnoser/conformal/online_docstrings.h"
#include "diagnoser/conformal/online_kernels.h"

namespace trov {
namespace conformal {
namespace {

constexpr const char* kState = "_martingale_state";
constexpr const char* kSettings = "_martingale_settings";

Parameters parameters() { return {{"betting", "bandwidth"}, py::make_tuple("mixture", 0.1)}; }

struct Bet {
  Betting betting;
  double bandwidth;
  py::object saved;
};

Bet bet_of(const py::object& betting, const py::object& bandwidth) {
  Bet b;
  b.betting = checked_choice(betting, "betting", {"mixture", "plugin"}) == "mixture"
                  ? Betting::kMixture
                  : Betting::kPlugin;
  if (PyBool_Check(bandwidth.ptr()) || !PyNumber_Check(bandwidth.ptr()) ||
      PyUnicode_Check(bandwidth.ptr())) {
    throw py::type_error("bandwidth must be a number in (0, 1], got " + repr_of(bandwidth));
  }
  b.bandwidth = py::float_(bandwidth);
  if (!(b.bandwidth > 0 && b.bandwidth <= 1)) {
    throw py::value_error("bandwidth must lie in (0, 1], got " + repr_of(bandwidth));
  }
  b.saved = py::make_tuple(betting, bandwidth);
  return b;
}

// A count of the carried state: an int >= 0 and below 2**63 - 1.
int64_t carried_steps(const py::handle& value) {
  if (PyBool_Check(value.ptr()) || !PyIndex_Check(value.ptr())) {
    tampered(std::string(kState) + " holds " + repr_of(value) + " for its steps");
  }
  int64_t n = saturated(value);
  if (n < 0 || n == INT64_MAX) tampered(std::string(kState) + " holds the steps " + repr_of(value));
  return n;
}

// The state the martingale carries, refused unless a run of it can have left it:
// its arrays one entry per p-value seen, log values finite and, for the plug-in, a
// histogram of kernels that each weigh 1. A histogram of another mass would bet
// more than the density, and the alarm would lose Ville's bound.
MartingaleState carried_state(const Snapshot& state, Betting betting) {
  MartingaleState m;
  py::object carried = state.get(kState);
  if (!carried || carried.is_none()) return m;
  std::vector<py::object> c = unpack(carried, 4);
  m.steps = carried_steps(c[0]);
  m.log_value = py::float_(c[1]);
  m.log_sum = py::float_(c[2]);
  auto h = py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(c[3]);
  if (!h) PyErr_Clear();
  if (!h || !std::isfinite(m.log_value) || !std::isfinite(m.log_sum) || m.log_sum > 0) {
    tampered(std::string(kState) + " is not a state a martingale can reach");
  }
  m.histogram.assign(h.data(), h.data() + h.size());
  for (const char* name : {"pvalues_", "log_martingale_"}) {
    py::object seen = state.get(name);
    Py_ssize_t length = seen ? PyObject_Length(seen.ptr()) : -1;
    if (length < 0) PyErr_Clear();
    if (length != m.steps) {
      tampered(std::string(name) + " does not hold one entry per p-value of " + kState);
    }
  }
  if (betting == Betting::kPlugin) {
    if (h.size() != kPluginBins) {
      tampered(std::string(kState) + " holds a histogram of the wrong size");
    }
    double mass = 0;
    bool positive = true;
    for (double v : m.histogram) {
      positive = positive && std::isfinite(v) && (m.steps == 0 ? v == 0 : v > 0);
      mass += v;
    }
    const double steps = static_cast<double>(m.steps);
    if (!positive || !(std::abs(mass - steps) <= 1e-6 * std::max(1.0, steps))) {
      tampered(std::string(kState) + " holds a histogram no run of p-values leaves");
    }
  }
  return m;
}

// The p-values the call adds: from an online object, those it has not seen yet.
py::array_t<double> new_pvalues(const py::object& source, int64_t seen) {
  py::object values = source;
  const bool online = !py::isinstance<py::array>(source) && py::hasattr(source, "pvalues_");
  if (online) {
    py::array all = numpy().attr("asarray")(source.attr("pvalues_"));
    if (all.ndim() != 1) throw py::value_error("the source's pvalues_ is not one-dimensional");
    if (all.shape(0) < seen) {
      throw py::value_error("the source has " + std::to_string(all.shape(0)) +
                            " p-values, fewer than the " + std::to_string(seen) +
                            " this martingale has seen: it was recalibrated or is another stream; "
                            "start a new martingale for it");
    }
    values = all[py::slice(static_cast<py::ssize_t>(seen), all.shape(0), 1)];
  }
  py::array_t<double> p = exclusive<double>(
      numbers(flat_array(values), 1, "the p-values have", "values", "martingale"));
  const double* v = p.data();
  for (py::ssize_t i = 0; i < p.size(); ++i) {
    if (!(v[i] > 0 && v[i] <= 1)) {
      throw py::value_error("p-value " + std::to_string(i) + " is " + repr_of(py::float_(v[i])) +
                            ": online p-values lie in (0, 1] (a smoothed p-value is never 0)");
    }
  }
  return p;
}

py::object update(const Args& a) {
  const py::object& self = a.self();
  Snapshot state(self);
  py::object saved = state.get(kSettings);
  Bet bet = saved && !saved.is_none() ? [&] {
    std::vector<py::object> pair = unpack(saved, 2);
    return bet_of(pair[0], pair[1]);
  }()
                                      : bet_of(state.at("betting"), state.at("bandwidth"));
  py::object carried = state.get(kState);
  MartingaleState m = carried_state(state, bet.betting);
  py::array_t<double> p = new_pvalues(a["source"], m.steps);
  const auto rows = static_cast<int64_t>(p.size());
  py::array_t<double> log_out(rows);
  {
    const double* v = p.data();
    double* out = log_out.mutable_data();
    py::gil_scoped_release release;
    run_martingale(bet.betting, bet.bandwidth, m, v, rows, out);
  }
  auto appended = [&state](const char* name, const py::object& added) -> py::object {
    py::object old = state.get(name);
    if (!old || old.is_none()) return added;
    return numpy().attr("concatenate")(py::make_tuple(old, added));
  };
  py::array_t<double> histogram(static_cast<py::ssize_t>(m.histogram.size()));
  std::copy(m.histogram.begin(), m.histogram.end(), histogram.mutable_data());
  Items items{{kSettings, bet.saved},
              {"pvalues_", appended("pvalues_", p)},
              {"log_martingale_", appended("log_martingale_", log_out)},
              {"n_", py::int_(m.steps)},
              {kState, py::make_tuple(m.steps, m.log_value, m.log_sum, histogram)}};
  // One martingale, one writer: an update that ran meanwhile (another thread, or a
  // source's pvalues_ feeding this martingale) would be lost, and n_ would no longer
  // count pvalues_.
  py::object now = attr_if_present(self, kState);
  bool same = carried ? (now && now.is(carried)) : (!now || now.is_none());
  if (!same) {
    throw py::value_error(
        "another call moved this martingale while this one ran: feed one martingale from one "
        "thread at a time");
  }
  publish(self, items);
  return self;
}

py::object alarm(const Args& a) {
  const py::object& delta = a["delta"];
  if (PyBool_Check(delta.ptr()) || !PyNumber_Check(delta.ptr()) || PyUnicode_Check(delta.ptr())) {
    throw py::type_error("delta must be a number in (0, 1), got " + repr_of(delta));
  }
  double d = py::float_(delta);
  if (!(d > 0 && d < 1)) {
    throw py::value_error("delta must lie strictly between 0 and 1, got " + repr_of(delta));
  }
  py::object logs = attr_if_present(a.self(), "log_martingale_");
  if (!logs) throw py::value_error("the martingale has seen no p-values: call update first");
  py::array_t<double> l =
      exclusive<double>(numbers(flat_array(logs), 1, "log_martingale_ has", "values", "alarm"));
  // Ville's inequality: P(sup_t M_t >= 1 / delta) <= delta for a test martingale.
  const double level = -std::log(d);
  const double* v = l.data();
  for (py::ssize_t i = 0; i < l.size(); ++i) {
    if (v[i] >= level) return py::int_(i);
  }
  return py::none();
}

using Protocol = Estimator<parameters>;

py::object repr(const Args& a) { return parameters_repr(a.self(), parameters(), ""); }

}  // namespace

py::object create_exchangeability_martingale(const ModuleContext& module) {
  Parameters spec = parameters();
  return ClassBuilder(module, "ExchangeabilityMartingale", kMartingaleDoc)
      .method("__init__", {"self", "betting", "bandwidth"}, spec.defaults, Protocol::init, kInitDoc)
      .method("update", {"self", "source"}, update, kMartingaleUpdateDoc)
      .method("alarm", {"self", "delta"}, py::make_tuple(0.01), alarm, kAlarmDoc)
      .method("get_params", {"self", "deep"}, py::make_tuple(true), Protocol::get_params,
              kGetParamsDoc)
      .method("set_params", {"self", "**params"}, Protocol::set_params, kSetParamsDoc)
      .method("__repr__", {"self"}, repr)
      .create();
}

}  // namespace conformal
}  // namespace trov
