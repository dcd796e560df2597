#include "diagnoser/reliability/adaptive_conformal_classifier.h"

#include "diagnoser/common/method.h"
#include "diagnoser/common/names.h"
#include "diagnoser/common/pending.h"

namespace trov {
namespace {

py::object init(const Args& a) {
  a.self().attr("alpha") = a[1];
  return py::none();
}

py::object fit(const Args&) { not_implemented("AdaptiveConformalClassifier.fit"); }
py::object diagnose(const Args&) { not_implemented("AdaptiveConformalClassifier.diagnose"); }
py::object plot(const Args&) { not_implemented("AdaptiveConformalClassifier.plot"); }
py::object plot_single(const Args&) { not_implemented("AdaptiveConformalClassifier.plot_single"); }

}  // namespace

py::object create_adaptive_conformal_classifier() {
  return ClassBuilder("AdaptiveConformalClassifier")
      .method("__init__", {"self", "alpha"}, py::make_tuple(0.1), init)
      .method("fit",
              {"self", "model", "train_x", "train_y", "test_x", "test_y", "calib_x", "calib_y"},
              py::make_tuple(py::none(), py::none()), fit)
      .method("diagnose", {"self"}, diagnose)
      .method("plot", {"self", "figsize"}, py::make_tuple(default_figsize()), plot)
      .method("plot_single", {"self", "index", "figsize"}, py::make_tuple(default_figsize()),
              plot_single)
      .create();
}

}  // namespace trov
