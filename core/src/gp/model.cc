#include "gp/model.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

#include "gp/lbfgsb.h"
#include "numerics/linalg.h"

namespace vordaopt::gp {

using numerics::cholesky;
using numerics::dot;
using numerics::inverse_cholesky;
using numerics::log_det_cholesky;
using numerics::solve_cholesky;
using numerics::solve_lower;

namespace {

constexpr double kSqrt2 = 1.4142135623730951;
constexpr double kLogTwoPi = 1.8378770664093453;
// Gamma(shape, rate) priors of the signal and noise variances.
constexpr double kSignalShape = 2.0, kSignalRate = 1.0;
constexpr double kNoiseShape = 1.1, kNoiseRate = 30.0;
// Added to the diagonal, relative to the signal, when a factorisation fails.
constexpr double kJitter = 1e-10;
// The fit's starting log noise variance for a noisy objective: a tenth of the
// standardised variance.
constexpr double kNoisyStart = -2.302585092994046;
// Quasi-Newton steps from each start, and in all for the one that goes on.
constexpr int kStartSteps = 8;
constexpr int kFitSteps = 30;

// log p(theta) of a Gamma(shape, rate) variable v = exp(theta), Jacobian
// included, up to a constant; and its derivative.
double log_gamma_prior(double theta, double shape, double rate, double* derivative) {
  double v = std::exp(theta);
  if (derivative) *derivative = shape - rate * v;
  return shape * theta - rate * v;
}

}  // namespace

double length_prior_mean(size_t dims) {
  return kSqrt2 + 0.5 * std::log(static_cast<double>(dims == 0 ? 1 : dims));
}

LengthPrior length_prior(const Dim& dim, size_t dims, RealPrior real_prior) {
  // A real's length scale grows with the dimension: in many dimensions few
  // of them matter, and the rest should look flat. An integer's steps and a
  // categorical's switch are moves the user offers because they may matter;
  // at the dimension's prior (a correlation of 0.99 from one end of the
  // range to the other in five dimensions) the model ignores them until the
  // data force it, and its trends run to the grid's edges. Their prior is
  // centred on the whole range instead, and held there more firmly.
  if (dim.kind == DimKind::kInteger || dim.kind == DimKind::kCategorical ||
      real_prior == RealPrior::kRange) {
    return {0.0, 1.0};
  }
  return {length_prior_mean(dims), kLengthPriorSigma};
}

Model::Model(std::vector<Dim> dims, const std::vector<double>& unit_points,
             std::vector<double> values, RealPrior real_prior)
    : dims_(std::move(dims)), points_(unit_points), values_(std::move(values)) {
  size_t d = dims_.size();
  size_t n = values_.size();
  for (size_t i = 0; i < n; ++i) {
    for (size_t k = 0; k < d; ++k) points_[i * d + k] = canonical(dims_[k], points_[i * d + k]);
  }
  priors_.reserve(d);
  hyper_.log_length.reserve(d);
  for (const Dim& dim : dims_) {
    priors_.push_back(length_prior(dim, d, real_prior));
    hyper_.log_length.push_back(priors_.back().mean);
  }
}

void Model::tabulate_pairs() const {
  size_t d = dims(), n = size();
  if (!pair_sq_.empty() || n == 0 || d == 0) return;
  pair_sq_.resize(n * (n + 1) / 2 * d);
  for (size_t i = 0; i < n; ++i) {
    double* block = &pair_sq_[pair_index(i, 0) * d];
    for (size_t k = 0; k < d; ++k) {
      for (size_t j = 0; j <= i; ++j) {
        block[k * (i + 1) + j] = squared_distance(dims_[k], points_[i * d + k], points_[j * d + k]);
      }
    }
  }
}

double Model::kernel(const double* a, const double* b) const {
  double r2 = 0.0;
  for (size_t k = 0; k < dims_.size(); ++k) r2 += squared_distance(dims_[k], a[k], b[k]) * scale_[k];
  return signal_ * matern52(r2);
}

VORDAOPT_WIDE
void Model::add_distances(size_t k, double from, size_t count, double scale, double* r2) const {
  size_t d = dims();
  switch (dims_[k].kind) {
    case DimKind::kContinuous:
    case DimKind::kInteger:
      for (size_t j = 0; j < count; ++j) {
        double delta = from - points_[j * d + k];
        r2[j] += delta * delta * scale;
      }
      break;
    case DimKind::kCategorical:
      for (size_t j = 0; j < count; ++j) r2[j] += (from == points_[j * d + k] ? 0.0 : 1.0) * scale;
      break;
    case DimKind::kPeriodic:
      for (size_t j = 0; j < count; ++j) r2[j] += squared_distance(dims_[k], from, points_[j * d + k]) * scale;
      break;
  }
}

VORDAOPT_WIDE
std::vector<double> Model::gram(const Hyper& hyper, std::vector<double>* shapes) const {
  size_t n = size(), d = dims();
  std::vector<double> k(n * n);
  double noise = std::exp(hyper.log_noise);
  double signal = std::exp(hyper.log_signal);
  std::vector<double> scale(d);
  for (size_t c = 0; c < d; ++c) scale[c] = std::exp(-2.0 * hyper.log_length[c]);
  bool tabulated = !pair_sq_.empty();
  // Row i's pairs (i, j <= i): their squared distances first, then the
  // kernel of the whole row at once.
  std::vector<double> r2(n), shape(n);
  for (size_t i = 0; i < n; ++i) {
    if (tabulated) {  // dimension by dimension along the row: no chain of dependent sums
      const double* block = &pair_sq_[pair_index(i, 0) * d];
      std::fill(r2.begin(), r2.begin() + static_cast<std::ptrdiff_t>(i + 1), 0.0);
      for (size_t c = 0; c < d; ++c) {
        const double* sq = &block[c * (i + 1)];
        for (size_t j = 0; j <= i; ++j) r2[j] += sq[j] * scale[c];
      }
    } else {  // the same sums, each distance computed where it is needed
      std::fill(r2.begin(), r2.begin() + static_cast<std::ptrdiff_t>(i + 1), 0.0);
      for (size_t c = 0; c < d; ++c) add_distances(c, points_[i * d + c], i + 1, scale[c], r2.data());
    }
    if (shapes) {  // the same values, with the slopes the gradient needs
      size_t row = pair_index(i, 0), half = shapes->size() / 2;
      matern52_with_d_r2_many(r2.data(), i + 1, shapes->data() + row, shapes->data() + half + row);
      std::copy(shapes->begin() + static_cast<std::ptrdiff_t>(row),
                shapes->begin() + static_cast<std::ptrdiff_t>(row + i + 1), shape.begin());
    } else {
      matern52_many(r2.data(), i + 1, shape.data());
    }
    for (size_t j = 0; j <= i; ++j) k[i * n + j] = k[j * n + i] = signal * shape[j];
    k[i * n + i] += noise;
  }
  return k;
}

VORDAOPT_WIDE
double Model::objective(const Hyper& hyper, std::vector<double>* gradient) const {
  size_t n = size(), d = dims();
  tabulate_pairs();  // the fit evaluates the kernel of every pair many times
  // With the gradient, the kernel's shape and slope of every pair, computed once.
  std::vector<double> shapes(gradient ? n * (n + 1) : 0);
  std::vector<double> l = gram(hyper, gradient ? &shapes : nullptr);
  if (!cholesky(l, n)) return std::numeric_limits<double>::infinity();
  std::vector<double> alpha = values_;
  solve_cholesky(l, n, alpha);
  double fit_term = 0.0;
  for (size_t i = 0; i < n; ++i) fit_term += values_[i] * alpha[i];
  double value = 0.5 * fit_term + 0.5 * log_det_cholesky(l, n) + 0.5 * static_cast<double>(n) * kLogTwoPi;

  // Priors (negated: the objective is minimised).
  for (size_t k = 0; k < d; ++k) {
    double t = hyper.log_length[k] - priors_[k].mean;
    value += 0.5 * t * t / (priors_[k].sigma * priors_[k].sigma);
  }
  double d_signal_prior = 0.0, d_noise_prior = 0.0;
  value -= log_gamma_prior(hyper.log_signal, kSignalShape, kSignalRate, &d_signal_prior);
  value -= log_gamma_prior(hyper.log_noise, kNoiseShape, kNoiseRate, &d_noise_prior);
  if (!gradient) return value;

  // d value / d theta = -1/2 tr((alpha alpha^T - K^-1) dK/dtheta) + prior terms.
  // With w = alpha alpha^T - K^-1 over the pairs j <= i (counted twice off
  // the diagonal) and K = signal shape(r2): dK/d log_length_k = signal slope
  // (-2 scale_k sq_k) and dK/d log_signal = K. Row by row, each sum runs
  // along memory.
  std::vector<double> inverse = inverse_cholesky(l, n);
  std::vector<double>& g = *gradient;
  g.assign(d + 2, 0.0);
  double signal = std::exp(hyper.log_signal);
  size_t half = shapes.size() / 2;
  std::vector<double> by_length(d, 0.0), weighted_slope(n);
  double by_signal = 0.0;
  for (size_t i = 0; i < n; ++i) {
    const double* shape = &shapes[pair_index(i, 0)];
    const double* slope = &shapes[half + pair_index(i, 0)];
    for (size_t j = 0; j <= i; ++j) {
      double w = alpha[i] * alpha[j] - inverse[i * n + j];
      if (i != j) w *= 2.0;  // the pair (j, i) counts alike
      weighted_slope[j] = w * slope[j];
      by_signal += w * shape[j];
    }
    const double* block = &pair_sq_[pair_index(i, 0) * d];
    for (size_t k = 0; k < d; ++k) by_length[k] += dot(weighted_slope.data(), &block[k * (i + 1)], i + 1);
  }
  for (size_t k = 0; k < d; ++k) {
    g[k] = by_length[k] * signal * std::exp(-2.0 * hyper.log_length[k]);
  }
  g[d] = -0.5 * signal * by_signal;
  double noise = std::exp(hyper.log_noise);
  for (size_t i = 0; i < n; ++i) {
    g[d + 1] -= 0.5 * (alpha[i] * alpha[i] - inverse[i * n + i]) * noise;
  }
  for (size_t k = 0; k < d; ++k) {
    g[k] += (hyper.log_length[k] - priors_[k].mean) / (priors_[k].sigma * priors_[k].sigma);
  }
  g[d] -= d_signal_prior;
  g[d + 1] -= d_noise_prior;
  return value;
}

bool Model::condition(const Hyper& hyper) {
  size_t n = size();
  hyper_ = hyper;
  signal_ = std::exp(hyper_.log_signal);
  scale_.resize(dims());
  for (size_t k = 0; k < dims(); ++k) scale_[k] = std::exp(-2.0 * hyper_.log_length[k]);
  for (double jitter = 0.0;; jitter = jitter == 0.0 ? kJitter : jitter * 100.0) {
    std::vector<double> l = gram(hyper_);
    double extra = jitter * std::exp(hyper_.log_signal);
    for (size_t i = 0; i < n; ++i) l[i * n + i] += extra;
    if (cholesky(l, n)) {
      chol_ = std::move(l);
      inverse_.clear();
      diagonal_noise_ = std::exp(hyper_.log_noise) + extra;
      break;
    }
    if (jitter > 1.0) return false;
  }
  alpha_ = values_;
  solve_cholesky(chol_, n, alpha_);
  return true;
}

void Model::fit(const HyperBounds& bounds) {
  size_t d = dims();
  std::vector<double> lower(d + 2), upper(d + 2);
  for (size_t k = 0; k < d; ++k) {
    lower[k] = bounds.log_length_low;
    upper[k] = bounds.log_length_high;
  }
  lower[d] = bounds.log_signal_low, upper[d] = bounds.log_signal_high;
  lower[d + 1] = bounds.log_noise_low, upper[d + 1] = bounds.log_noise_high;

  auto unpack = [d](const std::vector<double>& x) {
    Hyper h;
    h.log_length.assign(x.begin(), x.begin() + static_cast<std::ptrdiff_t>(d));
    h.log_signal = x[d];
    h.log_noise = x[d + 1];
    return h;
  };
  Objective f = [&](const std::vector<double>& x, std::vector<double>& g) {
    double v = objective(unpack(x), &g);
    if (!std::isfinite(v)) g.assign(x.size(), 0.0);
    return v;
  };
  // Fixed starts: the prior's centre, shorter length scales for a function
  // that varies faster than the prior expects, and a tenth of the variance
  // as noise for an objective that is noisy (cross-validation, training
  // seeds). No start depends on an earlier fit, so a proposal is a function
  // of the data alone. Each start takes a few steps; the fit then goes on
  // from the best of them only, which costs half as much as finishing every
  // start and rarely ends elsewhere.
  std::vector<double> centre(d);
  for (size_t k = 0; k < d; ++k) centre[k] = priors_[k].mean;
  const double starts[][3] = {{0.0, 0.0, -9.0}, {-1.5, 0.0, -9.0}, {0.0, 0.0, kNoisyStart}};
  // The hyper-parameters need not be exact: the acquisition changes little
  // within a few hundredths of their logarithms.
  BoxSettings settings;
  settings.max_iterations = kStartSteps;
  settings.pgtol = 1e-3;
  settings.ftol = 1e-9;
  BoxResult best;
  best.f = std::numeric_limits<double>::infinity();
  for (const auto& s : starts) {
    std::vector<double> x0(d + 2);
    for (size_t k = 0; k < d; ++k) x0[k] = centre[k] + s[0];
    x0[d] = s[1];
    x0[d + 1] = s[2];
    BoxResult r = minimize_in_box(f, x0, lower, upper, settings);
    if (r.f < best.f) best = std::move(r);
  }
  if (!best.x.empty()) {
    settings.max_iterations = kFitSteps - kStartSteps;
    BoxResult r = minimize_in_box(f, best.x, lower, upper, settings);
    if (r.f < best.f) best = std::move(r);
  }
  Hyper chosen;
  if (best.x.empty()) {  // no start had a finite objective: the prior's centre, all noise
    chosen.log_length = centre;
    chosen.log_noise = bounds.log_noise_high;
  } else {
    chosen = unpack(best.x);
  }
  if (!condition(chosen)) {
    chosen.log_noise = bounds.log_noise_high;
    condition(chosen);
  }
}

std::vector<double> Model::means_at_data() const {
  // (K + noise I) alpha = y, so K alpha = y - noise alpha, with the noise
  // that conditioning put on the diagonal (jitter included).
  size_t n = size();
  std::vector<double> means(n);
  for (size_t i = 0; i < n; ++i) means[i] = values_[i] - diagonal_noise_ * alpha_[i];
  return means;
}

void Model::predict(const double* unit_point, double& mean, double& variance) const {
  size_t n = size(), d = dims();
  std::vector<double> x(d);
  for (size_t k = 0; k < d; ++k) x[k] = canonical(dims_[k], unit_point[k]);
  std::vector<double> kstar(n);
  for (size_t i = 0; i < n; ++i) kstar[i] = kernel(&points_[i * d], x.data());
  mean = 0.0;
  for (size_t i = 0; i < n; ++i) mean += kstar[i] * alpha_[i];
  solve_lower(chol_, n, kstar);
  double explained = 0.0;
  for (size_t i = 0; i < n; ++i) explained += kstar[i] * kstar[i];
  variance = std::exp(hyper_.log_signal) - explained;
  if (variance < 0.0) variance = 0.0;  // rounding near the data
}

}  // namespace vordaopt::gp

