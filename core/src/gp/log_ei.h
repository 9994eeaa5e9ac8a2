// The logarithm of expected improvement, accurate where EI itself underflows.
//
// For a Gaussian prediction N(mean, sigma^2) and the best value so far
// (minimisation), EI = sigma * h(z) with z = (best - mean) / sigma and
// h(z) = phi(z) + z Phi(z). Far from the incumbent h underflows to 0 long
// before its logarithm stops being informative, and a search over a flat
// zero goes nowhere; log h is computed in three regimes instead (Ament et
// al., "Unexpected Improvements to Expected Improvement", NeurIPS 2023).
#ifndef VORDAOPT_CORE_GP_LOG_EI_H_
#define VORDAOPT_CORE_GP_LOG_EI_H_

namespace vordaopt::gp {

// log(phi(z) + z Phi(z)), finite for every finite z.
double log_h(double z);
// d/dz log h(z) = Phi(z) / h(z).
double d_log_h(double z);
// log(1 - exp(x)) for x < 0, without cancellation at either end.
double log1mexp(double x);
// exp(x^2) erfc(x), for x >= 0 (finite for every finite x).
double erfcx(double x);

// log Phi(z), the standard normal's distribution function, finite far into
// its lower tail; and its derivative phi(z) / Phi(z).
double log_cdf(double z);
double d_log_cdf(double z);

// log EI of N(mean, sigma^2) below `best`; with sigma = 0, log(best - mean)
// (-inf when mean >= best).
double log_expected_improvement(double mean, double sigma, double best);

}  // namespace vordaopt::gp

#endif  // VORDAOPT_CORE_GP_LOG_EI_H_
