#include "numerics/linalg.h"

#include <cmath>

namespace vordaopt::numerics {

VORDAOPT_WIDE
double dot(const double* a, const double* b, size_t n) {
  double s0 = 0.0, s1 = 0.0, s2 = 0.0, s3 = 0.0;
  size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    s0 += a[i] * b[i];
    s1 += a[i + 1] * b[i + 1];
    s2 += a[i + 2] * b[i + 2];
    s3 += a[i + 3] * b[i + 3];
  }
  for (; i < n; ++i) s0 += a[i] * b[i];
  return (s0 + s1) + (s2 + s3);
}

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

std::vector<double> inverse_cholesky(const std::vector<double>& l, size_t n) {
  // Row j of `t` is column j of M = L^-1 (lower triangular); then
  // (L L^T)^-1 = M^T M, whose entry (i, j) is the dot product of rows i and
  // j of `t`. A third of the work of n full solves, with contiguous loops.
  std::vector<double> t(n * n, 0.0);
  for (size_t j = 0; j < n; ++j) {
    double* row = &t[j * n];
    row[j] = 1.0 / l[j * n + j];
    for (size_t i = j + 1; i < n; ++i) {
      const double* li = &l[i * n];
      row[i] = -dot(li + j, row + j, i - j) / li[i];
    }
  }
  std::vector<double> inverse(n * n, 0.0);
  for (size_t i = 0; i < n; ++i) {
    for (size_t j = 0; j <= i; ++j) {
      double sum = dot(&t[i * n + i], &t[j * n + i], n - i);
      inverse[i * n + j] = inverse[j * n + i] = sum;
    }
  }
  return inverse;
}

}  // namespace vordaopt::numerics
