// Scoring the candidates of a model-based TPE step.
//
// A candidate's score is S_good - S_bad: over the parameters in visiting
// order, S_good sums ln(l) and S_bad sums ln(b), where l and b are floored
// Parzen densities of the candidate's value among the good and the bad
// values (C library exp and log, each kernel term divided and added in
// order). The step returns the first candidate with the greatest score.
//
// The scores only decide which candidate wins; its values come from the
// random draws. choose_fast therefore scores every candidate with vectorised
// arithmetic and a rigorous bound on the distance to the exact score, and
// computes exact scores only for the candidates whose bounds overlap the best
// one's. It returns the candidate choose_exact returns, always.
#ifndef VORDAOPT_CORE_STRATEGIES_TPE_SCORING_H_
#define VORDAOPT_CORE_STRATEGIES_TPE_SCORING_H_

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vordaopt::tpe {

// The Parzen model of one parameter; the same for every candidate of a step.
struct Kernel {
  std::vector<double> good, bad;  // the centres, in rank order
  double h = 1.0;                 // the bandwidth
  double norm = 1.0;              // h * sqrt(2 pi)
};

// max(sum over centres of exp(-0.5 u^2) / norm with u = (x - c) / h, divided
// and added in order, / n, 1e-12): the exact density of the reference.
double parzen_density(double x, const std::vector<double>& centres, double h, double norm);

// The exact score of one candidate; x holds one value per kernel.
double exact_score(const std::vector<Kernel>& kernels, const double* x);

// The reference rule: the first of `count` candidates (xs holds them one
// after another, kernels.size() values each) whose exact score is strictly
// greater than every earlier one's. REQUIRES: count > 0
size_t choose_exact(const std::vector<Kernel>& kernels, const std::vector<double>& xs,
                    size_t count);

struct FastChoice {
  size_t index = 0;       // the chosen candidate: choose_exact's
  size_t contenders = 0;  // candidates whose bounds reached the best one's
  bool exact_needed = false;  // true when more than one contender was rescored exactly
  bool fell_back = false;     // true when the inputs left the bounds' domain
};

// The same choice as choose_exact, from fast scores and exact rescoring of
// the contenders only. REQUIRES: count > 0
FastChoice choose_fast(const std::vector<Kernel>& kernels, const std::vector<double>& xs,
                       size_t count);

// --- Pieces exposed for tests and benchmarks -------------------------------------------

// exp(a) for a <= 0 by the vectorisable method of the fast path: relative
// error below kFastExpError; 0 below kFlushBelow.
double fast_exp(double a);
constexpr double kFastExpError = 1e-14;
constexpr double kFlushBelow = -708.0;

// Sum over centres of fast_exp(-0.5 u^2), u = (x - c) * inv_h, in any order.
double kernel_sum_fast(double x, const double* centres, size_t n, double inv_h);

// How often choose_fast has run, needed exact rescoring, and fallen back to
// the reference, since the process started (or the last reset).
struct ScoringStats {
  uint64_t steps = 0;
  uint64_t exact_needed = 0;
  uint64_t fell_back = 0;
};
ScoringStats scoring_stats();
void reset_scoring_stats();

// When set, TPE steps choose with choose_exact alone (the reference); for
// differential tests and benchmarks.
void set_reference_scoring(bool on);
bool reference_scoring();

enum class SimdLevel { kPortable, kAvx2 };
// The level in use: AVX2 (with FMA) when the processor has it, unless forced.
SimdLevel simd_level();
// Forces a level (kAvx2 only where supported); for tests and benchmarks.
void force_simd_level(SimdLevel level);

}  // namespace vordaopt::tpe

#endif  // VORDAOPT_CORE_STRATEGIES_TPE_SCORING_H_
