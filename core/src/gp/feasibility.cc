#include "gp/feasibility.h"

#include <algorithm>
#include <cmath>

#include "gp/log_ei.h"
#include "gp/subset.h"

namespace vordaopt::gp {
namespace {

// As for the objective: the fit on at most this many observations, the
// model conditioned on at most kConditioned.
constexpr size_t kFitted = 64;
constexpr size_t kConditioned = 300;
// Below this, a predicted spread is no spread: the probability is 0 or 1.
constexpr double kLeastSigma = 1e-12;

// log P(margin <= threshold) under N(mean, variance), and its slope in the mean
// and in the standard deviation.
double log_meets(double mean, double variance, double threshold, double* d_mean,
                 double* d_sigma) {
  double sigma = std::sqrt(variance);
  if (!(sigma > kLeastSigma)) {
    if (d_mean) *d_mean = 0.0, *d_sigma = 0.0;
    return mean <= threshold ? 0.0 : -745.0;  // about log of the least double
  }
  double z = (threshold - mean) / sigma;
  if (d_mean) {
    double slope = d_log_cdf(z);
    *d_mean = -slope / sigma;
    *d_sigma = -slope * z / sigma;
  }
  return log_cdf(z);
}

}  // namespace

Feasibility::Feasibility(const std::vector<Dim>& dims, const std::vector<double>& points,
                         const std::vector<double>& margins, size_t count, RealPrior real_prior) {
  size_t n = count == 0 ? 0 : margins.size() / count, d = dims.size();
  feasible_.assign(n, 1);
  for (size_t i = 0; i < n; ++i) {
    for (size_t j = 0; j < count; ++j) {
      if (margins[i * count + j] > 0.0) feasible_[i] = 0;
    }
  }
  for (size_t j = 0; j < count; ++j) {
    std::vector<double> g(n);
    double mean = 0.0;
    for (size_t i = 0; i < n; ++i) mean += (g[i] = margins[i * count + j]);
    mean /= static_cast<double>(n);
    double spread = 0.0;
    for (double v : g) spread += (v - mean) * (v - mean);
    spread = std::sqrt(spread / static_cast<double>(n));
    if (!(spread > 0.0)) spread = 1.0;
    for (double& v : g) v = (v - mean) / spread;
    std::vector<double> fit_points, fit_values, all_points, all_values;
    gather(subset(g, kFitted), d, points, g, fit_points, fit_values);
    Model fitted(dims, fit_points, fit_values, real_prior);
    fitted.fit();
    gather(subset(g, kConditioned), d, points, g, all_points, all_values);
    Model model(dims, all_points, all_values, real_prior);
    models_.push_back(model.condition(fitted.hyper()) ? std::move(model) : std::move(fitted));
    thresholds_.push_back((0.0 - mean) / spread);
  }
}

bool Feasibility::any_feasible() const {
  return std::any_of(feasible_.begin(), feasible_.end(), [](char f) { return f != 0; });
}

double Feasibility::log_probability(const double* unit_point) const {
  double total = 0.0;
  for (size_t j = 0; j < models_.size(); ++j) {
    double mean, variance;
    models_[j].predict(unit_point, mean, variance);
    total += log_meets(mean, variance, thresholds_[j], nullptr, nullptr);
  }
  return total;
}

std::vector<double> Feasibility::log_probabilities(const double* unit_points, size_t count) const {
  std::vector<double> total(count, 0.0), means, variances;
  for (size_t j = 0; j < models_.size(); ++j) {
    models_[j].predict_many(unit_points, count, means, variances);
    for (size_t c = 0; c < count; ++c) {
      total[c] += log_meets(means[c], variances[c], thresholds_[j], nullptr, nullptr);
    }
  }
  return total;
}

double Feasibility::log_probability_with_gradient(const double* unit_point,
                                                  std::vector<double>& gradient) const {
  double total = 0.0;
  std::vector<double> d_mean, d_variance;
  for (size_t j = 0; j < models_.size(); ++j) {
    double mean, variance, slope_mean, slope_sigma;
    models_[j].predict_with_gradient(unit_point, mean, variance, d_mean, d_variance);
    total += log_meets(mean, variance, thresholds_[j], &slope_mean, &slope_sigma);
    double sigma = std::sqrt(variance);
    for (size_t k = 0; k < gradient.size(); ++k) {
      double d_sigma = sigma > kLeastSigma ? d_variance[k] / (2.0 * sigma) : 0.0;
      gradient[k] += slope_mean * d_mean[k] + slope_sigma * d_sigma;
    }
  }
  return total;
}

}  // namespace vordaopt::gp
