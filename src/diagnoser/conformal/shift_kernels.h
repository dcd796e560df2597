// The loops of DensityRatio over plain buffers: the exact law of the Mann-Whitney
// statistic, rank statistics of held-out probabilities, the weights and their
// effective sample size. No Python object is touched; callers release the GIL.
#pragma once

#include <cstdint>

namespace trov {
namespace conformal {

// The exact law is computed while min(m, n)^2 * max(m, n) stays at most this and
// m * n at most kExactPairs (its lower half then fits in 128 MiB); beyond, the
// normal approximation with continuity correction takes over.
constexpr double kExactCost = 1.25e8;  // 500^3
constexpr double kExactPairs = 33554432.0;  // 2^25

bool mann_whitney_exact(int64_t m, int64_t n);

// P(U <= t) for U the Mann-Whitney count of sizes m and n without ties, exactly,
// for t below m * n / 2 (the half the recursion keeps accurate).
double mann_whitney_lower_exact(int64_t t, int64_t m, int64_t n);

// P(U >= u) under exchangeability: exact when mann_whitney_exact(m, n), else the
// normal approximation with continuity correction.
double mann_whitney_upper(int64_t u, int64_t m, int64_t n);

// The pairs (i, j), label[i] = 1 and label[j] = 0, where row i sorts above row j
// by (score, key); `key` holds distinct integers that break the ties of `score`.
// `order` is scratch of `rows` entries.
int64_t mann_whitney_count(const double* score, const int64_t* key, const unsigned char* label,
                           int64_t rows, int64_t* order);

// The share of pairs (label 1, label 0) whose label-1 score is larger, ties
// counting one half: the area under the ROC curve. `order` as above.
double pooled_auc(const double* score, const unsigned char* label, int64_t rows, int64_t* order);

// w = p / (1 - p) * scale with p clipped to [clip, 1 - clip].
void clipped_weights(const double* p, int64_t rows, double clip, double scale, double* out);

// Kish's effective sample size (sum w)^2 / sum w^2 of non-negative weights; with
// infinite weights, their number; NaN when every weight is 0.
double kish_ess(const double* w, int64_t rows);

}  // namespace conformal
}  // namespace trov
