// A Gaussian-process model over the unit cube: its marginal likelihood with
// priors (the fit's objective), the fit itself, and the posterior.
//
// The model owns copies of its data: n points of d unit coordinates (made
// canonical per dimension kind, see kernel.h) and n values, which the caller
// has warped and standardised (warp.h). The prior mean is 0.
//
// Hyper-parameters are fitted by maximum a posteriori:
// - each length scale l ~ LogNormal(sqrt2 + log(d) / 2, sqrt3), a prior that
//   grows with the dimension (Hvarfner et al., "Vanilla Bayesian
//   Optimization Performs Great in High Dimensions", ICML 2024);
// - the signal variance ~ Gamma(2, 1), about the variance of standardised
//   values;
// - the noise variance ~ Gamma(1.1, rate 30), kept at or above a floor.
#ifndef VORDAOPT_CORE_GP_MODEL_H_
#define VORDAOPT_CORE_GP_MODEL_H_

#include <cstddef>
#include <vector>

#include "gp/kernel.h"

namespace vordaopt::gp {

// The box in which hyper-parameters are fitted (log scale).
struct HyperBounds {
  double log_length_low = -6.907755278982137;  // log 1e-3: a thousandth of a range
  double log_length_high = 6.907755278982137;  // log 1e3: a flat dimension
  double log_signal_low = -6.907755278982137;
  double log_signal_high = 4.605170185988092;  // log 100
  double log_noise_low = -13.815510557964274;  // log 1e-6: the floor for exact objectives
  double log_noise_high = 0.0;                 // the whole (standardised) variance
};

// The prior of a real's length scale: growing with the dimension (one
// objective), or centred on its range as for integers and categories (the
// models of a search for several objectives).
enum class RealPrior { kByDimension, kRange };

// The prior mean and spread of log length scales for d dimensions.
double length_prior_mean(size_t dims);
inline constexpr double kLengthPriorSigma = 1.7320508075688772;  // sqrt 3
// A dimension's prior of its log length scale: Normal(mean, sigma^2).
struct LengthPrior {
  double mean, sigma;
};
LengthPrior length_prior(const Dim& dim, size_t dims, RealPrior real_prior = RealPrior::kByDimension);

class Model {
 public:
  // REQUIRES: unit_points.size() == values.size() * dims.size()
  Model(std::vector<Dim> dims, const std::vector<double>& unit_points, std::vector<double> values,
        RealPrior real_prior = RealPrior::kByDimension);

  size_t size() const { return values_.size(); }
  size_t dims() const { return dims_.size(); }

  // The negative log posterior of the hyper-parameters (up to a constant):
  // the negative log marginal likelihood minus the log priors. With
  // `gradient`, writes d/d(log_length..., log_signal, log_noise). Returns
  // +inf when the kernel matrix is not positive definite.
  double objective(const Hyper& hyper, std::vector<double>* gradient) const;

  // Fits the hyper-parameters: a few quasi-Newton steps from each of three
  // fixed starts (one of them noisy), then on from the best of them; then
  // conditions on the data. Deterministic.
  void fit(const HyperBounds& bounds = {});

  // Conditions on the data with these hyper-parameters (no fit). Returns
  // false when the kernel matrix is not positive definite even with the
  // noise raised to its upper bound.
  bool condition(const Hyper& hyper);

  const Hyper& hyper() const { return hyper_; }

  // The posterior mean and variance of the latent function at one unit
  // point (d coordinates). REQUIRES: a successful fit or condition.
  void predict(const double* unit_point, double& mean, double& variance) const;

  // The same for `count` unit points (count x d, row-major) at once: one
  // triangular solve for all of them, whose inner loop runs across the
  // points. Each result equals what predict() gives up to rounding.
  void predict_many(const double* unit_points, size_t count, std::vector<double>& means,
                    std::vector<double>& variances) const;

  // The posterior means alone, each with the bits predict_many() gives it;
  // with `rows`, also the kernel between the points and the data (n x count,
  // row i for data point i), from which variances_from_rows() finishes.
  void predict_means(const double* unit_points, size_t count, std::vector<double>& means,
                     std::vector<double>* rows = nullptr) const;

  // The posterior variances of `count` points from their kernel rows (as
  // predict_means() gives them, or any choice of their columns), each with
  // the bits predict_many() gives it. Overwrites `rows`.
  void variances_from_rows(std::vector<double>& rows, size_t count,
                           std::vector<double>& variances) const;

  // The same, with the gradients of both with respect to the unit point's
  // coordinates (d each). Integer and categorical coordinates get 0: the
  // model is flat inside each of their shares.
  void predict_with_gradient(const double* unit_point, double& mean, double& variance,
                             std::vector<double>& d_mean, std::vector<double>& d_variance) const;

  // The posterior mean of the latent function at each of the model's own
  // points (n values). REQUIRES: a successful fit or condition.
  std::vector<double> means_at_data() const;

  // The canonical point of unit point `i` of the data.
  const double* point(size_t i) const { return &points_[i * dims()]; }

 private:
  // b (n x count): row i holds k(x_c, point i) for every unit point x_c;
  // and the posterior means, b^T alpha.
  void kernel_rows(const double* unit_points, size_t count, std::vector<double>& b,
                   std::vector<double>& means) const;
  // The kernel between canonical points a and b (d coordinates each) under
  // the conditioned hyper-parameters, without noise.
  double kernel(const double* a, const double* b) const;
  // K + noise I for `hyper`. With `shapes` (n (n + 1) entries), also writes
  // the Matérn shape of every pair at pair_index(i, j), and its slope in r^2
  // n (n + 1) / 2 entries further.
  std::vector<double> gram(const Hyper& hyper, std::vector<double>* shapes = nullptr) const;
  static size_t pair_index(size_t i, size_t j) { return i * (i + 1) / 2 + j; }
  // Adds scale times the squared distance in dimension k between the
  // canonical coordinate `from` and each of the first `count` points to r2.
  void add_distances(size_t k, double from, size_t count, double scale, double* r2) const;

  std::vector<Dim> dims_;
  std::vector<LengthPrior> priors_;  // of each dimension's log length scale
  std::vector<double> points_;  // canonical, n x d
  // Tabulates pair_sq_, once, for objective(): worth it for a model that is fitted.
  void tabulate_pairs() const;
  // Squared distances per dimension of every pair j <= i: row i's block
  // starts at pair_index(i, 0) * d and holds dimension k's distances to
  // points 0..i at k (i + 1) + j. The kernel then costs one multiply-add per
  // dimension and one exp per pair, in loops along memory.
  // Empty until the first objective(): a model that is only conditioned
  // computes each distance once, in gram().
  mutable std::vector<double> pair_sq_;
  std::vector<double> values_;
  Hyper hyper_;
  std::vector<double> scale_;  // exp(-2 log_length) of hyper_, per dimension
  double signal_ = 1.0;        // exp(log_signal) of hyper_
  std::vector<double> chol_;   // Cholesky factor of the conditioned gram matrix
  double diagonal_noise_ = 0.0;  // what conditioning added to the kernel's diagonal
  // Its inverse, formed at the first predict_with_gradient() after conditioning.
  mutable std::vector<double> inverse_;
  std::vector<double> alpha_;  // (K + noise I)^-1 values
};

}  // namespace vordaopt::gp

#endif  // VORDAOPT_CORE_GP_MODEL_H_
