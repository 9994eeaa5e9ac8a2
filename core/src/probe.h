// The probe: a rotated Kronecker lattice whose per-dimension slopes are square
// roots of primes, its stateless point generator, and the solver's batch.
//
// Dimension d is the d-th parameter name in ascending byte-wise order. The
// geometry (slopes and rotations) depends only on the set of names and on the
// probe record, never on the ranges, and is rebuilt on every call.
#ifndef VORDAOPT_CORE_PROBE_H_
#define VORDAOPT_CORE_PROBE_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "config.h"
#include "named_map.h"
#include "rng.h"

namespace vordaopt {

// The double nearest 1/pi: seeds become probe offsets as fmod(seed * 1/pi, 1).
inline constexpr double kInversePi = 0.3183098861837907;

// The probe interface through which the solver owns its probe.
class Probe {
 public:
  virtual ~Probe() = default;
  // The whole probe batch for `config`: the anchors (lower corner, centre),
  // the lattice points and the random points, in that order. Throws
  // InternalError for a reversed Log domain or a short cp_shift.
  virtual std::vector<ParamMap> sample(const SolverConfig& config) const = 0;
};

struct PrimeSqrtSlopesRotProbe final : Probe {
  double seed_offset = 0.0;  // added to every lattice coordinate; seeds the random points
  double rot_alpha = 0.41421356237309515;  // the double nearest sqrt(2) - 1
  double spice_ratio = 0.1;  // share of a batch given to random points
  size_t slope_prime_offset = 50;
  size_t rot_prime_offset = 200;
  std::optional<std::vector<double>> cp_shift;  // one shift per dimension; absent = zeros

  std::vector<ParamMap> sample(const SolverConfig& config) const override;
};

struct PrimeIndexProbe {
  // All primes p with 2 <= p <= limit, ascending.
  static std::vector<size_t> sieve_of_eratosthenes(size_t limit);
};

struct ProbeGeometry {
  std::vector<size_t> primes;     // the first dims + 210 primes
  std::vector<double> slopes;     // per dimension
  std::vector<double> rotations;  // per dimension
  std::vector<std::string> names; // sorted byte-wise
};

ProbeGeometry prepare_geometry(const PrimeSqrtSlopesRotProbe& probe,
                               const NamedMap<Domain>& bounds);

// Maps a position t (normally in [0, 1)) into one domain: min + (max - min) * t
// for Linear and Periodic; for Log exp(ln min + t * (ln max - ln min)),
// clamped to [min, max]. The logarithms of the ends are taken once. A Log
// domain with min > max or a NaN bound throws InternalError when a position
// is mapped (not before), so an empty request never fails.
class DomainMapper {
 public:
  explicit DomainMapper(const Domain& domain);
  double operator()(double t) const;

 private:
  Domain domain_;
  bool log_ = false;
  bool reversed_ = false;
  double log_min_ = 0.0;
  double log_span_ = 0.0;  // ln(max) - ln(min)
};

// fmod(x, 1.0), computed as x - trunc(x), which is exact and much cheaper.
double fmod_one(double x);

// One mapper per dimension of `bounds`, in name order.
std::vector<DomainMapper> make_mappers(const NamedMap<Domain>& bounds);

// The values of stateless point `index` in dimension order, written to
// out[0..dims). The geometry and the mappers must have been built for the
// same bounds.
void generate_values_at(const PrimeSqrtSlopesRotProbe& probe, uint32_t index,
                        const ProbeGeometry& geometry, const std::vector<DomainMapper>& mappers,
                        double* out);

// Stateless point `index` as a map (empty when there are no parameters).
ParamMap generate_point_at(const PrimeSqrtSlopesRotProbe& probe, uint32_t index,
                           const ProbeGeometry& geometry, const NamedMap<Domain>& bounds);
ParamMap sample_at(const PrimeSqrtSlopesRotProbe& probe, uint32_t index,
                   const NamedMap<Domain>& bounds);
// The points of indices start, start + 1, ... (wrapping modulo 2^32).
std::vector<ParamMap> sample_range(const PrimeSqrtSlopesRotProbe& probe, uint32_t start,
                                   uint32_t count, const NamedMap<Domain>& bounds);

// Walks the batch of PrimeSqrtSlopesRotProbe::sample one point at a time, so
// that a caller can hand out a large batch in slices without holding it
// whole. Point i of the walk equals element i of sample(config), bit for bit.
// The cursor copies what it needs: the probe record need not outlive it.
class ProbeBatchCursor {
 public:
  ProbeBatchCursor(const PrimeSqrtSlopesRotProbe& probe, const SolverConfig& config);

  // n, the count the batch is sized for: ceil(probe_ratio * budget), saturated.
  size_t requested() const { return requested_; }
  // The number of points of the batch (1 when requested() is 0 or 1).
  size_t size() const { return anchors_ + n_lat_ + n_rand_; }
  size_t position() const { return position_; }
  size_t dims() const { return geometry_.names.size(); }
  // Whether the next point is a lattice or random point (sample() polls for
  // interrupts before those, not before the anchors).
  bool past_anchors() const { return position_ >= anchors_; }
  // Moves to point `position`. Seeking into the random section from outside
  // it, or backwards within it, redraws the random stream up to there.
  // REQUIRES: position <= size()
  void seek(size_t position);
  // Writes the next point's values (dimension order) to out[0..dims()) and
  // advances. Throws InternalError as sample() does. REQUIRES: position() < size()
  void next(double* out);

 private:
  ProbeGeometry geometry_;
  std::vector<DomainMapper> mappers_;
  double seed_offset_;
  std::optional<std::vector<double>> cp_shift_;
  size_t requested_ = 0;
  size_t anchors_ = 0;
  size_t n_lat_ = 0;
  size_t n_rand_ = 0;
  size_t position_ = 0;
  SeededRng rng_;
  size_t rng_position_ = 0;  // the random point the stream stands at
};

}  // namespace vordaopt

#endif  // VORDAOPT_CORE_PROBE_H_
