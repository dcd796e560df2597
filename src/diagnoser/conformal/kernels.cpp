#include "diagnoser/conformal/kernels.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace trov {
namespace conformal {
namespace {

// Classes by decreasing probability; of equal ones the higher column first, the
// order the adaptive classifier gives them.
void rank_row(const double* p, int64_t classes, int32_t* order) {
  for (int64_t k = 0; k < classes; ++k) order[k] = static_cast<int32_t>(k);
  auto before = [p](int32_t a, int32_t b) { return p[a] > p[b] || (p[a] == p[b] && a > b); };
  if (classes <= 16) {
    for (int64_t i = 1; i < classes; ++i) {
      int32_t k = order[i];
      int64_t j = i;
      for (; j > 0 && before(k, order[j - 1]); --j) order[j] = order[j - 1];
      order[j] = k;
    }
  } else {
    std::sort(order, order + classes, before);
  }
}

// The score of the class at 0-based `rank` with probability `pk`, `above` being the
// total probability of the classes ranked before it.
inline double score_of(const ScoreRule& rule, double above, double pk, int64_t rank, double u) {
  switch (rule.score) {
    case Score::kAps:
      return above;
    case Score::kApsRandomized:
      return above + u * pk;
    case Score::kRaps:
      return above + u * pk +
             rule.lam * static_cast<double>(std::max<int64_t>(0, rank + 1 - rule.k_reg));
    case Score::kLac:
      break;
  }
  return 1.0 - pk;
}

}  // namespace

void label_scores(const Probabilities& proba, const int64_t* label, const ScoreRule& rule,
                  double* out) {
  const int64_t c = proba.classes;
  std::vector<int32_t> order(static_cast<std::size_t>(c));
  for (int64_t i = 0; i < proba.rows; ++i) {
    const double* p = proba.p + i * c;
    const int64_t y = label[i];
    if (rule.score == Score::kLac) {
      out[i] = 1.0 - p[y];
      continue;
    }
    rank_row(p, c, order.data());
    double above = 0.0;
    double u = rule.u != nullptr ? rule.u[i] : 0.0;
    for (int64_t r = 0; r < c; ++r) {
      if (order[r] == y) {
        out[i] = score_of(rule, above, p[y], r, u);
        break;
      }
      above += p[order[r]];
    }
  }
}

namespace {

// visit(i, k, score) for every row i and class k, in rank order within a row.
template <typename Visit>
void each_score(const Probabilities& proba, const ScoreRule& rule, Visit visit) {
  const int64_t c = proba.classes;
  std::vector<int32_t> order(static_cast<std::size_t>(c));
  for (int64_t i = 0; i < proba.rows; ++i) {
    const double* p = proba.p + i * c;
    if (rule.score == Score::kLac) {
      for (int64_t k = 0; k < c; ++k) visit(i, k, 1.0 - p[k]);
      continue;
    }
    rank_row(p, c, order.data());
    double above = 0.0;
    double u = rule.u != nullptr ? rule.u[i] : 0.0;
    for (int64_t r = 0; r < c; ++r) {
      int32_t k = order[r];
      visit(i, k, score_of(rule, above, p[k], r, u));
      above += p[k];
    }
  }
}

}  // namespace

void class_scores(const Probabilities& proba, const ScoreRule& rule, double* out) {
  const int64_t c = proba.classes;
  each_score(proba, rule, [&](int64_t i, int64_t k, double score) { out[i * c + k] = score; });
}

void prediction_sets(const Probabilities& proba, const ScoreRule& rule, const Thresholds& tau,
                     bool* out) {
  const int64_t c = proba.classes;
  each_score(proba, rule, [&](int64_t i, int64_t k, double score) {
    double t = tau.per_cell  ? tau.per_cell[i * c + k]
               : tau.per_row ? tau.per_row[i]
                             : tau.per_column[k];
    out[i * c + k] = score <= t;
  });
}

double kth_smallest(double* values, int64_t count, int64_t k) {
  std::nth_element(values, values + (k - 1), values + count);
  return values[k - 1];
}

Grouped group_values_of(const double* values, const int64_t* code, int64_t count, int64_t groups) {
  Grouped out;
  out.start.assign(static_cast<std::size_t>(groups + 1), 0);
  for (int64_t i = 0; i < count; ++i) ++out.start[code[i] + 1];
  for (int64_t g = 0; g < groups; ++g) out.start[g + 1] += out.start[g];
  out.values.resize(static_cast<std::size_t>(count));
  std::vector<int64_t> next(out.start.begin(), out.start.end() - 1);
  for (int64_t i = 0; i < count; ++i) out.values[next[code[i]]++] = values[i];
  return out;
}

SetSummary summarise_sets(const bool* sets, const int64_t* label, int64_t rows, int64_t classes) {
  int64_t covered = 0, size = 0;
  for (int64_t i = 0; i < rows; ++i) {
    const bool* set = sets + i * classes;
    for (int64_t k = 0; k < classes; ++k) size += set[k];
    if (label[i] >= 0 && label[i] < classes && set[label[i]]) ++covered;
  }
  double n = static_cast<double>(rows);
  return {static_cast<double>(covered) / n, static_cast<double>(size) / n};
}

void cqr_scores(const double* residual, const double* low, const double* high, int64_t rows,
                double* out) {
  for (int64_t i = 0; i < rows; ++i) {
    double lo = std::min(low[i], high[i]), hi = std::max(low[i], high[i]);
    out[i] = std::max(lo - residual[i], residual[i] - hi);
  }
}

int64_t bands(const double* prediction, const double* low, const double* high, const double* tau,
              int64_t rows, double* out, bool* empty) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  int64_t count = 0;
  for (int64_t i = 0; i < rows; ++i) {
    double lo = 0.0, hi = 0.0;
    if (low != nullptr) {
      lo = std::min(low[i], high[i]);
      hi = std::max(low[i], high[i]);
    }
    // Compared on the offsets, before the prediction is added: rounding of a large
    // prediction could otherwise turn a narrow empty interval into a point.
    empty[i] = lo - tau[i] > hi + tau[i];
    count += empty[i];
    out[2 * i] = empty[i] ? nan : prediction[i] + lo - tau[i];
    out[2 * i + 1] = empty[i] ? nan : prediction[i] + hi + tau[i];
  }
  return count;
}

