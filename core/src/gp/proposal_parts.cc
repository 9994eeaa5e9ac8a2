#include "gp/proposal_parts.h"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <string>

#include "gp/subset.h"
#include "probe.h"

namespace vordaopt::gp::parts {
namespace {

constexpr double kInversePiSeed = 0.3183098861837907;  // seeds become lattice offsets
// The start-up design tries this many further lattice points for one not taken.
constexpr uint32_t kLatticeSkips = 64;

// Point `index` of the probe lattice over the unit cube of d dimensions.
std::vector<double> lattice_point(size_t d, uint64_t seed, uint32_t index) {
  NamedMap<Domain> bounds;
  for (size_t k = 0; k < d; ++k) {
    std::string name = std::to_string(k);
    name.insert(0, 8 - name.size(), '0');  // byte-wise order is index order
    bounds.insert_or_assign(name, Domain{0.0, 1.0, Scale::kLinear});
  }
  PrimeSqrtSlopesRotProbe probe;
  probe.seed_offset = std::fmod(static_cast<double>(seed) * kInversePiSeed, 1.0);
  ParamMap point = sample_at(probe, index, bounds);
  std::vector<double> out;
  for (const auto& entry : point) out.push_back(entry.second);
  return out;
}

}  // namespace

double into_cube(const Dim& dim, double t) {
  if (dim.kind == DimKind::kPeriodic) return t - std::floor(t);
  return std::clamp(t, 0.0, 1.0);
}

Model conditioned_model(const std::vector<Dim>& dims, const std::vector<double>& points,
                        const std::vector<double>& warped, const std::vector<double>& pending,
                        size_t& results, RealPrior real_prior) {
  size_t d = dims.size();
  std::vector<double> fit_points, fit_values;
  gather(subset(warped, kFitPoints), d, points, warped, fit_points, fit_values);
  Model fitted(dims, fit_points, fit_values, real_prior);
  fitted.fit();
  std::vector<double> all_points, all_values;
  gather(subset(warped, kModelPoints), d, points, warped, all_points, all_values);
  for (size_t j = 0; j < pending.size() / d; ++j) {
    double mean, var;
    fitted.predict(&pending[j * d], mean, var);
    all_points.insert(all_points.end(), pending.begin() + static_cast<std::ptrdiff_t>(j * d),
                      pending.begin() + static_cast<std::ptrdiff_t>((j + 1) * d));
    all_values.push_back(mean);
  }
  results = all_values.size() - pending.size() / d;
  Model model(dims, all_points, all_values, real_prior);
  if (!model.condition(fitted.hyper())) {
    results = fitted.size();
    return fitted;
  }
  return model;
}

std::vector<double> snap_candidates(const std::vector<Dim>& dims, std::vector<Candidate>& candidates) {
  size_t d = dims.size();
  std::vector<double> flat;
  flat.reserve(candidates.size() * d);
  for (Candidate& c : candidates) {
    for (size_t k = 0; k < d; ++k) c.x[k] = share_centre(dims[k], c.x[k]);
    flat.insert(flat.end(), c.x.begin(), c.x.end());
  }
  return flat;
}

bool TakenPoints::same_point(const double* a, const double* b) const {
  for (size_t k = 0; k < dims_.size(); ++k) {
    if (canonical(dims_[k], a[k]) != canonical(dims_[k], b[k])) return false;
  }
  return true;
}

std::vector<double> startup_point(size_t d, uint64_t seed, size_t taken_count,
                                  const TakenPoints& taken) {
  uint32_t index = static_cast<uint32_t>(taken_count);
  std::vector<double> x = lattice_point(d, seed, index);
  for (uint32_t skip = 1; skip <= kLatticeSkips && taken(x.data()); ++skip) {
    x = lattice_point(d, seed, index + skip);
  }
  return x;
}

std::vector<Candidate> screening_candidates(const std::vector<Dim>& dims,
                                            const std::vector<double>& log_length,
                                            const std::vector<double>& points,
                                            const std::vector<double>& ranks,
                                            const ProposeSettings& settings, SeededRng& rng) {
  size_t d = dims.size(), n = ranks.size();
  std::vector<Candidate> candidates;
  std::vector<double> alpha(d);
  {
    // The generalised golden ratio of dimension d: the root > 1 of x^(d+1) = x + 1.
    double phi = 2.0;
    for (int i = 0; i < 30; ++i) phi = std::pow(1.0 + phi, 1.0 / static_cast<double>(d + 1));
    for (size_t k = 0; k < d; ++k) alpha[k] = std::fmod(std::pow(1.0 / phi, static_cast<double>(k + 1)), 1.0);
  }
  std::vector<double> offset(d);
  for (double& o : offset) o = rng.unit_f64();
  for (size_t i = 0; i < settings.screen; ++i) {
    std::vector<double> x(d);
    for (size_t k = 0; k < d; ++k) {
      double t = offset[k] + alpha[k] * static_cast<double>(i + 1);
      x[k] = t - std::floor(t);
    }
    candidates.push_back({std::move(x), 0.0});
  }
  std::vector<size_t> order(n);
  std::iota(order.begin(), order.end(), size_t{0});
  std::stable_sort(order.begin(), order.end(),
                   [&](size_t a, size_t b) { return ranks[a] < ranks[b]; });
  size_t best_count = std::min(settings.perturbed_best, n);
  for (size_t b = 0; b < best_count; ++b) {
    const double* origin = &points[order[b] * d];
    for (size_t j = 0; j < settings.perturbations; ++j) {
      double scale = kPerturbationScales[j % std::size(kPerturbationScales)];
      std::vector<double> x(origin, origin + d);
      for (size_t k = 0; k < d; ++k) {
        double length = std::exp(log_length[k]);
        x[k] = into_cube(dims[k], x[k] + scale * std::min(length, 1.0) * rng.sample_normal());
      }
      candidates.push_back({std::move(x), 0.0});
    }
  }
  return candidates;
}

}  // namespace vordaopt::gp::parts
