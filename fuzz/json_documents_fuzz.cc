// libFuzzer target: every input is read as a configuration, a results
// document and a seed document. A rejected document must come back as an
// error value with a positioned message; nothing may crash, leak or overflow.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "artifact.h"
#include "config.h"

namespace {

template <class R>
void check(const R& result) {
  if (!result.ok() && result.error_message().find(" at line ") == std::string_view::npos) {
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  check(vordaopt::parse_solver_config(text));
  check(vordaopt::parse_results(text));
  check(vordaopt::parse_seed_points(text));
  return 0;
}
