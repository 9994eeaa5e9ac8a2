// Output warping: standardisation and a Yeo-Johnson power transform.
//
// Losses of real models are skewed (a few diverged runs far above the rest),
// which a stationary GP with Gaussian noise models badly. The values are
// standardised, transformed by the Yeo-Johnson power whose exponent makes
// them most normal (maximum likelihood), and standardised again. The
// transform is monotone, so the best value stays the best.
#ifndef VORDAOPT_CORE_GP_WARP_H_
#define VORDAOPT_CORE_GP_WARP_H_

#include <vector>

namespace vordaopt::gp {

// The Yeo-Johnson transform of y with exponent lambda.
double yeo_johnson(double y, double lambda);

struct Warped {
  std::vector<double> values;  // the transformed, standardised values
  double lambda = 1.0;         // the exponent chosen
};

// Warps `values` (finite). Fewer than 3 values, or values that are all equal,
// are only standardised (lambda 1; equal values become zeros).
Warped warp_values(const std::vector<double>& values);

}  // namespace vordaopt::gp

#endif  // VORDAOPT_CORE_GP_WARP_H_
