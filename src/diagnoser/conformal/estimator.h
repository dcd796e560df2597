// What scikit-learn expects of an estimator: parameters that are exactly those
// of __init__ (get_params, set_params, so that sklearn.base.clone works), a repr
// of the changed ones, and set_output with pandas results.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <vector>

#include "diagnoser/common/method.h"
#include "diagnoser/common/python_ops.h"
#include "diagnoser/conformal/docstrings.h"
#include "diagnoser/conformal/state.h"

namespace trov {
namespace py = pybind11;
namespace conformal {

// The __init__ parameters of one class after self, in order; `defaults` belong to
// the trailing ones, as in the signature.
struct Parameters {
  std::vector<const char*> names;
  py::tuple defaults;
};

// __init__: every parameter stored as given, as scikit-learn requires (clone
// checks that get_params returns the very objects passed).
void store_parameters(const Args& a, const std::vector<const char*>& names);

// get_params(deep): {name: value}; with `deep`, a value that has get_params (and
// is no class) adds its own as "name__param", before "name", as BaseEstimator does.
py::dict parameters_of(const py::object& self, const std::vector<const char*>& names, bool deep);

// set_params(**params): every name checked before any is set (ValueError naming the
// valid ones); "name__param" goes to that value's set_params. Returns self.
py::object set_parameters(const py::object& self, const std::vector<const char*>& names,
                          const py::dict& params);

// "Class(model=..., alpha=0.2)": `always` first, then the parameters whose repr
// differs from their default's.
py::str parameters_repr(const py::object& self, const Parameters& parameters, const char* always);

// set_output(transform): "pandas", "default" or None (unchanged). Returns self.
py::object set_output(const py::object& self, const py::object& transform);

// The container a prediction call returns, read in its gather step: the object's
// own setting, else scikit-learn's transform_output as it stands at the call.
struct Output {
  bool pandas = false;
  py::object index;  // x's index when x is a DataFrame, else None (a RangeIndex)
};
Output wanted_output(const Snapshot& state, const py::object& x);

// The published result of a prediction call: `values` (rows, columns) and, when
// asked for, the fallback mask; as numpy arrays, or a DataFrame with `columns` and
// a boolean Series named "fallback" on the same index.
py::object published(const py::array& values, const py::object& columns,
                     const py::array_t<bool>& fallback, const Output& output,
                     const py::object& return_fallback);

// The bodies of __init__ and of the protocol's methods for a class whose
// parameters `spec` gives (made on each call: no Python object outlives the module).
template <Parameters (*spec)()>
struct Estimator {
  static py::object init(const Args& a) {
    store_parameters(a, spec().names);
    return py::none();
  }
  static py::object get_params(const Args& a) {
    return parameters_of(a.self(), spec().names, truth(a["deep"]));
  }
  static py::object set_params(const Args& a) {
    return set_parameters(a.self(), spec().names, py::reinterpret_borrow<py::dict>(a["params"]));
  }
  static py::object set_output(const Args& a) {
    return conformal::set_output(a.self(), a["transform"]);
  }
  static py::object repr(const Args& a) { return parameters_repr(a.self(), spec(), "model"); }

  // get_params, set_params, set_output and __repr__, with their docstrings.
  static ClassBuilder& add_methods(ClassBuilder& builder);
};

template <Parameters (*spec)()>
ClassBuilder& Estimator<spec>::add_methods(ClassBuilder& builder) {
  return builder
      .method("get_params", {"self", "deep"}, py::make_tuple(true), get_params, kGetParamsDoc)
      .method("set_params", {"self", "**params"}, set_params, kSetParamsDoc)
      .method("set_output", {"self", "transform"}, py::make_tuple(py::none()), set_output,
              kSetOutputDoc)
      .method("__repr__", {"self"}, repr);
}

}  // namespace conformal
}  // namespace trov
