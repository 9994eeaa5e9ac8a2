// Eigen-decomposition of a small symmetric matrix by cyclic Jacobi rotations.
//
// Plain loops in a fixed order, so the result is the same bit for bit on
// every machine (with -ffp-contract=off). Jacobi is accurate to the smallest
// eigenvalues, which an ill-conditioned covariance matrix needs.
#ifndef VORDAOPT_CORE_NUMERICS_SYMMETRIC_EIGEN_H_
#define VORDAOPT_CORE_NUMERICS_SYMMETRIC_EIGEN_H_

#include <cstddef>
#include <vector>

namespace vordaopt::numerics {

// a: n x n symmetric, row-major. On return `values` holds the eigenvalues and
// the columns of `vectors` (n x n, row-major) the orthonormal eigenvectors:
// a = V diag(values) V^T. Returns false if the matrix holds a non-finite entry.
bool symmetric_eigen(const std::vector<double>& a, size_t n, std::vector<double>& values,
                     std::vector<double>& vectors);

}  // namespace vordaopt::numerics

#endif  // VORDAOPT_CORE_NUMERICS_SYMMETRIC_EIGEN_H_
