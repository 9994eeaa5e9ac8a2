#include <algorithm>
#include <cmath>
#include <functional>
#include <vector>

#include <gtest/gtest.h>

#include "local/trust_region.h"

namespace vordaopt::local {
namespace {

using Function = std::function<double(const std::vector<double>&)>;

// Runs the search for `budget` results; returns the best value.
double run(TrustRegion& search, const Function& f, size_t budget,
           std::vector<std::vector<double>>* points = nullptr) {
  double best = INFINITY;
  for (size_t i = 0; i < budget && !search.converged(); ++i) {
    std::vector<double> x = search.propose({});
    for (double v : x) EXPECT_TRUE(v >= 0.0 && v <= 1.0);
    double value = f(x);
    best = std::min(best, value);
    search.observe(x, value);
    if (points) points->push_back(x);
  }
  return best;
}

double ellipsoid(const std::vector<double>& x) {
  // Conditioning 1e3 along the coordinates, turned by 30 degrees in each
  // pair of coordinates, minimum 0 at 0.3.
  double s = 0.0, n = static_cast<double>(x.size());
  for (size_t i = 0; i + 1 < x.size(); i += 2) {
    double a = x[i] - 0.3, b = x[i + 1] - 0.3;
    double u = 0.8660254037844386 * a - 0.5 * b, v = 0.5 * a + 0.8660254037844386 * b;
    s += std::pow(1e3, static_cast<double>(i) / (n - 1)) * u * u +
         std::pow(1e3, static_cast<double>(i + 1) / (n - 1)) * v * v;
  }
  return s;
}

TEST(TrustRegion, FirstDesignIsTheStartThenOneStepAlongEachCoordinate) {
  TrustRegion search({0.5, 0.9, 0.1});
  std::vector<std::vector<double>> expected = {
      {0.5, 0.9, 0.1}, {0.7, 0.9, 0.1}, {0.5, 0.7, 0.1}, {0.5, 0.9, 0.30000000000000004}};
  for (const auto& want : expected) {
    std::vector<double> x = search.propose({});
    EXPECT_EQ(x, want);  // the step at 0.9 turns inwards
    search.observe(x, x[0] + x[1] + x[2]);
  }
}

TEST(TrustRegion, DescendsQuadraticsInTenDimensionsInFewEvaluations) {
  // The sphere: the least-curvature model is exact from 2d + 1 nearby
  // results and its steps land on the minimum. A rotated ellipsoid of
  // conditioning 1e3 (value 98 at the start) is only learnt in part, but
  // each step still descends.
  TrustRegion search(std::vector<double>(10, 0.5));
  EXPECT_LT(run(search, ellipsoid, 200), 0.1);
  TrustRegion sphere(std::vector<double>(10, 0.5));
  auto f = [](const std::vector<double>& x) {
    double s = 0.0;
    for (double v : x) s += (v - 0.3) * (v - 0.3);
    return s;
  };
  EXPECT_LT(run(sphere, f, 60), 1e-8);
}

TEST(TrustRegion, ASteepFunctionIsFollowedNotGivenUp) {
  // sum |8 (x_i - 0.3)|^(i + 2) in 20-D: 1e11 at the start and ever steeper
  // away from the minimum, so a quadratic through distant results is a poor
  // guide. Failed steps shrink the ball only once the model's points are
  // near it: halving on the advice of far points ended this search, converged,
  // at 1.9e3.
  auto steep = [](const std::vector<double>& x) {
    double s = 0.0;
    for (size_t i = 0; i < x.size(); ++i) s += std::pow(std::fabs(8.0 * (x[i] - 0.3)), i + 2.0);
    return s;
  };
  TrustRegion search(std::vector<double>(20, 0.5));
  EXPECT_LT(run(search, steep, 400), 1e-2);
  EXPECT_FALSE(search.converged());
}

TEST(TrustRegion, AMinimumOnAFaceIsReached) {
  TrustRegion search(std::vector<double>(4, 0.5));
  auto f = [](const std::vector<double>& x) {
    return (x[0] + 0.5) * (x[0] + 0.5) + (x[1] - 0.2) * (x[1] - 0.2) + x[2] + (1.0 - x[3]);
  };
  run(search, f, 200);
  std::vector<double> best = search.propose({});
  EXPECT_NEAR(f(best), 0.25, 1e-5);  // x = (0, 0.2, 0, 1)
}

TEST(TrustRegion, APlateauOrNoiseEndsInConvergenceNotALoop) {
  // Rounded values (an integer parameter's plateaus): the model finds no
  // decrease below one step and the radius collapses.
  TrustRegion plateau(std::vector<double>(3, 0.5));
  run(plateau, [](const std::vector<double>& x) { return std::round(8 * x[0]) + std::round(8 * x[1]); }, 2000);
  EXPECT_TRUE(plateau.converged());
  // A flat function: never a decrease.
  TrustRegion flat(std::vector<double>(5, 0.5));
  run(flat, [](const std::vector<double>&) { return 1.0; }, 2000);
  EXPECT_TRUE(flat.converged());
  EXPECT_LT(flat.size(), 500u);
}

TEST(TrustRegion, ObservingTheResultsAgainRebuildsTheState) {
  auto f = [](const std::vector<double>& x) {
    return ellipsoid(x) + 0.1 * std::sin(17.0 * x[0]);
  };
  TrustRegion first(std::vector<double>(6, 0.5));
  std::vector<std::vector<double>> points;
  run(first, f, 150, &points);
  TrustRegion again(std::vector<double>(6, 0.5));
  for (const auto& x : points) again.observe(x, f(x));
  EXPECT_EQ(again.radius(), first.radius());
  EXPECT_EQ(again.propose({}), first.propose({}));
}

TEST(TrustRegion, PendingPointsGetDistinctCompanions) {
  TrustRegion search(std::vector<double>(3, 0.5));
  std::vector<double> pending;
  std::vector<std::vector<double>> handed;
  for (int i = 0; i < 6; ++i) {  // more than the first design's four points
    std::vector<double> x = search.propose(pending);
    for (const auto& y : handed) EXPECT_NE(x, y);
    for (double v : x) EXPECT_TRUE(v >= 0.0 && v <= 1.0);
    handed.push_back(x);
    pending.insert(pending.end(), x.begin(), x.end());
  }
  // Results told in another order than handed out still build a model.
  std::reverse(handed.begin(), handed.end());
  for (const auto& x : handed) search.observe(x, ellipsoid({x[0], x[1]}) + x[2] * x[2]);
  EXPECT_EQ(search.size(), 6u);
  std::vector<double> next = search.propose({});
  for (const auto& y : handed) EXPECT_NE(next, y);
}

}  // namespace
}  // namespace vordaopt::local
