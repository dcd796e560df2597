// The report as HTML: inline CSS and figures as base64 PNG, no script, nothing
// fetched from a network.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

namespace trov {
namespace py = pybind11;
namespace report {

// The report's block, as a notebook shows it.
std::string html_fragment(const py::object& report);
// A whole page holding that block.
std::string html_document(const py::object& report);

}  // namespace report
}  // namespace trov
