#include "classify.h"

#include <cmath>
#include <vector>

namespace vordaopt {

const char* landscape_name(Landscape landscape) {
  return landscape == Landscape::kStructured ? "Structured" : "Chaotic";
}

Classification VarianceClassifier::classify(const History& history) const {
  if (history.empty()) return {Landscape::kChaotic, 1.0};
  size_t n = history.size();
  std::vector<double> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = history.value(i);

  // Plain left-to-right sums: the score must be reproducible bit for bit.
  double sum = 0.0;
  for (double x : v) sum += x;
  double count = static_cast<double>(n);
  double mean = sum / count;
  double squares = 0.0;
  for (double x : v) {
    double d = x - mean;
    double square = d * d;
    squares += square;
  }
  double std_dev = std::sqrt(squares / count);
  double score = std::fabs(mean) > 1e-9 ? std_dev / std::fabs(mean) : std_dev;
  // A NaN score fails the comparison and is Chaotic.
  Landscape landscape = score < threshold_ ? Landscape::kStructured : Landscape::kChaotic;
  return {landscape, score};
}

}  // namespace vordaopt
