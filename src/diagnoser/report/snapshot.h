// The report iterates snapshots of lists, never the lists in place (see items.h).
#pragma once

#include "diagnoser/common/items.h"

namespace trov {
namespace report {

inline py::tuple snapshot(const py::handle& sequence) { return items_of(sequence); }

}  // namespace report
}  // namespace trov
