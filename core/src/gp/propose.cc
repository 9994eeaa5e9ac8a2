#include "gp/propose.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <numeric>
#include <optional>
#include <string>

#include "gp/lbfgsb.h"
#include "gp/log_ei.h"
#include "gp/model.h"
#include "gp/feasibility.h"
#include "gp/proposal_parts.h"
#include "gp/subset.h"
#include "gp/quadratic.h"
#include "gp/warp.h"
#include "probe.h"
#include "rng.h"
#include "seed_mix.h"

namespace vordaopt::gp {
namespace {

using parts::Candidate;
using parts::TakenPoints;
using parts::conditioned_model;
using parts::kFitPoints;
using parts::kModelPoints;
using parts::screening_candidates;
using parts::startup_point;

// A local quadratic model that explains this share of the variation near the
// incumbent is trusted to propose every other point.
constexpr double kQuadraticFit = 0.99;
// A fitted noise variance above this (log, of the standardised values) is
// noise, once there are this many results to tell it from a rough function.
constexpr double kNoisyLogNoise = -6.907755278982137;  // log 1e-3
constexpr size_t kSmoothedFrom = 50;
// A finite space of at most this many configurations is searched whole once
// the usual candidates are all taken.
constexpr double kEnumerable = 4096.0;
// log EI, plus with constraints the log probability of feasibility; until a
// point is feasible, that probability alone.
class Acquisition {
 public:
  Acquisition(const Model& model, double best, const Feasibility* feasibility = nullptr)
      : model_(model), best_(best), feasibility_(feasibility),
        improves_(feasibility == nullptr || feasibility->any_feasible()) {}

  double operator()(const double* x) const {
    double score = 0.0;
    if (improves_) {
      double mean, var;
      model_.predict(x, mean, var);
      score = log_expected_improvement(mean, std::sqrt(var), best_);
    }
    return feasibility_ ? score + feasibility_->log_probability(x) : score;
  }

  // The negative of operator() and its gradient, for the minimiser.
  double negative_with_gradient(const std::vector<double>& x, std::vector<double>& g) const {
    g.assign(x.size(), 0.0);
    double score = improves_ ? negative_log_ei(x, g) : 0.0;
    if (!feasibility_) return score;
    std::vector<double> up(x.size(), 0.0);
    double log_feasible = feasibility_->log_probability_with_gradient(x.data(), up);
    for (size_t k = 0; k < x.size(); ++k) g[k] -= up[k];
    return score - log_feasible;
  }

 private:
  double negative_log_ei(const std::vector<double>& x, std::vector<double>& g) const {
    double mean, var;
    std::vector<double> dm, dv;
    model_.predict_with_gradient(x.data(), mean, var, dm, dv);
    double sigma = std::sqrt(var);
    if (!(sigma > 1e-12)) return -log_expected_improvement(mean, 0.0, best_);
    double z = (best_ - mean) / sigma;
    double slope = d_log_h(z);
    for (size_t k = 0; k < x.size(); ++k) {
      double d_sigma = dv[k] / (2.0 * sigma);
      double dz = (-dm[k] * sigma - (best_ - mean) * d_sigma) / var;
      g[k] = -(d_sigma / sigma + slope * dz);
    }
    return -(std::log(sigma) + log_h(z));
  }

