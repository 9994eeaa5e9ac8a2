#include "numerics/linalg.h"

#include <algorithm>
#include <cmath>

namespace vordaopt::numerics {

namespace {

// out[j] -= f[0] a0[j], then f[1] a1[j], ... for j < count: the updates of
// `rows` earlier rows, each element's in order, kept in a register between them.
inline void subtract_rows(double* out, const double* const* a, const double* f, size_t rows,
                          size_t count) {
  if (rows == 4) {
    for (size_t j = 0; j < count; ++j) {
      double v = out[j];
      v -= f[0] * a[0][j];
      v -= f[1] * a[1][j];
      v -= f[2] * a[2][j];
      v -= f[3] * a[3][j];
      out[j] = v;
    }
    return;
  }
  for (size_t r = 0; r < rows; ++r) {
    for (size_t j = 0; j < count; ++j) out[j] -= f[r] * a[r][j];
  }
}

// The same with additions.
inline void add_rows(double* out, const double* const* a, const double* f, size_t rows,
                     size_t count) {
  if (rows == 4) {
    for (size_t j = 0; j < count; ++j) {
      double v = out[j];
      v += f[0] * a[0][j];
      v += f[1] * a[1][j];
      v += f[2] * a[2][j];
      v += f[3] * a[3][j];
      out[j] = v;
    }
    return;
  }
  for (size_t r = 0; r < rows; ++r) {
    for (size_t j = 0; j < count; ++j) out[j] += f[r] * a[r][j];
  }
}

}  // namespace

VORDAOPT_WIDE
bool cholesky(std::vector<double>& a, size_t n) {
  // Right-looking, on the upper triangle, which holds U = L^T as it forms:
  // once a row of U is final, it updates every row below it. Each update
  // runs along contiguous rows with independent lanes (the left-looking
  // form's short dot products wait on their own sums). Rows are finished
  // four at a time, and the four update the rows below together, each
  // entry still in the order of k.
  for (size_t k0 = 0; k0 < n; k0 += 4) {
    size_t rows = std::min<size_t>(4, n - k0);
    for (size_t k = k0; k < k0 + rows; ++k) {
      double* uk = &a[k * n];
      double diagonal = uk[k];
      if (!(diagonal > 0.0)) return false;  // NaN fails too
      double pivot = std::sqrt(diagonal);
      uk[k] = pivot;
      for (size_t j = k + 1; j < n; ++j) uk[j] /= pivot;
      for (size_t i = k + 1; i < k0 + rows; ++i) {  // the block's own later rows
        double f = uk[i];
        double* ai = &a[i * n];
        for (size_t j = i; j < n; ++j) ai[j] -= f * uk[j];
      }
    }
    const double* u[4] = {};
    for (size_t r = 0; r < rows; ++r) u[r] = &a[(k0 + r) * n];
    for (size_t i = k0 + rows; i < n; ++i) {
      double f[4] = {};
      for (size_t r = 0; r < rows; ++r) f[r] = u[r][i];
      const double* shifted[4] = {};
      for (size_t r = 0; r < rows; ++r) shifted[r] = u[r] + i;
      subtract_rows(&a[i * n + i], shifted, f, rows, n - i);
    }
  }
  for (size_t i = 0; i < n; ++i) {
    for (size_t j = 0; j < i; ++j) {
      a[i * n + j] = a[j * n + i];
      a[j * n + i] = 0.0;
    }
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
  // (column by column, every entry would wait on a division). Row k of M is
  // zero beyond k, so of four earlier rows k0..k0+3, all four reach entries
  // up to k0, the last three entry k0 + 1, and so on.
  std::vector<double> m(n * n, 0.0);
  for (size_t i = 0; i < n; ++i) {
    double* row = &m[i * n];
    row[i] = 1.0;
    const double* li = &l[i * n];
    for (size_t k0 = 0; k0 < i; k0 += 4) {
      size_t rows = std::min<size_t>(4, i - k0);
      const double* a[4] = {};
      for (size_t r = 0; r < rows; ++r) a[r] = &m[(k0 + r) * n];
      subtract_rows(row, a, li + k0, rows, k0 + 1);
      for (size_t r = 1; r < rows; ++r) {  // entry k0 + r, from rows k0 + r on
        for (size_t q = r; q < rows; ++q) row[k0 + r] -= li[k0 + q] * a[q][k0 + r];
      }
    }
    double pivot = li[i];
    for (size_t j = 0; j <= i; ++j) row[j] /= pivot;
  }
  // (L L^T)^-1 = M^T M, a sum of outer products of M's rows: out row i gets
  // M_ki M_k for k >= i, k ascending. Four rows k at a time, as above.
  std::vector<double> inverse(n * n, 0.0);
  for (size_t k0 = 0; k0 < n; k0 += 4) {
    size_t rows = std::min<size_t>(4, n - k0);
    const double* a[4] = {};
    for (size_t r = 0; r < rows; ++r) a[r] = &m[(k0 + r) * n];
    double f[4] = {};
    for (size_t i = 0; i < k0 + rows; ++i) {
      size_t first = i <= k0 ? 0 : i - k0;  // rows k0 + first.. reach out row i
      for (size_t r = first; r < rows; ++r) f[r] = a[r][i];
      add_rows(&inverse[i * n], a + first, f + first, rows - first, i + 1);
    }
  }
  for (size_t i = 0; i < n; ++i) {
    for (size_t j = 0; j < i; ++j) inverse[j * n + i] = inverse[i * n + j];
  }
  return inverse;
}

}  // namespace vordaopt::numerics
