#include "diagnoser/common/figures.h"

#include "diagnoser/common/names.h"

namespace trov {

py::object new_figure(const py::object& figsize) {
  return ns("plt").attr("figure")(py::arg("figsize") = figsize);
}

py::object flat_figure(const py::object& figsize) {
  py::object width = figsize[py::int_(0)];
  return ns("plt").attr("figure")(py::arg("figsize") = py::make_tuple(width, 2));
}

void title(const py::object& text) { ns("plt").attr("title")(text, py::arg("fontsize") = 15); }

void xlabel(const py::object& text) { ns("plt").attr("xlabel")(text, py::arg("fontsize") = 12); }

void ylabel(const py::object& text) { ns("plt").attr("ylabel")(text, py::arg("fontsize") = 12); }

void finish_figure() {
  ns("plt").attr("tight_layout")();
  ns("plt").attr("show")();
}

}  // namespace trov
