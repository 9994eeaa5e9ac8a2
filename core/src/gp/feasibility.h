// Constraints for the GP method: one Gaussian process per constraint, on its
// margin (how far a point lies outside its limit; feasible where it is at
// most 0), and the log probability that a point meets every constraint,
// which the acquisition adds to log EI (Gardner et al., "Bayesian
// Optimization with Inequality Constraints", ICML 2014).
#ifndef VORDAOPT_CORE_GP_FEASIBILITY_H_
#define VORDAOPT_CORE_GP_FEASIBILITY_H_

#include <cstddef>
#include <vector>

#include "gp/kernel.h"
#include "gp/model.h"

namespace vordaopt::gp {

class Feasibility {
 public:
  // points: n x d unit coordinates; margins: n x count, row-major, finite.
  // Each model is fitted as the objective's is, on standardised margins.
  Feasibility(const std::vector<Dim>& dims, const std::vector<double>& points,
              const std::vector<double>& margins, size_t count,
              RealPrior real_prior = RealPrior::kByDimension);

  // Whether observation i meets every constraint.
  bool feasible(size_t i) const { return feasible_[i] != 0; }
  bool any_feasible() const;

  // The sum over constraints of log P(margin <= 0) at a unit point.
  double log_probability(const double* unit_point) const;
  // The same for `count` unit points at once (count x d).
  std::vector<double> log_probabilities(const double* unit_points, size_t count) const;
  // The same with its gradient in the unit point's coordinates (d).
  double log_probability_with_gradient(const double* unit_point,
                                       std::vector<double>& gradient) const;

 private:
  std::vector<Model> models_;
  std::vector<double> thresholds_;  // the margin 0 on each model's standardised scale
  std::vector<char> feasible_;
};

}  // namespace vordaopt::gp

#endif  // VORDAOPT_CORE_GP_FEASIBILITY_H_
