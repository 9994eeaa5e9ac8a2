#include "numerics/gaussian_elimination.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace vordaopt::numerics {
namespace {

// A pivot this small relative to the largest entry: the system is singular.
constexpr double kSingular = 1e-13;

}  // namespace

bool solve_linear(std::vector<double> a, std::vector<double>& b, size_t n) {
  double largest = 0.0;
  for (double v : a) largest = std::max(largest, std::fabs(v));
  if (!(largest > 0.0)) return false;
  for (size_t k = 0; k < n; ++k) {
    size_t p = k;
    for (size_t i = k + 1; i < n; ++i) {
      if (std::fabs(a[i * n + k]) > std::fabs(a[p * n + k])) p = i;
    }
    if (!(std::fabs(a[p * n + k]) > kSingular * largest)) return false;
    if (p != k) {
      for (size_t j = 0; j < n; ++j) std::swap(a[k * n + j], a[p * n + j]);
      std::swap(b[k], b[p]);
    }
    for (size_t i = k + 1; i < n; ++i) {
      double f = a[i * n + k] / a[k * n + k];
      if (f == 0.0) continue;
      for (size_t j = k; j < n; ++j) a[i * n + j] -= f * a[k * n + j];
      b[i] -= f * b[k];
    }
  }
  for (size_t k = n; k-- > 0;) {
    double s = b[k];
    for (size_t j = k + 1; j < n; ++j) s -= a[k * n + j] * b[j];
    b[k] = s / a[k * n + k];
  }
  return true;
}

}  // namespace vordaopt::numerics
