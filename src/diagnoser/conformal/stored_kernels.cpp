#include "diagnoser/conformal/stored_kernels.h"

#include <algorithm>
#include <memory>

namespace trov {
namespace conformal {

SortedScores sort_strata(const double* scores, const int64_t* code, int64_t n, int64_t groups) {
  SortedScores out;
  out.values.assign(scores, scores + n);
  out.start = {0, n};
  if (code != nullptr && groups > 0) {
    Grouped grouped = group_values_of(scores, code, n, groups);
    out.values.insert(out.values.end(), grouped.values.begin(), grouped.values.end());
    for (int64_t g = 0; g < groups; ++g) out.start.push_back(n + grouped.start[g + 1]);
  }
  for (std::size_t s = 0; s + 1 < out.start.size(); ++s) {
    std::sort(out.values.begin() + out.start[s], out.values.begin() + out.start[s + 1]);
  }
  return out;
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

}  // namespace

void class_pvalues(const Probabilities& proba, const ScoreRule& rule, const SortedStrata& strata,
                   const StratumOf& stratum, const double* smooth, double* out) {
  const int64_t c = proba.classes;
  scored_cells(proba, rule, [&](int64_t i, int64_t k, double s) {
    const int64_t g = stratum.at(i, k);
    const double* first = strata.begin(g);
    const double* last = first + strata.count(g);
    const double* low = std::lower_bound(first, last, s);
    const double n1 = static_cast<double>(strata.count(g) + 1);
    if (smooth == nullptr) {
      out[i * c + k] = static_cast<double>(last - low + 1) / n1;
      return;
    }
    const double* high = std::upper_bound(low, last, s);
    const double above = static_cast<double>(last - high);
    const double equal = static_cast<double>(high - low + 1);
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
                    const LevelView& table, const int64_t* stratum, int64_t rows, double* out,
                    bool* empty, bool* marked) {
  const int64_t levels = table.levels;
  std::vector<double> tau(static_cast<std::size_t>(rows)), bounds(2 * tau.size());
  std::unique_ptr<bool[]> gone(new bool[static_cast<std::size_t>(rows)]);
  int64_t count = 0;
  for (int64_t j = 0; j < levels; ++j) {
    for (int64_t i = 0; i < rows; ++i) {
      const int64_t at = (stratum != nullptr ? stratum[i] : 0) * levels + j;
      tau[i] = table.tau[at];
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
