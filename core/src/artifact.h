// Evaluation records and the two documents that carry them.
//
// EvalTrace is the result of one candidate as reported through `tell`;
// SeedPoint is a historical evaluation reported through `seed`, which becomes
// an EvalTrace with a solver-assigned identifier when it enters the history.
// A reported parameter map need not match the configuration: unknown names are
// kept and ignored, missing names read 0.0 in the strategies.
#ifndef VORDAOPT_CORE_ARTIFACT_H_
#define VORDAOPT_CORE_ARTIFACT_H_

#include <cstdint>
#include <string_view>
#include <vector>

#include "json/errors.h"
#include "named_map.h"

namespace vordaopt {

struct EvalTrace {
  uint64_t eval_id = 0;
  ParamMap params;
  double value = 0.0;  // the objective; lower is better
  double cost = 0.0;   // kept with the record, never read by the solver

  friend bool operator==(const EvalTrace&, const EvalTrace&) = default;
};

struct SeedPoint {
  ParamMap params;
  double value = 0.0;
  double cost = 0.0;

  friend bool operator==(const SeedPoint&, const SeedPoint&) = default;
};

// A results document: a JSON array of EvalTrace, each an object with the keys
// eval_id, params, value, cost or an array [eval_id, params, value, cost].
json::ParseResult<std::vector<EvalTrace>> parse_results(std::string_view text);

// A seed document: a JSON array of SeedPoint, each an object with the keys
// params, value, cost or an array [params, value, cost].
json::ParseResult<std::vector<SeedPoint>> parse_seed_points(std::string_view text);

}  // namespace vordaopt

#endif  // VORDAOPT_CORE_ARTIFACT_H_
