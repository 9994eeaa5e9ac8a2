#include "gp/kernel.h"

#include <cmath>

#include "numerics/exp_nonpositive.h"
#include "numerics/linalg.h"

namespace vordaopt::gp {
namespace {

constexpr double kSqrt5 = 2.23606797749979;  // the double nearest sqrt(5)
constexpr double kPi = 3.141592653589793;

}  // namespace

double canonical(const Dim& dim, double t) {
  switch (dim.kind) {
    case DimKind::kInteger:
      return dim.count == 0 ? t : (share(t, dim.count) + 0.5) / static_cast<double>(dim.count);
    case DimKind::kCategorical:
      return dim.count == 0 ? 0.0 : share(t, dim.count);
    case DimKind::kPeriodic:
      return t - std::floor(t);
    case DimKind::kContinuous:
      break;
  }
  return t;
}

double squared_distance(const Dim& dim, double a, double b) {
  switch (dim.kind) {
    case DimKind::kCategorical:
      return a == b ? 0.0 : 1.0;
    case DimKind::kPeriodic: {
      double chord = std::sin(kPi * std::fabs(a - b)) / kPi;
      return chord * chord;
    }
    case DimKind::kContinuous:
    case DimKind::kInteger:
      break;
  }
  double d = a - b;
  return d * d;
}

double matern52(double r2) {
  double r = std::sqrt(r2);
  double s = kSqrt5 * r;
  return ((1.0 + s) + (5.0 / 3.0) * r2) * numerics::exp_nonpositive(-s);
}

double matern52_d_r2(double r2) {
  double s = kSqrt5 * std::sqrt(r2);
  return (-5.0 / 6.0) * (1.0 + s) * numerics::exp_nonpositive(-s);
}

void matern52_with_d_r2(double r2, double& value, double& d_r2) {
  double s = kSqrt5 * std::sqrt(r2);
  double e = numerics::exp_nonpositive(-s);
  value = ((1.0 + s) + (5.0 / 3.0) * r2) * e;
  d_r2 = (-5.0 / 6.0) * (1.0 + s) * e;
}

// The loops below repeat the scalar functions' operations in the same order,
// so each value has the same bits; they are compiled without errno for the
// square root, which lets them run in wide registers (r2 >= 0: no error).
VORDAOPT_WIDE
void matern52_many(const double* r2, size_t count, double* out) {
  for (size_t i = 0; i < count; ++i) {
    double s = kSqrt5 * std::sqrt(r2[i]);
    out[i] = ((1.0 + s) + (5.0 / 3.0) * r2[i]) * numerics::exp_nonpositive(-s);
  }
}

VORDAOPT_WIDE
void matern52_with_d_r2_many(const double* r2, size_t count, double* value, double* d_r2) {
  for (size_t i = 0; i < count; ++i) {
    double s = kSqrt5 * std::sqrt(r2[i]);
    double e = numerics::exp_nonpositive(-s);
    value[i] = ((1.0 + s) + (5.0 / 3.0) * r2[i]) * e;
    d_r2[i] = (-5.0 / 6.0) * (1.0 + s) * e;
  }
}

}  // namespace vordaopt::gp
