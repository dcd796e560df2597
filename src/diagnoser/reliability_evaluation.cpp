// The module: its imports in order, its namespace and its four classes.
#include <pybind11/detail/exception_translation.h>
#include <pybind11/pybind11.h>

#include "diagnoser/common/compat.h"
#include "diagnoser/common/imports.h"
#include "diagnoser/common/method.h"
#include "diagnoser/common/names.h"
#include "diagnoser/reliability/adaptive_conformal_classifier.h"
#include "diagnoser/reliability/facade.h"
#include "diagnoser/reliability/residual_conformal_regressor.h"
#include "diagnoser/reliability/significance_check.h"

namespace py = pybind11;

namespace {

void initialise(py::module_ module) {
  trov::ready_method_type();
  trov::ModuleContext context{module.attr("__dict__"), py::str(module.attr("__name__")),
                              py::make_tuple(8, 6)};
  py::dict globals = context.globals;

  trov::import_as(globals, "numpy", "np");
  trov::import_from(globals, "matplotlib", {{"pyplot", "plt"}});
  trov::import_as(globals, "ipywidgets", "widgets");
  trov::import_from(globals, "IPython.display", {{"display", "display"}});
  trov::import_from(globals, "copy", {{"deepcopy", "deepcopy"}});
  trov::import_from(globals, "sklearn.model_selection", {{"train_test_split", "train_test_split"}});
  trov::import_as(globals, "pandas", "pd");
  trov::import_from(globals, "lightgbm", {{"LGBMRegressor", "LGBMRegressor"}});
  trov::import_from(globals, "sklearn.base",
                    {{"is_regressor", "is_regressor"}, {"is_classifier", "is_classifier"}});
  trov::import_as(globals, "seaborn", "sns");

  globals["Reliability"] = trov::create_reliability(context);
  globals["AdaptiveConformalClassifier"] = trov::create_adaptive_conformal_classifier(context);
  globals["ResidualConformalRegressor"] = trov::create_residual_conformal_regressor(context);
  globals["Reliability_without_uncertain"] = trov::create_significance_check(context);
}

// Each import runs this on a new module object: its namespace and classes are its own.
// On failure the import system drops the module, so nothing of it stays reachable.
int exec_module(PyObject* created) {
  // Checked before pybind11 is touched: its GIL handling assumes the main interpreter.
  if (!trov::in_main_interpreter()) {
    PyErr_SetString(PyExc_ImportError,
                    "trov.diagnoser.reliability_evaluation does not support sub-interpreters; "
                    "import it in the main interpreter");
    return -1;
  }
  try {
    initialise(py::reinterpret_borrow<py::module_>(created));
    return 0;
  } catch (py::error_already_set& e) {
    e.restore();
  } catch (...) {
    py::detail::try_translate_exceptions();
  }
  return -1;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
#if PY_VERSION_HEX >= 0x030C0000
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT,
                          "reliability_evaluation",
                          nullptr,
                          0,
                          nullptr,
                          module_slots,
                          nullptr,
                          nullptr,
                          nullptr};

}  // namespace

TROV_MODULE_INIT PyInit_reliability_evaluation() { return PyModuleDef_Init(&module_def); }
