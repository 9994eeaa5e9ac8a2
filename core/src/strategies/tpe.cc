#include "strategies/tpe.h"

#include <algorithm>
#include <cmath>
#include <numeric>

#include "float_text.h"
#include "internal_error.h"
#include "numeric.h"
#include "rng.h"

namespace vordaopt {
namespace {

constexpr double kSqrtTwoPi = 2.5066282746310002;
constexpr double kDensityFloor = 1e-12;

double normal_reference(double sigma, size_t n) {
  double h = 1.06 * sigma * std::pow(static_cast<double>(n), -0.2);
  return std::max(h, 1e-6);
}

// Sum over `centres` of the Gaussian kernel at x with bandwidth h, each term
// divided and added in order, then averaged and floored.
double parzen_density(double x, const std::vector<double>& centres, double h, double norm) {
  double sum = 0.0;
  for (double g : centres) {
    double u = (x - g) / h;
    double term = std::exp(-0.5 * (u * u)) / norm;
    sum += term;
  }
  return std::max(sum / static_cast<double>(centres.size()), kDensityFloor);
}

// What a model-based step needs of one parameter; the same for all candidates.
struct ParameterModel {
  const std::string* name;
  double min, max;
  std::vector<double> good, bad;
  double h;
  double norm;  // h * sqrt(2 pi)
};

}  // namespace

double TPE::silverman_bandwidth(const std::vector<double>& values) {
  size_t n = values.size();
  if (n < 2) return 1.0;
  double sigma = population_moments(values).std_dev;
  if (n <= 3) return normal_reference(sigma, n);
  std::vector<double> sorted = values;
  std::sort(sorted.begin(), sorted.end());
  double iqr = sorted[3 * n / 4] - sorted[n / 4];
  double s = std::min(sigma, iqr / 1.34);
  return std::max(0.9 * s * std::pow(static_cast<double>(n), -0.2), 1e-6);
}

StrategyAction TPE::step(const SolverConfig& config, const History& history) {
  SeededRng rng = SeededRng::seed_from_u64(config.seed + static_cast<uint64_t>(history.size()));
  const NamedMap<Domain>& bounds = config.bounds;

  if (history.size() < n_candidates_) {
    ParamMap candidate;
    candidate.reserve(bounds.size());
    for (const auto& [name, domain] : bounds) {
      candidate.insert_or_assign(name, rng.random_range(domain.min, domain.max));
    }
    return StrategyAction::evaluate({std::move(candidate)});
  }

  // Rank the history by value, keeping history order among equal values.
  size_t len = history.size();
  std::vector<size_t> ranked(len);
  std::iota(ranked.begin(), ranked.end(), size_t{0});
  std::stable_sort(ranked.begin(), ranked.end(),
                   [&](size_t a, size_t b) { return history.value(a) < history.value(b); });
  size_t n_good = static_cast<size_t>(saturating_u64(std::ceil(gamma_ * static_cast<double>(len))));
  n_good = std::min(std::max<size_t>(n_good, 2), len);
  size_t n_bad = len - n_good;

  std::vector<ParameterModel> models;
  models.reserve(bounds.size());
  for (const auto& [name, domain] : bounds) {
    ParameterModel m{&name, domain.min, domain.max, {}, {}, 0.0, 0.0};
    uint32_t id = history.name_id(name);
    m.good.reserve(n_good);
    m.bad.reserve(n_bad);
    for (size_t r = 0; r < len; ++r) {
      (r < n_good ? m.good : m.bad).push_back(history.param(ranked[r], id));
    }
    double h = 0.0;
    switch (bandwidth_rule_) {
      case BandwidthRule::kNormalReference:
        h = normal_reference(population_moments(m.good).std_dev, m.good.size());
        break;
      case BandwidthRule::kSilverman:
        h = silverman_bandwidth(m.good);
        break;
      case BandwidthRule::kRangeFraction:
        h = std::max(0.1 * (domain.max - domain.min), 1e-6);
        break;
    }
    m.h = std::max(h, 0.02 * (domain.max - domain.min));
    m.norm = m.h * kSqrtTwoPi;
    models.push_back(std::move(m));
  }

  ParamMap best;
  double best_score = 0.0;
  bool have_best = false;
  std::vector<double> xs(models.size());
  for (size_t c = 0; c < n_candidates_; ++c) {
    double s_good = 0.0, s_bad = 0.0;
    for (size_t p = 0; p < models.size(); ++p) {
      const ParameterModel& m = models[p];
      uint32_t i = rng.random_range(static_cast<uint32_t>(n_good));
      double z = rng.sample_normal();
      double x = m.good[i] + m.h * z;
      if (!(m.min <= m.max)) throw InternalError(reversed_range_message(m.min, m.max));
      if (x < m.min) x = m.min;
      if (x > m.max) x = m.max;
      xs[p] = x;
      double l = parzen_density(x, m.good, m.h, m.norm);
      double b = n_bad ? parzen_density(x, m.bad, m.h, m.norm) : kDensityFloor;
      s_good += std::log(l);
      s_bad += std::log(b);
    }
    double score = s_good - s_bad;
    if (!have_best || score > best_score) {
      have_best = true;
      best_score = score;
      best = ParamMap();
      best.reserve(models.size());
      for (size_t p = 0; p < models.size(); ++p) best.insert_or_assign(*models[p].name, xs[p]);
    }
  }
  return StrategyAction::evaluate({std::move(best)});
}

}  // namespace vordaopt
