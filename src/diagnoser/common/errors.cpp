#include "diagnoser/common/errors.h"

#include "diagnoser/common/python_ops.h"

namespace trov {

void add_note(const py::handle& exc, const std::string& note) {
  py::str text(note);
  if (py::object add = attr_if_present(exc, "add_note")) {
    add(text);
    return;
  }
  py::object notes = attr_if_present(exc, "__notes__");
  if (!notes) {
    notes = py::list();
    exc.attr("__notes__") = notes;
  }
  notes.attr("append")(text);
}

void empty_test_part(const std::string& what) {
  throw py::value_error("the test part is empty: " + what);
}

std::string text_of(const py::handle& value) { return py::str(value).cast<std::string>(); }

}  // namespace trov
