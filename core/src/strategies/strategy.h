// The refinement strategy interface and the parameter-vector helpers that the
// Nelder-Mead strategy uses.
//
// A strategy proposes the next candidates once the solver has left its probe
// phase. Contract with the solver: the results of the candidates a strategy
// returns are appended to the history, in the order returned, before its next
// step.
#ifndef VORDAOPT_CORE_STRATEGIES_STRATEGY_H_
#define VORDAOPT_CORE_STRATEGIES_STRATEGY_H_

#include <string>
#include <vector>

#include "config.h"
#include "history.h"
#include "named_map.h"

namespace vordaopt {

struct StrategyAction {
  enum class Kind { kEvaluate, kWait, kConverged };
  Kind kind = Kind::kWait;
  std::vector<ParamMap> candidates;  // for kEvaluate, in the order results must come back

  static StrategyAction evaluate(std::vector<ParamMap> candidates) {
    return {Kind::kEvaluate, std::move(candidates)};
  }
  static StrategyAction wait() { return {Kind::kWait, {}}; }
  static StrategyAction converged() { return {Kind::kConverged, {}}; }
};

class Strategy {
 public:
  virtual ~Strategy() = default;
  // Proposes the next candidates from the configuration and the whole
  // history (oldest first). Keeps no reference to either.
  virtual StrategyAction step(const SolverConfig& config, const History& history) = 0;
};

using Point = std::vector<double>;

// The parameter names in dimension order (ascending byte-wise).
std::vector<std::string> sorted_names(const NamedMap<Domain>& bounds);

// Looks up the names once per step so that a record's point is cheap.
class PointReader {
 public:
  PointReader(const History& history, const std::vector<std::string>& names);
  // The point of record i: its value for each name, 0.0 where it has none.
  Point point(size_t i) const;

 private:
  const History& history_;
  std::vector<uint32_t> ids_;
};

// The map names[i] -> values[i] for every i below the shorter length.
ParamMap vec_to_dict(const Point& values, const std::vector<std::string>& names);

// Wraps Periodic coordinates into [0, 1) and clamps the others into
// [min, max]; names absent from `bounds` stay unchanged. Throws InternalError
// for a Linear or Log domain with min > max or a NaN bound.
void clamp_to_bounds(Point& values, const NamedMap<Domain>& bounds,
                     const std::vector<std::string>& names);

// x minus its integer part, plus 1.0 if negative: a value in [0, 1).
double wrap(double x);
// The periodic difference closest to zero, in [-0.5, 0.5).
double shortest_difference(double d);
// From a by c along d: a + c*d, or on a periodic coordinate the wrap of
// a + c * shortest_difference(d).
double weighted_move(double a, double c, double d, bool periodic);

}  // namespace vordaopt

#endif  // VORDAOPT_CORE_STRATEGIES_STRATEGY_H_
