// Landscape classification: decides once, from the observed values, whether
// the objective looks Structured (smooth enough for a simplex search) or
// Chaotic (better served by a model-based search).
#ifndef VORDAOPT_CORE_CLASSIFY_H_
#define VORDAOPT_CORE_CLASSIFY_H_

#include <utility>

#include "history.h"

namespace vordaopt {

enum class Landscape { kStructured = 0, kChaotic = 1 };

const char* landscape_name(Landscape landscape);  // "Structured" or "Chaotic"

struct Classification {
  Landscape landscape;
  double score;
};

// The interface through which the solver owns its classifier.
class Classify {
 public:
  virtual ~Classify() = default;
  // Reads only the values of `history`, in order; no side effect.
  virtual Classification classify(const History& history) const = 0;
};

// Compares the coefficient of variation of all values (the standard deviation
// itself when |mean| <= 1e-9) with a threshold: below is Structured; at or
// above, or NaN, is Chaotic. An empty history is Chaotic with score 1.0.
class VarianceClassifier final : public Classify {
 public:
  explicit VarianceClassifier(double threshold) : threshold_(threshold) {}
  Classification classify(const History& history) const override;
  double threshold() const { return threshold_; }

 private:
  double threshold_;
};

}  // namespace vordaopt

#endif  // VORDAOPT_CORE_CLASSIFY_H_
