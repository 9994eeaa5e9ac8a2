#include "strategies/nelder_mead.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace vordaopt {
namespace {

constexpr double kInfinity = std::numeric_limits<double>::infinity();
constexpr double kTwoPi = 6.283185307179586;

double move_up(double x, double s) { return std::fmin(x + s, 1.0); }
double move_down(double x, double s) { return std::fmax(x - s, 0.0); }

// True when a and b agree within 1e-9 in every coordinate they share.
bool agrees(const Point& a, const Point& b) {
  size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    if (!(std::fabs(a[i] - b[i]) <= 1e-9)) return false;
  }
  return true;
}

double distance(const Point& a, const Point& b) {
  size_t n = std::min(a.size(), b.size());
  double sum = 0.0;
  for (size_t i = 0; i < n; ++i) {
    double d = a[i] - b[i];
    double square = d * d;
    sum += square;
  }
  return std::sqrt(sum);
}

// The indices of the k best records in stable order (by value, then by
// position): the first k entries of a stable sort, found in one pass.
std::vector<size_t> best_records(const History& history, size_t k) {
  std::vector<size_t> best;
  best.reserve(k + 1);
  auto before = [&](size_t a, size_t b) {
    return history.value(a) < history.value(b) ||
           (!(history.value(b) < history.value(a)) && a < b);
  };
  for (size_t i = 0; i < history.size(); ++i) {
    if (best.size() == k && !before(i, best.back())) continue;
    auto at = std::upper_bound(best.begin(), best.end(), i, before);
    best.insert(at, i);
    if (best.size() > k) best.pop_back();
  }
  return best;
}

}  // namespace

double circular_mean(const std::vector<double>& turns) {
  double sum_cos = 0.0, sum_sin = 0.0;
  for (double x : turns) {
    double angle = kTwoPi * x;
    sum_cos += std::cos(angle);
    sum_sin += std::sin(angle);
  }
  double angle = (sum_sin == 0.0 && sum_cos == 0.0) ? 0.0 : std::atan2(sum_sin, sum_cos);
  double turn = angle / kTwoPi;
  return turn < 0.0 ? turn + 1.0 : turn;
}

struct NelderMead::Context {
  const SolverConfig& config;
  const History& history;
  std::vector<std::string> names;
  PointReader reader;
  size_t n;

  Context(const SolverConfig& cfg, const History& h)
      : config(cfg), history(h), names(sorted_names(cfg.bounds)), reader(h, names),
        n(names.size()) {}

  bool has_last() const { return !history.empty(); }
  double last_value() const { return history.value(history.size() - 1); }
  Point last_point() const { return reader.point(history.size() - 1); }
  ParamMap dict(const Point& p) const { return vec_to_dict(p, names); }
};

NelderMead::NelderMead(const NamedMap<Domain>& bounds) : dims_(bounds.size()) {
  periodic_.reserve(bounds.size());
  for (const auto& entry : bounds) periodic_.push_back(entry.second.scale == Scale::kPeriodic);
}

StrategyAction NelderMead::step(const SolverConfig& config, const History& history) {
  Context c(config, history);
  dims_ = c.n;
  NMState state = std::move(state_);
  state_ = nm::Init{};
  return std::visit(
      [&](auto&& s) -> StrategyAction {
        using S = std::decay_t<decltype(s)>;
        if constexpr (std::is_same_v<S, nm::Init>) {
          return plan(c);
        } else if constexpr (std::is_same_v<S, nm::CoordinateSearch>) {
          return coordinate_search(c, std::move(s));
        } else if constexpr (std::is_same_v<S, nm::EvaluateSimplex>) {
          return evaluate_simplex(c, s.filled);
        } else if constexpr (std::is_same_v<S, nm::Reflect>) {
          return reflect(c, std::move(s));
        } else if constexpr (std::is_same_v<S, nm::Expand>) {
          double f = c.has_last() ? c.last_value() : s.reflected_value;
          if (f < s.reflected_value) {
            simplex_.back() = {f, c.last_point()};
          } else {
            simplex_.back() = {s.reflected_value, std::move(s.reflected)};
          }
          return replan(c);
        } else if constexpr (std::is_same_v<S, nm::ContractOutside>) {
          double f = c.has_last() ? c.last_value() : s.reflected_value;
          if (f <= s.reflected_value) {
            simplex_.back() = {f, std::move(s.contracted)};
            return replan(c);
          }
          return start_shrink(c);
        } else if constexpr (std::is_same_v<S, nm::ContractInside>) {
          double f = c.has_last() ? c.last_value() : kInfinity;
          if (f < simplex_.back().first) {
            simplex_.back() = {f, std::move(s.contracted)};
            return replan(c);
          }
          return start_shrink(c);
        } else if constexpr (std::is_same_v<S, nm::Shrink>) {
          return shrink(c, std::move(s));
        } else {
          state_ = nm::Converged{};
          return StrategyAction::converged();
        }
      },
      state);
}

