// NelderMead: the refinement strategy for a Structured landscape.
//
// An explicit state machine. Each step consumes the results of the
// candidates issued on the previous step (the newest records of the history)
// and issues the next ones. One planning cycle: pick up to three
// well-separated starts among the ten best records, sweep each coordinate
// around each start with a step of 0.05 (two candidates per call), build a
// simplex around the best point found, make one Nelder-Mead move, then plan
// again from the whole history. A simplex smaller than the tolerance ends the
// search for good.
//
// Coordinate probes and new simplex vertices move within the unit interval
// [0, 1], not within the parameter's domain; reflections, expansions and
// contractions are clamped to the domain (Periodic coordinates wrap).
#ifndef VORDAOPT_CORE_STRATEGIES_NELDER_MEAD_H_
#define VORDAOPT_CORE_STRATEGIES_NELDER_MEAD_H_

#include <deque>
#include <optional>
#include <utility>
#include <variant>
#include <vector>

#include "strategies/strategy.h"

namespace vordaopt {

using ValuedPoint = std::pair<double, Point>;  // (result, point)

namespace nm {

struct Init {};
struct Reflect {
  double best_value, second_worst_value, worst_value;
  Point centroid, reflected;
};
struct Expand {
  double reflected_value;
  Point centroid, reflected, expanded;
};
struct ContractOutside {
  double reflected_value;
  Point centroid, contracted;
};
struct ContractInside {
  Point centroid, contracted;
};
struct Shrink {
  std::vector<Point> points;
  size_t position;
};
struct CoordinateSearch {
  double centre_value;
  std::optional<ValuedPoint> best_so_far;
  size_t step_index;  // always 0
  size_t dim_index;
  Point centre;
  std::vector<double> steps;  // always {0.05}
  std::vector<Point> pending;  // the up and down probes awaiting results
  std::deque<ValuedPoint> starts;
};
struct EvaluateSimplex {
  size_t filled;  // always 0
};
struct Converged {};

}  // namespace nm

using NMState = std::variant<nm::Init, nm::Reflect, nm::Expand, nm::ContractOutside,
                             nm::ContractInside, nm::Shrink, nm::CoordinateSearch,
                             nm::EvaluateSimplex, nm::Converged>;

// The circular mean of periodic coordinates (fractions of a turn), in [0, 1):
// the angle of the summed unit vectors; 0 when they cancel exactly.
double circular_mean(const std::vector<double>& turns);

class NelderMead final : public Strategy {
 public:
  // A fresh machine in Init for `bounds`: dims and the Periodic flags in
  // name order.
  explicit NelderMead(const NamedMap<Domain>& bounds);

  StrategyAction step(const SolverConfig& config, const History& history) override;

  const NMState& state() const { return state_; }
  const std::vector<ValuedPoint>& simplex() const { return simplex_; }
  size_t dims() const { return dims_; }

  static constexpr double kAlpha = 1.0;   // reflection
  static constexpr double kGamma = 2.0;   // expansion
  static constexpr double kRho = 0.5;     // contraction
  static constexpr double kSigma = 0.5;   // shrink
  static constexpr double kTolerance = 1e-8;
  static constexpr double kStep = 0.05;   // coordinate sweep and simplex offset

 private:
  struct Context;  // the per-step view of configuration and history

  StrategyAction plan(const Context& c);
  StrategyAction begin_search(const Context& c, ValuedPoint start,
                              std::optional<ValuedPoint> best_so_far,
                              std::deque<ValuedPoint> starts);
  StrategyAction coordinate_search(const Context& c, nm::CoordinateSearch s);
  StrategyAction build_simplex(const Context& c, const ValuedPoint& around);
  StrategyAction evaluate_simplex(const Context& c, size_t filled);
  StrategyAction reflect(const Context& c, nm::Reflect s);
  StrategyAction start_shrink(const Context& c);
  StrategyAction shrink(const Context& c, nm::Shrink s);
  StrategyAction replan(const Context& c);

  bool periodic(size_t j) const { return j < periodic_.size() && periodic_[j]; }

  NMState state_ = nm::Init{};
  size_t dims_;
  std::vector<ValuedPoint> simplex_;
  std::vector<bool> periodic_;
};

}  // namespace vordaopt

#endif  // VORDAOPT_CORE_STRATEGIES_NELDER_MEAD_H_
