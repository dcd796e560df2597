// The row loops over the sorted calibration scores calibrate keeps: p-values by
// binary search and the thresholds of any level, read off by rank. Pure C++ over
// plain buffers, run with the GIL released, as the loops of kernels.h.
#pragma once

#include <cstdint>
#include <vector>

#include "diagnoser/conformal/kernels.h"

namespace trov {
namespace conformal {

// Sorted scores per stratum: stratum s holds values[start[s] .. start[s + 1]),
// ascending. Stratum 0 is every calibration row; stratum 1 + g the class or group
// of code g.
struct SortedStrata {
  const double* values = nullptr;
  const int64_t* start = nullptr;
  int64_t size = 0;  // the strata: start has size + 1 entries
  int64_t count(int64_t s) const { return start[s + 1] - start[s]; }
  const double* begin(int64_t s) const { return values + start[s]; }
};

// Sorted scores and offsets as a call holds them.
struct SortedScores {
  std::vector<double> values;
  std::vector<int64_t> start;
  SortedStrata view() const {
    return {values.data(), start.data(), static_cast<int64_t>(start.size()) - 1};
  }
};

// From unsorted scores and their codes (0 .. groups - 1; null when there are no
// strata but the first): `values` gets every score sorted, then each stratum's
// (n * 2 entries with strata, else n), `start` the groups + 2 offsets (else 2).
void sort_strata(const double* scores, const int64_t* code, int64_t n, int64_t groups,
                 double* values, int64_t* start);

// Which stratum's scores a cell is compared with: per row (`per_row`, rows
// entries), else per class (`per_column`, classes entries), else stratum 0.
struct StratumOf {
  const int64_t* per_row = nullptr;
  const int64_t* per_column = nullptr;
  int64_t at(int64_t row, int64_t column) const {
    return per_row != nullptr ? per_row[row] : per_column != nullptr ? per_column[column] : 0;
  }
};

// out[i, k] = the conformal p-value of class k for row i among its stratum's n
// scores (Vovk, Gammerman and Shafer, 2005): with `smooth` (one U in (0, 1] per
// row), (#{s_j > s} + U (#{s_j = s} + 1)) / (n + 1); without, (#{s_j >= s} + 1) /
// (n + 1). A search in one bucket of the stratum's range per count.
void class_pvalues(const Probabilities& proba, const ScoreRule& rule, const SortedStrata& strata,
                   const StratumOf& stratum, const double* smooth, double* out);

// Thresholds per stratum and level, row-major ((strata) x levels), each flagged
// when its stratum falls back at that level; `unseen` is the row for groups no
// calibration row had.
struct LevelView {
  const double* tau = nullptr;
  const char* falls = nullptr;
  int64_t levels = 0;
  int64_t unseen = 0;
};

// The stratum of each row of a group-conditional call: 1 + code, or `unseen` for
// a code outside 0 .. groups - 1.
void row_strata(const int64_t* code, int64_t rows, int64_t groups, int64_t unseen, int64_t* out);

// Share of rows whose set holds their label and the mean set size, per level, of
// (rows, classes, levels) sets.
void level_summaries(const bool* sets, const int64_t* label, int64_t rows, int64_t classes,
                     int64_t levels, double* coverage, double* mean_size);

// Intervals (rows, 2, levels) as `bands` makes them, level by level, each row's
// threshold that of its stratum (`stratum` per row, or 0 when null) times its `scale`
// (when given); `empty` and `marked` are (rows, levels). Returns the count of empty
// intervals.
int64_t level_bands(const double* prediction, const double* low, const double* high,
                    const double* scale, const LevelView& table, const int64_t* stratum,
                    int64_t rows, double* out, bool* empty, bool* marked);

// Per level, the share of rows whose (rows, 2, levels) interval holds y (closed;
// an empty one holds nothing and is 0 wide) and the mean width.
void level_coverage(const double* bounds, const bool* empty, const double* y, int64_t rows,
                    int64_t levels, double* coverage, double* mean_width);

// Many levels at once: out[(i * classes + k) * levels + j] = score(i, k) <= the
// threshold of level j of the cell's stratum; marked[i * levels + j] when one of
// the row's thresholds at level j fell back.
void level_sets(const Probabilities& proba, const ScoreRule& rule, const LevelView& table,
                const StratumOf& stratum, bool* out, bool* marked);

}  // namespace conformal
}  // namespace trov
