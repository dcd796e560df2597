#include "diagnoser/reliability/residual_conformal_regressor.h"

#include "diagnoser/common/method.h"
#include "diagnoser/common/names.h"
#include "diagnoser/common/pending.h"

namespace trov {
namespace {

py::object init(const Args&) { not_implemented("ResidualConformalRegressor.__init__"); }
py::object fit(const Args&) { not_implemented("ResidualConformalRegressor.fit"); }
py::object diagnose(const Args&) { not_implemented("ResidualConformalRegressor.diagnose"); }
py::object plot(const Args&) { not_implemented("ResidualConformalRegressor.plot"); }
py::object plot_feature(const Args&) { not_implemented("ResidualConformalRegressor.plot_feature"); }

}  // namespace

py::object create_residual_conformal_regressor() {
  return ClassBuilder("ResidualConformalRegressor")
      .method("__init__", {"self", "alpha", "depth", "rand", "feature_names"},
              py::make_tuple(0.05, 7, 0, py::list()), init)
      .method("fit",
              {"self", "model", "train_x", "train_y", "test_x", "test_y", "calib_x", "calib_y"},
              py::make_tuple(py::none(), py::none()), fit)
      .method("diagnose", {"self"}, diagnose)
      .method("plot", {"self", "figsize"}, py::make_tuple(default_figsize()), plot)
      .method("plot_feature", {"self", "feature_name", "bins", "figsize"},
              py::make_tuple(10, default_figsize()), plot_feature)
      .create();
}

}  // namespace trov
