// Dense linear algebra for the small systems of the search methods (the GP,
// CMA-ES's model, the trust region).
//
// Plain loops in a fixed order, no BLAS: a sum is always taken over the same
// terms in the same order, so the results are the same bit for bit on every
// machine and thread count (with -ffp-contract=off). Matrices are square,
// row-major, in std::vector<double> of n * n entries.
#ifndef VORDAOPT_CORE_NUMERICS_LINALG_H_
#define VORDAOPT_CORE_NUMERICS_LINALG_H_

#include <cstddef>
#include <vector>

// A copy of a hot loop in wide registers, chosen at load time where the
// machine has AVX2. Each lane does the same operations in the same order as
// the plain copy (there is no fused multiply-add: -ffp-contract=off), so
// both give the same bits and a proposal is the same on every machine.
#if defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__) && defined(__linux__)
#define VORDAOPT_WIDE __attribute__((target_clones("avx2", "default")))
#else
#define VORDAOPT_WIDE
#endif

namespace vordaopt::numerics {

// sum a[i] * b[i] for i < n, in four interleaved partial sums added in a fixed
// order: the compiler may vectorise it (a plain running sum it may not
// reorder), and the result is the same on every machine. Inline, so that a
// loop of short products pays no call and runs as wide as its caller.
inline double dot(const double* a, const double* b, size_t n) {
  // The four sums as the lanes of one vector: compilers otherwise vectorise
  // the unrolled loop across iterations and shuffle lanes at every step.
  typedef double Lanes __attribute__((vector_size(32)));
  Lanes sums = {0.0, 0.0, 0.0, 0.0};
  size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    Lanes x, y;
    __builtin_memcpy(&x, a + i, sizeof x);
    __builtin_memcpy(&y, b + i, sizeof y);
    sums += x * y;
  }
  double s0 = sums[0];
  for (; i < n; ++i) s0 += a[i] * b[i];
  return (s0 + sums[1]) + (sums[2] + sums[3]);
}

// Replaces the lower triangle of the symmetric positive-definite `a` (n x n)
// by its Cholesky factor L (a = L L^T) and zeroes the upper triangle.
// Returns false, leaving `a` partly overwritten, when a pivot is not positive
// (the matrix is not numerically positive definite).
bool cholesky(std::vector<double>& a, size_t n);

// Solves L x = b in place (b becomes x). L: a lower-triangular factor.
void solve_lower(const std::vector<double>& l, size_t n, std::vector<double>& b);
// Solves L^T x = b in place.
void solve_lower_transposed(const std::vector<double>& l, size_t n, std::vector<double>& b);
// (L L^T)^-1 b in place.
void solve_cholesky(const std::vector<double>& l, size_t n, std::vector<double>& b);
// log det(L L^T) = 2 * sum log L_ii.
double log_det_cholesky(const std::vector<double>& l, size_t n);
// The full inverse (L L^T)^-1, symmetric, n x n.
std::vector<double> inverse_cholesky(const std::vector<double>& l, size_t n);

}  // namespace vordaopt::numerics

#endif  // VORDAOPT_CORE_NUMERICS_LINALG_H_
