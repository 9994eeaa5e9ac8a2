#include "strategies/strategy.h"

#include <algorithm>
#include <cmath>

#include "float_text.h"
#include "internal_error.h"

namespace vordaopt {

std::vector<std::string> sorted_names(const NamedMap<Domain>& bounds) {
  std::vector<std::string> names;
  names.reserve(bounds.size());
  for (const auto& entry : bounds) names.push_back(entry.first);  // kept sorted
  return names;
}

PointReader::PointReader(const History& history, const std::vector<std::string>& names)
    : history_(history) {
  ids_.reserve(names.size());
  for (const std::string& name : names) ids_.push_back(history.name_id(name));
}

Point PointReader::point(size_t i) const {
  Point p(ids_.size());
  for (size_t d = 0; d < ids_.size(); ++d) p[d] = history_.param(i, ids_[d]);
  return p;
}

ParamMap vec_to_dict(const Point& values, const std::vector<std::string>& names) {
  ParamMap map;
  size_t n = std::min(values.size(), names.size());
  map.reserve(n);
  for (size_t i = 0; i < n; ++i) map.insert_or_assign(names[i], values[i]);
  return map;
}

void clamp_to_bounds(Point& values, const NamedMap<Domain>& bounds,
                     const std::vector<std::string>& names) {
  size_t n = std::min(values.size(), names.size());
  for (size_t i = 0; i < n; ++i) {
    const Domain* d = bounds.find(names[i]);
    if (!d) continue;
    if (d->scale == Scale::kPeriodic) {
      values[i] = wrap(values[i]);
      continue;
    }
    if (!(d->min <= d->max)) throw InternalError(reversed_range_message(d->min, d->max));
    if (values[i] < d->min) values[i] = d->min;
    if (values[i] > d->max) values[i] = d->max;
  }
}

double wrap(double x) {
  double w = x - std::trunc(x);
  return w < 0.0 ? w + 1.0 : w;
}

double shortest_difference(double d) { return wrap(d + 0.5) - 0.5; }

double weighted_move(double a, double c, double d, bool periodic) {
  if (!periodic) {
    double product = c * d;
    return a + product;
  }
  double product = c * shortest_difference(d);
  return wrap(a + product);
}

}  // namespace vordaopt
