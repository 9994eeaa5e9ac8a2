#include "strategies/tpe.h"

#include <algorithm>
#include <cmath>
#include <numeric>

#include "float_text.h"
#include "internal_error.h"
#include "numeric.h"
#include "rng.h"
#include "strategies/tpe_scoring.h"

namespace vordaopt {
namespace {

constexpr double kSqrtTwoPi = 2.5066282746310002;

double normal_reference(double sigma, size_t n) {
  double h = 1.06 * sigma * std::pow(static_cast<double>(n), -0.2);
  return std::max(h, 1e-6);
}

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

  std::vector<tpe::Kernel> kernels(bounds.size());
  std::vector<const std::string*> names;
  std::vector<const Domain*> domains;
  // Which kernel each stored name feeds; a record lacking a parameter leaves
  // its 0.0 in place.
  std::vector<int64_t> kernel_of(history.name_count(), -1);
  for (const auto& [name, domain] : bounds) {
    uint32_t id = history.name_id(name);
    if (id != History::kNoName) kernel_of[id] = static_cast<int64_t>(names.size());
    kernels[names.size()].good.assign(n_good, 0.0);
    kernels[names.size()].bad.assign(n_bad, 0.0);
    names.push_back(&name);
    domains.push_back(&domain);
  }
  for (size_t r = 0; r < len; ++r) {
    bool good = r < n_good;
    size_t slot = good ? r : r - n_good;
    history.for_each_param(ranked[r], [&](uint32_t id, double v) {
      int64_t p = kernel_of[id];
      if (p >= 0) (good ? kernels[p].good : kernels[p].bad)[slot] = v;
    });
  }
  for (size_t p = 0; p < kernels.size(); ++p) {
    tpe::Kernel& k = kernels[p];
    const Domain& domain = *domains[p];
    double h = 0.0;
    switch (bandwidth_rule_) {
      case BandwidthRule::kNormalReference:
        h = normal_reference(population_moments(k.good).std_dev, k.good.size());
        break;
      case BandwidthRule::kSilverman:
        h = silverman_bandwidth(k.good);
        break;
      case BandwidthRule::kRangeFraction:
        h = std::max(0.1 * (domain.max - domain.min), 1e-6);
        break;
    }
    k.h = std::max(h, 0.02 * (domain.max - domain.min));
    k.norm = k.h * kSqrtTwoPi;
  }

  // The draws of all candidates first (they never depend on the scores),
  // then the choice among them.
  size_t dims = kernels.size();
  std::vector<double> xs(n_candidates_ * dims);
  for (size_t c = 0; c < n_candidates_; ++c) {
    for (size_t p = 0; p < dims; ++p) {
      const tpe::Kernel& k = kernels[p];
      uint32_t i = rng.random_range(static_cast<uint32_t>(n_good));
      double z = rng.sample_normal();
      double x = k.good[i] + k.h * z;
      double min = domains[p]->min, max = domains[p]->max;
      if (!(min <= max)) throw InternalError(reversed_range_message(min, max));
      if (x < min) x = min;
      if (x > max) x = max;
      xs[c * dims + p] = x;
    }
  }
  ParamMap best;
  if (dims == 0) return StrategyAction::evaluate({std::move(best)});
  size_t chosen = tpe::reference_scoring() ? tpe::choose_exact(kernels, xs, n_candidates_)
                                            : tpe::choose_fast(kernels, xs, n_candidates_).index;
  best.reserve(dims);
  for (size_t p = 0; p < dims; ++p) best.insert_or_assign(*names[p], xs[chosen * dims + p]);
  return StrategyAction::evaluate({std::move(best)});
}

}  // namespace vordaopt
