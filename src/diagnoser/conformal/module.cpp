// The companion module `trov.diagnoser.conformal`: calibrated prediction sets and
// intervals for new rows, and density ratios for rows whose features shifted.
#include <pybind11/pybind11.h>

#include "diagnoser/common/compat.h"
#include "diagnoser/common/imports.h"
#include "diagnoser/common/method.h"
#include "diagnoser/common/module_def.h"
#include "diagnoser/common/names.h"
#include "diagnoser/conformal/classes.h"

namespace py = pybind11;

namespace trov {
namespace conformal {
namespace {

void initialise(py::module_ module) {
  ready_method_type();
  ModuleContext context{module.attr("__dict__"), py::str(module.attr("__name__")),
                        py::make_tuple(8, 6)};
  py::dict globals = context.globals;
  import_as(globals, "numpy", "np");
  import_as(globals, "warnings", "warnings");
  import_from(globals, "lightgbm", {{"LGBMRegressor", "LGBMRegressor"}});
  import_from(globals, "sklearn.ensemble",
              {{"HistGradientBoostingClassifier", "HistGradientBoostingClassifier"}});
  import_from(globals, "sklearn.exceptions", {{"NotFittedError", "NotFittedError"}});
  import_from(globals, "sklearn.base", {{"clone", "clone"}});

  globals["ConformalClassifier"] = create_conformal_classifier(context);
  globals["ConformalRegressor"] = create_conformal_regressor(context);
  globals["CrossConformalClassifier"] = create_cross_conformal_classifier(context);
  globals["CrossConformalRegressor"] = create_cross_conformal_regressor(context);
  globals["DensityRatio"] = create_density_ratio(context);
  globals["OnlineConformalRegressor"] = create_online_regressor(context);
  globals["OnlineConformalClassifier"] = create_online_classifier(context);
  globals["ExchangeabilityMartingale"] = create_exchangeability_martingale(context);
}

PyModuleDef module_def = {PyModuleDef_HEAD_INIT,      "conformal", nullptr, 0,      nullptr,
                          module_slots<initialise>(), nullptr,     nullptr, nullptr};

}  // namespace
}  // namespace conformal
}  // namespace trov

TROV_MODULE_INIT PyInit_conformal() { return PyModuleDef_Init(&trov::conformal::module_def); }
