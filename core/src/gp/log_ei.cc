#include "gp/log_ei.h"

#include <cmath>
#include <limits>

namespace vordaopt::gp {
namespace {

constexpr double kLogSqrt2Pi = 0.9189385332046728;    // log(sqrt(2 pi))
constexpr double kLogSqrtHalfPi = 0.22579135264472744;  // log(sqrt(pi / 2))
constexpr double kSqrtHalf = 0.7071067811865476;       // 1 / sqrt(2)
constexpr double kInvSqrtPi = 0.5641895835477563;      // 1 / sqrt(pi)
constexpr double kInvSqrt2Pi = 0.3989422804014327;     // 1 / sqrt(2 pi)
// Beyond this x, exp(x^2) overflows before erfc(x) is negligible: erfcx
// switches to its asymptotic series, which is exact to rounding there.
constexpr double kErfcxSeriesFrom = 26.0;
// Below this z, 1 - |z| sqrt(pi/2) erfcx(-z / sqrt 2) cancels badly; its
// series in u = 1 / z^2 takes over (eight terms reach rounding at z = -37).
constexpr double kSeriesBelow = -37.0;

// 1 - u + 3u^2 - 15u^3 + ..., the asymptotic series of x sqrt(pi) erfcx(x)
// with u = 1 / (2 x^2); its terms are (-1)^k (2k - 1)!! u^k.
double series_tail(double u, int first_term) {
  double sum = 0.0;
  double term = 1.0;
  for (int k = 1; k < 12; ++k) {
    term *= -static_cast<double>(2 * k - 1) * u;
    if (k >= first_term) sum += term;
  }
  return sum;
}

}  // namespace

double log1mexp(double x) {
  return x > -0.6931471805599453 ? std::log(-std::expm1(x)) : std::log1p(-std::exp(x));
}

double erfcx(double x) {
  if (x < kErfcxSeriesFrom) return std::exp(x * x) * std::erfc(x);
  double u = 1.0 / (2.0 * x * x);
  return kInvSqrtPi / x * (1.0 + series_tail(u, 1));
}

double log_h(double z) {
  if (z > -1.0) {
    double pdf = std::exp(-0.5 * z * z) * kInvSqrt2Pi;
    double cdf = 0.5 * std::erfc(-z * kSqrtHalf);
    return std::log(pdf + z * cdf);
  }
  double log_pdf = -0.5 * z * z - kLogSqrt2Pi;
  if (z > kSeriesBelow) {
    // h(z) = phi(z) (1 - |z| sqrt(pi/2) erfcx(-z / sqrt 2)).
    return log_pdf + log1mexp(std::log(erfcx(-z * kSqrtHalf) * -z) + kLogSqrtHalfPi);
  }
  // 1 - x sqrt(pi) erfcx(x) = u - 3u^2 + 15u^3 - ..., x = -z / sqrt 2, u = 1 / z^2.
  double u = 1.0 / (z * z);
  return log_pdf + std::log(u) + std::log1p(series_tail(u, 2) / -u);
}

double d_log_h(double z) {
  // log Phi(z) - log h(z); Phi(z) = erfc(-z / sqrt 2) / 2 = erfcx(...) exp(-z^2 / 2) / 2.
  double log_cdf = z > -1.0 ? std::log(0.5 * std::erfc(-z * kSqrtHalf))
                            : std::log(0.5 * erfcx(-z * kSqrtHalf)) - 0.5 * z * z;
  return std::exp(log_cdf - log_h(z));
}

double log_cdf(double z) {
  // Phi(z) = erfc(-z / sqrt 2) / 2 = erfcx(-z / sqrt 2) exp(-z^2 / 2) / 2.
  return z > -1.0 ? std::log(0.5 * std::erfc(-z * kSqrtHalf))
                  : std::log(0.5 * erfcx(-z * kSqrtHalf)) - 0.5 * z * z;
}

double d_log_cdf(double z) {
  if (z > -1.0) return std::exp(-0.5 * z * z) * kInvSqrt2Pi / (0.5 * std::erfc(-z * kSqrtHalf));
  return 2.0 * kInvSqrt2Pi / erfcx(-z * kSqrtHalf);
}

double log_expected_improvement(double mean, double sigma, double best) {
  if (!(sigma > 0.0)) {
    return mean < best ? std::log(best - mean) : -std::numeric_limits<double>::infinity();
  }
  return std::log(sigma) + log_h((best - mean) / sigma);
}

}  // namespace vordaopt::gp
