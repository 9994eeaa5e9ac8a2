// Small numeric helpers shared by the probe, the solver and the strategies.
#ifndef VORDAOPT_CORE_NUMERIC_H_
#define VORDAOPT_CORE_NUMERIC_H_

#include <cmath>
#include <cstdint>

namespace vordaopt {

// Converts a double to an unsigned 64-bit count: truncates toward zero, maps
// NaN and negative values to 0 and values at or above 2^64 to 2^64 - 1.
inline uint64_t saturating_u64(double v) {
  if (!(v > 0.0)) return 0;
  if (v >= 18446744073709551616.0) return UINT64_MAX;
  return static_cast<uint64_t>(v);
}

}  // namespace vordaopt

#endif  // VORDAOPT_CORE_NUMERIC_H_
