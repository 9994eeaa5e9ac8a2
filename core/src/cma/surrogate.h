// A global linear-quadratic model of recent results, to rank a generation.
//
// Near a smooth minimum a quadratic in the search coordinates ranks
// candidates about as well as the objective does, and it learns the shape
// of the basin from every result, where CMA-ES's covariance learns it only
// slowly (in 20 dimensions, over hundreds of generations). So the search
// evaluates only the candidates the model ranks best and ranks the rest by
// the model, as long as the model has been ranking new results correctly
// (Hansen, "A Global Surrogate Assisted CMA-ES", GECCO 2019).
//
// The model is the richest the data carry: linear (1 + n coefficients),
// then with a diagonal quadratic term (1 + 2n), then a full quadratic
// (1 + n + n(n+1)/2), each once there are kDataPerCoefficient results per
// coefficient; it is fitted by least squares (a ridge of 1e-8 of each
// diagonal entry keeps the normal equations solvable) to the most recent results.
#ifndef VORDAOPT_CORE_CMA_SURROGATE_H_
#define VORDAOPT_CORE_CMA_SURROGATE_H_

#include <cstddef>
#include <optional>
#include <vector>

namespace vordaopt::cma {

enum class ModelShape { kLinear, kDiagonal, kFull };

class QuadraticModel {
 public:
  // rows: m points of n coordinates (row-major, m x n), values: m values.
  // The points should be in coordinates where the search's distribution is
  // round (the fit is then well conditioned). Returns nothing when there are
  // too few points for even a linear model, or the values are all equal.
  static std::optional<QuadraticModel> fit(const std::vector<double>& rows,
                                           const std::vector<double>& values, size_t n,
                                           size_t max_coefficients);

  double predict(const double* x) const;
  ModelShape shape() const { return shape_; }

  // How many of the most recent results a fit with this many coordinates
  // uses at most (the data of the richest shape allowed).
  static size_t data_limit(size_t n, size_t max_coefficients);

 private:
  QuadraticModel(size_t n, ModelShape shape, std::vector<double> coefficients)
      : n_(n), shape_(shape), coefficients_(std::move(coefficients)) {}
  static size_t coefficients(size_t n, ModelShape shape);
  static bool allowed(size_t n, ModelShape shape, size_t max_coefficients);
  static void features(const double* x, size_t n, ModelShape shape, double* out);

  size_t n_;
  ModelShape shape_;
  std::vector<double> coefficients_;
};

// Kendall's rank correlation (tau-a: ties count as neither concordant nor
// discordant) of two sequences of equal length; 0 for fewer than two.
double kendall_tau(const std::vector<double>& a, const std::vector<double>& b);

}  // namespace vordaopt::cma

#endif  // VORDAOPT_CORE_CMA_SURROGATE_H_
