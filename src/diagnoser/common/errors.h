// Errors that say what to do: notes added to an exception without changing its
// type or message, and the module's own errors for input it cannot work with.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

namespace trov {
namespace py = pybind11;

// Adds `note` to the exception object `exc`: through BaseException.add_note where
// the interpreter has it, else appended to its `__notes__` list (made when missing).
void add_note(const py::handle& exc, const std::string& note);

// Runs `step`; when it raises, `note(error)` (a std::string, empty for none) is
// added to the exception, which then passes on unchanged otherwise. A failure
// while making the note leaves the original exception as it was.
template <typename Step, typename Note>
auto with_note(Step&& step, Note&& note) -> decltype(step()) {
  try {
    return step();
  } catch (py::error_already_set& error) {
    try {
      std::string text = note(error);
      if (!text.empty()) add_note(error.value(), text);
    } catch (...) {
    }
    throw;
  }
}

// ValueError("the test part is empty: " + what), for steps that would divide by
// the number of test rows or reduce over them.
[[noreturn]] void empty_test_part(const std::string& what);

// `str(value)`, for messages.
std::string text_of(const py::handle& value);

}  // namespace trov
