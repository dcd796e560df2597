// The row loops of the conformal module over plain buffers. They touch no Python
// object and read only memory their call owns alone (copies, or arrays no other
// reference reaches), so their callers run them with the GIL released, and no
// other thread can change what they read, with a GIL or without.
#pragma once

#include <cstdint>
#include <vector>

namespace trov {
namespace conformal {

enum class Score { kAps, kApsRandomized, kRaps, kLac };

struct ScoreRule {
  Score score = Score::kAps;
  double lam = 0.0;           // raps: penalty per rank beyond k_reg
  int64_t k_reg = 0;          // raps: ranks free of penalty
  const double* u = nullptr;  // one Uniform(0, 1) per row, or none (U = 0)
};

// A row-major probability matrix.
struct Probabilities {
  const double* p;
  int64_t rows;
  int64_t classes;
};

// Per row, the score of the class at column `label[i]` (a valid column).
void label_scores(const Probabilities& proba, const int64_t* label, const ScoreRule& rule,
                  double* out);

// out[i, k] = the score of class k for row i; `out` is rows x classes.
void class_scores(const Probabilities& proba, const ScoreRule& rule, double* out);

// Where each row's classes are compared: a threshold per column, per row, or per
// row and column.
struct Thresholds {
  const double* per_column = nullptr;  // `classes` entries
  const double* per_row = nullptr;     // `rows` entries
  const double* per_cell = nullptr;    // rows x classes entries
};

// out[i, k] = score(i, k) <= threshold(i, k); `out` is rows x classes.
void prediction_sets(const Probabilities& proba, const ScoreRule& rule, const Thresholds& tau,
                     bool* out);

// The k-th smallest (k from 1) of `values`, reordering them.
double kth_smallest(double* values, int64_t count, int64_t k);

// The values of each group (codes 0 .. groups - 1, one per value), gathered by group:
// group g holds values[start[g] .. start[g + 1]).
struct Grouped {
  std::vector<double> values;
  std::vector<int64_t> start;
  int64_t count(int64_t g) const { return start[g + 1] - start[g]; }
  double* data(int64_t g) { return values.data() + start[g]; }
};
Grouped group_values_of(const double* values, const int64_t* code, int64_t count, int64_t groups);

// Share of rows whose set holds their label (labels outside 0 .. classes - 1 are in
// none) and the mean set size.
struct SetSummary {
  double coverage;
  double mean_size;
};
SetSummary summarise_sets(const bool* sets, const int64_t* label, int64_t rows, int64_t classes);

// Conformalised quantile regression (Romano, Patterson and Candes, 2019) of
// residuals. The two quantile predictions are put in order per row first
// (rearrangement, Chernozhukov et al., 2010), so crossed models give a band too.
void cqr_scores(const double* residual, const double* low, const double* high, int64_t rows,
                double* out);
// low_out = prediction + low - tau, high_out = prediction + high + tau; `low` and
// `high` may be null (the absolute score: a band of 0 around the prediction). Where
// low_out > high_out (a negative tau wider than the band) the set {y : score <= tau}
// is empty: both bounds are NaN and `empty[i]` is set. Returns the count of those.
int64_t bands(const double* prediction, const double* low, const double* high, const double* tau,
              int64_t rows, double* out, bool* empty);

// Philox4x64-10 (Salmon et al., 2011), the block function of numpy's `Philox`: four
// words from a 256-bit counter and a 128-bit key. numpy's generator steps its counter
// before the first block, so its block for counter c is this one's for c + 1.
struct Counter {
  uint64_t word[4];
};
Counter philox(Counter counter, const uint64_t key[2]);

// out[i] = the Uniform[0, 1) draw of counter {start + i, 0, 0, 0} under `key`: the
// first word of its block, its top 53 bits as numpy's `random()` reads a word. Row
// i's draw depends on its counter alone, however the rows are split into calls.
void uniform_draws(const uint64_t key[2], uint64_t start, int64_t rows, double* out);

}  // namespace conformal
}  // namespace trov
