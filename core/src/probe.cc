#include "probe.h"

#include <algorithm>
#include <cmath>

#include "float_text.h"
#include "internal_error.h"
#include "interrupt.h"
#include "numeric.h"
#include "rng.h"

namespace vordaopt {
namespace {

// An upper bound of the n-th prime: (ln n + ln ln n + 2) * n, or 15 for n < 6.
size_t nth_prime_bound(size_t n) {
  if (n < 6) return 15;
  double t = std::log(static_cast<double>(n));
  double bound = ((t + std::log(t)) + 2.0) * static_cast<double>(n);
  return static_cast<size_t>(saturating_u64(bound));
}

// Builds a point map from values in dimension order.
ParamMap to_map(const NamedMap<Domain>& bounds, const double* values) {
  ParamMap point;
  point.reserve(bounds.size());
  size_t d = 0;
  for (const auto& entry : bounds) point.insert_or_assign(entry.first, values[d++]);
  return point;
}

[[noreturn]] void index_out_of_bounds(size_t len, size_t index) {
  throw InternalError("index out of bounds: the len is " + std::to_string(len) +
                      " but the index is " + std::to_string(index));
}

}  // namespace

std::vector<size_t> PrimeIndexProbe::sieve_of_eratosthenes(size_t limit) {
  if (limit < 2) return {};
  std::vector<unsigned char> is_prime(limit + 1, 1);
  is_prime[0] = is_prime[1] = 0;
  size_t root = static_cast<size_t>(std::sqrt(static_cast<double>(limit)));
  for (size_t p = 2; p <= root; ++p) {
    if (!is_prime[p] || p * p > limit) continue;
    for (size_t m = p * p; m <= limit; m += p) is_prime[m] = 0;
  }
  std::vector<size_t> primes;
  for (size_t i = 2; i <= limit; ++i) {
    if (is_prime[i]) primes.push_back(i);
  }
  return primes;
}

ProbeGeometry prepare_geometry(const PrimeSqrtSlopesRotProbe& probe,
                               const NamedMap<Domain>& bounds) {
  ProbeGeometry g;
  size_t dims = bounds.size();
  g.names.reserve(dims);
  for (const auto& entry : bounds) g.names.push_back(entry.first);  // already sorted

  size_t n = dims + std::max(probe.slope_prime_offset, probe.rot_prime_offset) + 10;  // wraps
  if (n != 0) {
    g.primes = PrimeIndexProbe::sieve_of_eratosthenes(nth_prime_bound(n));
    if (g.primes.size() > n) g.primes.resize(n);
  }
  size_t m = g.primes.size();
  auto prime_at = [&](size_t q) { return q < m ? g.primes[q] : g.primes[m - 1]; };

  g.slopes.resize(dims);
  g.rotations.resize(dims);
  for (size_t d = 0; d < dims; ++d) {
    if (m == 0) {
      g.slopes[d] = 1.4142135623730951;
      g.rotations[d] = std::fmod(probe.rot_alpha + probe.rot_alpha, 1.0);
      continue;
    }
    g.slopes[d] = std::sqrt(static_cast<double>(prime_at(probe.slope_prime_offset + d)));
    double product = probe.rot_alpha * static_cast<double>(prime_at(probe.rot_prime_offset + d));
    g.rotations[d] = std::fmod(product, 1.0);
  }
  return g;
}

double fmod_one(double x) {
  // Both forms are exact; only the sign of a zero result needs care, since
  // fmod gives it the sign of x.
  double t = x - std::trunc(x);
  return t == 0.0 ? std::copysign(0.0, x) : t;
}

DomainMapper::DomainMapper(const Domain& domain) : domain_(domain) {
  if (domain.scale != Scale::kLog) return;
  log_ = true;
  reversed_ = !(domain.min <= domain.max);
  if (!reversed_) {
    log_min_ = std::log(domain.min);
    log_span_ = std::log(domain.max) - log_min_;
  }
}

double DomainMapper::operator()(double t) const {
  if (!log_) {
    double product = (domain_.max - domain_.min) * t;
    return domain_.min + product;
  }
  if (reversed_) throw InternalError(reversed_range_message(domain_.min, domain_.max));
  double product = t * log_span_;
  double v = std::exp(log_min_ + product);
  // The clamp absorbs the rounding of log and exp at the ends; NaN passes.
  if (v < domain_.min) v = domain_.min;
  if (v > domain_.max) v = domain_.max;
  return v;
}

std::vector<DomainMapper> make_mappers(const NamedMap<Domain>& bounds) {
  std::vector<DomainMapper> mappers;
  mappers.reserve(bounds.size());
  for (const auto& entry : bounds) mappers.emplace_back(entry.second);
  return mappers;
}

void generate_values_at(const PrimeSqrtSlopesRotProbe& probe, uint32_t index,
                        const ProbeGeometry& geometry, const std::vector<DomainMapper>& mappers,
                        double* out) {
  // Index 0 is lattice step 1; the largest index wraps to step 0.
  double k = static_cast<double>(static_cast<uint32_t>(index + 1u));
  size_t dims = std::min(geometry.names.size(), mappers.size());
  for (size_t d = 0; d < dims; ++d) {
    double product = geometry.slopes[d] * k;
    double inner = geometry.rotations[d] + product;
    double x = probe.seed_offset + inner;
    double t = fmod_one(x);
    if (t < 0.0) t += 1.0;
    out[d] = mappers[d](t);
  }
}

ParamMap generate_point_at(const PrimeSqrtSlopesRotProbe& probe, uint32_t index,
                           const ProbeGeometry& geometry, const NamedMap<Domain>& bounds) {
  if (geometry.names.empty() || bounds.empty()) return {};
  std::vector<double> values(bounds.size());
  generate_values_at(probe, index, geometry, make_mappers(bounds), values.data());
  return to_map(bounds, values.data());
}

ParamMap sample_at(const PrimeSqrtSlopesRotProbe& probe, uint32_t index,
                   const NamedMap<Domain>& bounds) {
  return generate_point_at(probe, index, prepare_geometry(probe, bounds), bounds);
}

std::vector<ParamMap> sample_range(const PrimeSqrtSlopesRotProbe& probe, uint32_t start,
                                   uint32_t count, const NamedMap<Domain>& bounds) {
  ProbeGeometry geometry = prepare_geometry(probe, bounds);
  std::vector<DomainMapper> mappers = make_mappers(bounds);
  std::vector<double> values(bounds.size());
  std::vector<ParamMap> points;
  points.reserve(count);
  InterruptCheck interrupt;
  for (uint32_t j = 0; j < count; ++j) {
    interrupt.tick(1 + values.size());
    if (geometry.names.empty()) {
      points.emplace_back();
      continue;
    }
    generate_values_at(probe, start + j, geometry, mappers, values.data());
    points.push_back(to_map(bounds, values.data()));
  }
  return points;
}

ProbeBatchCursor::ProbeBatchCursor(const PrimeSqrtSlopesRotProbe& probe,
                                   const SolverConfig& config)
    : geometry_(prepare_geometry(probe, config.bounds)),
      mappers_(make_mappers(config.bounds)),
      seed_offset_(probe.seed_offset),
      cp_shift_(probe.cp_shift),
      rng_(SeededRng::seed_from_u64(saturating_u64(probe.seed_offset * 1000000000.0))) {
  double budget = static_cast<double>(config.budget);
  size_t n = static_cast<size_t>(saturating_u64(std::ceil(config.probe_ratio * budget)));
  n_rand_ = static_cast<size_t>(
      saturating_u64(std::floor(probe.spice_ratio * static_cast<double>(n))));
  n_lat_ = (n > n_rand_ && n - n_rand_ > 2) ? n - n_rand_ - 2 : 0;
  requested_ = n;
  // The lower corner always; the centre too unless the batch is a single point.
  anchors_ = n <= 1 ? 1 : 2;
}

void ProbeBatchCursor::seek(size_t position) {
  position_ = position;
  size_t random_start = anchors_ + n_lat_;
  // The random point the stream must stand at for the next draw.
  size_t target = position > random_start ? position - random_start : 0;
  if (target < rng_position_) {
    rng_ = SeededRng::seed_from_u64(saturating_u64(seed_offset_ * 1000000000.0));
    rng_position_ = 0;
  }
  // One draw per parameter per point, as next() makes them.
  InterruptCheck interrupt;
  for (; rng_position_ < target; ++rng_position_) {
    interrupt.tick(1 + dims());
    for (size_t d = 0; d < dims(); ++d) rng_.unit_f64();
  }
}

void ProbeBatchCursor::next(double* out) {
  size_t dims = this->dims();
  if (position_ < anchors_) {
    // Anchors: every coordinate at the start of its range, then at the middle.
    double u = position_ == 0 ? 0.0 : 0.5;
    for (size_t d = 0; d < dims; ++d) out[d] = mappers_[d](u);
  } else if (position_ < anchors_ + n_lat_) {
    // Lattice point i, displaced by the Cranley-Patterson shift.
    double step = static_cast<double>(position_ - anchors_ + 1);
    const std::vector<double>* shift = cp_shift_ ? &*cp_shift_ : nullptr;
    for (size_t d = 0; d < dims; ++d) {
      double product = geometry_.slopes[d] * step;
      double inner = geometry_.rotations[d] + product;
      double r = std::fmod(seed_offset_ + inner, 1.0);
      double c = 0.0;
      if (shift) {
        if (d >= shift->size()) index_out_of_bounds(shift->size(), d);
        c = (*shift)[d];
      }
      double x = c + r;
      double t = x - std::trunc(x);
      if (t < 0.0) t += 1.0;
      out[d] = mappers_[d](t);
    }
  } else {
    // Random points: one draw per parameter per point, in name order.
    for (size_t d = 0; d < dims; ++d) out[d] = mappers_[d](rng_.unit_f64());
    ++rng_position_;
  }
  ++position_;
}

std::vector<ParamMap> PrimeSqrtSlopesRotProbe::sample(const SolverConfig& config) const {
  ProbeBatchCursor cursor(*this, config);
  std::vector<ParamMap> batch;
  if (cursor.requested() > batch.max_size()) throw InternalError("capacity overflow");
  batch.reserve(cursor.requested());
  std::vector<double> values(cursor.dims());
  InterruptCheck interrupt;
  while (cursor.position() < cursor.size()) {
    if (cursor.past_anchors()) interrupt.tick(1 + values.size());
    cursor.next(values.data());
    batch.push_back(to_map(config.bounds, values.data()));
  }
  return batch;
}

}  // namespace vordaopt
