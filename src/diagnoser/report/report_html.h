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

// A DataFrame as an HTML table, flagged rows tinted.
std::string table_html(const py::object& frame);
// The inline CSS every block of the report's HTML carries.
const char* style();
// Writes `document` to the file at `path` (anything `open` takes), as UTF-8.
void write_text(const py::object& path, const std::string& document);
// `text` with HTML's special characters escaped.
std::string escape(const std::string& text);

}  // namespace report
}  // namespace trov
