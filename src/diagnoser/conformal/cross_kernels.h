// The row loops of the cross-conformal classes over plain buffers: order statistics
// of shifted sorted lists, so that no test row ever needs the (rows x n) matrix of
// its candidate bounds. No Python object is touched; callers release the GIL.
#pragma once

#include <cstdint>
#include <vector>

namespace trov {
namespace conformal {

// Lists of values sorted in ascending order, stored one after another: list g
// holds values[start[g] .. start[g + 1]).
struct SortedLists {
  const double* values;
  const int64_t* start;
  int64_t lists;
};

// The k-th smallest (k from 1) of the multiset {shift[g] + values[j] : j in list g},
// each sum rounded as one double addition, so that the result is the very number a
// sort of those sums would put at k - 1. `scratch` is reused between calls.
// O(lists * log(n)^2) when the lists are few, O(n) when they are many.
double kth_of_shifted(const SortedLists& lists, const double* shift, int64_t k,
                      std::vector<double>& scratch);

// CV+ and jackknife+ (Barber, Candes, Ramdas and Tibshirani, 2021): per row i, the
// bounds from the k-th smallest of {centre[i, g] + R} and the k-th largest of
// {centre[i, g] - R} over the residuals R of list g; that is the (n + 1 - k)-th
// smallest. `centre` is rows x lists, row-major; out is rows x 2.
void plus_bounds(const SortedLists& residuals, const double* centre, int64_t rows, int64_t k,
                 double* out);

// Per row and class, how many calibration scores of each fold lie strictly below
// the fold model's score, summed over folds; the class is in the set when that
// count is below k (Romano, Sesia and Candes, 2020). `score` is folds x rows x
// classes; `out` is rows x classes.
void cross_sets(const SortedLists& scores, const double* score, int64_t rows, int64_t classes,
                int64_t k, bool* out);

}  // namespace conformal
}  // namespace trov
