#include "gp/quadratic.h"

#include <algorithm>
#include <cmath>
#include <numeric>

#include "numerics/linalg.h"

namespace vordaopt::gp {

using numerics::cholesky;
using numerics::dot;
using numerics::solve_cholesky;

namespace {

// Columns whose remaining norm falls below this share of the largest are
// dependent on the others (points nearly on a lower-dimensional surface).
constexpr double kRankTolerance = 1e-12;

// Least squares min |A c - b| by Householder QR (A: rows x cols, row-major),
// accurate to the condition number of A rather than its square, as normal
// equations would be. Returns false when A has dependent columns.
bool least_squares(std::vector<double> a, size_t rows, size_t cols, std::vector<double> b,
                   std::vector<double>& c) {
  double largest = 0.0;
  for (size_t j = 0; j < cols; ++j) {
    // The Householder reflection that zeroes column j below the diagonal.
    double norm = 0.0;
    for (size_t i = j; i < rows; ++i) norm += a[i * cols + j] * a[i * cols + j];
    norm = std::sqrt(norm);
    largest = std::max(largest, norm);
    if (!(norm > kRankTolerance * largest)) return false;
    double alpha = a[j * cols + j] > 0.0 ? -norm : norm;
    std::vector<double> v(rows - j);
    for (size_t i = j; i < rows; ++i) v[i - j] = a[i * cols + j];
    v[0] -= alpha;
    double vv = 0.0;
    for (double x : v) vv += x * x;
    if (!(vv > 0.0)) continue;
    for (size_t k = j; k < cols; ++k) {
      double s = 0.0;
      for (size_t i = j; i < rows; ++i) s += v[i - j] * a[i * cols + k];
      s *= 2.0 / vv;
      for (size_t i = j; i < rows; ++i) a[i * cols + k] -= s * v[i - j];
    }
    double s = 0.0;
    for (size_t i = j; i < rows; ++i) s += v[i - j] * b[i];
    s *= 2.0 / vv;
    for (size_t i = j; i < rows; ++i) b[i] -= s * v[i - j];
  }
  c.assign(cols, 0.0);
  for (size_t j = cols; j-- > 0;) {
    double s = b[j];
    for (size_t k = j + 1; k < cols; ++k) s -= a[j * cols + k] * c[k];
    c[j] = s / a[j * cols + j];
  }
  return true;
}
// The step may reach this many radii (the distance of the farthest point used)
// beyond that point: far enough to follow a long valley, near enough to trust.
constexpr double kTrustGrowth = 3.0;

}  // namespace

std::optional<QuadraticStep> quadratic_step(const std::vector<double>& points,
                                            const std::vector<double>& values, size_t d,
                                            const std::vector<size_t>& smooth) {
  size_t n = values.size();
  size_t m = smooth.size();
  if (m == 0 || n == 0) return std::nullopt;
  // Full quadratic: 1 + m + m(m+1)/2 coefficients, from 1.5 times as many points.
  size_t p = 1 + m + m * (m + 1) / 2;
  size_t want = p + p / 2;
  if (n < want) return std::nullopt;
  size_t best = static_cast<size_t>(
      std::min_element(values.begin(), values.end()) - values.begin());
  const double* x0 = &points[best * d];
  std::vector<double> distance(n);
  for (size_t i = 0; i < n; ++i) {
    double s = 0.0;
    for (size_t k : smooth) s += (points[i * d + k] - x0[k]) * (points[i * d + k] - x0[k]);
    distance[i] = s;
  }
  std::vector<size_t> order(n);
  std::iota(order.begin(), order.end(), size_t{0});
  std::stable_sort(order.begin(), order.end(),
                   [&](size_t a, size_t b) { return distance[a] < distance[b]; });
  order.resize(want);
  double radius = std::sqrt(distance[order.back()]);
  if (!(radius > 0.0)) return std::nullopt;

  // Features of y = x - x0, scaled by the radius so the system is well scaled:
  // 1, y_k, then y_j y_k for j <= k (halved on the diagonal: H_kk y_k^2 / 2).
  auto features = [&](const double* x, std::vector<double>& f) {
    f.assign(p, 0.0);
    f[0] = 1.0;
    std::vector<double> y(m);
    for (size_t a = 0; a < m; ++a) y[a] = (x[smooth[a]] - x0[smooth[a]]) / radius;
    for (size_t a = 0; a < m; ++a) f[1 + a] = y[a];
    size_t c = 1 + m;
    for (size_t a = 0; a < m; ++a) {
      for (size_t b = 0; b <= a; ++b) f[c++] = a == b ? 0.5 * y[a] * y[a] : y[a] * y[b];
    }
  };
  double center = values[best];
  double spread = 0.0;
  for (size_t i : order) spread = std::max(spread, std::fabs(values[i] - center));
  if (!(spread > 0.0)) return std::nullopt;
  std::vector<double> design, target, rhs, f;
  for (size_t i : order) {
    features(&points[i * d], f);
    design.insert(design.end(), f.begin(), f.end());
    target.push_back((values[i] - center) / spread);
  }
  if (!least_squares(design, order.size(), p, target, rhs)) return std::nullopt;
  // How much of the local variation the model explains.
  double mean = 0.0;
  for (size_t i : order) mean += (values[i] - center) / spread;
  mean /= static_cast<double>(order.size());
  double residual = 0.0, total = 0.0;
  for (size_t i : order) {
    features(&points[i * d], f);
    double v = (values[i] - center) / spread;
    double r = v - dot(f.data(), rhs.data(), p);
    residual += r * r;
    total += (v - mean) * (v - mean);
  }

  // The model's minimum: H y = -g, when H is positive definite.
  std::vector<double> h(m * m), g(m);
  for (size_t a = 0; a < m; ++a) g[a] = rhs[1 + a];
  size_t c = 1 + m;
  for (size_t a = 0; a < m; ++a) {
    for (size_t b = 0; b <= a; ++b) {
      double coefficient = rhs[c++];
      h[a * m + b] = h[b * m + a] = coefficient;
    }
  }
  // A model without a minimum still has a descent step within the region:
  // (H + lambda I) s = -g with the smallest lambda of a growing sequence that
  // makes H + lambda I positive definite (a Levenberg-Marquardt step).
  double scale = 0.0;
  for (size_t a = 0; a < m; ++a) scale = std::max(scale, std::fabs(h[a * m + a]));
  if (!(scale > 0.0)) return std::nullopt;
  std::vector<double> factor;
  bool factored = false;
  for (double lambda = 0.0; lambda <= 1e3 * scale; lambda = lambda == 0.0 ? 1e-8 * scale : lambda * 10.0) {
    factor = h;
    for (size_t a = 0; a < m; ++a) factor[a * m + a] += lambda;
    if (cholesky(factor, m)) {
      factored = true;
      break;
    }
  }
  if (!factored) return std::nullopt;
  std::vector<double> step(m);
  for (size_t a = 0; a < m; ++a) step[a] = -g[a];
  solve_cholesky(factor, m, step);
  double length = std::sqrt(dot(step.data(), step.data(), m));
  double limit = 1.0 + kTrustGrowth;  // in units of the radius
  double shrink = length > limit ? limit / length : 1.0;
  QuadraticStep out;
  out.x.assign(x0, x0 + d);
  for (size_t a = 0; a < m; ++a) {
    out.x[smooth[a]] = std::clamp(x0[smooth[a]] + shrink * step[a] * radius, 0.0, 1.0);
  }
  out.fit = total > 0.0 ? 1.0 - residual / total : 0.0;
  return out;
}

}  // namespace vordaopt::gp
