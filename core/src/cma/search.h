// CMA-ES over the unit cube, with restarts of growing population (IPOP).
//
// The search is driven by what it is told, and by nothing else: a generation
// of `population` candidates is drawn from the current distribution (each
// candidate from a random stream of its own, addressed by the seed, the
// restart, the generation and its index); proposals hand the candidates out
// in order, skipping those already pending; once every candidate of the
// generation has been observed the distribution is updated and the next
// generation drawn. The state after any sequence of observations is thus
// rebuilt by observing them again, without proposing anything.
//
// Kinds of coordinates:
// - continuous: a Gaussian coordinate; a draw outside [0, 1] is drawn again
//   (as the cmaes package does), and after many tries mirrored in (a
//   triangle wave of period 2), so candidates never pile up on a face. The
//   mean is kept in the cube;
// - integer: a Gaussian coordinate too, mirrored, then read as the share it
//   falls in; a margin (Hamano et al., GECCO 2022) keeps the probability of
//   leaving the mean's share at least 1 / (n * population), so the search
//   never freezes on one value;
// - periodic: a Gaussian coordinate wrapped onto [0, 1);
// - categorical: outside the Gaussian, a distribution over the choices,
//   moved towards the choices of the selected candidates (the categorical
//   part of CatCMA, Hamano et al., GECCO 2024), with a floor on every
//   probability so that no choice is ever given up.
//
// The update is the tutorial's (Hansen, "The CMA Evolution Strategy: A
// Tutorial", 2016) with its default weights, negative ones included (active
// CMA), which learns an ill-conditioned covariance several times faster.
//
// A run restarts when it has converged (step size, spread of values, or
// conditioning) with twice the population and a fresh random mean.
//
// With `surrogate` set (and no categorical coordinates), a quadratic model
// of the run's recent results (cma/surrogate.h) orders each generation:
// candidates are handed out best-predicted first, and once the first of
// them are told, the model's recent record decides. If it ranked the
// results it predicted well (Kendall's tau of at least kTrustedTau over the
// last kTauWindow), the generation is ranked by the refitted model without
// evaluating the rest; otherwise twice as many are evaluated, and so on up
// to the whole generation. Every decision is taken in observe(), so the
// state is still rebuilt by observing the same results again.
#ifndef VORDAOPT_CORE_CMA_SEARCH_H_
#define VORDAOPT_CORE_CMA_SEARCH_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "cma/surrogate.h"
#include "numerics/dims.h"

namespace vordaopt::cma {

using numerics::Dim;
using numerics::DimKind;

struct CmaSettings {
  size_t population = 0;     // the first run's population; 0: 4 + floor(3 ln n)
  double sigma = 0.2;        // the first step size, in unit-cube coordinates
  size_t max_doublings = 8;  // restarts double the population up to 2^8 times
  bool surrogate = false;    // rank generations by a quadratic model while it ranks well
  // With the model: results to wait for before its first decision on a
  // generation, e.g. the size of a parallel round, whose results arrive
  // together and would otherwise be ranked by the model after the first.
  size_t round_size = 1;
};

class CmaSearch {
 public:
  CmaSearch(std::vector<Dim> dims, uint64_t seed, CmaSettings settings = {});

  // Restarts the current run around the best of these observations (n x d
  // unit points, row-major): the mean at the best point, the step size and
  // the scale of each coordinate from the spread of the best points, the
  // categorical distributions from their choices.
  void warm_start(const std::vector<double>& points, const std::vector<double>& values);

  // The next point (d unit coordinates), given the points being evaluated
  // now (m x d). The first candidate of the current generation, in the
  // model's order (index order without one), that is not pending; when all
  // are, one more draw from the current distribution.
  std::vector<double> propose(const std::vector<double>& pending) const;

  // Tells the value of a point. A candidate of the current generation counts
  // towards its update; any other point is only remembered as a result.
  void observe(const std::vector<double>& x, double value);

  size_t restarts() const { return restarts_; }
  size_t generation() const { return generation_; }
  size_t population() const { return lambda_; }
  double sigma() const { return sigma_; }

 private:
  struct Candidate {
    std::vector<double> y;          // N(0, C) draw, Gaussian coordinates
    std::vector<uint32_t> choices;  // one per categorical coordinate
    std::vector<double> unit;       // the point, d unit coordinates
    bool observed = false;
    double value = 0.0;       // the told value, once observed
    double prediction = 0.0;  // the model's, when it ordered the generation
    bool predicted = false;
    double rank_value = 0.0;  // what the update sorts by
  };

  void start_run(const std::vector<double>* mean);
  Candidate draw(size_t index) const;
  void draw_generation();
  void decompose();
  void update();
  // Orders the candidates not yet observed by the model (observed ones
  // first, in their order); without a model, in index order.
  void plan();
  // Once the planned candidates are told: true when the generation is
  // ready for its update (ranked by the model, or wholly evaluated).
  bool ready();
  // The model of the run's recent results, in the coordinates where the
  // current distribution is round.
  std::optional<QuadraticModel> fit_model() const;
  // Whether a model is kept: asked for, and no categorical coordinates.
  bool modelled() const;
  double predict(const QuadraticModel& model, const Candidate& c) const;
  std::vector<double> round_coordinates(const double* gaussian) const;
  void apply_margin();
  // D^-1 B^T y: a step in the coordinates of the covariance's eigenvectors,
  // scaled to unit variance (|.|^2 is the step's squared Mahalanobis length).
  std::vector<double> eigen_coordinates(const std::vector<double>& y) const;
  bool converged() const;

  std::vector<Dim> dims_;
  uint64_t seed_;
  CmaSettings settings_;
  std::vector<size_t> gaussian_;     // dims_ indices of Gaussian coordinates
  std::vector<size_t> categorical_;  // dims_ indices of categorical ones
  size_t n_ = 0;                     // Gaussian coordinates

  // The distribution of the current run.
  size_t restarts_ = 0, generation_ = 0, lambda_ = 0, mu_ = 0;
  std::vector<double> weights_;
  double mu_eff_ = 0.0, c_sigma_ = 0.0, d_sigma_ = 0.0, c_c_ = 0.0, c_1_ = 0.0, c_mu_ = 0.0;
  double chi_n_ = 0.0;
  std::vector<double> mean_, p_sigma_, p_c_, c_, b_, d_, margin_;
  double sigma_ = 0.0;
  std::vector<std::vector<double>> probabilities_;  // per categorical coordinate

  std::vector<Candidate> candidates_;  // the current generation
  std::vector<size_t> order_;          // the order candidates are handed out in
  size_t planned_ = 0;                 // candidates to evaluate before deciding
  // The run's results (Gaussian coordinates, row-major) and, for those the
  // model predicted before they were told, the prediction and the value.
  std::vector<double> archive_points_, archive_values_;
  std::vector<double> predicted_, actual_;
  std::vector<double> best_history_;   // best value of each generation of this run
  double best_ever_ = 0.0;
  bool any_ = false;
};

}  // namespace vordaopt::cma

#endif  // VORDAOPT_CORE_CMA_SEARCH_H_
