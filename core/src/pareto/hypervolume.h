// The hypervolume of a set of points of m minimised objectives: the measure
// of the region they dominate inside the box bounded by a reference point.
//
// Exact in every dimension: a sweep in O(n log n) for two and three
// objectives (for three, the two-dimensional front of the points swept so far
// is kept ordered and its area updated as points join it); beyond, the
// points are taken in decreasing order of the last objective and each adds
// the slice that the points after it leave uncovered (the exclusive
// hypervolume of While, Bradstreet and Barone's WFG algorithm, IEEE TEVC
// 2012), computed one dimension lower.
#ifndef VORDAOPT_CORE_PARETO_HYPERVOLUME_H_
#define VORDAOPT_CORE_PARETO_HYPERVOLUME_H_

#include <cstddef>
#include <vector>

namespace vordaopt::pareto {

// points: n x m, row-major; reference: m coordinates. Points that are not
// strictly better than the reference in every objective add nothing.
// REQUIRES: m >= 1, points.size() % m == 0, reference.size() == m, no NaN.
double hypervolume(const std::vector<double>& points, size_t m,
                   const std::vector<double>& reference);

}  // namespace vordaopt::pareto

#endif  // VORDAOPT_CORE_PARETO_HYPERVOLUME_H_
