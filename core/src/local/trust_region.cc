#include "local/trust_region.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "numerics/symmetric_eigen.h"
#include "numerics/gaussian_elimination.h"
#include "numerics/linalg.h"

namespace vordaopt::local {
namespace {

// A ratio of found to promised decrease above this widens the ball; below
// kRatioPoor the step failed (the usual trust-region constants).
constexpr double kRatioGood = 0.7;
constexpr double kRatioPoor = 0.1;
// A model step shorter than this share of the radius teaches nothing new.
constexpr double kShortestStep = 1e-3;
// Two results closer than this share of the radius are one for the model:
// interpolating both would make its system singular.
constexpr double kSamePoint = 1e-9;
// Projected-gradient iterations on the model (each costs d^2).
constexpr int kStepIterations = 300;
// Halvings a single plan may make before it returns a repair regardless.
constexpr int kMostHalvings = 64;
// The model is local when d + 1 of its points lie within this many radii of
// the centre: only then does a failed step say the ball is too wide. (Right
// after a halving, the points of the wider ball still count.)
constexpr double kLocalRadii = 2.5;
// A projected-gradient iteration that moves no coordinate more than this
// (in the ball's coordinates) has converged.
constexpr double kStepMoved = 1e-12;

double squared_distance(const double* a, const double* b, size_t d) {
  double s = 0.0;
  for (size_t j = 0; j < d; ++j) s += (a[j] - b[j]) * (a[j] - b[j]);
  return s;
}

// Whether x lies near enough the ball (centre c, `radius`) to bear on a model of it.
bool near_ball(const double* x, const double* c, size_t d, double radius) {
  double reach = kLocalRadii * radius;
  return squared_distance(x, c, d) <= reach * reach;
}

double norm(const std::vector<double>& v) {
  return std::sqrt(numerics::dot(v.data(), v.data(), v.size()));
}

// The quadratic g.s + s'Hs/2 in the ball's coordinates (s = step / radius).
struct Model {
  std::vector<double> g;  // d
  std::vector<double> h;  // d x d, row-major
};

// The least-curvature quadratic through the points s_j (rows of `s`, m x d:
// the displacements of the results from the centre, over the radius) with
// values f_j (relative to the centre's, which it passes through at 0):
// H = sum_j lambda_j s_j s_j', where (lambda, c, g) solve
//   [A  P'] [lambda]   [f]      A_ij = (s_i . s_j)^2 / 2
//   [P  0 ] [c; g  ] = [0],     P = [1 ... 1; s_1 ... s_m].
// A plane through the first d + 1 points; curvature as more gather. (A
// Hessian carried over from the last model, as NEWUOA's updates do, made
// the search converge early on rugged functions.)
bool fit(const std::vector<double>& s, const std::vector<double>& f, size_t m, size_t d,
         Model& model) {
  size_t n = m + d + 1;
  std::vector<double> k(n * n, 0.0), rhs(n, 0.0);
  for (size_t i = 0; i < m; ++i) {
    for (size_t j = 0; j < m; ++j) {
      double p = numerics::dot(&s[i * d], &s[j * d], d);
      k[i * n + j] = 0.5 * (p * p);
    }
    k[i * n + m] = k[m * n + i] = 1.0;
    for (size_t c = 0; c < d; ++c) k[i * n + m + 1 + c] = k[(m + 1 + c) * n + i] = s[i * d + c];
    rhs[i] = f[i];
  }
  if (!numerics::solve_linear(std::move(k), rhs, n)) return false;
  model.g.assign(rhs.begin() + static_cast<std::ptrdiff_t>(m + 1), rhs.end());
  model.h.assign(d * d, 0.0);
  for (size_t j = 0; j < m; ++j) {
    const double* sj = &s[j * d];
    for (size_t r = 0; r < d; ++r) {
      double lr = rhs[j] * sj[r];
      for (size_t c = 0; c < d; ++c) model.h[r * d + c] += lr * sj[c];
    }
  }
  for (double v : model.g) if (!std::isfinite(v)) return false;
  for (double v : model.h) if (!std::isfinite(v)) return false;
  return true;
}

// g.s + s'Hs/2.
double model_value(const Model& model, const std::vector<double>& s) {
  size_t d = s.size();
  double quad = 0.0;
  for (size_t r = 0; r < d; ++r) quad += s[r] * numerics::dot(&model.h[r * d], s.data(), d);
  return numerics::dot(model.g.data(), s.data(), d) + 0.5 * quad;
}

// The model's minimum on the unit ball and the box [lo, hi], by projected
// gradient steps of length 1 / L, L the largest |eigenvalue| of H: each step
// cannot raise the model. Starts along -g.
std::vector<double> minimise(const Model& model, const std::vector<double>& lo,
                             const std::vector<double>& hi) {
  size_t d = lo.size();
  std::vector<double> values, vectors;
  double lipschitz = 0.0;
  if (numerics::symmetric_eigen(model.h, d, values, vectors)) {
    for (double v : values) lipschitz = std::max(lipschitz, std::fabs(v));
  }
  double gnorm = norm(model.g);
  std::vector<double> s(d, 0.0), next(d);
  if (!(gnorm > 0.0)) return s;
  // Without curvature the minimum lies on the ball's edge along -g.
  double first = lipschitz > 0.0 ? std::min(1.0, gnorm / lipschitz) : 1.0;
  auto project = [&](std::vector<double>& t) {
    double n = norm(t);
    if (n > 1.0) for (double& v : t) v /= n;
    for (size_t i = 0; i < d; ++i) t[i] = std::clamp(t[i], lo[i], hi[i]);
  };
  for (size_t i = 0; i < d; ++i) s[i] = -model.g[i] / gnorm * first;
  project(s);
  if (!(lipschitz > 0.0)) return s;
  double step = 1.0 / lipschitz;
  for (int it = 0; it < kStepIterations; ++it) {
    for (size_t i = 0; i < d; ++i) {
      double grad = model.g[i] + numerics::dot(&model.h[i * d], s.data(), d);
      next[i] = s[i] - step * grad;
    }
    project(next);
    double moved = 0.0;
    for (size_t i = 0; i < d; ++i) moved = std::max(moved, std::fabs(next[i] - s[i]));
    s.swap(next);
    if (moved < kStepMoved) break;
  }
  return s;
}

}  // namespace

TrustRegion::TrustRegion(std::vector<double> start, TrustRegionSettings settings)
    : d_(start.size()),
      start_(std::move(start)),
      settings_(settings),
      radius_(settings.radius) {
  for (double& v : start_) v = std::clamp(v, 0.0, 1.0);
}

std::vector<size_t> TrustRegion::nearest(double radius) const {
  const double* c = point(centre_);
  size_t n = values_.size();
  std::vector<std::pair<double, size_t>> order(n);
  for (size_t i = 0; i < n; ++i) order[i] = {squared_distance(point(i), c, d_), i};
  std::sort(order.begin(), order.end());  // ties by index: a total order
  std::vector<size_t> chosen;
  double same = kSamePoint * radius;
  for (const auto& [dist, i] : order) {
    if (chosen.size() == 2 * d_ + 1) break;
    bool repeat = false;
    for (size_t j : chosen) {
      if (std::sqrt(squared_distance(point(i), point(j), d_)) < same) repeat = true;
    }
    if (!repeat) chosen.push_back(i);
  }
  return chosen;
}

// `centre` plus `radius` along the unit direction least covered by the
// displacements of `near` and of the `extra` points (flat).
std::vector<double> TrustRegion::repair_point(const double* c, const std::vector<size_t>& near,
                                              const std::vector<double>& extra,
                                              double radius) const {
  std::vector<double> cover(d_ * d_, 0.0), row(d_);
  auto add = [&](const double* x) {
    for (size_t j = 0; j < d_; ++j) row[j] = (x[j] - c[j]) / radius;
    for (size_t r = 0; r < d_; ++r)
      for (size_t k = 0; k < d_; ++k) cover[r * d_ + k] += row[r] * row[k];
  };
  // Only the points near the ball shape its cover: far ones cover nothing in it.
  for (size_t i : near) if (near_ball(point(i), c, d_, radius)) add(point(i));
  for (size_t i = 0; i + d_ <= extra.size(); i += d_) add(&extra[i]);
  std::vector<double> values, vectors, x(c, c + d_);
  if (!numerics::symmetric_eigen(cover, d_, values, vectors)) return x;  // only with non-finite points
  size_t least = 0;
  for (size_t i = 1; i < d_; ++i) if (values[i] < values[least]) least = i;
  // Of the two points along it, the one farther from every point counted
  // (then the one that the cube cuts less): a repair never repeats a point.
  std::vector<double> sides[2] = {x, x};
  double room[2] = {INFINITY, INFINITY}, cut[2] = {0.0, 0.0};
  for (int side = 0; side < 2; ++side) {
    double sign = side == 0 ? 1.0 : -1.0;
    for (size_t j = 0; j < d_; ++j) {
      double v = c[j] + sign * vectors[j * d_ + least] * radius;
      sides[side][j] = std::clamp(v, 0.0, 1.0);
      cut[side] += std::fabs(sides[side][j] - v);
    }
    auto distance = [&](const double* y) {
      room[side] = std::min(room[side], squared_distance(sides[side].data(), y, d_));
    };
    for (size_t i : near) distance(point(i));
    for (size_t i = 0; i + d_ <= extra.size(); i += d_) distance(&extra[i]);
  }
  bool second = room[1] > room[0] || (room[1] == room[0] && cut[1] < cut[0]);
  return sides[second ? 1 : 0];
}

bool TrustRegion::local(const std::vector<size_t>& near, double radius) const {
  size_t inside = 0;
  for (size_t i : near) inside += near_ball(point(i), point(centre_), d_, radius) ? 1 : 0;
  return inside >= d_ + 1;
}

bool TrustRegion::told(const std::vector<double>& x) const {
  for (size_t i = 0; i < values_.size(); ++i) {
    if (std::equal(x.begin(), x.end(), point(i))) return true;
  }
  return false;
}

std::vector<double> TrustRegion::design_point(size_t i) const {
  std::vector<double> x = start_;
  if (i > 0) x[i - 1] += x[i - 1] + radius_ <= 1.0 ? radius_ : -radius_;
  return x;
}

TrustRegion::Plan TrustRegion::make_plan() const {
  Plan p;
  size_t n = values_.size();
  p.radius = radius_;
  p.repaired = repaired_;
  if (n <= d_) {
    for (size_t i = 0; i <= d_; ++i) {
      p.x = design_point(i);
      if (!told(p.x)) return p;
    }
  }
  const double* c = point(centre_);
  bool repair = repair_next_;
  for (int halving = 0; halving <= kMostHalvings; ++halving) {
    std::vector<size_t> near = nearest(p.radius);
    if (repair) {
      p.move = Move::kRepair;
      p.repaired = true;
      p.x = repair_point(c, near, {}, p.radius);
      return p;
    }
    size_t m = near.size();
    std::vector<double> s(m * d_), f(m);
    for (size_t r = 0; r < m; ++r) {
      for (size_t j = 0; j < d_; ++j) s[r * d_ + j] = (point(near[r])[j] - c[j]) / p.radius;
      f[r] = values_[near[r]] - values_[centre_];
    }
    Model model;
    if (fit(s, f, m, d_, model)) {
      std::vector<double> lo(d_), hi(d_);
      for (size_t j = 0; j < d_; ++j) {
        lo[j] = (0.0 - c[j]) / p.radius;
        hi[j] = (1.0 - c[j]) / p.radius;
      }
      std::vector<double> step = minimise(model, lo, hi);
      double promised = -model_value(model, step);
      if (promised > 0.0 && norm(step) >= kShortestStep) {
        p.move = Move::kModel;
        p.promised = promised;
        p.x.resize(d_);
        for (size_t j = 0; j < d_; ++j) p.x[j] = std::clamp(c[j] + p.radius * step[j], 0.0, 1.0);
        return p;
      }
    }
    // The model promises nothing here: repair its points once, then shrink.
    if (!p.repaired) {
      repair = true;
      continue;
    }
    p.radius *= 0.5;
    p.repaired = false;
  }
  p.move = Move::kRepair;
  p.repaired = true;
  p.x = repair_point(c, nearest(p.radius), {}, p.radius);
  return p;
}

const TrustRegion::Plan& TrustRegion::plan() const {
  if (!plan_) plan_ = make_plan();
  return *plan_;
}

std::vector<double> TrustRegion::propose(const std::vector<double>& pending) const {
  auto is_pending = [&](const std::vector<double>& x) {
    for (size_t i = 0; i + d_ <= pending.size(); i += d_) {
      if (std::equal(x.begin(), x.end(), pending.begin() + static_cast<std::ptrdiff_t>(i))) {
        return true;
      }
    }
    return false;
  };
  const Plan& p = plan();
  if (!is_pending(p.x)) return p.x;
  // The plan is being evaluated: the next point of the first design, or the
  // direction that the pending points and the results nearby leave least
  // explored.
  size_t n = values_.size();
  if (n <= d_) {
    for (size_t i = 0; i <= d_; ++i) {
      std::vector<double> x = design_point(i);
      if (!is_pending(x) && !told(x)) return x;
    }
  }
  if (n == 0) return repair_point(start_.data(), {}, pending, p.radius);
  return repair_point(point(centre_), nearest(p.radius), pending, p.radius);
}

void TrustRegion::observe(const std::vector<double>& x, double value) {
  Plan p = plan();  // the one propose made from the same state, if it was asked
  plan_.reset();
  bool planned = x == p.x;
  double before = values_.empty() ? value : values_[centre_];
  points_.insert(points_.end(), x.begin(), x.end());
  values_.push_back(value);
  if (values_.size() == 1 || value < values_[centre_]) centre_ = values_.size() - 1;
  if (planned) update(p, before, value);
}

void TrustRegion::update(const Plan& p, double before, double value) {
  radius_ = p.radius;
  repaired_ = p.repaired;
  repair_next_ = false;
  if (p.move != Move::kModel) return;
  double ratio = (before - value) / p.promised;
  if (ratio >= kRatioGood) {
    radius_ = std::min(2.0 * radius_, settings_.radius_max);
    repaired_ = false;
  } else if (ratio >= kRatioPoor) {
    repaired_ = false;
  } else if (repaired_ && local(nearest(radius_), radius_)) {
    radius_ *= 0.5;
    repaired_ = false;
  } else {
    repair_next_ = true;
  }
}

}  // namespace vordaopt::local
