// The space as the search methods see it: one coordinate in [0, 1] per
// parameter, and what that coordinate stands for.
#ifndef VORDAOPT_CORE_NUMERICS_DIMS_H_
#define VORDAOPT_CORE_NUMERICS_DIMS_H_

#include <cstdint>

namespace vordaopt::numerics {

enum class DimKind { kContinuous, kInteger, kCategorical, kPeriodic };

struct Dim {
  DimKind kind = DimKind::kContinuous;
  uint32_t count = 0;  // values of an integer, choices of a categorical
};

// The index of the share of [0, 1] that holds t when it is cut into `count`
// equal shares (t = 1 belongs to the last). REQUIRES: count > 0.
double share(double t, uint32_t count);

// For integers and categories, the unit coordinate of the centre of the share
// that holds t (the value t stands for); other kinds return t.
double share_centre(const Dim& dim, double t);

}  // namespace vordaopt::numerics

#endif  // VORDAOPT_CORE_NUMERICS_DIMS_H_
