// SolverConfig: the immutable configuration of a solver, and its JSON form.
//
// A configuration names a seed, an evaluation budget and the search space: one
// Domain per parameter name. No semantic check is made on the values (a
// reversed range, a zero budget or an empty space are accepted as they are);
// each consumer states what it does with them.
#ifndef VORDAOPT_CORE_CONFIG_H_
#define VORDAOPT_CORE_CONFIG_H_

#include <cstdint>
#include <optional>
#include <string_view>

#include "json/errors.h"
#include "named_map.h"

namespace vordaopt {

// How a parameter's range is sampled and searched.
enum class Scale : uint8_t {
  kLinear = 0,
  kLog = 1,       // sampled evenly in the logarithm of the value
  kPeriodic = 2,  // wraps around in the Nelder-Mead search
};

const char* scale_name(Scale scale);  // "Linear", "Log" or "Periodic"

struct Domain {
  double min = 0.0;
  double max = 0.0;
  Scale scale = Scale::kLinear;

  friend bool operator==(const Domain&, const Domain&) = default;
};

struct SolverConfig {
  uint64_t seed = 0;
  uint64_t budget = 0;
  NamedMap<Domain> bounds;  // sorted by name, later duplicates replace earlier
  double probe_ratio = 0.2;
  std::optional<NamedMap<double>> strategy_params;  // stored, never read
};

// Parses a configuration text (UTF-8). Accepts the object form and the
// positional array form [seed, budget, bounds, probe_ratio?, strategy_params?].
json::ParseResult<SolverConfig> parse_solver_config(std::string_view text);

}  // namespace vordaopt

#endif  // VORDAOPT_CORE_CONFIG_H_
