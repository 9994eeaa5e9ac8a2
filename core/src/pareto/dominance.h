// Pareto dominance among points of m objectives, all minimised: the front
// each point belongs to, with and without constraints, and NSGA-II's
// crowding distance within a front.
//
// Points are n x m, row-major, finite (the product layer keeps failed and
// NaN results out). A point dominates another when it is no worse in every
// objective and better in one; equal points do not dominate each other and
// share a front.
#ifndef VORDAOPT_CORE_PARETO_DOMINANCE_H_
#define VORDAOPT_CORE_PARETO_DOMINANCE_H_

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vordaopt::pareto {

// Whether point a dominates point b (m objectives each).
bool dominates(const double* a, const double* b, size_t m);

// The front of each point: 0 for the points no other dominates, 1 for those
// only front 0 dominates, and so on. Two objectives take O(n log n) (a sweep
// in the order of the first); more take O(m n^2) (Deb et al., "A fast and
// elitist multiobjective genetic algorithm: NSGA-II", 2002).
// REQUIRES: m >= 1, points.size() == n * m.
std::vector<uint32_t> front_ranks(const std::vector<double>& points, size_t m);

// The same under constraint domination (Deb, 2000): `violations` (n values,
// 0 for a feasible point, otherwise how far it is outside its limits) puts
// every feasible point ahead of every infeasible one; feasible points are
// ranked by their fronts, infeasible ones by their violation alone (equal
// violations share a rank), after the last feasible front.
// REQUIRES: violations.size() == n, each >= 0 and not NaN.
std::vector<uint32_t> constrained_front_ranks(const std::vector<double>& points, size_t m,
                                              const std::vector<double>& violations);

// The crowding distance of each point of `members` (indices into points)
// within that set: the sum over objectives of the gap between its two
// neighbours in that objective, divided by the set's range in it; the
// extremes of each objective get +infinity. An objective whose range is 0
// adds nothing. Returned in the order of `members`.
std::vector<double> crowding_distances(const std::vector<double>& points, size_t m,
                                       const std::vector<size_t>& members);

}  // namespace vordaopt::pareto

#endif  // VORDAOPT_CORE_PARETO_DOMINANCE_H_
