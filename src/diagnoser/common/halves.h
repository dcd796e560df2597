// Rows split over two threads: pure C++, for a kernel's compute phase only.
#pragma once

#include <cstdint>
#include <exception>
#include <thread>

namespace trov {

// run(from, to) over [0, rows), in two halves at once when each half has at least
// `least` rows. An exception (bad_alloc) must not escape a thread or unwind past a
// joinable one: each half keeps its own, and the first is rethrown after the join.
template <typename Run>
void in_two_halves(int64_t rows, int64_t least, const Run& run) {
  if (rows < 2 * least) {
    run(int64_t{0}, rows);
    return;
  }
  const int64_t half = rows / 2;
  std::exception_ptr failed[2];
  auto guarded = [&](int index, int64_t from, int64_t to) {
    try {
      run(from, to);
    } catch (...) {
      failed[index] = std::current_exception();
    }
  };
  std::thread second(guarded, 1, half, rows);
  guarded(0, 0, half);
  second.join();
  for (const auto& e : failed) {
    if (e) std::rethrow_exception(e);
  }
}

}  // namespace trov
