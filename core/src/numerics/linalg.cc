#include "numerics/linalg.h"

#include <cmath>

namespace vordaopt::numerics {

VORDAOPT_WIDE
bool cholesky(std::vector<double>& a, size_t n) {
  for (size_t j = 0; j < n; ++j) {
    const double* row_j = &a[j * n];
    double diagonal = a[j * n + j] - dot(row_j, row_j, j);
    if (!(diagonal > 0.0)) return false;  // NaN fails too
    double pivot = std::sqrt(diagonal);
    a[j * n + j] = pivot;
    for (size_t i = j + 1; i < n; ++i) {
      a[i * n + j] = (a[i * n + j] - dot(&a[i * n], row_j, j)) / pivot;
    }
    for (size_t i = 0; i < j; ++i) a[i * n + j] = 0.0;
  }
  return true;
}

VORDAOPT_WIDE
void solve_lower(const std::vector<double>& l, size_t n, std::vector<double>& b) {
  for (size_t i = 0; i < n; ++i) b[i] = (b[i] - dot(&l[i * n], b.data(), i)) / l[i * n + i];
}

VORDAOPT_WIDE
void solve_lower_transposed(const std::vector<double>& l, size_t n, std::vector<double>& b) {
  // Row by row of L (contiguous): once x_i is known, it leaves the earlier equations.
  for (size_t i = n; i-- > 0;) {
    b[i] /= l[i * n + i];
    const double* row = &l[i * n];
    double xi = b[i];
    for (size_t k = 0; k < i; ++k) b[k] -= row[k] * xi;
  }
}

void solve_cholesky(const std::vector<double>& l, size_t n, std::vector<double>& b) {
  solve_lower(l, n, b);
  solve_lower_transposed(l, n, b);
}

double log_det_cholesky(const std::vector<double>& l, size_t n) {
  double sum = 0.0;
  for (size_t i = 0; i < n; ++i) sum += std::log(l[i * n + i]);
  return 2.0 * sum;
}

VORDAOPT_WIDE
std::vector<double> inverse_cholesky(const std::vector<double>& l, size_t n) {
  // M = L^-1 row by row from L M = I: row i is (e_i - sum_{k<i} L_ik M_k) / L_ii.
  // Each update runs along a row, and no step waits on the one before it
  // (column by column, every entry would wait on a division).
  std::vector<double> m(n * n, 0.0);
  for (size_t i = 0; i < n; ++i) {
    double* row = &m[i * n];
    row[i] = 1.0;
    const double* li = &l[i * n];
    for (size_t k = 0; k < i; ++k) {
      const double* done = &m[k * n];
      double f = li[k];
      for (size_t j = 0; j <= k; ++j) row[j] -= f * done[j];
    }
    double pivot = li[i];
    for (size_t j = 0; j <= i; ++j) row[j] /= pivot;
  }
  // (L L^T)^-1 = M^T M, a sum of outer products of M's rows (row k is zero
  // beyond k): each update runs along a contiguous row of the result.
  std::vector<double> inverse(n * n, 0.0);
  for (size_t k = 0; k < n; ++k) {
    const double* mk = &m[k * n];
    for (size_t i = 0; i <= k; ++i) {
      double a = mk[i];
      double* out = &inverse[i * n];
      for (size_t j = 0; j <= i; ++j) out[j] += a * mk[j];
    }
  }
  for (size_t i = 0; i < n; ++i) {
    for (size_t j = 0; j < i; ++j) inverse[j * n + i] = inverse[i * n + j];
  }
  return inverse;
}

}  // namespace vordaopt::numerics
