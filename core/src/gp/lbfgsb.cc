#include "gp/lbfgsb.h"

#include <algorithm>
#include <cmath>
#include <deque>

namespace vordaopt::gp {
namespace {

constexpr double kArmijo = 1e-4;      // sufficient decrease of the line search
constexpr int kMaxBacktracks = 40;    // halvings before the search gives up
constexpr double kCurvatureFloor = 1e-12;  // pairs with less s.y are dropped

double dot(const std::vector<double>& a, const std::vector<double>& b) {
  double sum = 0.0;
  for (size_t i = 0; i < a.size(); ++i) sum += a[i] * b[i];
  return sum;
}

struct Pair {
  std::vector<double> s, y;
  double rho;
};

// Whether variable i is held at a bound by its gradient.
bool held(double x, double g, double lower, double upper) {
  return (x <= lower && g > 0.0) || (x >= upper && g < 0.0);
}

}  // namespace

BoxResult minimize_in_box(const Objective& f, std::vector<double> x0,
                          const std::vector<double>& lower, const std::vector<double>& upper,
                          const BoxSettings& settings) {
  size_t n = x0.size();
  auto project = [&](std::vector<double>& x) {
    for (size_t i = 0; i < n; ++i) x[i] = std::clamp(x[i], lower[i], upper[i]);
  };
  BoxResult result;
  result.x = std::move(x0);
  project(result.x);
  std::vector<double> g(n), g_new(n), d(n), q(n), x_new(n);
  double fx = f(result.x, g);
  std::deque<Pair> memory;

  for (int it = 0; it < settings.max_iterations; ++it) {
    result.iterations = it;
    double largest = 0.0;
    for (size_t i = 0; i < n; ++i) {
      if (!held(result.x[i], g[i], lower[i], upper[i])) largest = std::max(largest, std::fabs(g[i]));
    }
    if (largest < settings.pgtol) {
      result.converged = true;
      break;
    }
    // Two-loop recursion on the free variables.
    for (size_t i = 0; i < n; ++i) q[i] = held(result.x[i], g[i], lower[i], upper[i]) ? 0.0 : g[i];
    std::vector<double> alpha(memory.size());
    for (size_t k = memory.size(); k-- > 0;) {
      alpha[k] = memory[k].rho * dot(memory[k].s, q);
      for (size_t i = 0; i < n; ++i) q[i] -= alpha[k] * memory[k].y[i];
    }
    double gamma = 1.0;
    if (!memory.empty()) gamma = dot(memory.back().s, memory.back().y) / dot(memory.back().y, memory.back().y);
    for (size_t i = 0; i < n; ++i) q[i] *= gamma;
    for (size_t k = 0; k < memory.size(); ++k) {
      double beta = memory[k].rho * dot(memory[k].y, q);
      for (size_t i = 0; i < n; ++i) q[i] += memory[k].s[i] * (alpha[k] - beta);
    }
    for (size_t i = 0; i < n; ++i) d[i] = held(result.x[i], g[i], lower[i], upper[i]) ? 0.0 : -q[i];
    if (!(dot(d, g) < 0.0)) {  // not a descent direction: steepest descent, fresh memory
      memory.clear();
      for (size_t i = 0; i < n; ++i) d[i] = held(result.x[i], g[i], lower[i], upper[i]) ? 0.0 : -g[i];
    }
    // The first step has no curvature to scale it: at most a unit move.
    double step = 1.0;
    if (memory.empty()) {
      double norm = std::sqrt(dot(d, d));
      if (norm > 1.0) step = 1.0 / norm;
    }
    double f_new = fx;
    bool accepted = false;
    for (int b = 0; b < kMaxBacktracks; ++b) {
      for (size_t i = 0; i < n; ++i) x_new[i] = result.x[i] + step * d[i];
      project(x_new);
      double decrease = 0.0;  // g . (x_new - x), the model's predicted change
      for (size_t i = 0; i < n; ++i) decrease += g[i] * (x_new[i] - result.x[i]);
      f_new = f(x_new, g_new);
      if (std::isfinite(f_new) && f_new <= fx + kArmijo * decrease) {
        accepted = true;
        break;
      }
      step *= 0.5;
    }
    if (!accepted) break;
    Pair pair{std::vector<double>(n), std::vector<double>(n), 0.0};
    for (size_t i = 0; i < n; ++i) {
      pair.s[i] = x_new[i] - result.x[i];
      pair.y[i] = g_new[i] - g[i];
    }
    double sy = dot(pair.s, pair.y);
    if (sy > kCurvatureFloor * dot(pair.y, pair.y)) {
      pair.rho = 1.0 / sy;
      memory.push_back(std::move(pair));
      if (static_cast<int>(memory.size()) > settings.memory) memory.pop_front();
    }
    double change = fx - f_new;
    result.x.swap(x_new);
    g.swap(g_new);
    fx = f_new;
    if (change <= settings.ftol * std::max({std::fabs(fx), std::fabs(f_new), 1.0})) {
      result.converged = true;
      result.iterations = it + 1;
      break;
    }
    result.iterations = it + 1;
  }
  result.f = fx;
  return result;
}

}  // namespace vordaopt::gp
