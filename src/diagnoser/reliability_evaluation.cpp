// The module: its imports in order, its namespace and its four classes.
#include <pybind11/pybind11.h>

#include "diagnoser/common/compat.h"
#include "diagnoser/common/imports.h"
#include "diagnoser/common/method.h"
#include "diagnoser/common/module_def.h"
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

PyModuleDef module_def = {PyModuleDef_HEAD_INIT,
                          "reliability_evaluation",
                          nullptr,
                          0,
                          nullptr,
                          trov::module_slots<initialise>(),
                          nullptr,
                          nullptr,
                          nullptr};

}  // namespace

TROV_MODULE_INIT PyInit_reliability_evaluation() { return PyModuleDef_Init(&module_def); }
