#include "diagnoser/reliability/facade.h"

#include "diagnoser/common/method.h"
#include "diagnoser/common/names.h"
#include "diagnoser/common/pending.h"

namespace trov {
namespace {

py::object init(const Args&) { not_implemented("Reliability.__init__"); }
py::object fit(const Args&) { not_implemented("Reliability.fit"); }
py::object show(const Args&) { not_implemented("Reliability.show"); }
py::object diagnose(const Args&) { not_implemented("Reliability.diagnose"); }

}  // namespace

py::object create_reliability() {
  return ClassBuilder("Reliability")
      .method("__init__", {"self", "estimator", "alpha", "depth", "feature_names"},
              py::make_tuple(0.1, 7, py::list()), init)
      .method("fit", {"self", "train_x", "train_y", "test_x", "test_y", "calib_x", "calib_y"},
              py::make_tuple(py::none(), py::none()), fit)
      .method("show", {"self"}, show)
      .method("diagnose", {"self"}, diagnose)
      .create();
}

}  // namespace trov
