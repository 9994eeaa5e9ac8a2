// The GP method's proposal: the next point to evaluate, as a function of the
// observed points and values, the pending points and a seed, and of nothing
// else (no state carried between proposals, no clock, no threads).
//
// - Start-up: while fewer than `startup` points are observed or pending, the
//   next point of the probe's prime-slope lattice (space filling; each
//   pending point moves the design on by one).
// - Then: the values are warped (warp.h), a GP is fitted (model.h), pending
//   points join the data at their posterior mean ("kriging believer", so a
//   round never proposes one point twice), and log expected improvement over
//   the best observed value is maximised: screening of a quasi-random set and
//   of perturbations of the best points at several scales of the fitted
//   length scales, quasi-Newton searches from the best of them over the
//   continuous and periodic coordinates, then a coordinate search over the
//   integer and categorical ones.
#ifndef VORDAOPT_CORE_GP_PROPOSE_H_
#define VORDAOPT_CORE_GP_PROPOSE_H_

#include <cstddef>
#include <cstdint>
#include <vector>

#include "gp/kernel.h"
#include "gp/model.h"

namespace vordaopt::gp {

struct ProposeSettings {
  size_t startup = 0;          // 0: d + 1 points
  size_t screen = 1024;        // quasi-random screening points
  size_t perturbed_best = 5;   // best points whose neighbourhoods are screened
  size_t perturbations = 64;   // per best point
  size_t local_searches = 10;  // quasi-Newton runs from the best screened points
  size_t max_discrete_values = 16;  // beyond: a stepping search instead of every value
  // Screening candidates are scored in full only where a bound from their
  // mean says they can be among the local searches' starts. The proposal is
  // the same either way; false scores every candidate (for checks).
  bool bound_screening = true;
  // The prior of the reals' length scales (see model.h).
  RealPrior real_prior = RealPrior::kByDimension;
};

// Constraints on the observed points: `margins` holds n x count values
// (row-major), how far each point lies outside each limit; a point is
// feasible where all of its margins are at most 0. A model of each margin
// multiplies EI by the probability of feasibility (see feasibility.h).
struct Constraints {
  size_t count = 0;
  std::vector<double> margins;
};

// points: n x d unit coordinates (row-major), values: n finite values to
// minimise, pending: m x d unit coordinates. Returns d unit coordinates.
std::vector<double> propose(const std::vector<Dim>& dims, const std::vector<double>& points,
                            const std::vector<double>& values,
                            const std::vector<double>& pending, uint64_t seed,
                            const ProposeSettings& settings = {},
                            const Constraints& constraints = {});

// The model's posterior mean at each of the n observed points, as the next
// proposal would fit it, on the model's warped scale: only their order
// means anything. With noise, the least mean is a better guess at the best
// configuration than the least observed value. Fewer than 3 points: the values.
std::vector<double> fitted_means(const std::vector<Dim>& dims, const std::vector<double>& points,
                                 const std::vector<double>& values);

}  // namespace vordaopt::gp

#endif  // VORDAOPT_CORE_GP_PROPOSE_H_