StrategyAction NelderMead::replan(const Context& c) {
  state_ = nm::Init{};
  return plan(c);
}

StrategyAction NelderMead::plan(const Context& c) {
  if (c.history.empty()) return StrategyAction::wait();
  if (c.n == 0) {
    // Nothing to search: a configuration without parameters is done at once.
    state_ = nm::Converged{};
    return StrategyAction::converged();
  }
  size_t k = std::min<size_t>(c.history.size(), 10);
  std::vector<size_t> ranked = best_records(c.history, k);

  std::vector<ValuedPoint> starts;
  starts.emplace_back(c.history.value(ranked[0]), c.reader.point(ranked[0]));
  std::vector<Point> points(ranked.size());
  for (size_t r = 1; r < ranked.size(); ++r) points[r] = c.reader.point(ranked[r]);

  // Two farthest-point passes over the records ranked 2..k.
  for (int pass = 0; pass < 2 && starts.size() < k; ++pass) {
    double best_distance = -1.0;
    size_t winner = 0;
    for (size_t r = 1; r < ranked.size(); ++r) {
      bool duplicate = std::any_of(starts.begin(), starts.end(),
                                   [&](const ValuedPoint& s) { return agrees(s.second, points[r]); });
      if (duplicate) continue;
      double nearest = kInfinity;
      for (const ValuedPoint& s : starts) nearest = std::min(nearest, distance(s.second, points[r]));
      if (nearest > best_distance) {
        best_distance = nearest;
        winner = r;
      }
    }
    if (best_distance > 0.0) starts.emplace_back(c.history.value(ranked[winner]), points[winner]);
  }

  ValuedPoint first = std::move(starts.front());
  std::deque<ValuedPoint> queue(std::make_move_iterator(starts.begin() + 1),
                                std::make_move_iterator(starts.end()));
  return begin_search(c, std::move(first), std::nullopt, std::move(queue));
}

StrategyAction NelderMead::begin_search(const Context& c, ValuedPoint start,
                                        std::optional<ValuedPoint> best_so_far,
                                        std::deque<ValuedPoint> starts) {
  Point up = start.second, down = start.second;
  up[0] = move_up(up[0], kStep);
  down[0] = move_down(down[0], kStep);
  std::vector<ParamMap> out = {c.dict(up), c.dict(down)};
  state_ = nm::CoordinateSearch{start.first, std::move(best_so_far), 0, 0,
                                std::move(start.second), {kStep}, {std::move(up), std::move(down)},
                                std::move(starts)};
  return StrategyAction::evaluate(std::move(out));
}

StrategyAction NelderMead::coordinate_search(const Context& c, nm::CoordinateSearch s) {
  // The newest records answer the pending probes; walk them newest first.
  size_t take = std::min(s.pending.size(), c.history.size());
  for (size_t j = 0; j < take; ++j) {
    size_t i = c.history.size() - 1 - j;
    if (c.history.value(i) < s.centre_value) {
      s.centre = c.reader.point(i);
      s.centre_value = c.history.value(i);
    }
  }

  size_t d = s.dim_index + 1;
  if (d < c.n && d < s.centre.size()) {
    double by = s.steps[s.step_index];
    Point up = s.centre, down = s.centre;
    up[d] = move_up(up[d], by);
    down[d] = move_down(down[d], by);
    std::vector<ParamMap> out = {c.dict(up), c.dict(down)};
    s.pending = {std::move(up), std::move(down)};
    s.dim_index = d;
    state_ = std::move(s);
    return StrategyAction::evaluate(std::move(out));
  }

  ValuedPoint outcome = (s.best_so_far && s.best_so_far->first < s.centre_value)
                            ? std::move(*s.best_so_far)
                            : ValuedPoint{s.centre_value, std::move(s.centre)};
  if (!s.starts.empty()) {
    ValuedPoint next = std::move(s.starts.front());
    s.starts.pop_front();
    return begin_search(c, std::move(next), std::move(outcome), std::move(s.starts));
  }
  return build_simplex(c, outcome);
}

StrategyAction NelderMead::build_simplex(const Context& c, const ValuedPoint& around) {
  simplex_.clear();
  simplex_.push_back(around);
  std::vector<ParamMap> out;
  out.reserve(c.n);
  for (size_t i = 0; i < c.n; ++i) {
    Point p = around.second;
    double moved = move_up(p[i], kStep);
    // At the top of the unit interval the vertex steps down instead.
    p[i] = std::fabs(moved - p[i]) < 1e-6 ? std::fmax(p[i] - kStep, 0.0) : moved;
    out.push_back(c.dict(p));
    simplex_.emplace_back(kInfinity, std::move(p));
  }
  state_ = nm::EvaluateSimplex{0};
  return StrategyAction::evaluate(std::move(out));
}

