#include "gp/ehvi.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>

#include "gp/log_ei.h"
#include "gp/model.h"
#include "gp/proposal_parts.h"
#include "gp/warp.h"
#include "pareto/dominance.h"
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

// log (E(u_i - Y)+ - E(u_{i-1} - Y)+) for the ascending bounds u (u_{-1} = -inf).
std::vector<double> log_differences(const std::vector<double>& bounds, double mean, double sd) {
  std::vector<double> out(bounds.size(), kNegativeInfinity);
  double log_previous = kNegativeInfinity;
  for (size_t i = 0; i < bounds.size(); ++i) {
    double log_here = log_expected_improvement(mean, sd, bounds[i]);
    if (log_here > log_previous) {
      out[i] = log_previous == kNegativeInfinity ? log_here
                                                 : log_here + log1mexp(log_previous - log_here);
    }
    log_previous = std::max(log_previous, log_here);
  }
  return out;
}

// Every model's belief about every candidate, and its log EHVI (two or
// three objectives: the front of their number).
void score(const std::vector<Dim>& dims, const std::vector<Model>& models, const Front2& front2,
           const Front3& front3, std::vector<Candidate>& candidates) {
  std::vector<double> flat = parts::snap_candidates(dims, candidates);
  size_t m = models.size();
  std::vector<std::vector<double>> means(m), variances(m);
  for (size_t k = 0; k < m; ++k) {
    models[k].predict_many(flat.data(), candidates.size(), means[k], variances[k]);
  }
  for (size_t i = 0; i < candidates.size(); ++i) {
    double mean[3] = {}, sd[3] = {};
    for (size_t k = 0; k < m; ++k) {
      mean[k] = means[k][i];
      sd[k] = std::sqrt(variances[k][i]);
    }
    candidates[i].score = m == 2 ? log_ehvi(front2, mean[0], sd[0], mean[1], sd[1])
                                 : log_ehvi3(front3, mean, sd);
  }
}

void sort_best_first(std::vector<Candidate>& candidates) {
  std::stable_sort(candidates.begin(), candidates.end(),
                   [](const Candidate& a, const Candidate& b) { return a.score > b.score; });
}

// One objective's warped values and its model, pending points included.
Model objective_model(const std::vector<Dim>& dims, const std::vector<double>& points,
                      const std::vector<double>& values, size_t objectives, size_t which,
                      const std::vector<double>& pending, std::vector<double>& warped) {
  std::vector<double> column(values.size() / objectives);
  for (size_t i = 0; i < column.size(); ++i) column[i] = values[objectives * i + which];
  warped = warp_values(column).values;
  size_t results = 0;
  // Chosen on the open problems of several objectives: with the prior that
  // grows with the dimension, the models' trends sent whole proposals to
  // the box's corners (DTLZ2's distance coordinates at their worst).
  return parts::conditioned_model(dims, points, warped, pending, results, RealPrior::kRange);
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
  std::vector<double> bounds = front.first;  // a_1 .. a_k, then a_{k+1} = r1
  bounds.push_back(front.reference_first);
  std::vector<double> strips = log_differences(bounds, mean1, sd1);
  double total = kNegativeInfinity;
  for (size_t i = 0; i < strips.size(); ++i) {
    if (strips[i] == kNegativeInfinity) continue;
    double b = i == 0 ? front.reference_second : front.second[i - 1];
    total = log_add(total, strips[i] + log_expected_improvement(mean2, sd2, b));
  }
  return total;
}

Front3 front3_of(const std::vector<double>& first, const std::vector<double>& second,
                 const std::vector<double>& third, const double reference[3]) {
  std::vector<size_t> inside;
  for (size_t i = 0; i < first.size(); ++i) {
    if (first[i] < reference[0] && second[i] < reference[1] && third[i] < reference[2]) {
      inside.push_back(i);
    }
  }
  Front3 front;
  for (size_t i : inside) {
    front.grid1.push_back(first[i]);
    front.levels3.push_back(third[i]);
  }
  for (std::vector<double>* axis : {&front.grid1, &front.levels3}) {
    std::sort(axis->begin(), axis->end());
    axis->erase(std::unique(axis->begin(), axis->end()), axis->end());
  }
  front.grid1.push_back(reference[0]);
  front.levels3.push_back(reference[2]);
  size_t t_count = front.grid1.size(), s_count = front.levels3.size();
  // Cell (j, t) spans [levels3[j-1], levels3[j]) in the third objective and
  // [grid1[t-1], grid1[t]) in the first (index -1: minus infinity); the
  // points that reach it have third <= levels3[j-1] and first <= grid1[t-1].
  std::vector<double> height(s_count * t_count, reference[1]);
  for (size_t j = 1; j < s_count; ++j) {
    for (size_t t = 1; t < t_count; ++t) {
      double h = reference[1];
      for (size_t i : inside) {
        if (third[i] <= front.levels3[j - 1] && first[i] <= front.grid1[t - 1]) h = std::min(h, second[i]);
      }
      height[j * t_count + t] = h;
    }
  }
  front.heights = height;
  std::sort(front.heights.begin(), front.heights.end());
  front.heights.erase(std::unique(front.heights.begin(), front.heights.end()), front.heights.end());
  front.height_of.resize(height.size());
  for (size_t c = 0; c < height.size(); ++c) {
    front.height_of[c] = static_cast<size_t>(
        std::lower_bound(front.heights.begin(), front.heights.end(), height[c]) - front.heights.begin());
  }
  return front;
}