  const Model& model_;
  double best_;
  const Feasibility* feasibility_;
  bool improves_;  // false while no observation is feasible
};

// The incumbent of the improvement: the least observed value, or, where the
// fit finds noise, the least posterior mean at the data: the least noisy
// value is a lucky draw that little would improve on.
double incumbent(const Model& model, const std::vector<double>& warped, size_t results) {
  double best = *std::min_element(warped.begin(), warped.end());
  if (warped.size() >= kSmoothedFrom && model.hyper().log_noise > kNoisyLogNoise) {
    std::vector<double> smoothed = model.means_at_data();
    smoothed.resize(results);  // the pending points, last, are not results
    best = *std::min_element(smoothed.begin(), smoothed.end());
  }
  return best;
}

// Moves every candidate to the value its integers and categories stand for,
// scores it by log EI, and sorts the set best first.
void score_and_sort(const std::vector<Dim>& dims, const Model& model, double best,
                    std::vector<Candidate>& candidates,
                    const Feasibility* feasibility = nullptr) {
  std::vector<double> flat = parts::snap_candidates(dims, candidates);
  std::vector<double> means, variances;
  model.predict_many(flat.data(), candidates.size(), means, variances);
  for (size_t i = 0; i < candidates.size(); ++i) {
    candidates[i].score = log_expected_improvement(means[i], std::sqrt(variances[i]), best);
    candidates[i].scored = true;
  }
  if (feasibility) {
    bool improves = feasibility->any_feasible();
    std::vector<double> log_feasible = feasibility->log_probabilities(flat.data(), candidates.size());
    for (size_t i = 0; i < candidates.size(); ++i) {
      candidates[i].score = (improves ? candidates[i].score : 0.0) + log_feasible[i];
    }
  }
  std::stable_sort(candidates.begin(), candidates.end(),
                   [](const Candidate& a, const Candidate& b) { return a.score > b.score; });
}

// Best first, ties in screening order: the order a stable sort of the
// screening set gives.
bool before(const Candidate& a, const Candidate& b) {
  return a.score != b.score ? a.score > b.score : a.index < b.index;
}

// What score_and_sort() gives for the first `leading` places, at a fraction
// of the cost: the posterior variance is most of a score's price, and log EI
// grows with the posterior deviation, which never exceeds the prior's. So
// every candidate gets a bound from its mean alone; candidates are scored in
// full in the order of their bounds until no bound left can reach the
// `leading`-th best score. The rest follow unscored, in screening order;
// score_rest() finishes them if they are ever needed.
void score_leading(const std::vector<Dim>& dims, const Model& model, double best,
                   std::vector<Candidate>& candidates, size_t leading) {
  // Points scored per round: each point's score is the same in any round.
  constexpr size_t kRound = 64;
  // Bounds this close to the threshold are scored anyway: rounding then
  // cannot decide which candidates lead.
  constexpr double kMargin = 1e-9;
  size_t count = candidates.size();
  std::vector<double> flat = parts::snap_candidates(dims, candidates);
  for (size_t i = 0; i < count; ++i) {
    candidates[i].index = i;
    candidates[i].scored = false;
  }
  std::vector<double> means, rows;
  model.predict_means(flat.data(), count, means, &rows);
  size_t n = model.size();
  double prior_deviation = std::sqrt(std::exp(model.hyper().log_signal));
  std::vector<double> bound(count);
  for (size_t i = 0; i < count; ++i) {
    bound[i] = log_expected_improvement(means[i], prior_deviation, best);
  }
  std::vector<size_t> order(count);
  std::iota(order.begin(), order.end(), size_t{0});
  std::stable_sort(order.begin(), order.end(),
                   [&](size_t a, size_t b) { return bound[a] > bound[b]; });
  // The kernel rows' columns in the order of the bounds: each round then
  // copies contiguous runs (gathering its columns from the whole matrix,
  // which does not fit in the cache, costs more than this pass).
  std::vector<double> row(count);
  for (size_t i = 0; i < n; ++i) {
    std::copy_n(rows.begin() + static_cast<std::ptrdiff_t>(i * count), count, row.begin());
    for (size_t j = 0; j < count; ++j) rows[i * count + j] = row[order[j]];
  }
  std::vector<double> scores;  // of the candidates scored so far
  double threshold = -std::numeric_limits<double>::infinity();
  for (size_t first = 0; first < count; first += kRound) {
    if (scores.size() >= leading &&
        bound[order[first]] < threshold - kMargin * (1.0 + std::fabs(threshold))) {
      break;  // no candidate left can lead: bounds fall from here on
    }
    size_t last = std::min(count, first + kRound), width = last - first;
    std::vector<double> round_rows(n * width), variances;
    for (size_t i = 0; i < n; ++i) {
      std::copy_n(rows.begin() + static_cast<std::ptrdiff_t>(i * count + first), width,
                  round_rows.begin() + static_cast<std::ptrdiff_t>(i * width));
    }
    model.variances_from_rows(round_rows, width, variances);
    for (size_t j = first; j < last; ++j) {
      Candidate& c = candidates[order[j]];
      c.score = log_expected_improvement(means[order[j]], std::sqrt(variances[j - first]), best);
      c.scored = true;
      scores.push_back(c.score);
    }
    if (scores.size() >= leading && leading > 0) {
      std::vector<double> top = scores;
      std::nth_element(top.begin(), top.begin() + static_cast<std::ptrdiff_t>(leading - 1),
                       top.end(), std::greater<double>());
      threshold = top[leading - 1];
    }
  }
  std::stable_partition(candidates.begin(), candidates.end(),
                        [](const Candidate& c) { return c.scored; });
  auto unscored = std::find_if(candidates.begin(), candidates.end(),
                               [](const Candidate& c) { return !c.scored; });
  std::stable_sort(candidates.begin(), unscored, before);
}

// Scores the unscored candidates from `from` on and sorts that part as
// score_and_sort() would have.
void score_rest(const Model& model, double best, std::vector<Candidate>& candidates,
                size_t from) {
  std::vector<double> flat;
  std::vector<size_t> which;
  for (size_t i = from; i < candidates.size(); ++i) {
    if (candidates[i].scored) continue;
    flat.insert(flat.end(), candidates[i].x.begin(), candidates[i].x.end());
    which.push_back(i);
  }
  if (!which.empty()) {
    std::vector<double> means, variances;
    model.predict_many(flat.data(), which.size(), means, variances);
    for (size_t j = 0; j < which.size(); ++j) {
      Candidate& c = candidates[which[j]];
      c.score = log_expected_improvement(means[j], std::sqrt(variances[j]), best);
      c.scored = true;
    }
  }
  std::stable_sort(candidates.begin() + static_cast<std::ptrdiff_t>(from), candidates.end(), before);
}

// Every configuration of a space of integers and categories with at most
// kEnumerable of them, scored by log EI: the best one neither observed nor
// pending. Nothing when the space is larger, has other kinds, or is exhausted.
std::optional<std::vector<double>> best_untaken(const std::vector<Dim>& dims, const Model& model,
                                                double best, const std::vector<double>& points,
                                                const std::vector<double>& pending,
                                                const Feasibility* feasibility) {
  size_t d = dims.size();
  double size = 1.0;
  for (const Dim& dim : dims) {
    if (dim.kind != DimKind::kInteger && dim.kind != DimKind::kCategorical) return std::nullopt;
    size *= static_cast<double>(std::max<uint32_t>(dim.count, 1));
  }
  if (size > kEnumerable) return std::nullopt;
  // Configuration numbers in mixed radix, the last parameter fastest.
  auto number = [&](const double* x) {
    size_t index = 0;
    for (size_t k = 0; k < d; ++k) {
      uint32_t count = std::max<uint32_t>(dims[k].count, 1);
      index = index * count + static_cast<size_t>(share(x[k], count));
    }
    return index;
  };
  std::vector<char> taken(static_cast<size_t>(size), 0);
  for (size_t i = 0; i < points.size() / d; ++i) taken[number(&points[i * d])] = 1;
  for (size_t j = 0; j < pending.size() / d; ++j) taken[number(&pending[j * d])] = 1;
  std::vector<Candidate> untaken;
  for (size_t index = 0; index < taken.size(); ++index) {
    if (taken[index]) continue;
    std::vector<double> x(d);
    size_t rest = index;
    for (size_t k = d; k-- > 0;) {
      uint32_t count = std::max<uint32_t>(dims[k].count, 1);
      x[k] = (static_cast<double>(rest % count) + 0.5) / static_cast<double>(count);
      rest /= count;
    }
    untaken.push_back({std::move(x), 0.0});
  }
  if (untaken.empty()) return std::nullopt;
  score_and_sort(dims, model, best, untaken, feasibility);
  return untaken.front().x;
}

// A quasi-Newton search of log EI over the coordinates `smooth` (continuous
// and periodic) of `c`, the others held; keeps the result if it is better.
void polish_smooth(const Acquisition& acquisition, const std::vector<size_t>& smooth,
                   Candidate& c) {
  if (smooth.empty()) return;
  std::vector<double> start(smooth.size()), lower(smooth.size(), 0.0), upper(smooth.size(), 1.0);
  for (size_t i = 0; i < smooth.size(); ++i) start[i] = c.x[smooth[i]];
  std::vector<double> full = c.x;
  Objective f = [&](const std::vector<double>& y, std::vector<double>& g) {
    for (size_t i = 0; i < smooth.size(); ++i) full[smooth[i]] = y[i];
    std::vector<double> g_full;
    double v = acquisition.negative_with_gradient(full, g_full);
    g.resize(smooth.size());
    for (size_t i = 0; i < smooth.size(); ++i) g[i] = g_full[smooth[i]];
    return std::isfinite(v) ? v : std::numeric_limits<double>::infinity();
  };
  BoxSettings box;
  box.max_iterations = 50;
  box.pgtol = 1e-7;
  BoxResult r = minimize_in_box(f, start, lower, upper, box);
  if (std::isfinite(r.f) && -r.f > c.score) {
    for (size_t i = 0; i < smooth.size(); ++i) c.x[smooth[i]] = r.x[i];
    c.score = -r.f;
  }
}

// A coordinate search of log EI over the integers and categories of `c`, in
// passes until nothing improves (at most three): every value of a parameter
// with few of them, steps of growing size from the current one otherwise.
void coordinate_search(const std::vector<Dim>& dims, const Acquisition& acquisition,
                       const ProposeSettings& settings, Candidate& c) {
  size_t d = dims.size();
  for (int pass = 0; pass < 3; ++pass) {
    bool moved = false;
    for (size_t k = 0; k < d; ++k) {
      if (dims[k].kind != DimKind::kInteger && dims[k].kind != DimKind::kCategorical) continue;
      uint32_t count = std::max<uint32_t>(dims[k].count, 1);
      auto try_value = [&](double share) {
        std::vector<double> x = c.x;
        x[k] = (share + 0.5) / static_cast<double>(count);
        double score = acquisition(x.data());
        if (score > c.score) {
          c.x = std::move(x);
          c.score = score;
          moved = true;
        }
      };
      double current = share(c.x[k], count);
      if (count <= settings.max_discrete_values) {
        for (uint32_t v = 0; v < count; ++v) try_value(static_cast<double>(v));
      } else {
        for (double step = 1.0; step < count; step *= 2.0) {
          if (current - step >= 0) try_value(current - step);
          if (current + step < count) try_value(current + step);
        }
      }
    }
    if (!moved) break;
  }
}

}  // namespace

std::vector<double> propose(const std::vector<Dim>& dims, const std::vector<double>& points,
                            const std::vector<double>& values,
                            const std::vector<double>& pending, uint64_t seed,
                            const ProposeSettings& settings, const Constraints& constraints) {
  size_t d = dims.size();
  size_t n = values.size();
  size_t m = d == 0 ? 0 : pending.size() / d;
  size_t startup = settings.startup != 0 ? settings.startup : d + 1;
  if (d == 0) return {};
  TakenPoints taken(dims, points, pending);
  if (n + m < startup || n < 2) return startup_point(d, seed, n + m, taken);
  SeededRng rng = SeededRng::seed_from_u64(seed_mix(seed ^ seed_mix(n * 1000003ull + m)));

  Warped warped = warp_values(values);
  size_t results = 0;
  Model model = conditioned_model(dims, points, warped.values, pending, results, settings.real_prior);
  double best = incumbent(model, warped.values, results);
  std::optional<Feasibility> feasibility;
  if (constraints.count > 0) {
    // Improvement counts from the best feasible value.
    feasibility.emplace(dims, points, constraints.margins, constraints.count, settings.real_prior);
    best = std::numeric_limits<double>::infinity();
    for (size_t i = 0; i < n; ++i) {
      if (feasibility->feasible(i)) best = std::min(best, warped.values[i]);
    }
  }
  const Feasibility* limits = feasibility ? &*feasibility : nullptr;
  Acquisition acquisition(model, best, limits);

  std::vector<Candidate> candidates =
      screening_candidates(dims, model.hyper().log_length, points, values, settings, rng);
  // The minimiser of a quadratic model around the incumbent, when there is one.
  std::vector<size_t> smooth;
  for (size_t k = 0; k < d; ++k) {
    if (dims[k].kind == DimKind::kContinuous) smooth.push_back(k);
  }
  std::optional<QuadraticStep> step = quadratic_step(points, values, d, smooth);
  if (step && step->fit >= kQuadraticFit && (n + m) % 2 == 1 && !limits) {
    // The basin looks quadratic: every other proposal is the model's minimum
    // (which knows nothing of constraints).
    if (!taken(step->x.data())) return step->x;
  }
  if (step) candidates.push_back({step->x, 0.0});
  // Only the candidates searched from need their scores at first; with
  // constraints every score is taken in full.
  bool bounded = settings.bound_screening && limits == nullptr && settings.local_searches > 0;
  if (bounded) {
    score_leading(dims, model, best, candidates, settings.local_searches);
  } else {
    score_and_sort(dims, model, best, candidates, limits);
  }

  // Local searches from the best screened points: over the continuous and
  // periodic coordinates, then the discrete ones.
  for (size_t k = 0; k < d; ++k) {
    if (dims[k].kind == DimKind::kPeriodic) smooth.push_back(k);
  }
  size_t searches = std::min(settings.local_searches, candidates.size());
  for (size_t s = 0; s < searches; ++s) {
    polish_smooth(acquisition, smooth, candidates[s]);
    coordinate_search(dims, acquisition, settings, candidates[s]);
  }
  // The searches only raise scores: the searched candidates still lead.
  std::stable_sort(candidates.begin(), candidates.begin() + static_cast<std::ptrdiff_t>(searches),
                   [](const Candidate& a, const Candidate& b) { return a.score > b.score; });
  // The best candidate that is not already observed or pending.
  for (size_t i = 0; i < candidates.size(); ++i) {
    if (i == searches && bounded) score_rest(model, best, candidates, searches);
    if (!taken(candidates[i].x.data())) return candidates[i].x;
  }
  // Every candidate is taken. A small finite space is searched whole: the
  // best configuration not yet taken, if any remains.
  std::optional<std::vector<double>> rest =
      best_untaken(dims, model, best, points, pending, limits);
  return rest ? *rest : candidates.front().x;
}

std::vector<double> fitted_means(const std::vector<Dim>& dims, const std::vector<double>& points,
                                 const std::vector<double>& values) {
  size_t d = dims.size(), n = values.size();
  if (d == 0 || n < 3) return values;
  size_t results = 0;
  Model model = conditioned_model(dims, points, warp_values(values).values, {}, results);
  std::vector<double> means, variances;
  model.predict_many(points.data(), n, means, variances);
  return means;
}

}  // namespace vordaopt::gp
