// TPE: the Tree-structured Parzen Estimator strategy.
//
// Each step proposes exactly one candidate. While the history holds fewer than
// n_candidates records the candidate is uniformly random in the bounds;
// afterwards the best gamma share of the history forms the good set, the rest
// the bad set, n_candidates points are drawn around good values with Gaussian
// noise, and the one with the highest log ratio of the good to the bad Parzen
// density wins (the first on ties).
//
// A step is a function of the record, the configuration (seed and each
// parameter's min and max; the scale is ignored) and the history. Its
// generator is seeded with seed + history length, so the same inputs give
// the same candidate. Parameters are visited in ascending byte-wise order of
// their names, which decides which draw goes to which parameter.
#ifndef VORDAOPT_CORE_STRATEGIES_TPE_H_
#define VORDAOPT_CORE_STRATEGIES_TPE_H_

#include <cstddef>
#include <cstdint>
#include <vector>

#include "strategies/strategy.h"

namespace vordaopt {

enum class BandwidthRule : uint8_t {
  kNormalReference = 0,  // 1.06 * sigma * n^-0.2, at least 1e-6
  kSilverman = 1,        // silverman_bandwidth
  kRangeFraction = 2,    // 0.1 * (max - min), at least 1e-6
};

class TPE final : public Strategy {
 public:
  TPE(double gamma, size_t dims, size_t n_candidates, BandwidthRule rule)
      : gamma_(gamma), dims_(dims), n_candidates_(n_candidates), bandwidth_rule_(rule) {}

  // Always Evaluate with exactly one map. Throws InternalError for a
  // parameter whose min exceeds its max (or a NaN bound), and for a range
  // whose width overflows.
  StrategyAction step(const SolverConfig& config, const History& history) override;

  // Silverman's rule of thumb on a private sorted copy; 1.0 for fewer than
  // two values.
  static double silverman_bandwidth(const std::vector<double>& values);

  double gamma() const { return gamma_; }
  size_t dims() const { return dims_; }
  size_t n_candidates() const { return n_candidates_; }
  BandwidthRule bandwidth_rule() const { return bandwidth_rule_; }

 private:
  double gamma_;
  size_t dims_;  // recorded at construction; step does not consult it
  size_t n_candidates_;
  BandwidthRule bandwidth_rule_;
};

}  // namespace vordaopt

#endif  // VORDAOPT_CORE_STRATEGIES_TPE_H_