namespace vordaopt::gp {

// Points per block of the forward substitution: 300 rows of 64 doubles, 150 KiB.
constexpr size_t kPredictBlock = 64;

VORDAOPT_WIDE
void Model::kernel_rows(const double* unit_points, size_t count, std::vector<double>& b,
                        std::vector<double>& means) const {
  size_t n = size(), d = dims();
  double signal = std::exp(hyper_.log_signal);
  b.resize(n * count);
  std::vector<double> x(count * d);  // canonical points
  for (size_t c = 0; c < count; ++c) {
    for (size_t k = 0; k < d; ++k) x[c * d + k] = canonical(dims_[k], unit_points[c * d + k]);
  }
  // Row by row, and within a row dimension by dimension across the points:
  // each kind's loop has no branch and runs along memory. Every point's sum
  // still adds its dimensions in order, as kernel() does.
  std::vector<double> xt(d * count);  // x transposed: dimension k's coordinates together
  for (size_t c = 0; c < count; ++c) {
    for (size_t k = 0; k < d; ++k) xt[k * count + c] = x[c * d + k];
  }
  std::vector<double> r2(count);
  for (size_t i = 0; i < n; ++i) {
    std::fill(r2.begin(), r2.end(), 0.0);
    for (size_t k = 0; k < d; ++k) {
      double p = points_[i * d + k], s = scale_[k];
      const double* column = &xt[k * count];
      switch (dims_[k].kind) {
        case DimKind::kContinuous:
        case DimKind::kInteger:
          for (size_t c = 0; c < count; ++c) {
            double delta = p - column[c];
            r2[c] += delta * delta * s;
          }
          break;
        case DimKind::kCategorical:
          for (size_t c = 0; c < count; ++c) r2[c] += (p == column[c] ? 0.0 : 1.0) * s;
          break;
        case DimKind::kPeriodic:
          for (size_t c = 0; c < count; ++c) r2[c] += squared_distance(dims_[k], p, column[c]) * s;
          break;
      }
    }
    double* row = &b[i * count];
    matern52_many(r2.data(), count, row);
    for (size_t c = 0; c < count; ++c) row[c] *= signal;
  }
  means.assign(count, 0.0);
  for (size_t i = 0; i < n; ++i) {
    const double* row = &b[i * count];
    double a = alpha_[i];
    for (size_t c = 0; c < count; ++c) means[c] += a * row[c];
  }
}

void Model::predict_means(const double* unit_points, size_t count, std::vector<double>& means,
                          std::vector<double>* rows) const {
  std::vector<double> b;
  kernel_rows(unit_points, count, b, means);
  if (rows) *rows = std::move(b);
}

void Model::predict_many(const double* unit_points, size_t count, std::vector<double>& means,
                         std::vector<double>& variances) const {
  std::vector<double> b;
  kernel_rows(unit_points, count, b, means);
  variances_from_rows(b, count, variances);
}

VORDAOPT_WIDE
void Model::variances_from_rows(std::vector<double>& b, size_t count,
                                std::vector<double>& variances) const {
  size_t n = size();
  double signal = std::exp(hyper_.log_signal);
  // Forward substitution L V = B, row by row; each row update runs across
  // points. The points are taken in blocks whose rows stay in the cache
  // through the whole substitution (the full matrix does not fit); each
  // point's own operations, and so its result, are the same in any block.
  for (size_t first = 0; first < count; first += kPredictBlock) {
    size_t last = std::min(count, first + kPredictBlock);
    for (size_t i = 0; i < n; ++i) {
      double* row = &b[i * count];
      const double* li = &chol_[i * n];
      size_t k = 0;
      // Four earlier rows at a time, each point's value kept in a register
      // between them: the same subtractions in the same order, fewer loads.
      for (; k + 4 <= i; k += 4) {
        const double *d0 = &b[k * count], *d1 = d0 + count, *d2 = d1 + count, *d3 = d2 + count;
        double f0 = li[k], f1 = li[k + 1], f2 = li[k + 2], f3 = li[k + 3];
        for (size_t c = first; c < last; ++c) {
          double v = row[c];
          v -= f0 * d0[c];
          v -= f1 * d1[c];
          v -= f2 * d2[c];
          v -= f3 * d3[c];
          row[c] = v;
        }
      }
      for (; k < i; ++k) {
        const double* done = &b[k * count];
        double f = li[k];
        for (size_t c = first; c < last; ++c) row[c] -= f * done[c];
      }
      double inverse = 1.0 / li[i];
      for (size_t c = first; c < last; ++c) row[c] *= inverse;
    }
  }
  variances.assign(count, signal);
  for (size_t i = 0; i < n; ++i) {
    const double* row = &b[i * count];
    for (size_t c = 0; c < count; ++c) variances[c] -= row[c] * row[c];
  }
  for (double& v : variances) v = v < 0.0 ? 0.0 : v;
}

VORDAOPT_WIDE
void Model::predict_with_gradient(const double* unit_point, double& mean, double& variance,
                                  std::vector<double>& d_mean,
                                  std::vector<double>& d_variance) const {
  constexpr double kPi = 3.141592653589793;
  size_t n = size(), d = dims();
  double signal = std::exp(hyper_.log_signal);
  // Dimension by dimension across the data, as in kernel_rows(): every
  // point's r2 still adds its dimensions in order. dr2 holds d r2 / d x_k
  // of every data point, dimension k's together (0 for integers and
  // categories: the model is flat inside their shares).
  std::vector<double> r2(n, 0.0), kstar(n), dk_dr2(n), dr2(d * n, 0.0);
  for (size_t k = 0; k < d; ++k) {
    double x = canonical(dims_[k], unit_point[k]), s = scale_[k];
    add_distances(k, x, n, s, r2.data());
    double* slope = &dr2[k * n];
    if (dims_[k].kind == DimKind::kContinuous) {
      for (size_t i = 0; i < n; ++i) slope[i] = 2.0 * (x - points_[i * d + k]) * s;
    } else if (dims_[k].kind == DimKind::kPeriodic) {
      for (size_t i = 0; i < n; ++i) slope[i] = std::sin(2.0 * kPi * (x - points_[i * d + k])) / kPi * s;
    }
  }
  matern52_with_d_r2_many(r2.data(), n, kstar.data(), dk_dr2.data());
  for (size_t i = 0; i < n; ++i) {
    kstar[i] *= signal;
    dk_dr2[i] *= signal;
  }
  mean = dot(kstar.data(), alpha_.data(), n);
  // beta = (K + noise I)^-1 k*. A local search asks for hundreds of points:
  // products with the inverse, formed once, run along rows, where two
  // triangular solves per point would wait on each step.
  if (inverse_.empty()) inverse_ = inverse_cholesky(chol_, n);
  // As a sum of the inverse's rows (it is symmetric), four at a time: every
  // lane runs on its own, where row-by-row products would wait on one sum.
  std::vector<double> beta(n, 0.0);
  size_t j = 0;
  for (; j + 4 <= n; j += 4) {
    const double *r0 = &inverse_[j * n], *r1 = r0 + n, *r2 = r1 + n, *r3 = r2 + n;
    double k0 = kstar[j], k1 = kstar[j + 1], k2 = kstar[j + 2], k3 = kstar[j + 3];
    for (size_t i = 0; i < n; ++i) {
      double v = beta[i];
      v += k0 * r0[i];
      v += k1 * r1[i];
      v += k2 * r2[i];
      v += k3 * r3[i];
      beta[i] = v;
    }
  }
  for (; j < n; ++j) {
    const double* row = &inverse_[j * n];
    for (size_t i = 0; i < n; ++i) beta[i] += kstar[j] * row[i];
  }
  variance = signal - dot(kstar.data(), beta.data(), n);
  if (variance < 0.0) variance = 0.0;
  // d mean / dx_k = sum_i alpha_i dk_i/dx_k; d variance / dx_k = -2 sum_i beta_i dk_i/dx_k.
  std::vector<double> by_mean(n), by_variance(n);
  for (size_t i = 0; i < n; ++i) {
    by_mean[i] = alpha_[i] * dk_dr2[i];
    by_variance[i] = -2.0 * beta[i] * dk_dr2[i];
  }
  d_mean.assign(d, 0.0);
  d_variance.assign(d, 0.0);
  for (size_t k = 0; k < d; ++k) {
    if (dims_[k].kind != DimKind::kContinuous && dims_[k].kind != DimKind::kPeriodic) continue;
    d_mean[k] = dot(by_mean.data(), &dr2[k * n], n);
    d_variance[k] = dot(by_variance.data(), &dr2[k * n], n);
  }
}

}  // namespace vordaopt::gp
