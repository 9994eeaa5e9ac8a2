#include "gp/linalg.h"

#include <cmath>

namespace vordaopt::gp {

bool cholesky(std::vector<double>& a, size_t n) {
  for (size_t j = 0; j < n; ++j) {
    double diagonal = a[j * n + j];
    for (size_t k = 0; k < j; ++k) diagonal -= a[j * n + k] * a[j * n + k];
    if (!(diagonal > 0.0)) return false;  // NaN fails too
    double pivot = std::sqrt(diagonal);
    a[j * n + j] = pivot;
    for (size_t i = j + 1; i < n; ++i) {
      double sum = a[i * n + j];
      for (size_t k = 0; k < j; ++k) sum -= a[i * n + k] * a[j * n + k];
      a[i * n + j] = sum / pivot;
    }
    for (size_t i = 0; i < j; ++i) a[i * n + j] = 0.0;
  }
  return true;
}

void solve_lower(const std::vector<double>& l, size_t n, std::vector<double>& b) {
  for (size_t i = 0; i < n; ++i) {
    double sum = b[i];
    for (size_t k = 0; k < i; ++k) sum -= l[i * n + k] * b[k];
    b[i] = sum / l[i * n + i];
  }
}

void solve_lower_transposed(const std::vector<double>& l, size_t n, std::vector<double>& b) {
  for (size_t i = n; i-- > 0;) {
    double sum = b[i];
    for (size_t k = i + 1; k < n; ++k) sum -= l[k * n + i] * b[k];
    b[i] = sum / l[i * n + i];
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
  std::vector<double> inverse(n * n, 0.0);
  std::vector<double> column(n);
  for (size_t j = 0; j < n; ++j) {
    for (size_t i = 0; i < n; ++i) column[i] = i == j ? 1.0 : 0.0;
    solve_cholesky(l, n, column);
    for (size_t i = 0; i < n; ++i) inverse[i * n + j] = column[i];
  }
  // Symmetric in exact arithmetic; make it so in floating point.
  for (size_t i = 0; i < n; ++i) {
    for (size_t j = 0; j < i; ++j) {
      double mean = 0.5 * (inverse[i * n + j] + inverse[j * n + i]);
      inverse[i * n + j] = inverse[j * n + i] = mean;
    }
  }
  return inverse;
}

}  // namespace vordaopt::gp
