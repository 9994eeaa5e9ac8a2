// The Matérn-5/2 kernel over the unit cube, aware of each parameter's kind.
//
// Every parameter is searched as one coordinate t in [0, 1]. The kernel sees
// it through its kind:
// - continuous: t itself;
// - integer with c values: the centre of the share that holds t, so that all
//   points rounding to one integer are one point to the model;
// - categorical with c choices: the index of the share; two choices are at
//   distance 0 when equal and 1 otherwise;
// - periodic: t on a circle of circumference 1, at its chordal distance
//   sin(pi |dt|) / pi, the Euclidean distance of the circle embedded in the
//   plane, which keeps the kernel positive definite.
#ifndef VORDAOPT_CORE_GP_KERNEL_H_
#define VORDAOPT_CORE_GP_KERNEL_H_

#include <cstddef>
#include <cstdint>
#include <vector>

#include "numerics/dims.h"

namespace vordaopt::gp {

using numerics::Dim;
using numerics::DimKind;
using numerics::share;
using numerics::share_centre;

// The coordinate the kernel works with for `t` (see above).
double canonical(const Dim& dim, double t);

// The squared distance of two canonical coordinates of one dimension.
double squared_distance(const Dim& dim, double a, double b);

// Matérn-5/2 of r = sqrt(r2), without the signal variance:
// (1 + sqrt5 r + 5/3 r^2) exp(-sqrt5 r).
double matern52(double r2);
// Its derivative with respect to r2: -5/6 (1 + sqrt5 r) exp(-sqrt5 r).
double matern52_d_r2(double r2);
// Both, with one square root and one exponential: the same bits as the two.
void matern52_with_d_r2(double r2, double& value, double& d_r2);
// The same for `count` values at once, each with the bits of the functions
// above. REQUIRES: every r2 >= 0; the outputs do not overlap r2.
void matern52_many(const double* r2, size_t count, double* out);
void matern52_with_d_r2_many(const double* r2, size_t count, double* value, double* d_r2);

// The kernel's hyper-parameters, all on the log scale (the fit's variables).
struct Hyper {
  std::vector<double> log_length;  // one per dimension
  double log_signal = 0.0;         // log of the signal variance
  double log_noise = 0.0;          // log of the noise variance
};

}  // namespace vordaopt::gp

#endif  // VORDAOPT_CORE_GP_KERNEL_H_
