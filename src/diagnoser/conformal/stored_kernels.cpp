#include "diagnoser/conformal/stored_kernels.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>

namespace trov {
namespace conformal {

namespace {

// Below this many values a comparison sort is as quick as the radix passes.
constexpr int64_t kRadixFrom = 4096;

// Ascending, by least-significant-digit radix sort of the doubles' bits mapped to
// unsigned keys of the same order (every bit flipped for negatives, the sign bit
// for the rest): a few linear passes instead of n log n comparisons. No NaN.
void sort_values(double* v, int64_t n) {
  if (n < kRadixFrom) {
    std::sort(v, v + n);
    return;
  }
  constexpr int kBits = 11, kPasses = 6, kDigits = 1 << kBits;  // 66 bits cover 64
  std::vector<uint64_t> keys(static_cast<std::size_t>(n)), other(keys.size());
  std::vector<int64_t> count(static_cast<std::size_t>(kPasses * kDigits), 0);
  for (int64_t i = 0; i < n; ++i) {
    uint64_t bits;
    std::memcpy(&bits, v + i, sizeof bits);
    keys[i] = bits ^ ((bits >> 63) != 0 ? ~uint64_t{0} : uint64_t{1} << 63);
    for (int p = 0; p < kPasses; ++p) {
      ++count[p * kDigits + ((keys[i] >> (p * kBits)) & (kDigits - 1))];
    }
  }
  for (int p = 0; p < kPasses; ++p) {
    int64_t* c = count.data() + p * kDigits;
    const uint64_t digit = (keys[0] >> (p * kBits)) & (kDigits - 1);
    if (c[digit] == n) continue;  // every key shares this digit: the order stands
    int64_t sum = 0;
    for (int d = 0; d < kDigits; ++d) {
      const int64_t here = c[d];
      c[d] = sum;
      sum += here;
    }
    for (int64_t i = 0; i < n; ++i) other[c[(keys[i] >> (p * kBits)) & (kDigits - 1)]++] = keys[i];
    keys.swap(other);
  }
  for (int64_t i = 0; i < n; ++i) {
    const uint64_t key = keys[i];
    const uint64_t bits = key ^ ((key >> 63) != 0 ? uint64_t{1} << 63 : ~uint64_t{0});
    std::memcpy(v + i, &bits, sizeof bits);
  }
}

}  // namespace

void sort_strata(const double* scores, const int64_t* code, int64_t n, int64_t groups,
                 double* values, int64_t* start) {
  std::copy(scores, scores + n, values);
  sort_values(values, n);
  start[0] = 0;
  start[1] = n;
  if (code == nullptr || groups == 0) return;
  // Gathered by code, then each stratum sorted on its own.
  std::vector<int64_t> next(static_cast<std::size_t>(groups + 1), 0);
  for (int64_t i = 0; i < n; ++i) ++next[code[i] + 1];
  for (int64_t g = 0; g < groups; ++g) next[g + 1] += next[g];
  for (int64_t g = 0; g <= groups; ++g) start[1 + g] = n + next[g];
  for (int64_t i = 0; i < n; ++i) values[n + next[code[i]]++] = scores[i];
  for (int64_t g = 0; g < groups; ++g) {
    sort_values(values + start[1 + g], start[2 + g] - start[1 + g]);
  }
}

namespace {

// Rows scored per block: the scores of a block at a time, never rows x classes.
constexpr int64_t kBlock = 1024;

// visit(i, k, score) for every cell, the scores as class_scores gives them.
template <typename Visit>
void scored_cells(const Probabilities& proba, const ScoreRule& rule, Visit visit) {
  const int64_t c = proba.classes;
  std::vector<double> block(static_cast<std::size_t>(std::min(kBlock, proba.rows) * c));
  for (int64_t first = 0; first < proba.rows; first += kBlock) {
    const int64_t rows = std::min(kBlock, proba.rows - first);
    ScoreRule part = rule;
    if (rule.u != nullptr) part.u = rule.u + first;
    class_scores({proba.p + first * c, rows, c}, part, block.data());
    for (int64_t i = 0; i < rows; ++i) {
      for (int64_t k = 0; k < c; ++k) visit(first + i, k, block[i * c + k]);
    }
  }
}

// A stratum's sorted scores with a table of where each of B equal-width buckets
// of their range starts, so that a search looks in one bucket only: a score's
// bucket is monotone in the score, so every score of a lower bucket is smaller
// and of a higher one larger, and the counts stay exact.
class Searcher {
 public:
  Searcher(const double* values, int64_t n) : v_(values), n_(n) {
    if (n == 0) return;
    low_ = values[0];
    high_ = values[n - 1];
    // An infinite end or span would put NaN into bucket(), and a NaN cast to an
    // index reads outside the table: such a range takes the plain binary search.
    const double span = high_ - low_;
    if (!(span > 0) || !std::isfinite(span)) return;  // one value, or an infinite end
    scale_ = static_cast<double>(n) / span;
    if (!std::isfinite(scale_)) return;  // a span too narrow to scale
    buckets_ = n;
    first_.assign(static_cast<std::size_t>(buckets_ + 1), n);
    int64_t next = 0;
    for (int64_t j = 0; j < n; ++j) {
      for (const int64_t b = bucket(values[j]); next <= b; ++next) first_[next] = j;
    }
  }
  // #{v < s} and #{v <= s}.
  int64_t below(double s) const { return search(s, false); }
  int64_t at_most(double s) const { return search(s, true); }