StrategyAction NelderMead::evaluate_simplex(const Context& c, size_t filled) {
  // The newest records are the results of the vertices after `filled`.
  size_t r = c.n - filled;
  size_t h = c.history.size();
  size_t first = h > r ? h - r : 0;
  for (size_t i = first, j = 0; i < h; ++i, ++j) {
    size_t vertex = filled + 1 + j;
    if (vertex < simplex_.size()) simplex_[vertex].first = c.history.value(i);
  }
  std::stable_sort(simplex_.begin(), simplex_.end(),
                   [](const ValuedPoint& a, const ValuedPoint& b) { return a.first < b.first; });

  if (simplex_.size() >= 2) {
    const Point& a = simplex_.front().second;
    const Point& b = simplex_.back().second;
    double extent = 0.0;
    for (size_t j = 0; j < std::min(a.size(), b.size()); ++j) {
      double diff = a[j] - b[j];
      if (periodic(j)) diff = shortest_difference(diff);
      extent = std::max(extent, std::fabs(diff));
    }
    if (extent < kTolerance) {
      state_ = nm::Converged{};
      return StrategyAction::converged();
    }
  }

  size_t n = c.n;
  size_t used = std::min(n, simplex_.size());
  Point centroid(n, 0.0);
  for (size_t j = 0; j < n; ++j) {
    if (periodic(j)) {
      std::vector<double> turns(used);
      for (size_t v = 0; v < used; ++v) turns[v] = simplex_[v].second[j];
      centroid[j] = circular_mean(turns);
    } else {
      double sum = 0.0;
      for (size_t v = 0; v < used; ++v) sum += simplex_[v].second[j];
      centroid[j] = sum / static_cast<double>(n);
    }
  }

  const ValuedPoint& worst = simplex_.back();
  Point reflected(n);
  for (size_t j = 0; j < n; ++j) {
    reflected[j] = weighted_move(centroid[j], kAlpha, centroid[j] - worst.second[j], periodic(j));
  }
  clamp_to_bounds(reflected, c.config.bounds, c.names);

  double second_worst = simplex_.size() >= 2 ? simplex_[simplex_.size() - 2].first
                                             : simplex_.front().first;
  std::vector<ParamMap> out = {c.dict(reflected)};
  state_ = nm::Reflect{simplex_.front().first, second_worst, worst.first, std::move(centroid),
                       std::move(reflected)};
  return StrategyAction::evaluate(std::move(out));
}

StrategyAction NelderMead::reflect(const Context& c, nm::Reflect s) {
  double f = c.has_last() ? c.last_value() : s.worst_value;
  size_t n = s.centroid.size();
  auto toward = [&](const Point& target, double coefficient) {
    Point p(n);
    for (size_t j = 0; j < n; ++j) {
      p[j] = weighted_move(s.centroid[j], coefficient, target[j] - s.centroid[j], periodic(j));
    }
    clamp_to_bounds(p, c.config.bounds, c.names);
    return p;
  };

  if (f < s.best_value) {
    Point expanded = toward(s.reflected, kGamma);
    std::vector<ParamMap> out = {c.dict(expanded)};
    state_ = nm::Expand{f, std::move(s.centroid), std::move(s.reflected), std::move(expanded)};
    return StrategyAction::evaluate(std::move(out));
  }
  if (f < s.second_worst_value) {
    simplex_.back() = {f, std::move(s.reflected)};
    return replan(c);
  }
  if (f < s.worst_value) {
    Point contracted = toward(s.reflected, kRho);
    std::vector<ParamMap> out = {c.dict(contracted)};
    state_ = nm::ContractOutside{f, std::move(s.centroid), std::move(contracted)};
    return StrategyAction::evaluate(std::move(out));
  }
  Point contracted = toward(simplex_.back().second, kRho);
  std::vector<ParamMap> out = {c.dict(contracted)};
  state_ = nm::ContractInside{std::move(s.centroid), std::move(contracted)};
  return StrategyAction::evaluate(std::move(out));
}

StrategyAction NelderMead::start_shrink(const Context& c) {
  std::vector<Point> points;
  const Point& best = simplex_.front().second;
  for (size_t v = 1; v < simplex_.size(); ++v) {
    const Point& p = simplex_[v].second;
    Point shrunk(best.size());
    for (size_t j = 0; j < best.size(); ++j) {
      shrunk[j] = weighted_move(best[j], kSigma, p[j] - best[j], periodic(j));
    }
    points.push_back(std::move(shrunk));
  }
  if (points.empty()) return replan(c);
  std::vector<ParamMap> out = {c.dict(points.front())};
  state_ = nm::Shrink{std::move(points), 0};
  return StrategyAction::evaluate(std::move(out));
}

StrategyAction NelderMead::shrink(const Context& c, nm::Shrink s) {
  if (c.has_last() && s.position + 1 < simplex_.size()) {
    simplex_[s.position + 1] = {c.last_value(), c.last_point()};
  }
  if (s.position + 1 < s.points.size()) {
    ++s.position;
    std::vector<ParamMap> out = {c.dict(s.points[s.position])};
    state_ = std::move(s);
    return StrategyAction::evaluate(std::move(out));
  }
  return replan(c);
}

}  // namespace vordaopt
