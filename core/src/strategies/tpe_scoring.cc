#include "strategies/tpe_scoring.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstdint>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define VORDAOPT_HAVE_X86 1
#endif

namespace vordaopt::tpe {
namespace {

constexpr double kDensityFloor = 1e-12;
constexpr double kEps = 0x1p-53;  // the unit roundoff of double

// --- The fast exponential ------------------------------------------------------------
//
// For a in [-708, 0]: k = nearest integer to a / ln 2, r = a - k ln 2 with
// |r| <= ln2 / 2, exp(a) = 2^k * exp(r), exp(r) by its Taylor polynomial of
// degree 12 in Horner form, 2^k built in the exponent bits (k >= -1022, so
// 2^k and the product stay normal). Below -708 the result is flushed to 0.
// The vector path evaluates the polynomial with fused multiply-adds, the
// portable path with separate ones: both are bounded below.
//
// Relative error, with eps = 2^-53:
// - ln 2 = kLn2Hi + kLn2Lo. kLn2Hi has 32 significant bits and |k| <= 1022
//   (11 bits), so k * kLn2Hi is exact, and a - k * kLn2Hi is exact (Sterbenz:
//   the two are within a factor of 2 whenever k != 0). k * kLn2Lo is off by
//   at most eps * 2e-7, the split of ln 2 by about 1e-26 * |k|, and the last
//   subtraction by eps * |r|: r is off by less than 5e-17 in absolute terms,
//   which is a relative error below 5e-17 in exp(r).
// - Truncation: the first omitted term bounds the remainder,
//   e^0.35 * 0.3466^13 / 13! < 2.4e-16, relative to exp(r) >= 0.70: < 3.4e-16.
// - Evaluation. Portable path, Horner: 12 multiplications and 12 additions,
//   each rounded, with the coefficients 1/i! rounded once: the computed value
//   is within (2 * 12 + 1) eps * (sum |c_i r^i|) / |p(r)|
//   <= 25 eps * e^0.35 / e^-0.35 < 51 eps = 5.7e-15 of p(r). Vector path,
//   Estrin with fused multiply-adds: each term c_i r^i passes through at most
//   4 fused roundings, r^8 carries 3 more, the coefficient 1: within
//   8 eps * (sum |c_i r^i|) / |p(r)| < 17 eps = 1.9e-15.
// - Scaling by 2^k is exact.
// Total below 6.1e-15; kFastExpError (1e-14) keeps a margin of 1.6x.
constexpr double kLog2e = 1.4426950408889634;
constexpr double kLn2Hi = 6.93147180369123816490e-01;  // 0x3fe62e42fee00000
constexpr double kLn2Lo = 1.90821492927058770002e-10;
constexpr double kShifter = 0x1p52;  // adding it leaves an integer in the low mantissa bits
constexpr double kSqrtHalf = 0.70710678118654757;  // sqrt(1/2), rounded
// Adding and subtracting 1.5 * 2^52 rounds |t| < 2^51 to the nearest integer
// (ties to even) in the default rounding mode, without a library call.
constexpr double kRoundShift = 0x1.8p52;
constexpr double kC[13] = {1.0,
                           1.0,
                           1.0 / 2,
                           1.0 / 6,
                           1.0 / 24,
                           1.0 / 120,
                           1.0 / 720,
                           1.0 / 5040,
                           1.0 / 40320,
                           1.0 / 362880,
                           1.0 / 3628800,
                           1.0 / 39916800,
                           1.0 / 479001600};

inline double fast_exp_unflushed(double a) {
  double k = (a * kLog2e + kRoundShift) - kRoundShift;
  double r = (a - k * kLn2Hi) - k * kLn2Lo;
  double p = kC[12];
  for (int i = 11; i >= 0; --i) p = p * r + kC[i];
  uint64_t bits = std::bit_cast<uint64_t>(k + 1023.0 + kShifter) << 52;
  return p * std::bit_cast<double>(bits);
}

// One kernel term's exponent with a multiplication by the rounded 1/h where
// the reference divides by h (a division costs several multiplications).
inline double kernel_exponent(double x, double c, double inv_h) {
  double u = (x - c) * inv_h;
  return -0.5 * (u * u);
}

// NaN compares false and is kept: it must reach the caller.
inline double fast_exp_flushed(double a) { return a < kFlushBelow ? 0.0 : fast_exp_unflushed(a); }

inline double fast_exp_term(double x, double c, double inv_h) {
  return fast_exp_flushed(kernel_exponent(x, c, inv_h));
}

double kernel_sum_portable(double x, const double* centres, size_t n, double inv_h) {
  // Four independent sums: the polynomials of neighbouring terms overlap
  // instead of waiting for each other.
  double s0 = 0.0, s1 = 0.0, s2 = 0.0, s3 = 0.0;
  size_t j = 0;
  for (; j + 4 <= n; j += 4) {
    s0 += fast_exp_term(x, centres[j], inv_h);
    s1 += fast_exp_term(x, centres[j + 1], inv_h);
    s2 += fast_exp_term(x, centres[j + 2], inv_h);
    s3 += fast_exp_term(x, centres[j + 3], inv_h);
  }
  for (; j < n; ++j) s0 += fast_exp_term(x, centres[j], inv_h);
  return (s0 + s1) + (s2 + s3);
}

#if VORDAOPT_HAVE_X86
// exp(max(a, -708)); a NaN stays NaN. The vector path clamps instead of
// flushing: a clamped term is off by less than e^-707.9 either way.
__attribute__((target("avx2,fma"))) inline __m256d fast_exp_avx2(__m256d a) {
  // max returns its second operand when either is NaN: the NaN goes on.
  a = _mm256_max_pd(_mm256_set1_pd(kFlushBelow), a);
  // t = a / ln 2 + 1.5 * 2^52 holds k = round(a / ln 2) in its low bits;
  // k ln2hi is exact and a - k ln2hi exact (as above), the second step
  // rounds once.
  __m256d t = _mm256_fmadd_pd(a, _mm256_set1_pd(kLog2e), _mm256_set1_pd(kRoundShift));
  __m256d k = _mm256_sub_pd(t, _mm256_set1_pd(kRoundShift));
  __m256d r = _mm256_fnmadd_pd(k, _mm256_set1_pd(kLn2Hi), a);
  r = _mm256_fnmadd_pd(k, _mm256_set1_pd(kLn2Lo), r);
  // Estrin's scheme: pairs, then pairs of pairs, so that the chain of
  // dependent operations is 5 long instead of Horner's 12.
  __m256d r2 = _mm256_mul_pd(r, r);
  __m256d r4 = _mm256_mul_pd(r2, r2);
  __m256d r8 = _mm256_mul_pd(r4, r4);
  __m256d q0 = _mm256_fmadd_pd(_mm256_set1_pd(kC[1]), r, _mm256_set1_pd(kC[0])), q1 = _mm256_fmadd_pd(_mm256_set1_pd(kC[3]), r, _mm256_set1_pd(kC[2]));
  __m256d q2 = _mm256_fmadd_pd(_mm256_set1_pd(kC[5]), r, _mm256_set1_pd(kC[4])), q3 = _mm256_fmadd_pd(_mm256_set1_pd(kC[7]), r, _mm256_set1_pd(kC[6]));
  __m256d q4 = _mm256_fmadd_pd(_mm256_set1_pd(kC[9]), r, _mm256_set1_pd(kC[8])), q5 = _mm256_fmadd_pd(_mm256_set1_pd(kC[11]), r, _mm256_set1_pd(kC[10]));
  __m256d s0 = _mm256_fmadd_pd(q1, r2, q0), s1 = _mm256_fmadd_pd(q3, r2, q2);
  __m256d s2 = _mm256_fmadd_pd(q5, r2, q4);
  __m256d t0 = _mm256_fmadd_pd(s1, r4, s0), t1 = _mm256_fmadd_pd(_mm256_set1_pd(kC[12]), r4, s2);
  __m256d p = _mm256_fmadd_pd(t1, r8, t0);
  // The low 12 bits of t's integer bits hold k + 2^51 (mod 2^52): adding the
  // bias and shifting them into the exponent field gives 2^k exactly.
  __m256i bits = _mm256_slli_epi64(
      _mm256_add_epi64(_mm256_castpd_si256(t), _mm256_set1_epi64x(1023)), 52);
  return _mm256_mul_pd(p, _mm256_castsi256_pd(bits));
}

// The exponent -(d s)^2 with s = sqrt(1/2) / h rounded: one multiplication
// fewer than -0.5 (d / h)^2.
__attribute__((target("avx2,fma"))) inline __m256d exponent_avx2(__m256d x, const double* c,
                                                              __m256d s) {
  __m256d v = _mm256_mul_pd(_mm256_sub_pd(x, _mm256_loadu_pd(c)), s);
  return _mm256_fnmadd_pd(v, v, _mm256_setzero_pd());
}

__attribute__((target("avx2,fma"))) double kernel_sum_avx2(double x, const double* centres,
                                                       size_t n, double inv_h) {
  __m256d vx = _mm256_set1_pd(x), vh = _mm256_set1_pd(inv_h * kSqrtHalf);
  __m256d acc0 = _mm256_setzero_pd(), acc1 = _mm256_setzero_pd();
  __m256d acc2 = _mm256_setzero_pd(), acc3 = _mm256_setzero_pd();
  size_t j = 0;
  // Four independent chains: the polynomial's latency, not its arithmetic,
  // would otherwise set the pace.
  for (; j + 16 <= n; j += 16) {
    acc0 = _mm256_add_pd(acc0, fast_exp_avx2(exponent_avx2(vx, centres + j, vh)));
    acc1 = _mm256_add_pd(acc1, fast_exp_avx2(exponent_avx2(vx, centres + j + 4, vh)));
    acc2 = _mm256_add_pd(acc2, fast_exp_avx2(exponent_avx2(vx, centres + j + 8, vh)));
    acc3 = _mm256_add_pd(acc3, fast_exp_avx2(exponent_avx2(vx, centres + j + 12, vh)));
  }
  for (; j + 4 <= n; j += 4) {
    acc0 = _mm256_add_pd(acc0, fast_exp_avx2(exponent_avx2(vx, centres + j, vh)));
  }
  alignas(32) double lanes[4];
  _mm256_store_pd(lanes, _mm256_add_pd(_mm256_add_pd(acc0, acc1), _mm256_add_pd(acc2, acc3)));
  // Clean upper halves before any SSE code runs: GCC does not add this for a
  // function with a target attribute, and the transition costs hundreds of
  // cycles per call.
  _mm256_zeroupper();
  double sum = (lanes[0] + lanes[1]) + (lanes[2] + lanes[3]);
  return sum + kernel_sum_portable(x, centres + j, n - j, inv_h);
}

bool cpu_has_avx2() { return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma"); }
#else
double kernel_sum_avx2(double x, const double* centres, size_t n, double inv_h) {
  return kernel_sum_portable(x, centres, n, inv_h);
}
bool cpu_has_avx2() { return false; }
#endif

std::atomic<int> g_forced{-1};
std::atomic<bool> g_reference{false};
std::atomic<uint64_t> g_steps{0}, g_exact{0}, g_fell_back{0};

// --- The bound ---------------------------------------------------------------------------
//
// One density over n centres, with eps = 2^-53 and gamma(k) = k eps / (1 - k eps).
// Let a_j be the reference's exponents and T = sum exp(a_j) / norm, a sum of
// positive terms.
// - Exponents: the fast path multiplies by the rounded 1/h where the
//   reference divides by h. The portable path's u is within 3.01 eps of the
//   reference's, and its exponent a'_j = a_j (1 + t) with |t| <= 8.1 eps
//   (the square doubles the error of u, each path rounds the square once).
//   The vector path scales by s = fl(fl(1/h) * fl(sqrt(1/2))) (2.51 eps),
//   rounds d s once and its square once: |t| <= 11.2 eps. Then
//   exp(a'_j) = exp(a_j) (1 + s), |s| <= 1.0001 * 11.2 eps |a_j|, and |a_j|
//   <= 708.1 for every term that is not flushed or clamped: |s| < 8.0e3 eps.
// - Reference: the C library's exp is within 1 ulp (2 eps relative), the
//   division by norm adds eps, and adding n terms in order adds at most
//   gamma(n - 1) relative to the sum of positive terms: the sum is
//   T (1 + r_ref) with |r_ref| <= 3.01 eps + gamma(n).
// - Fast: fast_exp is within kFastExpError of exp(a'_j), itself within 8.0e3
//   eps of exp(a_j); the lanes add the terms in another order, still within
//   gamma(n - 1); multiplying by the rounded 1/norm adds 2.01 eps. Terms with
//   a'_j < -708 are flushed (portable) or clamped to -708 (vector): each is
//   off by less than e^-707.9 / norm < 3.7e-308 / norm. So the sum is
//   T (1 + r_fast) + A with |r_fast| <= kFastExpError + 8.0e3 eps + gamma(n)
//   + 2.01 eps, and |A| <= n 3.7e-308 / norm.
// - Dividing by n adds eps to each. The floor max(., 1e-12) never moves two
//   values apart, and keeps both at or above 1e-12, where A / n is at most
//   3.7e-296 / norm relative to the floor.
// - So |ln l_ref - ln l_fast| <= 1.01 (r_ref + r_fast + 2 eps) + 3.8e-296 / norm
//   =: D(n), before the logarithms are rounded; each C library log is within
//   1 ulp: 2 eps |ln l| per path.
// Over the P parameters both paths add the same terms in the same order: the
// sums differ by the terms' differences plus at most gamma(P) sum |ln| per
// path. The score's subtraction adds eps |score| per path. Hence
//   |score_ref - score_fast| <= sum_p (D(n_good) + D(n_bad))
//                              + (4 eps + 2 gamma(P)) sum_p (|ln l_p| + |ln b_p|)
//                              + 2 eps |score|,
// all to first order; the bound used doubles it (and adds 1e-300) to cover the
// second-order terms and the magnitudes taken from the fast values.
double gamma(size_t k) {
  double ke = static_cast<double>(k) * kEps;
  return ke / (1.0 - ke);
}

double log_density_error(size_t n, double norm) {
  if (n == 0) return 0.0;  // the floor itself, alike in both paths
  double r_ref = 3.01 * kEps + gamma(n);
  double r_fast = kFastExpError + 8.0e3 * kEps + gamma(n) + 2.01 * kEps;
  return 1.01 * (r_ref + r_fast + 2.0 * kEps) + 3.8e-296 / norm;
}

double fast_density(double x, const std::vector<double>& centres, double inv_h,
                    double inv_norm) {
  if (centres.empty()) return kDensityFloor;
  double sum = kernel_sum_fast(x, centres.data(), centres.size(), inv_h) * inv_norm;
  return std::max(sum / static_cast<double>(centres.size()), kDensityFloor);
}

}  // namespace

ScoringStats scoring_stats() {
  return {g_steps.load(std::memory_order_relaxed), g_exact.load(std::memory_order_relaxed),
          g_fell_back.load(std::memory_order_relaxed)};
}

void reset_scoring_stats() {
  g_steps.store(0);
  g_exact.store(0);
  g_fell_back.store(0);
}

void set_reference_scoring(bool on) { g_reference.store(on, std::memory_order_relaxed); }
bool reference_scoring() { return g_reference.load(std::memory_order_relaxed); }

double fast_exp(double a) { return fast_exp_flushed(a); }

SimdLevel simd_level() {
  int forced = g_forced.load(std::memory_order_relaxed);
  if (forced >= 0) return static_cast<SimdLevel>(forced);
  static const SimdLevel detected = cpu_has_avx2() ? SimdLevel::kAvx2 : SimdLevel::kPortable;
  return detected;
}

void force_simd_level(SimdLevel level) {
  if (level == SimdLevel::kAvx2 && !cpu_has_avx2()) level = SimdLevel::kPortable;
  g_forced.store(static_cast<int>(level), std::memory_order_relaxed);
}

double kernel_sum_fast(double x, const double* centres, size_t n, double inv_h) {
  return simd_level() == SimdLevel::kAvx2 ? kernel_sum_avx2(x, centres, n, inv_h)
                                          : kernel_sum_portable(x, centres, n, inv_h);
}

double parzen_density(double x, const std::vector<double>& centres, double h, double norm) {
  double sum = 0.0;
  for (double g : centres) {
    double u = (x - g) / h;
    double term = std::exp(-0.5 * (u * u)) / norm;
    sum += term;
  }
  return std::max(sum / static_cast<double>(centres.size()), kDensityFloor);
}

double exact_score(const std::vector<Kernel>& kernels, const double* x) {
  double s_good = 0.0, s_bad = 0.0;
  for (size_t p = 0; p < kernels.size(); ++p) {
    const Kernel& k = kernels[p];
    double l = parzen_density(x[p], k.good, k.h, k.norm);
    double b = k.bad.empty() ? kDensityFloor : parzen_density(x[p], k.bad, k.h, k.norm);
    s_good += std::log(l);
    s_bad += std::log(b);
  }
  return s_good - s_bad;
}

size_t choose_exact(const std::vector<Kernel>& kernels, const std::vector<double>& xs,
                    size_t count) {
  size_t dims = kernels.size();
  size_t best = 0;
  double best_score = 0.0;
  for (size_t c = 0; c < count; ++c) {
    double score = exact_score(kernels, xs.data() + c * dims);
    if (c == 0 || score > best_score) {
      best = c;
      best_score = score;
    }
  }
  return best;
}

FastChoice choose_fast(const std::vector<Kernel>& kernels, const std::vector<double>& xs,
                       size_t count) {
  size_t dims = kernels.size();
  FastChoice out;
  // Outside the bound's assumptions (a bandwidth that is not a positive
  // finite number, a value that is not finite), the reference decides alone.
  bool usable = true;
  for (const Kernel& k : kernels) {
    usable = usable && std::isfinite(k.h) && k.h > 0.0 && std::isfinite(k.norm) && k.norm > 0.0;
  }
  for (size_t i = 0; usable && i < count * dims; ++i) usable = std::isfinite(xs[i]);

  std::vector<double> score(count), bound(count);
  std::vector<double> inv_h(dims), inv_norm(dims), err_good(dims), err_bad(dims);
  for (size_t p = 0; p < dims; ++p) {
    inv_h[p] = 1.0 / kernels[p].h;
    inv_norm[p] = 1.0 / kernels[p].norm;
    err_good[p] = log_density_error(kernels[p].good.size(), kernels[p].norm);
    err_bad[p] = log_density_error(kernels[p].bad.size(), kernels[p].norm);
  }
  double log_rounding = 4.0 * kEps + 2.0 * gamma(dims);
  // Parameter by parameter, so that its centres stay in the cache while all
  // candidates are scored against them; each candidate's sums still run over
  // the parameters in visiting order.
  std::vector<double> s_good(count, 0.0), s_bad(count, 0.0), magnitude(count, 0.0);
  double err = 0.0;
  for (size_t p = 0; usable && p < dims; ++p) {
    const Kernel& k = kernels[p];
    err += err_good[p] + err_bad[p];
    for (size_t c = 0; c < count; ++c) {
      double x = xs[c * dims + p];
      double lg = std::log(fast_density(x, k.good, inv_h[p], inv_norm[p]));
      double lb = std::log(fast_density(x, k.bad, inv_h[p], inv_norm[p]));
      s_good[c] += lg;
      s_bad[c] += lb;
      magnitude[c] += std::fabs(lg) + std::fabs(lb);
    }
  }
  for (size_t c = 0; usable && c < count; ++c) {
    score[c] = s_good[c] - s_bad[c];
    bound[c] = 2.0 * (err + log_rounding * magnitude[c] + 2.0 * kEps * std::fabs(score[c])) + 1e-300;
    usable = std::isfinite(score[c]) && std::isfinite(bound[c]);
  }
  g_steps.fetch_add(1, std::memory_order_relaxed);
  if (!usable) {
    g_exact.fetch_add(1, std::memory_order_relaxed);
    g_fell_back.fetch_add(1, std::memory_order_relaxed);
    out.index = choose_exact(kernels, xs, count);
    out.contenders = count;
    out.exact_needed = true;
    out.fell_back = true;
    return out;
  }

  // The exact winner's exact score is at least the best lower bound, so a
  // candidate whose upper bound stays below it can neither win nor tie.
  double floor_of_best = score[0] - bound[0];
  for (size_t c = 1; c < count; ++c) floor_of_best = std::max(floor_of_best, score[c] - bound[c]);
  std::vector<size_t> contenders;
  for (size_t c = 0; c < count; ++c) {
    if (score[c] + bound[c] >= floor_of_best) contenders.push_back(c);
  }
  out.contenders = contenders.size();
  if (contenders.size() == 1) {
    out.index = contenders[0];
    return out;
  }
  // Among the contenders, the reference rule: the first strictly greater.
  out.exact_needed = true;
  g_exact.fetch_add(1, std::memory_order_relaxed);
  double best_score = 0.0;
  for (size_t i = 0; i < contenders.size(); ++i) {
    double s = exact_score(kernels, xs.data() + contenders[i] * dims);
    if (i == 0 || s > best_score) {
      out.index = contenders[i];
      best_score = s;
    }
  }
  return out;
}

}  // namespace vordaopt::tpe
