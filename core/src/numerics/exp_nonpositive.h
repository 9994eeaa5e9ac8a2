// e^a for a <= 0 in plain double operations that a compiler can run in wide
// registers, for kernels that take thousands of exponentials per proposal.
//
// a = k ln2 + r with k the nearest integer to a / ln2 and |r| <= ln2 / 2;
// e^a = 2^k e^r, e^r by its Taylor polynomial of degree 12 (Horner, every
// product and sum rounded on its own: -ffp-contract=off), 2^k built in the
// exponent bits. The bits are the same on every machine and in every lane.
//
// Relative error below 1e-14 (about 50 ulp at worst, a few in practice):
// ln2 = kLn2Hi + kLn2Lo with kLn2Hi of 32 significant bits, so k kLn2Hi
// and a - k kLn2Hi are exact for |k| <= 1022; the truncated series is off
// by less than e^0.35 0.347^13 / 13! < 3.4e-16 relative; Horner's 24
// roundings cost at most 25 eps e^0.35 / e^-0.35 < 5.7e-15.
// Below -708 (where 2^k would leave the normal range) the result is 0; a
// NaN stays NaN. REQUIRES: a <= 0 or NaN (a positive a loses the bound).
#ifndef VORDAOPT_CORE_NUMERICS_EXP_NONPOSITIVE_H_
#define VORDAOPT_CORE_NUMERICS_EXP_NONPOSITIVE_H_

#include <bit>
#include <cstdint>

namespace vordaopt::numerics {

inline double exp_nonpositive(double a) {
  constexpr double kLog2e = 1.4426950408889634;
  constexpr double kLn2Hi = 6.93147180369123816490e-01;  // 0x3fe62e42fee00000
  constexpr double kLn2Lo = 1.90821492927058770002e-10;
  // Adding and subtracting 1.5 * 2^52 rounds |t| < 2^51 to the nearest
  // integer without a library call (and so without a branch).
  constexpr double kRound = 0x1.8p52;
  // Adding 2^52 to an integer 0 < j < 2^52 puts j in the low mantissa bits.
  constexpr double kLowBits = 0x1p52;
  constexpr double kFloor = -708.0;
  bool underflows = a < kFloor;
  double x = underflows ? kFloor : a;  // keeps 2^k normal in every lane
  double k = (x * kLog2e + kRound) - kRound;
  double r = (x - k * kLn2Hi) - k * kLn2Lo;
  double p = 1.0 / 479001600.0;  // 1 / 12!
  p = p * r + 1.0 / 39916800.0;
  p = p * r + 1.0 / 3628800.0;
  p = p * r + 1.0 / 362880.0;
  p = p * r + 1.0 / 40320.0;
  p = p * r + 1.0 / 5040.0;
  p = p * r + 1.0 / 720.0;
  p = p * r + 1.0 / 120.0;
  p = p * r + 1.0 / 24.0;
  p = p * r + 1.0 / 6.0;
  p = p * r + 0.5;
  p = p * r + 1.0;
  p = p * r + 1.0;
  // k + 1023 lies in [1, 1023]: its bits shifted into the exponent field are 2^k.
  uint64_t bits = std::bit_cast<uint64_t>(k + 1023.0 + kLowBits) << 52;
  double value = p * std::bit_cast<double>(bits);
  return underflows ? 0.0 : value;
}

}  // namespace vordaopt::numerics

#endif  // VORDAOPT_CORE_NUMERICS_EXP_NONPOSITIVE_H_
