#include "classify.h"

#include <cmath>
#include <vector>

#include <gtest/gtest.h>

namespace vordaopt {
namespace {

Classification classify(const std::vector<double>& values) {
  History h;
  for (double v : values) h.append(EvalTrace{0, {}, v, 1.0});
  return VarianceClassifier(2.0).classify(h);
}

TEST(VarianceClassifier, StatedCases) {
  struct Row {
    std::vector<double> values;
    Landscape landscape;
    double score;
  };
  const Row rows[] = {
      {{}, Landscape::kChaotic, 1.0},
      {{5, 5, 5}, Landscape::kStructured, 0.0},
      {{1, 3}, Landscape::kStructured, 0.5},
      {{-1, -3}, Landscape::kStructured, 0.5},
      {{-1, 1}, Landscape::kStructured, 1.0},  // mean 0: the score is std
      {{0, 0, 0, 0, 0, 0, 0, 0, 0, 10}, Landscape::kChaotic, 3.0},
      {{0, 0, 0, 0, 5}, Landscape::kChaotic, 2.0},  // equal to the threshold
      {{1e-10, -1e-10}, Landscape::kStructured, 1e-10},
  };
  for (const Row& r : rows) {
    Classification c = classify(r.values);
    EXPECT_EQ(c.landscape, r.landscape) << r.values.size();
    EXPECT_EQ(c.score, r.score) << r.values.size();
  }
}

TEST(VarianceClassifier, NanScoreIsChaotic) {
  Classification c = classify({1e308, 1e308, -1e308});  // the sums overflow
  EXPECT_TRUE(std::isnan(c.score));
  EXPECT_EQ(c.landscape, Landscape::kChaotic);
  EXPECT_STREQ(landscape_name(Landscape::kStructured), "Structured");
  EXPECT_STREQ(landscape_name(Landscape::kChaotic), "Chaotic");
}

}  // namespace
}  // namespace vordaopt
