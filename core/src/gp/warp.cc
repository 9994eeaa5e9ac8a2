#include "gp/warp.h"

#include <cmath>

namespace vordaopt::gp {
namespace {

// The exponents searched: wide enough for heavy tails either way.
constexpr double kLambdaLow = -2.0;
constexpr double kLambdaHigh = 4.0;
constexpr int kGoldenSteps = 60;  // shrinks the interval below 1e-12
// Below this spread, values are one value: standardising would amplify rounding.
constexpr double kSpreadFloor = 1e-12;

void standardise(std::vector<double>& v) {
  double mean = 0.0;
  for (double x : v) mean += x;
  mean /= static_cast<double>(v.size());
  double ss = 0.0;
  for (double x : v) ss += (x - mean) * (x - mean);
  double sd = std::sqrt(ss / static_cast<double>(v.size()));
  for (double& x : v) x = sd > kSpreadFloor ? (x - mean) / sd : 0.0;
}

// The profile log-likelihood of a normal model of the transformed values,
// with the transform's Jacobian.
double log_likelihood(const std::vector<double>& y, double lambda) {
  double n = static_cast<double>(y.size());
  double mean = 0.0;
  for (double x : y) mean += yeo_johnson(x, lambda);
  mean /= n;
  double ss = 0.0;
  double jacobian = 0.0;
  for (double x : y) {
    double t = yeo_johnson(x, lambda) - mean;
    ss += t * t;
    jacobian += std::copysign(std::log1p(std::fabs(x)), x);
  }
  if (!(ss > 0.0) || !std::isfinite(ss)) return -INFINITY;
  return -0.5 * n * std::log(ss / n) + (lambda - 1.0) * jacobian;
}

}  // namespace

double yeo_johnson(double y, double lambda) {
  if (y >= 0.0) {
    if (std::fabs(lambda) < 1e-12) return std::log1p(y);
    return std::expm1(lambda * std::log1p(y)) / lambda;
  }
  double mu = 2.0 - lambda;
  if (std::fabs(mu) < 1e-12) return -std::log1p(-y);
  return -std::expm1(mu * std::log1p(-y)) / mu;
}

Warped warp_values(const std::vector<double>& values) {
  Warped out;
  out.values = values;
  if (values.empty()) return out;
  standardise(out.values);
  bool constant = true;
  for (double x : out.values) constant = constant && x == 0.0;
  if (values.size() < 3 || constant) return out;
  // Golden-section search for the most likely exponent.
  const double ratio = 0.6180339887498949;  // (sqrt 5 - 1) / 2
  double a = kLambdaLow, b = kLambdaHigh;
  double c = b - ratio * (b - a), d = a + ratio * (b - a);
  double fc = log_likelihood(out.values, c), fd = log_likelihood(out.values, d);
  for (int i = 0; i < kGoldenSteps; ++i) {
    if (fc >= fd) {
      b = d, d = c, fd = fc;
      c = b - ratio * (b - a);
      fc = log_likelihood(out.values, c);
    } else {
      a = c, c = d, fc = fd;
      d = a + ratio * (b - a);
      fd = log_likelihood(out.values, d);
    }
  }
  out.lambda = 0.5 * (a + b);
  for (double& x : out.values) x = yeo_johnson(x, out.lambda);
  standardise(out.values);
  return out;
}

}  // namespace vordaopt::gp
