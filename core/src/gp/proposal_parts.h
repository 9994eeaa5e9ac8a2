// What the GP method's proposals share, for one objective or several: the
// fitted and conditioned model, the start-up lattice, the points to avoid,
// and the screening set of candidates.
#ifndef VORDAOPT_CORE_GP_PROPOSAL_PARTS_H_
#define VORDAOPT_CORE_GP_PROPOSAL_PARTS_H_

#include <cstddef>
#include <cstdint>
#include <vector>

#include "gp/kernel.h"
#include "gp/model.h"
#include "gp/propose.h"
#include "rng.h"

namespace vordaopt::gp::parts {

// The hyper-parameters are fitted on at most kFitPoints points, and the
// model conditions on at most kModelPoints: the cost of a proposal stays
// bounded however long the run.
inline constexpr size_t kFitPoints = 64;
inline constexpr size_t kModelPoints = 300;
// Scales, in fitted length scales, of the perturbations of the best points:
// from a neighbour in the basin to a polish of the incumbent.
inline constexpr double kPerturbationScales[] = {0.5, 0.1, 0.02, 0.002};

// Keeps a coordinate inside [0, 1]: periodic ones wrap, the others stop at the edge.
double into_cube(const Dim& dim, double t);

// The model of a proposal, on warped values: hyper-parameters fitted on at
// most kFitPoints of the data, then conditioned on at most kModelPoints of it
// and on the pending points, which believe the fitted model: they join the
// data at its mean.
// `results`: how many of the model's points are results (they come first).
Model conditioned_model(const std::vector<Dim>& dims, const std::vector<double>& points,
                        const std::vector<double>& warped, const std::vector<double>& pending,
                        size_t& results, RealPrior real_prior = RealPrior::kByDimension);

struct Candidate {
  std::vector<double> x;
  double score;  // log EI
  size_t index = 0;     // its place in the screening set
  bool scored = true;   // false: `score` is not computed yet (see score_leading)
};

// The points a proposal has to avoid: those observed and those pending.
class TakenPoints {
 public:
  TakenPoints(const std::vector<Dim>& dims, const std::vector<double>& points,
              const std::vector<double>& pending)
      : dims_(dims), points_(points), pending_(pending) {}

  bool operator()(const double* x) const {
    size_t d = dims_.size();
    for (size_t i = 0; i < points_.size() / d; ++i) {
      if (same_point(x, &points_[i * d])) return true;
    }
    for (size_t j = 0; j < pending_.size() / d; ++j) {
      if (same_point(x, &pending_[j * d])) return true;
    }
    return false;
  }

 private:
  // Two unit points are the same point to the model.
  bool same_point(const double* a, const double* b) const;

  const std::vector<Dim>& dims_;
  const std::vector<double>& points_;
  const std::vector<double>& pending_;
};

// Moves every candidate to the value its integers and categories stand for
// and returns their coordinates, flat (count x d).
std::vector<double> snap_candidates(const std::vector<Dim>& dims, std::vector<Candidate>& candidates);

// Start-up: the next point of the space-filling lattice, skipping points
// whose configuration is taken (on small grids lattice points share one).
std::vector<double> startup_point(size_t d, uint64_t seed, size_t taken_count,
                                  const TakenPoints& taken);

// The screening set: a Kronecker sequence with a random offset, then
// perturbations of the first `settings.perturbed_best` points in the order
// of `ranks` (least first, ties in the order told) at several scales of
// `log_length`, the fitted length scales. Draws from `rng` in that order.
std::vector<Candidate> screening_candidates(const std::vector<Dim>& dims,
                                            const std::vector<double>& log_length,
                                            const std::vector<double>& points,
                                            const std::vector<double>& ranks,
                                            const ProposeSettings& settings, SeededRng& rng);

}  // namespace vordaopt::gp::parts

#endif  // VORDAOPT_CORE_GP_PROPOSAL_PARTS_H_
