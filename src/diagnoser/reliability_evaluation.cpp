// The module: its imports in order, its namespace and its four classes.
#include <pybind11/detail/exception_translation.h>
#include <pybind11/pybind11.h>

#include "diagnoser/common/method.h"
#include "diagnoser/common/names.h"
#include "diagnoser/reliability/adaptive_conformal_classifier.h"
#include "diagnoser/reliability/facade.h"
#include "diagnoser/reliability/residual_conformal_regressor.h"
#include "diagnoser/reliability/significance_check.h"

namespace py = pybind11;

namespace {

// Absolute import of `module` with the module namespace as globals.
py::object import(const char* module, py::handle globals, py::handle fromlist = py::none()) {
  PyObject* result = PyImport_ImportModuleLevel(module, globals.ptr(), nullptr, fromlist.ptr(), 0);
  if (result == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(result);
}

// `import module as alias`
void import_as(py::dict globals, const char* module, const char* alias) {
  globals[alias] = import(module, globals);
}

struct Imported {
  const char* name;
  const char* alias;
};

// `from module import name [as alias], ...`
void import_from(py::dict globals, const char* module, std::initializer_list<Imported> names) {
  py::list fromlist;
  for (const Imported& n : names) fromlist.append(n.name);
  py::object source = import(module, globals, fromlist);
  for (const Imported& n : names) {
    if (!py::hasattr(source, n.name)) {
      PyErr_Format(PyExc_ImportError, "cannot import name '%s' from '%s'", n.name, module);
      throw py::error_already_set();
    }
    globals[n.alias] = source.attr(n.name);
  }
}

void initialise(py::module_ module) {
  py::dict globals = module.attr("__dict__");
  trov::set_namespace(globals);
  trov::create_constants();
  trov::ready_method_type();

  import_as(globals, "numpy", "np");
  import_from(globals, "matplotlib", {{"pyplot", "plt"}});
  import_as(globals, "ipywidgets", "widgets");
  import_from(globals, "IPython.display", {{"display", "display"}});
  import_from(globals, "copy", {{"deepcopy", "deepcopy"}});
  import_from(globals, "sklearn.model_selection", {{"train_test_split", "train_test_split"}});
  import_as(globals, "pandas", "pd");
  import_from(globals, "lightgbm", {{"LGBMRegressor", "LGBMRegressor"}});
  import_from(globals, "sklearn.base",
              {{"is_regressor", "is_regressor"}, {"is_classifier", "is_classifier"}});
  import_as(globals, "seaborn", "sns");

  globals["Reliability"] = trov::create_reliability();
  globals["AdaptiveConformalClassifier"] = trov::create_adaptive_conformal_classifier();
  globals["ResidualConformalRegressor"] = trov::create_residual_conformal_regressor();
  globals["Reliability_without_uncertain"] = trov::create_significance_check();
}

PyModuleDef module_def = {PyModuleDef_HEAD_INIT,
                          "reliability_evaluation",
                          nullptr,
                          -1,
                          nullptr,
                          nullptr,
                          nullptr,
                          nullptr,
                          nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_reliability_evaluation() {
  PyObject* created = PyModule_Create(&module_def);
  if (created == nullptr) return nullptr;
  py::module_ module = py::reinterpret_steal<py::module_>(created);
  try {
    initialise(module);
  } catch (py::error_already_set& e) {
    e.restore();
  } catch (...) {
    py::detail::try_translate_exceptions();
  }
  if (PyErr_Occurred()) {
    // Nothing of a failed import stays reachable; the next attempt starts afresh.
    trov::set_namespace(py::handle());
    return nullptr;
  }
  return module.release().ptr();
}
