// A dense linear solve by Gaussian elimination, for small systems that need
// not be symmetric (the trust region's interpolation system).
#ifndef VORDAOPT_CORE_NUMERICS_GAUSSIAN_ELIMINATION_H_
#define VORDAOPT_CORE_NUMERICS_GAUSSIAN_ELIMINATION_H_

#include <cstddef>
#include <vector>

namespace vordaopt::numerics {

// Solves a x = b (n x n, row-major) in place of b, with partial pivoting; the
// pivots are chosen in a fixed order, so the result is the same on every
// machine (with -ffp-contract=off). Returns false, leaving b partly
// overwritten, when the matrix is numerically singular: a pivot at most
// 1e-13 of the largest entry.
bool solve_linear(std::vector<double> a, std::vector<double>& b, size_t n);

}  // namespace vordaopt::numerics

#endif  // VORDAOPT_CORE_NUMERICS_GAUSSIAN_ELIMINATION_H_
