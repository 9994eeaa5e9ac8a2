#include "gp/subset.h"

#include <algorithm>
#include <numeric>

namespace vordaopt::gp {

// At most `limit` of the n observations, in the order told: the best half
// of the limit by value, then points spread evenly over the others.
std::vector<size_t> subset(const std::vector<double>& values, size_t limit) {
  size_t n = values.size();
  std::vector<size_t> all(n);
  std::iota(all.begin(), all.end(), size_t{0});
  if (n <= limit) return all;
  std::vector<size_t> by_value = all;
  std::stable_sort(by_value.begin(), by_value.end(),
                   [&](size_t a, size_t b) { return values[a] < values[b]; });
  std::vector<char> taken(n, 0);
  for (size_t i = 0; i < limit / 2; ++i) taken[by_value[i]] = 1;
  std::vector<size_t> rest;
  for (size_t i = 0; i < n; ++i) {
    if (!taken[i]) rest.push_back(i);
  }
  size_t more = limit - limit / 2;
  for (size_t j = 0; j < more; ++j) taken[rest[j * rest.size() / more]] = 1;
  std::vector<size_t> chosen;
  for (size_t i = 0; i < n; ++i) {
    if (taken[i]) chosen.push_back(i);
  }
  return chosen;
}

// The points and values of `chosen`.
void gather(const std::vector<size_t>& chosen, size_t d, const std::vector<double>& points,
            const std::vector<double>& values, std::vector<double>& out_points,
            std::vector<double>& out_values) {
  out_points.clear();
  out_values.clear();
  for (size_t i : chosen) {
    out_points.insert(out_points.end(), points.begin() + static_cast<std::ptrdiff_t>(i * d),
                      points.begin() + static_cast<std::ptrdiff_t>((i + 1) * d));
    out_values.push_back(values[i]);
  }
}

}  // namespace vordaopt::gp