namespace {

inline void multiply(uint64_t a, uint64_t b, uint64_t* high, uint64_t* low) {
  unsigned __int128 product = static_cast<unsigned __int128>(a) * b;
  *high = static_cast<uint64_t>(product >> 64);
  *low = static_cast<uint64_t>(product);
}

}  // namespace

Counter philox(Counter c, const uint64_t key[2]) {
  constexpr uint64_t kM0 = 0xD2E7470EE14C6C93ULL, kM1 = 0xCA5A826395121157ULL;
  constexpr uint64_t kW0 = 0x9E3779B97F4A7C15ULL, kW1 = 0xBB67AE8584CAA73BULL;
  uint64_t k0 = key[0], k1 = key[1];
  for (int round = 0; round < 10; ++round) {
    if (round > 0) {
      k0 += kW0;
      k1 += kW1;
    }
    uint64_t hi0, lo0, hi1, lo1;
    multiply(kM0, c.word[0], &hi0, &lo0);
    multiply(kM1, c.word[2], &hi1, &lo1);
    c = Counter{{hi1 ^ c.word[1] ^ k0, lo1, hi0 ^ c.word[3] ^ k1, lo0}};
  }
  return c;
}

void uniform_draws(const uint64_t key[2], uint64_t start, int64_t rows, double* out) {
  for (int64_t i = 0; i < rows; ++i) {
    Counter block = philox(Counter{{start + static_cast<uint64_t>(i), 0, 0, 0}}, key);
    out[i] = static_cast<double>(block.word[0] >> 11) * (1.0 / 9007199254740992.0);
  }
}

}  // namespace conformal
}  // namespace trov
