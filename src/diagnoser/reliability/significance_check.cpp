#include "diagnoser/reliability/significance_check.h"

#include "diagnoser/common/method.h"
#include "diagnoser/common/names.h"
#include "diagnoser/common/pending.h"

namespace trov {
namespace {

py::object init(const Args&) { not_implemented("Reliability_without_uncertain.__init__"); }
py::object fit(const Args&) { not_implemented("Reliability_without_uncertain.fit"); }
py::object plot(const Args&) { not_implemented("Reliability_without_uncertain.plot"); }

}  // namespace

py::object create_significance_check() {
  return ClassBuilder("Reliability_without_uncertain")
      .method("__init__", {"self", "estimator", "significance_level"}, py::make_tuple(0.95), init)
      .method("fit", {"self", "test_x", "test_y"}, fit)
      .method("plot", {"self"}, plot)
      .create();
}

}  // namespace trov
