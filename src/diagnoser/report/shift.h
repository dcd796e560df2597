// The report's shift section: whether the guarantee carries over to new rows, read
// from a density ratio between the rows the report knows and the new ones.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

namespace trov {
namespace py = pybind11;
namespace report {

// A density ratio the section can read: it has auc_ and pvalue_.
bool is_density_ratio(const py::object& value);

// `DensityRatio(random_state=0).fit(source_x, new_x)`, the class looked up in
// trov.diagnoser.conformal when called.
py::object fit_density_ratio(const py::object& source_x, const py::object& new_x);

// What the section says and where it puts it.
struct ShiftContext {
  std::string what;       // the ratio's name in messages: "shift", "shift_"
  std::string source;     // the rows compared with the new ones: "calibration", "test"
  std::string estimator;  // the class a remedy names
  double confidence;
};

// Adds the summary's shift_* keys, the table "shift features" and the finding.
void add_shift_section(const py::object& ratio, const ShiftContext& context, py::dict summary,
                       py::dict tables, py::list findings);

}  // namespace report
}  // namespace trov
