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

// The values as the search over exponents needs them: log1p(|y|) of each,
// which the transform of every exponent starts from, and the log Jacobian's
// sum, which does not depend on the exponent.
struct Prepared {
  const std::vector<double>* values;
  std::vector<double> log1p_abs;
  double jacobian = 0.0;
};

Prepared prepare(const std::vector<double>& y) {
  Prepared p{&y, std::vector<double>(y.size()), 0.0};
  for (size_t i = 0; i < y.size(); ++i) {
    p.log1p_abs[i] = std::log1p(std::fabs(y[i]));
    p.jacobian += std::copysign(p.log1p_abs[i], y[i]);
  }
  return p;
}

// yeo_johnson(y, lambda) from log1p(|y|), which the search over exponents
// computes once per value.
double yeo_johnson_from_log(double y, double log1p_abs, double lambda) {
  if (y >= 0.0) {
    if (std::fabs(lambda) < 1e-12) return log1p_abs;
    return std::expm1(lambda * log1p_abs) / lambda;
  }
  double mu = 2.0 - lambda;
  if (std::fabs(mu) < 1e-12) return -log1p_abs;
  return -std::expm1(mu * log1p_abs) / mu;
}

// The profile log-likelihood of a normal model of the transformed values,
// with the transform's Jacobian.
double log_likelihood(const Prepared& p, double lambda, std::vector<double>& scratch) {
  const std::vector<double>& y = *p.values;
  double n = static_cast<double>(y.size());
  scratch.resize(y.size());
  double mean = 0.0;
  for (size_t i = 0; i < y.size(); ++i) {
    scratch[i] = yeo_johnson_from_log(y[i], p.log1p_abs[i], lambda);
    mean += scratch[i];
  }
  mean /= n;
  double ss = 0.0;
  for (double transformed : scratch) {
    double t = transformed - mean;
    ss += t * t;
  }
  if (!(ss > 0.0) || !std::isfinite(ss)) return -INFINITY;
  return -0.5 * n * std::log(ss / n) + (lambda - 1.0) * p.jacobian;
}

}  // namespace

double yeo_johnson(double y, double lambda) {
  return yeo_johnson_from_log(y, std::log1p(std::fabs(y)), lambda);
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
  Prepared prepared = prepare(out.values);
  std::vector<double> scratch;
  auto log_likelihood_at = [&](double lambda) { return log_likelihood(prepared, lambda, scratch); };
  double fc = log_likelihood_at(c), fd = log_likelihood_at(d);
  for (int i = 0; i < kGoldenSteps; ++i) {
    if (fc >= fd) {
      b = d, d = c, fd = fc;
      c = b - ratio * (b - a);
      fc = log_likelihood_at(c);
    } else {
      a = c, c = d, fc = fd;
      d = a + ratio * (b - a);
      fd = log_likelihood_at(d);
    }
  }
  out.lambda = 0.5 * (a + b);
  for (double& x : out.values) x = yeo_johnson(x, out.lambda);
  standardise(out.values);
  return out;
}

}  // namespace vordaopt::gp