 private:
  int64_t bucket(double s) const {
    return std::min(buckets_ - 1, static_cast<int64_t>((s - low_) * scale_));
  }
  int64_t search(double s, bool inclusive) const {
    const double* first = v_;
    const double* last = v_ + n_;
    if (buckets_ > 0 && !std::isnan(s)) {
      if (s < low_) return 0;
      if (s > high_) return n_;
      const int64_t b = bucket(s);
      first = v_ + first_[b];
      last = v_ + first_[b + 1];
    }
    const double* found =
        inclusive ? std::upper_bound(first, last, s) : std::lower_bound(first, last, s);
    return found - v_;
  }

  const double* v_;
  int64_t n_;
  double low_ = 0, high_ = 0, scale_ = 0;
  int64_t buckets_ = 0;
  std::vector<int64_t> first_;
};

}  // namespace

void class_pvalues(const Probabilities& proba, const ScoreRule& rule, const SortedStrata& strata,
                   const StratumOf& stratum, const double* smooth, double* out) {
  const int64_t c = proba.classes;
  std::vector<Searcher> search;
  for (int64_t g = 0; g < strata.size; ++g) search.emplace_back(strata.begin(g), strata.count(g));
  scored_cells(proba, rule, [&](int64_t i, int64_t k, double s) {
    const int64_t g = stratum.at(i, k);
    const int64_t n = strata.count(g);
    const int64_t below = search[g].below(s);
    const double n1 = static_cast<double>(n + 1);
    if (smooth == nullptr) {
      out[i * c + k] = static_cast<double>(n - below + 1) / n1;
      return;
    }
    const int64_t at_most = search[g].at_most(s);
    const double above = static_cast<double>(n - at_most);
    const double equal = static_cast<double>(at_most - below + 1);
    out[i * c + k] = (above + smooth[i] * equal) / n1;
  });
}

void level_sets(const Probabilities& proba, const ScoreRule& rule, const LevelView& table,
                const StratumOf& stratum, bool* out, bool* marked) {
  const int64_t c = proba.classes, levels = table.levels;
  scored_cells(proba, rule, [&](int64_t i, int64_t k, double s) {
    const int64_t at = stratum.at(i, k) * levels;
    bool* cell = out + (i * c + k) * levels;
    for (int64_t j = 0; j < levels; ++j) cell[j] = s <= table.tau[at + j];
  });
  // A row is marked when a threshold it was compared with fell back.
  std::vector<char> any(static_cast<std::size_t>(levels), 0);
  for (int64_t k = 0; stratum.per_column != nullptr && k < c; ++k) {
    for (int64_t j = 0; j < levels; ++j) any[j] |= table.falls[stratum.per_column[k] * levels + j];
  }
  for (int64_t i = 0; i < proba.rows; ++i) {
    for (int64_t j = 0; j < levels; ++j) {
      marked[i * levels + j] = stratum.per_row != nullptr
                                   ? table.falls[stratum.per_row[i] * levels + j] != 0
                                   : any[j] != 0;
    }
  }
}

void row_strata(const int64_t* code, int64_t rows, int64_t groups, int64_t unseen, int64_t* out) {
  for (int64_t i = 0; i < rows; ++i) {
    out[i] = code[i] >= 0 && code[i] < groups ? 1 + code[i] : unseen;
  }
}

void level_summaries(const bool* sets, const int64_t* label, int64_t rows, int64_t classes,
                     int64_t levels, double* coverage, double* mean_size) {
  std::vector<int64_t> covered(static_cast<std::size_t>(levels)), size(covered.size());
  for (int64_t i = 0; i < rows; ++i) {
    const bool* row = sets + i * classes * levels;
    for (int64_t k = 0; k < classes; ++k) {
      for (int64_t j = 0; j < levels; ++j) size[j] += row[k * levels + j];
    }
    if (label[i] < 0 || label[i] >= classes) continue;
    for (int64_t j = 0; j < levels; ++j) covered[j] += row[label[i] * levels + j];
  }
  const double n = static_cast<double>(rows);
  for (int64_t j = 0; j < levels; ++j) {
    coverage[j] = static_cast<double>(covered[j]) / n;
    mean_size[j] = static_cast<double>(size[j]) / n;
  }
}

int64_t level_bands(const double* prediction, const double* low, const double* high,
                    const double* scale, const LevelView& table, const int64_t* stratum,
                    int64_t rows, double* out, bool* empty, bool* marked) {
  const int64_t levels = table.levels;
  std::vector<double> tau(static_cast<std::size_t>(rows)), bounds(2 * tau.size());
  std::unique_ptr<bool[]> gone(new bool[static_cast<std::size_t>(rows)]);
  int64_t count = 0;
  for (int64_t j = 0; j < levels; ++j) {
    for (int64_t i = 0; i < rows; ++i) {
      const int64_t at = (stratum != nullptr ? stratum[i] : 0) * levels + j;
      tau[i] = scale != nullptr ? table.tau[at] * scale[i] : table.tau[at];
      marked[i * levels + j] = table.falls[at] != 0;
    }
    count += bands(prediction, low, high, tau.data(), rows, bounds.data(), gone.get());
    for (int64_t i = 0; i < rows; ++i) {
      out[(2 * i) * levels + j] = bounds[2 * i];
      out[(2 * i + 1) * levels + j] = bounds[2 * i + 1];
      empty[i * levels + j] = gone[i];
    }
  }
  return count;
}

void level_coverage(const double* bounds, const bool* empty, const double* y, int64_t rows,
                    int64_t levels, double* coverage, double* mean_width) {
  std::vector<int64_t> covered(static_cast<std::size_t>(levels));
  std::vector<double> width(covered.size());
  for (int64_t i = 0; i < rows; ++i) {
    for (int64_t j = 0; j < levels; ++j) {
      if (empty[i * levels + j]) continue;
      const double low = bounds[(2 * i) * levels + j], high = bounds[(2 * i + 1) * levels + j];
      covered[j] += low <= y[i] && y[i] <= high;
      width[j] += high - low;
    }
  }
  for (int64_t j = 0; j < levels; ++j) {
    coverage[j] = static_cast<double>(covered[j]) / static_cast<double>(rows);
    mean_width[j] = width[j] / static_cast<double>(rows);
  }
}

}  // namespace conformal
}  // namespace trov
