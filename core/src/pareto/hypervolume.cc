#include "pareto/hypervolume.h"

#include <algorithm>
#include <iterator>
#include <map>
#include <numeric>

#include "pareto/dominance.h"

namespace vordaopt::pareto {
namespace {

// The points of `flat` (m each) in the order of `order`.
std::vector<double> gathered(const std::vector<double>& flat, size_t m,
                             const std::vector<size_t>& order) {
  std::vector<double> out;
  out.reserve(order.size() * m);
  for (size_t i : order) out.insert(out.end(), &flat[i * m], &flat[i * m] + m);
  return out;
}

// Indices of the points sorted by objective k, ascending or descending;
// ties keep their order.
std::vector<size_t> sorted_by(const std::vector<double>& flat, size_t m, size_t k, bool ascending) {
  std::vector<size_t> order(flat.size() / m);
  std::iota(order.begin(), order.end(), size_t{0});
  std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
    return ascending ? flat[a * m + k] < flat[b * m + k] : flat[a * m + k] > flat[b * m + k];
  });
  return order;
}

double length(const std::vector<double>& flat, const std::vector<double>& reference) {
  double least = *std::min_element(flat.begin(), flat.end());
  return reference[0] - least;
}

// In the order of x, each point that lowers the least y so far adds the strip
// between the two heights from its x to the reference.
double area(const std::vector<double>& flat, const std::vector<double>& reference) {
  std::vector<size_t> order(flat.size() / 2);
  std::iota(order.begin(), order.end(), size_t{0});
  std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
    if (flat[2 * a] != flat[2 * b]) return flat[2 * a] < flat[2 * b];
    return flat[2 * a + 1] < flat[2 * b + 1];
  });
  double total = 0.0, lowest = reference[1];
  for (size_t i : order) {
    double x = flat[2 * i], y = flat[2 * i + 1];
    if (y < lowest) {
      total += (reference[0] - x) * (lowest - y);
      lowest = y;
    }
  }
  return total;
}

// The two-dimensional front of the points swept so far: x ascending, y
// strictly descending, and the area it dominates.
class Staircase {
 public:
  Staircase(double right, double top) : right_(right), top_(top) {}

  double area() const { return area_; }

  // Adds (x, y): the area it newly dominates is the part of its box above
  // the staircase, walked step by step from x; the steps it covers leave.
  void add(double x, double y) {
    auto first = steps_.lower_bound(x);  // the first step at or right of x
    double height = first == steps_.begin() ? top_ : std::prev(first)->second;
    if (height <= y) return;  // a step left of x covers it
    if (first != steps_.end() && first->first == x && first->second <= y) return;
    double added = 0.0, from = x;
    auto step = first;
    for (; step != steps_.end(); ) {
      added += (step->first - from) * (height - y);
      from = step->first;
      height = step->second;
      if (height < y) break;
      step = steps_.erase(step);  // (x, y) covers it
    }
    if (step == steps_.end()) added += (right_ - from) * (height - y);
    area_ += added;
    steps_[x] = y;
  }

 private:
  double right_, top_;
  double area_ = 0.0;
  std::map<double, double> steps_;
};

// In the order of z, the volume between consecutive heights is the area
// dominated by the points below.
double volume(const std::vector<double>& flat, const std::vector<double>& reference) {
  std::vector<size_t> order = sorted_by(flat, 3, 2, true);
  Staircase front(reference[0], reference[1]);
  double total = 0.0;
  for (size_t r = 0; r < order.size(); ++r) {
    const double* p = &flat[order[r] * 3];
    if (r > 0) total += front.area() * (p[2] - flat[order[r - 1] * 3 + 2]);
    front.add(p[0], p[1]);
  }
  total += front.area() * (reference[2] - flat[order.back() * 3 + 2]);
  return total;
}

// The points of `flat` that no other dominates, one of each duplicate kept.
std::vector<double> nondominated(const std::vector<double>& flat, size_t m) {
  size_t n = flat.size() / m;
  std::vector<size_t> kept;
  for (size_t i = 0; i < n; ++i) {
    const double* p = &flat[i * m];
    bool covered = false;
    for (size_t j = 0; j < n && !covered; ++j) {
      if (j == i) continue;
      const double* q = &flat[j * m];
      covered = dominates(q, p, m) || (j < i && std::equal(p, p + m, q));
    }
    if (!covered) kept.push_back(i);
  }
  return gathered(flat, m, kept);
}

double measure(const std::vector<double>& flat, size_t m, const std::vector<double>& reference);

// Points in decreasing order of the last objective: each point's box is
// covered by a later point's box only through the first m - 1 objectives,
// so the part it adds is its height in the last objective times its
// (m - 1)-dimensional box minus the boxes it shares with the later points.
double sliced(const std::vector<double>& flat, size_t m, const std::vector<double>& reference) {
  std::vector<double> points = gathered(flat, m, sorted_by(flat, m, m - 1, false));
  size_t n = points.size() / m, lower = m - 1;
  std::vector<double> base(reference.begin(), reference.end() - 1);
  double total = 0.0;
  for (size_t i = 0; i < n; ++i) {
    const double* p = &points[i * m];
    double box = 1.0;
    for (size_t k = 0; k < lower; ++k) box *= reference[k] - p[k];
    std::vector<double> limits;
    limits.reserve((n - i - 1) * lower);
    for (size_t j = i + 1; j < n; ++j) {
      const double* q = &points[j * m];
      for (size_t k = 0; k < lower; ++k) limits.push_back(std::max(p[k], q[k]));
    }
    double shared = limits.empty() ? 0.0 : measure(nondominated(limits, lower), lower, base);
    total += (reference[lower] - p[lower]) * (box - shared);
  }
  return total;
}

double measure(const std::vector<double>& flat, size_t m, const std::vector<double>& reference) {
  if (flat.empty()) return 0.0;
  switch (m) {
    case 1:
      return length(flat, reference);
    case 2:
      return area(flat, reference);
    case 3:
      return volume(flat, reference);
    default:
      return sliced(flat, m, reference);
  }
}

}  // namespace

double hypervolume(const std::vector<double>& points, size_t m,
                   const std::vector<double>& reference) {
  std::vector<size_t> inside;
  for (size_t i = 0; i < points.size() / m; ++i) {
    bool strictly = true;
    for (size_t k = 0; k < m; ++k) strictly = strictly && points[i * m + k] < reference[k];
    if (strictly) inside.push_back(i);
  }
  return measure(gathered(points, m, inside), m, reference);
}

}  // namespace vordaopt::pareto
