// Small numeric helpers shared by the probe, the solver and the strategies.
#ifndef VORDAOPT_CORE_NUMERIC_H_
#define VORDAOPT_CORE_NUMERIC_H_

#include <cmath>
#include <cstdint>
#include <vector>

// The candidates are a function of exact IEEE-754 steps: -ffast-math would
// reorder, fuse and flush them, and silently change every stream.
#if defined(__FAST_MATH__)
#error "vordaopt needs exact IEEE-754 arithmetic: build it without -ffast-math (or -Ofast)"
#endif

namespace vordaopt {

// Converts a double to an unsigned 64-bit count: truncates toward zero, maps
// NaN and negative values to 0 and values at or above 2^64 to 2^64 - 1.
inline uint64_t saturating_u64(double v) {
  if (!(v > 0.0)) return 0;
  if (v >= 18446744073709551616.0) return UINT64_MAX;
  return static_cast<uint64_t>(v);
}

struct Moments {
  double mean;
  double std_dev;  // population standard deviation
};

// Mean and population standard deviation with plain left-to-right sums (the
// results must be reproducible bit for bit). REQUIRES: !values.empty()
inline Moments population_moments(const std::vector<double>& values) {
  double n = static_cast<double>(values.size());
  double sum = 0.0;
  for (double v : values) sum += v;
  double mean = sum / n;
  double squares = 0.0;
  for (double v : values) {
    double d = v - mean;
    double square = d * d;
    squares += square;
  }
  return {mean, std::sqrt(squares / n)};
}

}  // namespace vordaopt

#endif  // VORDAOPT_CORE_NUMERIC_H_
