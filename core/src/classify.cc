#include "classify.h"

#include <cmath>
#include <vector>

#include "numeric.h"

namespace vordaopt {

const char* landscape_name(Landscape landscape) {
  return landscape == Landscape::kStructured ? "Structured" : "Chaotic";
}

Classification VarianceClassifier::classify(const History& history) const {
  if (history.empty()) return {Landscape::kChaotic, 1.0};
  size_t n = history.size();
  std::vector<double> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = history.value(i);

  auto [mean, std_dev] = population_moments(v);
  double score = std::fabs(mean) > 1e-9 ? std_dev / std::fabs(mean) : std_dev;
  // A NaN score fails the comparison and is Chaotic.
  Landscape landscape = score < threshold_ ? Landscape::kStructured : Landscape::kChaotic;
  return {landscape, score};
}

}  // namespace vordaopt
