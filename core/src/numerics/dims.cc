#include "numerics/dims.h"

#include <cmath>

namespace vordaopt::numerics {

double share(double t, uint32_t count) {
  double c = static_cast<double>(count);
  double index = std::floor(t * c);
  if (index > c - 1.0) index = c - 1.0;  // t = 1 belongs to the last share
  if (index < 0.0) index = 0.0;
  return index;
}

double share_centre(const Dim& dim, double t) {
  if ((dim.kind != DimKind::kInteger && dim.kind != DimKind::kCategorical) || dim.count == 0) {
    return t;
  }
  return (share(t, dim.count) + 0.5) / static_cast<double>(dim.count);
}

}  // namespace vordaopt::numerics
