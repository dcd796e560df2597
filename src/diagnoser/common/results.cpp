#include "diagnoser/common/results.h"

#include "diagnoser/common/names.h"

namespace trov {
namespace {

void display_html(const py::object& text) { ns("display")(ns("widgets").attr("HTML")(text)); }

py::str rounded(const py::object& value) { return py::str(ns("np").attr("round")(value, 6)); }

}  // namespace

void display_results_header() { display_html(py::str("<b>Results:</b>")); }

void display_coverage(const py::object& coverage) {
  display_html(py::str("Empirical Coverage: {}").format(rounded(coverage)));
}

void display_bandwidth(const py::object& bandwidth) {
  display_html(py::str("Average Bandwidth: {}").format(rounded(bandwidth)));
}

}  // namespace trov
