#include "cma/surrogate.h"

#include <algorithm>
#include <cmath>

#include "numerics/linalg.h"

namespace vordaopt::cma {
namespace {

// A shape is used once there are this many results per coefficient: fewer
// leave the least-squares fit free to follow noise between the points.
constexpr double kDataPerCoefficient = 1.2;
// The fit uses at most this many results per coefficient of the richest
// shape: older ones describe where the search was, not where it is.
constexpr double kDataWindow = 2.0;
// Relative to each diagonal entry of the normal equations.
constexpr double kRidge = 1e-8;

constexpr ModelShape kShapes[] = {ModelShape::kFull, ModelShape::kDiagonal, ModelShape::kLinear};

}  // namespace

size_t QuadraticModel::coefficients(size_t n, ModelShape shape) {
  switch (shape) {
    case ModelShape::kLinear:
      return 1 + n;
    case ModelShape::kDiagonal:
      return 1 + 2 * n;
    case ModelShape::kFull:
      break;
  }
  return 1 + n + n * (n + 1) / 2;
}

void QuadraticModel::features(const double* x, size_t n, ModelShape shape, double* out) {
  size_t k = 0;
  out[k++] = 1.0;
  for (size_t i = 0; i < n; ++i) out[k++] = x[i];
  if (shape == ModelShape::kLinear) return;
  if (shape == ModelShape::kDiagonal) {
    for (size_t i = 0; i < n; ++i) out[k++] = x[i] * x[i];
    return;
  }
  for (size_t i = 0; i < n; ++i) {
    for (size_t j = 0; j <= i; ++j) out[k++] = x[i] * x[j];
  }
}

// The linear shape is always allowed: it is the least a ranking needs.
bool QuadraticModel::allowed(size_t n, ModelShape shape, size_t max_coefficients) {
  return shape == ModelShape::kLinear || coefficients(n, shape) <= max_coefficients;
}

size_t QuadraticModel::data_limit(size_t n, size_t max_coefficients) {
  for (ModelShape shape : kShapes) {
    if (allowed(n, shape, max_coefficients)) {
      return static_cast<size_t>(std::ceil(kDataWindow * static_cast<double>(coefficients(n, shape))));
    }
  }
  return 0;
}

std::optional<QuadraticModel> QuadraticModel::fit(const std::vector<double>& rows,
                                                  const std::vector<double>& values, size_t n,
                                                  size_t max_coefficients) {
  size_t m = values.size();
  if (n == 0 || rows.size() != m * n) return std::nullopt;
  std::optional<ModelShape> chosen;
  for (ModelShape shape : kShapes) {
    if (!allowed(n, shape, max_coefficients)) continue;
    if (kDataPerCoefficient * static_cast<double>(coefficients(n, shape)) <= static_cast<double>(m)) {
      chosen = shape;
      break;
    }
  }
  if (!chosen) return std::nullopt;
  // Values are centred and scaled, so that the ridge means the same for any
  // objective.
  if (std::all_of(values.begin(), values.end(), [&](double v) { return v == values[0]; })) {
    return std::nullopt;
  }
  double mean = 0.0;
  for (double v : values) mean += v;
  mean /= static_cast<double>(m);
  double spread = 0.0;
  for (double v : values) spread += (v - mean) * (v - mean);
  spread = std::sqrt(spread / static_cast<double>(m));
  if (!(spread > 0.0) || !std::isfinite(spread)) return std::nullopt;

  size_t p = coefficients(n, *chosen);
  std::vector<double> normal(p * p, 0.0), rhs(p, 0.0), f(p);
  for (size_t r = 0; r < m; ++r) {
    features(&rows[r * n], n, *chosen, f.data());
    double y = (values[r] - mean) / spread;
    for (size_t a = 0; a < p; ++a) {
      rhs[a] += f[a] * y;
      double* row = &normal[a * p];
      for (size_t b = 0; b <= a; ++b) row[b] += f[a] * f[b];
    }
  }
  // The ridge is relative to each feature's own scale: older results, far
  // out in the coordinates of a distribution that has since shrunk, make
  // the quadratic features large and would otherwise set the ridge for all.
  for (size_t a = 0; a < p; ++a) {
    double& diagonal = normal[a * p + a];
    diagonal = diagonal > 0.0 ? diagonal * (1.0 + kRidge) : 1.0;
    for (size_t b = 0; b < a; ++b) normal[b * p + a] = normal[a * p + b];
  }
  if (!numerics::cholesky(normal, p)) return std::nullopt;
  numerics::solve_cholesky(normal, p, rhs);
  for (double& c : rhs) c *= spread;
  rhs[0] += mean;
  return QuadraticModel(n, *chosen, std::move(rhs));
}

double QuadraticModel::predict(const double* x) const {
  std::vector<double> f(coefficients_.size());
  features(x, n_, shape_, f.data());
  double s = 0.0;
  for (size_t k = 0; k < f.size(); ++k) s += coefficients_[k] * f[k];
  return s;
}

double kendall_tau(const std::vector<double>& a, const std::vector<double>& b) {
  size_t m = std::min(a.size(), b.size());
  if (m < 2) return 0.0;
  double score = 0.0;
  for (size_t i = 0; i < m; ++i) {
    for (size_t j = i + 1; j < m; ++j) {
      double s = (a[i] - a[j]) * (b[i] - b[j]);
      score += s > 0.0 ? 1.0 : (s < 0.0 ? -1.0 : 0.0);
    }
  }
  return score / (0.5 * static_cast<double>(m) * static_cast<double>(m - 1));
}

}  // namespace vordaopt::cma
