// Which observations a model is fitted and conditioned on, when there are
// more than it takes.
#ifndef VORDAOPT_CORE_GP_SUBSET_H_
#define VORDAOPT_CORE_GP_SUBSET_H_

#include <cstddef>
#include <vector>

namespace vordaopt::gp {

// At most `limit` of the n observations, in the order told: the best half
// of the limit by value, then points spread evenly over the others.
std::vector<size_t> subset(const std::vector<double>& values, size_t limit);

// The points (d coordinates each) and values of `chosen`.
void gather(const std::vector<size_t>& chosen, size_t d, const std::vector<double>& points,
            const std::vector<double>& values, std::vector<double>& out_points,
            std::vector<double>& out_values);

}  // namespace vordaopt::gp

#endif  // VORDAOPT_CORE_GP_SUBSET_H_
