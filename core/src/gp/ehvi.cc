#include "gp/ehvi.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>

#include "gp/log_ei.h"
#include "gp/model.h"
#include "gp/proposal_parts.h"
#include "gp/warp.h"
#include "rng.h"
#include "seed_mix.h"

namespace vordaopt::gp {
namespace {

using parts::Candidate;

constexpr double kNegativeInfinity = -std::numeric_limits<double>::infinity();
// The reference point lies this share of each objective's range beyond its worst result.
constexpr double kReferenceMargin = 0.1;
// Refinement: the best candidates perturbed, and how many times each per scale.
constexpr size_t kRefined = 5;
constexpr size_t kPerturbationsPerScale = 16;

// log(exp(a) + exp(b)).
double log_add(double a, double b) {
  if (a < b) std::swap(a, b);
  if (b == kNegativeInfinity) return a;
  return a + std::log1p(std::exp(b - a));
}

// Both models' beliefs about every candidate, and its log EHVI.
void score(const std::vector<Dim>& dims, const Model& first, const Model& second,
           const Front2& front, std::vector<Candidate>& candidates) {
  std::vector<double> flat = parts::snap_candidates(dims, candidates);
  std::vector<double> mean1, var1, mean2, var2;
  first.predict_many(flat.data(), candidates.size(), mean1, var1);
  second.predict_many(flat.data(), candidates.size(), mean2, var2);
  for (size_t i = 0; i < candidates.size(); ++i) {
    candidates[i].score =
        log_ehvi(front, mean1[i], std::sqrt(var1[i]), mean2[i], std::sqrt(var2[i]));
  }
}

void sort_best_first(std::vector<Candidate>& candidates) {
  std::stable_sort(candidates.begin(), candidates.end(),
                   [](const Candidate& a, const Candidate& b) { return a.score > b.score; });
}

// One objective's warped values and its model, pending points included.
Model objective_model(const std::vector<Dim>& dims, const std::vector<double>& points,
                      const std::vector<double>& values, size_t which,
                      const std::vector<double>& pending, std::vector<double>& warped) {
  std::vector<double> column(values.size() / 2);
  for (size_t i = 0; i < column.size(); ++i) column[i] = values[2 * i + which];
  warped = warp_values(column).values;
  size_t results = 0;
  return parts::conditioned_model(dims, points, warped, pending, results);
}

// A tenth of the range beyond the worst value (one unit when all are equal).
double reference_beyond(const std::vector<double>& warped) {
  auto [low, high] = std::minmax_element(warped.begin(), warped.end());
  double range = *high - *low;
  return *high + (range > 0.0 ? kReferenceMargin * range : 1.0);
}

}  // namespace

Front2 front_of(const std::vector<double>& first, const std::vector<double>& second,
                double reference_first, double reference_second) {
  std::vector<size_t> order(first.size());
  std::iota(order.begin(), order.end(), size_t{0});
  std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
    return first[a] != first[b] ? first[a] < first[b] : second[a] < second[b];
  });
  Front2 front;
  front.reference_first = reference_first;
  front.reference_second = reference_second;
  double lowest_second = reference_second;
  for (size_t i : order) {
    // In order of the first objective, a point is on the front when its
    // second is below every earlier one's (and below the reference).
    if (!(first[i] < reference_first) || !(second[i] < lowest_second)) continue;
    front.first.push_back(first[i]);
    front.second.push_back(second[i]);
    lowest_second = second[i];
  }
  return front;
}