double log_ehvi3(const Front3& front, const double mean[3], const double sd[3]) {
  std::vector<double> across = log_differences(front.grid1, mean[0], sd[0]);
  std::vector<double> along = log_differences(front.levels3, mean[2], sd[2]);
  std::vector<double> below(front.heights.size());
  for (size_t h = 0; h < below.size(); ++h) {
    below[h] = log_expected_improvement(mean[1], sd[1], front.heights[h]);
  }
  size_t t_count = across.size();
  // Sum of exp(term) over the cells, shifted by the largest term.
  std::vector<double> terms;
  terms.reserve(along.size() * t_count);
  double largest = kNegativeInfinity;
  for (size_t j = 0; j < along.size(); ++j) {
    if (along[j] == kNegativeInfinity) continue;
    for (size_t t = 0; t < t_count; ++t) {
      double term = along[j] + across[t] + below[front.height_of[j * t_count + t]];
      if (term == kNegativeInfinity) continue;
      terms.push_back(term);
      largest = std::max(largest, term);
    }
  }
  if (largest == kNegativeInfinity) return kNegativeInfinity;
  double sum = 0.0;
  for (double term : terms) sum += std::exp(term - largest);
  return largest + std::log(sum);
}

std::vector<double> propose_ehvi(const std::vector<Dim>& dims, const std::vector<double>& points,
                                 const std::vector<double>& values, size_t objectives,
                                 const std::vector<double>& pending, uint64_t seed,
                                 const ProposeSettings& settings) {
  size_t d = dims.size();
  if (d == 0) return {};
  size_t n = values.size() / objectives, m = pending.size() / d;
  size_t startup = settings.startup != 0 ? settings.startup : d + 1;
  parts::TakenPoints taken(dims, points, pending);
  if (n + m < startup || n < 2) return parts::startup_point(d, seed, n + m, taken);
  SeededRng rng = SeededRng::seed_from_u64(seed_mix(seed ^ seed_mix(n * 1000003ull + m)));

  std::vector<Model> models;
  std::vector<std::vector<double>> warped(objectives);
  std::vector<double> reference(objectives);
  for (size_t k = 0; k < objectives; ++k) {
    models.push_back(objective_model(dims, points, values, objectives, k, pending, warped[k]));
    reference[k] = reference_beyond(warped[k]);
  }
  // The proposal's front: the results, and the pending points at their
  // believed means.
  std::vector<std::vector<double>> with = warped;
  for (size_t j = 0; j < m; ++j) {
    for (size_t k = 0; k < objectives; ++k) {
      double mean, variance;
      models[k].predict(&pending[j * d], mean, variance);
      with[k].push_back(mean);
    }
  }
  Front2 front2;
  Front3 front3;
  if (objectives == 2) {
    front2 = front_of(with[0], with[1], reference[0], reference[1]);
  } else {
    front3 = front3_of(with[0], with[1], with[2], reference.data());
  }

  // Perturb the results that no other result dominates first (rank 0), in
  // the order told, at the shortest of the models' length scales.
  std::vector<double> rows(n * objectives);
  for (size_t i = 0; i < n; ++i) {
    for (size_t k = 0; k < objectives; ++k) rows[i * objectives + k] = warped[k][i];
  }
  std::vector<uint32_t> fronts = pareto::front_ranks(rows, objectives);
  std::vector<double> ranks(n);
  for (size_t i = 0; i < n; ++i) ranks[i] = fronts[i] == 0 ? 0.0 : 1.0;
  std::vector<double> log_length = models[0].hyper().log_length;
  for (size_t k = 1; k < objectives; ++k) {
    for (size_t c = 0; c < d; ++c) log_length[c] = std::min(log_length[c], models[k].hyper().log_length[c]);
  }
  std::vector<Candidate> candidates =
      parts::screening_candidates(dims, log_length, points, ranks, settings, rng);
  score(dims, models, front2, front3, candidates);
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
    score(dims, models, front2, front3, around);
    candidates.insert(candidates.end(), around.begin(), around.end());
    sort_best_first(candidates);
  }
  for (const Candidate& c : candidates) {
    if (!taken(c.x.data())) return c.x;
  }
  return candidates.front().x;
}

}  // namespace vordaopt::gp
