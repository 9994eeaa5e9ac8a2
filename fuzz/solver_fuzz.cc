// libFuzzer target for the whole solver: a configuration (degenerate,
// reversed, huge and empty domains included) followed by a random sequence of
// ask, tell, seed, ask_one and history_len, with documents built from the
// candidates and then mutated. A call may end only with a documented error:
// a rejected document (an error value) or InternalError (a broken
// precondition such as a reversed Log domain). Anything else aborts.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "artifact.h"
#include "config.h"
#include "float_text.h"
#include "internal_error.h"
#include "machine.h"

namespace {

using vordaopt::ParamMap;

constexpr double kInteresting[] = {0.0,  -0.0, 1.0,    -1.0,    0.5,     100.0,  1e-300,
                                   1e300, 5e-324, -1e308, 1.7e308, 1e-5, 3.0,  -7.25};
constexpr const char* kScales[] = {"Linear", "Log", "Periodic"};

double pick_double(FuzzedDataProvider& in) {
  if (in.ConsumeBool()) return in.PickValueInArray(kInteresting);
  return in.ConsumeFloatingPoint<double>();
}

std::string number(double v) {
  // The reader takes no NaN or infinity; write them as numbers that overflow.
  if (v != v) return "0";
  if (v > 1.7976931348623157e308) return "1e400";
  if (v < -1.7976931348623157e308) return "-1e400";
  return vordaopt::float_repr(v);
}

std::string config_text(FuzzedDataProvider& in) {
  std::string t = "{\"seed\": " + std::to_string(in.ConsumeIntegral<uint64_t>()) +
                  ", \"budget\": " + std::to_string(in.ConsumeIntegralInRange<uint64_t>(0, 300)) +
                  ", \"bounds\": {";
  size_t dims = in.ConsumeIntegralInRange<size_t>(0, 6);
  for (size_t d = 0; d < dims; ++d) {
    if (d) t += ", ";
    t += "\"p" + std::to_string(in.ConsumeIntegralInRange<int>(0, 7)) + "\": [" +
         number(pick_double(in)) + ", " + number(pick_double(in)) + ", \"" +
         in.PickValueInArray(kScales) + "\"]";
  }
  t += "}";
  if (in.ConsumeBool()) t += ", \"probe_ratio\": " + number(in.ConsumeFloatingPointInRange(0.0, 1.5));
  return t + "}";
}

std::string params_text(const ParamMap& m) {
  std::string t = "{";
  for (const auto& [name, value] : m) {
    if (t.size() > 1) t += ", ";
    t += "\"" + name + "\": " + number(value);
  }
  return t + "}";
}

// A document of records for the last candidates (or for random maps), mutated
// at a few random bytes.
std::string document(FuzzedDataProvider& in, const std::vector<ParamMap>& candidates,
                     uint64_t first_id, bool with_ids) {
  std::string t = "[";
  size_t n = candidates.empty() ? in.ConsumeIntegralInRange<size_t>(0, 4) : candidates.size();
  for (size_t i = 0; i < n; ++i) {
    if (i) t += ", ";
    ParamMap m = candidates.empty() ? ParamMap{{"p0", pick_double(in)}} : candidates[i];
    t += "{";
    if (with_ids) t += "\"eval_id\": " + std::to_string(first_id + i) + ", ";
    t += "\"params\": " + params_text(m) + ", \"value\": " + number(pick_double(in)) +
         ", \"cost\": " + number(pick_double(in)) + "}";
  }
  t += "]";
  size_t mutations = in.ConsumeIntegralInRange<size_t>(0, 3);
  for (size_t k = 0; k < mutations && !t.empty(); ++k) {
    size_t at = in.ConsumeIntegralInRange<size_t>(0, t.size() - 1);
    t[at] = static_cast<char>(in.ConsumeIntegral<uint8_t>());
  }
  return t;
}

template <class R>
void check_error(const R& parsed) {
  if (!parsed.ok() && parsed.error_message().find(" at line ") == std::string::npos) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  auto config = vordaopt::parse_solver_config(config_text(in));
  check_error(config);
  if (!config.ok()) return 0;
  vordaopt::Solver solver = vordaopt::Solver::pcr(std::move(config).value());
  std::vector<ParamMap> last;
  for (int op = 0; op < 64 && in.remaining_bytes() > 0; ++op) {
    try {
      switch (in.ConsumeIntegralInRange<int>(0, 4)) {
        case 0: {
          auto batch = solver.ask();
          last = batch ? std::move(*batch) : std::vector<ParamMap>{};
          break;
        }
        case 1: {
          auto parsed = vordaopt::parse_results(document(in, last, solver.history_len(), true));
          check_error(parsed);
          if (parsed.ok()) solver.tell(std::move(parsed).value());
          break;
        }
        case 2: {
          auto parsed = vordaopt::parse_seed_points(document(in, last, 0, false));
          check_error(parsed);
          if (parsed.ok()) solver.seed(std::move(parsed).value());
          break;
        }
        case 3: {
          auto one = solver.ask_one();
          last.clear();
          if (one) last.push_back(std::move(*one));
          break;
        }
        default:
          if (solver.history_len() != solver.history().size()) std::abort();
          break;
      }
    } catch (const vordaopt::InternalError&) {
      // A documented failure: the solver stays usable.
    }
  }
  return 0;
}
