#include "diagnoser/conformal/estimator.h"

#include <string>

#include "diagnoser/common/items.h"
#include "diagnoser/common/python_ops.h"
#include "diagnoser/conformal/calibration.h"

namespace trov {
namespace conformal {
namespace {

using py::literals::operator""_a;

std::string repr_of(const py::handle& value) { return py::repr(value).cast<std::string>(); }

std::string class_name(const py::object& self) {
  return py::str(py::type::of(self).attr("__qualname__")).cast<std::string>();
}

bool is_parameter(const std::vector<const char*>& names, const std::string& name) {
  for (const char* known : names) {
    if (name == known) return true;
  }
  return false;
}

// Where set_output keeps its choice: scikit-learn's own attribute, which clone copies.
constexpr const char* kOutputConfig = "_sklearn_output_config";

std::string text_of_transform(const py::object& transform) {
  if (py::isinstance<py::str>(transform)) return transform.cast<std::string>();
  return std::string();
}

}  // namespace

void store_parameters(const Args& a, const std::vector<const char*>& names) {
  const py::object& self = a.self();
  for (const char* name : names) self.attr(name) = a[name];
}

py::dict parameters_of(const py::object& self, const std::vector<const char*>& names, bool deep) {
  py::dict out;
  for (const char* name : names) {
    py::object value = self.attr(name);
    if (deep && !py::isinstance<py::type>(value)) {
      py::object nested = attr_if_present(value, "get_params");
      if (nested) {
        py::dict items(nested());  // the model's own dict, maybe
        for (py::handle pair : pairs_of(items)) {
          py::handle key = PyTuple_GET_ITEM(pair.ptr(), 0);
          py::handle value = PyTuple_GET_ITEM(pair.ptr(), 1);
          out[py::str(std::string(name) + "__" + str_of(key).cast<std::string>())] = value;
        }
      }
    }
    out[name] = value;
  }
  return out;
}

py::object set_parameters(const py::object& self, const std::vector<const char*>& names,
                          const py::dict& params) {
  // Checked first, so that a bad name leaves the object as it was.
  py::list keys(params);
  std::string valid;
  for (const char* name : names) valid += std::string(valid.empty() ? "" : ", ") + name;
  for (py::handle key : items_of(keys)) {
    std::string text = py::str(key).cast<std::string>();
    std::string head = text.substr(0, text.find("__"));
    if (!is_parameter(names, head)) {
      throw py::value_error("invalid parameter " + repr_of(key) + " for " + class_name(self) +
                            ": the valid parameters are " + valid +
                            ", and name__param for the parameters of a value that has "
                            "set_params (the model's, say)");
    }
  }
  py::dict nested;
  for (py::handle key : items_of(keys)) {
    std::string text = py::str(key).cast<std::string>();
    std::size_t split = text.find("__");
    if (split == std::string::npos) {
      self.attr(key) = params[key];
      continue;
    }
    py::str head(text.substr(0, split));
    if (!nested.contains(head)) nested[head] = py::dict();
    nested[head][py::str(text.substr(split + 2))] = params[key];
  }
  for (py::handle pair : pairs_of(nested)) {
    py::handle head = PyTuple_GET_ITEM(pair.ptr(), 0);
    py::object value = self.attr(head);
    py::object setter = attr_if_present(value, "set_params");
    if (!setter || py::isinstance<py::type>(value)) {
      throw py::value_error("cannot set " + py::str(head).cast<std::string>() +
                            "__...: " + class_name(self) + "." + py::str(head).cast<std::string>() +
                            " is " + repr_of(value) +
                            ", which has no set_params; set the parameter itself instead");
    }
    setter(**py::reinterpret_borrow<py::dict>(PyTuple_GET_ITEM(pair.ptr(), 1)));
  }
  return self;
}

py::str parameters_repr(const py::object& self, const Parameters& parameters, const char* always) {
  const std::vector<const char*>& names = parameters.names;
  const std::size_t first_default = names.size() - parameters.defaults.size();
  std::string shown;
  for (std::size_t i = 0; i < names.size(); ++i) {
    py::object value = attr_if_present(self, names[i]);
    if (!value) continue;  // not yet set, as inside a failed __init__
    std::string text = repr_of(value);
    bool keep = std::string(names[i]) == always || i < first_default ||
                text != repr_of(parameters.defaults[i - first_default]);
    if (keep) shown += std::string(shown.empty() ? "" : ", ") + names[i] + "=" + text;
  }
  return py::str(class_name(self) + "(" + shown + ")");
}

py::object set_output(const py::object& self, const py::object& transform) {
  if (transform.is_none()) return self;
  std::string text = text_of_transform(transform);
  if (text != "pandas" && text != "default") {
    throw py::value_error("transform must be 'pandas', 'default' or None (unchanged), got " +
                          repr_of(transform) + "; " + class_name(self) +
                          " returns numpy arrays or pandas data frames");
  }
  py::object config = attr_if_present(self, kOutputConfig);
  // A fresh dict, so that no other object sharing the old one changes with it.
  py::dict updated;
  if (config && PyDict_Check(config.ptr())) {
    PyObject* copy = PyDict_Copy(config.ptr());
    if (copy == nullptr) throw py::error_already_set();
    updated = py::reinterpret_steal<py::dict>(copy);
  }
  updated["transform"] = py::str(text);
  self.attr(kOutputConfig) = updated;
  return self;
}

Output wanted_output(const Snapshot& state, const py::object& x) {
  py::object chosen;
  py::object config = state.get(kOutputConfig);
  if (config && PyDict_Check(config.ptr())) {
    PyObject* found = PyDict_GetItemString(config.ptr(), "transform");
    if (found != nullptr && found != Py_None) chosen = py::reinterpret_borrow<py::object>(found);
  }
  bool own = static_cast<bool>(chosen);
  if (!own) {
    // scikit-learn before 1.2 has no transform_output: its output is numpy's.
    py::object global = py::module_::import("sklearn").attr("get_config")();
    PyObject* found = PyDict_Check(global.ptr())
                          ? PyDict_GetItemString(global.ptr(), "transform_output")
                          : nullptr;
    chosen = found != nullptr ? py::reinterpret_borrow<py::object>(found) : py::str("default");
  }
  std::string text = text_of_transform(chosen);
  Output out;
  out.index = py::none();
  if (text == "default") return out;
  if (text != "pandas") {
    throw py::value_error(
        std::string(own ? "the object's set_output transform" : "scikit-learn's transform_output") +
        " is " + repr_of(chosen) + ", but " + class_name(state.self()) +
        " returns numpy arrays or pandas data frames only: call set_output(transform='pandas') "
        "or set_output(transform='default') on it");
  }
  out.pandas = true;
  py::module_ pd = py::module_::import("pandas");
  if (py::isinstance(x, pd.attr("DataFrame"))) out.index = x.attr("index");
  return out;
}

py::object published(const py::array& values, const py::object& columns,
                     const py::array_t<bool>& fallback, const Output& output,
                     const py::object& return_fallback) {
  if (!output.pandas) return with_fallback(values, fallback, return_fallback);
  py::module_ pd = py::module_::import("pandas");
  const py::ssize_t rows = values.shape(0);
  py::object index = output.index;
  if (index.is_none()) {
    index = pd.attr("RangeIndex")(rows);
  } else if (py::len(index) != static_cast<std::size_t>(rows)) {
    throw py::value_error("x has " + std::to_string(py::len(index)) +
                          " index labels but the model predicted " + std::to_string(rows) +
                          " rows: the result cannot keep x's index; give the model rows it "
                          "predicts one value for each");
  }
  py::object frame = pd.attr("DataFrame")(values, "index"_a = index, "columns"_a = columns);
  if (!truth(return_fallback)) return frame;
  py::object mask = pd.attr("Series")(fallback, "index"_a = index, "name"_a = "fallback");
  return py::make_tuple(frame, mask);
}

}  // namespace conformal
}  // namespace trov
