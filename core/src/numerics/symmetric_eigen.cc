#include "numerics/symmetric_eigen.h"

#include <cmath>

namespace vordaopt::numerics {

bool symmetric_eigen(const std::vector<double>& a_in, size_t n, std::vector<double>& values,
                     std::vector<double>& vectors) {
  std::vector<double> a = a_in;
  for (double x : a) {
    if (!std::isfinite(x)) return false;
  }
  vectors.assign(n * n, 0.0);
  for (size_t i = 0; i < n; ++i) vectors[i * n + i] = 1.0;
  constexpr int kMaxSweeps = 60;
  for (int sweep = 0; sweep < kMaxSweeps; ++sweep) {
    double off = 0.0, diagonal = 0.0;
    for (size_t i = 0; i < n; ++i) {
      diagonal += a[i * n + i] * a[i * n + i];
      for (size_t j = i + 1; j < n; ++j) off += a[i * n + j] * a[i * n + j];
    }
    if (!(off > 1e-30 * diagonal)) break;
    for (size_t p = 0; p < n; ++p) {
      for (size_t q = p + 1; q < n; ++q) {
        double apq = a[p * n + q];
        if (apq == 0.0) continue;
        // The rotation that zeroes a_pq (Rutishauser's stable form).
        double theta = (a[q * n + q] - a[p * n + p]) / (2.0 * apq);
        double t = (theta >= 0.0 ? 1.0 : -1.0) / (std::fabs(theta) + std::sqrt(theta * theta + 1.0));
        double c = 1.0 / std::sqrt(t * t + 1.0);
        double s = t * c;
        for (size_t k = 0; k < n; ++k) {  // columns p and q
          double akp = a[k * n + p], akq = a[k * n + q];
          a[k * n + p] = c * akp - s * akq;
          a[k * n + q] = s * akp + c * akq;
        }
        for (size_t k = 0; k < n; ++k) {  // rows p and q
          double apk = a[p * n + k], aqk = a[q * n + k];
          a[p * n + k] = c * apk - s * aqk;
          a[q * n + k] = s * apk + c * aqk;
        }
        a[p * n + q] = a[q * n + p] = 0.0;
        for (size_t k = 0; k < n; ++k) {
          double vkp = vectors[k * n + p], vkq = vectors[k * n + q];
          vectors[k * n + p] = c * vkp - s * vkq;
          vectors[k * n + q] = s * vkp + c * vkq;
        }
      }
    }
  }
  values.resize(n);
  for (size_t i = 0; i < n; ++i) values[i] = a[i * n + i];
  return true;
}

}  // namespace vordaopt::numerics
