#include "pareto/dominance.h"

#include <algorithm>
#include <limits>
#include <numeric>

namespace vordaopt::pareto {
namespace {

// Two objectives: in the order of the first (then the second), a point joins
// the first front whose latest member does not dominate it. The latest
// members' second objectives never decrease from one front to the next, so
// the first such front is found by bisection.
std::vector<uint32_t> two_objective_ranks(const std::vector<double>& points) {
  size_t n = points.size() / 2;
  std::vector<size_t> order(n);
  std::iota(order.begin(), order.end(), size_t{0});
  std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
    if (points[2 * a] != points[2 * b]) return points[2 * a] < points[2 * b];
    return points[2 * a + 1] < points[2 * b + 1];
  });
  std::vector<size_t> latest;  // per front, its member seen last
  std::vector<uint32_t> ranks(n);
  for (size_t i : order) {
    const double* p = &points[2 * i];
    auto front = std::partition_point(latest.begin(), latest.end(),
                                      [&](size_t j) { return dominates(&points[2 * j], p, 2); });
    ranks[i] = static_cast<uint32_t>(front - latest.begin());
    if (front == latest.end()) {
      latest.push_back(i);
    } else {
      *front = i;
    }
  }
  return ranks;
}

// Any number of objectives: each point counts those that dominate it; the
// points no one dominates form a front, and removing them lowers the counts
// of the points they dominate.
std::vector<uint32_t> peeled_ranks(const std::vector<double>& points, size_t m) {
  size_t n = points.size() / m;
  std::vector<std::vector<size_t>> dominated(n);
  std::vector<size_t> count(n, 0);
  for (size_t i = 0; i < n; ++i) {
    for (size_t j = i + 1; j < n; ++j) {
      if (dominates(&points[i * m], &points[j * m], m)) {
        dominated[i].push_back(j);
        ++count[j];
      } else if (dominates(&points[j * m], &points[i * m], m)) {
        dominated[j].push_back(i);
        ++count[i];
      }
    }
  }
  std::vector<uint32_t> ranks(n, 0);
  std::vector<size_t> front;
  for (size_t i = 0; i < n; ++i) {
    if (count[i] == 0) front.push_back(i);
  }
  for (uint32_t rank = 0; !front.empty(); ++rank) {
    std::vector<size_t> next;
    for (size_t i : front) {
      ranks[i] = rank;
      for (size_t j : dominated[i]) {
        if (--count[j] == 0) next.push_back(j);
      }
    }
    front.swap(next);
  }
  return ranks;
}

}  // namespace

bool dominates(const double* a, const double* b, size_t m) {
  bool better = false;
  for (size_t k = 0; k < m; ++k) {
    if (a[k] > b[k]) return false;
    if (a[k] < b[k]) better = true;
  }
  return better;
}

std::vector<uint32_t> front_ranks(const std::vector<double>& points, size_t m) {
  return m == 2 ? two_objective_ranks(points) : peeled_ranks(points, m);
}

std::vector<uint32_t> constrained_front_ranks(const std::vector<double>& points, size_t m,
                                              const std::vector<double>& violations) {
  size_t n = violations.size();
  std::vector<size_t> feasible, infeasible;
  for (size_t i = 0; i < n; ++i) (violations[i] == 0.0 ? feasible : infeasible).push_back(i);
  std::vector<double> kept;
  kept.reserve(feasible.size() * m);
  for (size_t i : feasible) kept.insert(kept.end(), &points[i * m], &points[i * m] + m);
  std::vector<uint32_t> feasible_ranks = front_ranks(kept, m);
  std::vector<uint32_t> ranks(n, 0);
  uint32_t fronts = 0;
  for (size_t f = 0; f < feasible.size(); ++f) {
    ranks[feasible[f]] = feasible_ranks[f];
    fronts = std::max(fronts, feasible_ranks[f] + 1);
  }
  std::stable_sort(infeasible.begin(), infeasible.end(),
                   [&](size_t a, size_t b) { return violations[a] < violations[b]; });
  uint32_t rank = fronts;
  for (size_t r = 0; r < infeasible.size(); ++r) {
    if (r > 0 && violations[infeasible[r]] != violations[infeasible[r - 1]]) ++rank;
    ranks[infeasible[r]] = rank;
  }
  return ranks;
}

std::vector<double> crowding_distances(const std::vector<double>& points, size_t m,
                                       const std::vector<size_t>& members) {
  constexpr double kInf = std::numeric_limits<double>::infinity();
  size_t count = members.size();
  std::vector<double> distance(count, 0.0);
  if (count <= 2) {
    std::fill(distance.begin(), distance.end(), kInf);
    return distance;
  }
  std::vector<size_t> order(count);
  for (size_t k = 0; k < m; ++k) {
    std::iota(order.begin(), order.end(), size_t{0});
    auto value = [&](size_t slot) { return points[members[slot] * m + k]; };
    std::stable_sort(order.begin(), order.end(),
                     [&](size_t a, size_t b) { return value(a) < value(b); });
    double range = value(order.back()) - value(order.front());
    distance[order.front()] = kInf;
    distance[order.back()] = kInf;
    if (!(range > 0.0)) continue;
    for (size_t r = 1; r + 1 < count; ++r) {
      distance[order[r]] += (value(order[r + 1]) - value(order[r - 1])) / range;
    }
  }
  return distance;
}

}  // namespace vordaopt::pareto