double log_ehvi(const Front2& front, double mean1, double sd1, double mean2, double sd2) {
  size_t k = front.first.size();
  double total = kNegativeInfinity;
  double log_previous = kNegativeInfinity;  // log E(a_{i-1} - Y1)+, a_0 = -inf
  for (size_t i = 1; i <= k + 1; ++i) {
    double a = i <= k ? front.first[i - 1] : front.reference_first;
    double b = i >= 2 ? front.second[i - 2] : front.reference_second;  // b_{i-1}
    double log_a = log_expected_improvement(mean1, sd1, a);
    double log_strip = kNegativeInfinity;  // log (E(a_i - Y1)+ - E(a_{i-1} - Y1)+)
    if (log_a > log_previous) {
      log_strip = log_previous == kNegativeInfinity ? log_a
                                                    : log_a + log1mexp(log_previous - log_a);
    }
    log_previous = std::max(log_previous, log_a);
    if (log_strip == kNegativeInfinity) continue;
    total = log_add(total, log_strip + log_expected_improvement(mean2, sd2, b));
  }
  return total;
}

std::vector<double> propose_ehvi(const std::vector<Dim>& dims, const std::vector<double>& points,
                                 const std::vector<double>& values,
                                 const std::vector<double>& pending, uint64_t seed,
                                 const ProposeSettings& settings) {
  size_t d = dims.size();
  if (d == 0) return {};
  size_t n = values.size() / 2, m = pending.size() / d;
  size_t startup = settings.startup != 0 ? settings.startup : d + 1;
  parts::TakenPoints taken(dims, points, pending);
  if (n + m < startup || n < 2) return parts::startup_point(d, seed, n + m, taken);
  SeededRng rng = SeededRng::seed_from_u64(seed_mix(seed ^ seed_mix(n * 1000003ull + m)));

  std::vector<double> warped1, warped2;
  Model first = objective_model(dims, points, values, 0, pending, warped1);
  Model second = objective_model(dims, points, values, 1, pending, warped2);
  // The front of the results; the proposal's, with the pending points at
  // their believed means.
  double reference1 = reference_beyond(warped1), reference2 = reference_beyond(warped2);
  Front2 results_front = front_of(warped1, warped2, reference1, reference2);
  std::vector<double> with1 = warped1, with2 = warped2;
  for (size_t j = 0; j < m; ++j) {
    double mean, variance;
    first.predict(&pending[j * d], mean, variance);
    with1.push_back(mean);
    second.predict(&pending[j * d], mean, variance);
    with2.push_back(mean);
  }
  Front2 front = m == 0 ? results_front : front_of(with1, with2, reference1, reference2);

  // Perturb the results on the front first (rank 0), in the order told, at
  // the shorter of the two models' length scales.
  std::vector<double> ranks(n, 1.0);
  for (size_t i = 0; i < n; ++i) {
    for (size_t f = 0; f < results_front.first.size(); ++f) {
      if (warped1[i] == results_front.first[f] && warped2[i] == results_front.second[f]) ranks[i] = 0.0;
    }
  }
  std::vector<double> log_length(d);
  for (size_t k = 0; k < d; ++k) {
    log_length[k] = std::min(first.hyper().log_length[k], second.hyper().log_length[k]);
  }
  std::vector<Candidate> candidates =
      parts::screening_candidates(dims, log_length, points, ranks, settings, rng);
  score(dims, first, second, front, candidates);
  sort_best_first(candidates);

  // Refinement around the best candidates at shrinking scales.
  for (double scale : parts::kPerturbationScales) {
    std::vector<Candidate> around;
    size_t best = std::min(kRefined, candidates.size());
    for (size_t c = 0; c < best; ++c) {
      for (size_t j = 0; j < kPerturbationsPerScale; ++j) {
        std::vector<double> x = candidates[c].x;
        for (size_t k = 0; k < d; ++k) {
          double length = std::min(std::exp(log_length[k]), 1.0);
          x[k] = parts::into_cube(dims[k], x[k] + scale * length * rng.sample_normal());
        }
        around.push_back({std::move(x), 0.0});
      }
    }
    score(dims, first, second, front, around);
    candidates.insert(candidates.end(), around.begin(), around.end());
    sort_best_first(candidates);
  }
  for (const Candidate& c : candidates) {
    if (!taken(c.x.data())) return c.x;
  }
  return candidates.front().x;
}

}  // namespace vordaopt::gp
