// A local quadratic model around the incumbent, for polishing smooth basins.
//
// A GP with a noise floor resolves a basin only to a fraction of the spread
// of the values; near a smooth minimum a quadratic fitted to the nearest
// points (as trust-region methods such as Powell's NEWUOA do) locates it to
// high precision in a few steps. Its minimiser, kept inside the region the
// points span, is offered to the acquisition as one more candidate.
#ifndef VORDAOPT_CORE_GP_QUADRATIC_H_
#define VORDAOPT_CORE_GP_QUADRATIC_H_

#include <cstddef>
#include <optional>
#include <vector>

namespace vordaopt::gp {

struct QuadraticStep {
  std::vector<double> x;  // the model's minimiser, in the unit cube
  double fit = 0.0;       // the share of the local variation the model explains (R^2)
};

// points: n x d unit coordinates (row-major); values: n raw values to
// minimise; `smooth`: the coordinates the model varies (others keep the
// incumbent's values). Returns the minimiser of a least-squares quadratic
// through the points nearest the incumbent, or nothing when there are too
// few points or the model has no minimum.
std::optional<QuadraticStep> quadratic_step(const std::vector<double>& points,
                                            const std::vector<double>& values, size_t d,
                                            const std::vector<size_t>& smooth);

}  // namespace vordaopt::gp

#endif  // VORDAOPT_CORE_GP_QUADRATIC_H_
