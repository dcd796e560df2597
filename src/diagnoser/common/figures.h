// Figure conventions shared by the plots: sizes, font sizes, finishing.
#pragma once

#include <pybind11/pybind11.h>

namespace trov {
namespace py = pybind11;

// plt.figure(figsize=figsize)
py::object new_figure(const py::object& figsize);
// plt.figure(figsize=(figsize[0], 2)): the flat strip under a main figure.
py::object flat_figure(const py::object& figsize);
// plt.title(text, fontsize=15)
void title(const py::object& text);
// plt.xlabel / plt.ylabel with fontsize=12
void xlabel(const py::object& text);
void ylabel(const py::object& text);
// plt.tight_layout(), then plt.show()
void finish_figure();

}  // namespace trov
