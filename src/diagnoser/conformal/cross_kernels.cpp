#include "diagnoser/conformal/cross_kernels.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "diagnoser/common/halves.h"

namespace trov {
namespace conformal {
namespace {

// Below this many candidates left, they are gathered and selected directly.
constexpr int64_t kGatherBelow = 64;

// Rows per thread below which a second thread costs more than it saves.
constexpr int64_t kRowsPerThread = 4096;

}  // namespace

double kth_of_shifted(const SortedLists& lists, const double* shift, int64_t k,
                      std::vector<double>& scratch) {
  const int64_t g_count = lists.lists;
  const int64_t n = lists.start[g_count] - lists.start[0];
  auto value = [&](int64_t g, int64_t j) { return shift[g] + lists.values[j]; };
  // Many lists (the jackknife's one residual each, or the bootstrap's patterns):
  // about 2.4 log2(n) rounds of one binary search per list cost more than one pass.
  double rounds = 2.4 * std::log2(static_cast<double>(n) + 2);
  double searches = 2 * std::log2(static_cast<double>(n) / static_cast<double>(g_count) + 2);
  if (rounds * static_cast<double>(g_count) * searches >= 3 * static_cast<double>(n)) {
    scratch.clear();
    for (int64_t g = 0; g < g_count; ++g) {
      for (int64_t j = lists.start[g]; j < lists.start[g + 1]; ++j) scratch.push_back(value(g, j));
    }
    std::nth_element(scratch.begin(), scratch.begin() + (k - 1), scratch.end());
    return scratch[static_cast<std::size_t>(k - 1)];
  }
  // Each round takes the weighted median of the lists' middle values as pivot: a
  // quarter of what is left lies on each side of it, so about log(n) rounds of one
  // binary search per list remain.
  std::vector<int64_t> lo(lists.start, lists.start + g_count);
  std::vector<int64_t> hi(lists.start + 1, lists.start + g_count + 1);
  std::vector<std::pair<double, int64_t>> middles;
  std::vector<int64_t> below(static_cast<std::size_t>(g_count)), upto(below.size());
  int64_t need = k;
  for (;;) {
    int64_t left = 0;
    for (int64_t g = 0; g < g_count; ++g) left += hi[g] - lo[g];
    if (left <= kGatherBelow) {
      scratch.clear();
      for (int64_t g = 0; g < g_count; ++g) {
        for (int64_t j = lo[g]; j < hi[g]; ++j) scratch.push_back(value(g, j));
      }
      std::nth_element(scratch.begin(), scratch.begin() + (need - 1), scratch.end());
      return scratch[static_cast<std::size_t>(need - 1)];
    }
    middles.clear();
    for (int64_t g = 0; g < g_count; ++g) {
      if (hi[g] > lo[g]) middles.emplace_back(value(g, lo[g] + (hi[g] - lo[g]) / 2), hi[g] - lo[g]);
    }
    std::sort(middles.begin(), middles.end());
    double pivot = middles.back().first;
    for (int64_t seen = 0, i = 0; i < static_cast<int64_t>(middles.size()); ++i) {
      seen += middles[i].second;
      if (2 * seen >= left) {
        pivot = middles[i].first;
        break;
      }
    }
    int64_t less = 0, at_most = 0;
    for (int64_t g = 0; g < g_count; ++g) {
      // shift + v is nondecreasing in v, so the list's sums are sorted as its values.
      int64_t a = lo[g], b = hi[g];
      while (a < b) {
        int64_t mid = a + (b - a) / 2;
        if (value(g, mid) < pivot)
          a = mid + 1;
        else
          b = mid;
      }
      below[g] = a;
      b = hi[g];
      while (a < b) {
        int64_t mid = a + (b - a) / 2;
        if (value(g, mid) <= pivot)
          a = mid + 1;
        else
          b = mid;
      }
      upto[g] = a;
      less += below[g] - lo[g];
      at_most += upto[g] - lo[g];
    }
    if (need <= less) {
      hi.assign(below.begin(), below.end());
    } else if (need <= at_most) {
      return pivot;
    } else {
      need -= at_most;
      lo.assign(upto.begin(), upto.end());
    }
  }
}

void plus_bounds(const SortedLists& residuals, const double* centre, int64_t rows, int64_t k,
                 double* out) {
  const int64_t g_count = residuals.lists;
  auto run = [&](int64_t from, int64_t to) {
    std::vector<double> scratch, negated(static_cast<std::size_t>(g_count));
    for (int64_t i = from; i < to; ++i) {
      const double* c = centre + i * g_count;
      // c - R rounds as -((-c) + R): the k-th largest of the lower candidates is
      // minus the k-th smallest of these sums.
      for (int64_t g = 0; g < g_count; ++g) negated[g] = -c[g];
      double low = -kth_of_shifted(residuals, negated.data(), k, scratch);
      // c - R is +0 where c == R, but -((-c) + R) is -0.
      out[2 * i] = low == 0 ? 0.0 : low;
      out[2 * i + 1] = kth_of_shifted(residuals, c, k, scratch);
    }
  };
  in_two_halves(rows, kRowsPerThread, run);
}

void cross_sets(const SortedLists& scores, const double* score, int64_t rows, int64_t classes,
                int64_t k, bool* out) {
  const int64_t folds = scores.lists;
  for (int64_t i = 0; i < rows; ++i) {
    for (int64_t y = 0; y < classes; ++y) {
      int64_t below = 0;
      for (int64_t f = 0; f < folds; ++f) {
        double s = score[(f * rows + i) * classes + y];
        const double* begin = scores.values + scores.start[f];
        const double* end = scores.values + scores.start[f + 1];
        // Strictly below: a calibration score equal to the row's counts as conforming.
        below += std::lower_bound(begin, end, s) - begin;
      }
      out[i * classes + y] = below < k;
    }
  }
}

}  // namespace conformal
}  // namespace trov
