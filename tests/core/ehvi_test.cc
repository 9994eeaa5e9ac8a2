// Expected hypervolume improvement of two objectives, and the proposal built on it.
#include <cmath>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "gp/ehvi.h"
#include "pareto/hypervolume.h"

namespace vordaopt::gp {
namespace {

// (0.5, 0.55) is dominated by (0.4, 0.5); (0.3, 0.6) is there twice; (1.2,
// 0.0) lies beyond the reference.
Front2 example_front() {
  return front_of({0.1, 0.4, 0.3, 0.8, 0.5, 0.3, 1.2}, {0.9, 0.5, 0.6, 0.1, 0.55, 0.6, 0.0}, 1.0,
                  1.0);
}

// The area a point adds to the front, strip by strip (ehvi.h).
double improvement(const Front2& front, double y1, double y2) {
  double area = 0.0, previous = -INFINITY;
  for (size_t i = 0; i <= front.first.size(); ++i) {
    double a = i < front.first.size() ? front.first[i] : front.reference_first;
    double b = i == 0 ? front.reference_second : front.second[i - 1];
    double width = a - std::max(previous, y1), height = b - y2;
    if (width > 0 && height > 0) area += width * height;
    previous = a;
  }
  return area;
}

TEST(Ehvi, TheFrontIsSortedWithoutDominatedTiedOrOutlyingPoints) {
  Front2 front = example_front();
  EXPECT_EQ(front.first, (std::vector<double>{0.1, 0.3, 0.4, 0.8}));
  EXPECT_EQ(front.second, (std::vector<double>{0.9, 0.6, 0.5, 0.1}));
}

TEST(Ehvi, ClosedFormMatchesTheAreaAddedAndItsExpectation) {
  Front2 front = example_front();
  // A certain point: the area it adds, by hand 0.1 x 0.7 + 0.1 x 0.4 + 0.4 x 0.3.
  EXPECT_NEAR(std::exp(log_ehvi(front, 0.2, 0.0, 0.2, 0.0)), 0.23, 1e-15);
  EXPECT_EQ(log_ehvi(front, 0.5, 0.0, 0.7, 0.0), -INFINITY);  // dominated
  // Uncertain points: the mean area over 400,000 draws, within four of its standard errors.
  std::mt19937_64 rng(5);
  std::normal_distribution<double> normal;
  const double beliefs[][4] = {{0.3, 0.2, 0.3, 0.2}, {0.6, 0.05, 0.3, 0.1}, {0.0, 0.5, 0.0, 0.5}};
  for (const auto& b : beliefs) {
    double sum = 0.0, squares = 0.0;
    const int draws = 400000;
    for (int t = 0; t < draws; ++t) {
      double area = improvement(front, b[0] + b[1] * normal(rng), b[2] + b[3] * normal(rng));
      sum += area;
      squares += area * area;
    }
    double mean = sum / draws, error = std::sqrt((squares / draws - mean * mean) / draws);
    EXPECT_NEAR(std::exp(log_ehvi(front, b[0], b[1], b[2], b[3])), mean, 4 * error) << b[0];
  }
  // Far beyond the reference EHVI underflows; its logarithm does not.
  double far = log_ehvi(front, 40.0, 1.0, 40.0, 1.0);
  EXPECT_TRUE(std::isfinite(far));
  EXPECT_LT(far, log_ehvi(front, 20.0, 1.0, 20.0, 1.0));
}

TEST(Ehvi, ThreeObjectivesMatchTheHypervolumeAddedAndItsExpectation) {
  // Eight points (one dominated, one beyond the reference), reference (1, 1, 1).
  std::vector<double> f1 = {0.1, 0.5, 0.3, 0.7, 0.2, 0.6, 0.4, 1.3};
  std::vector<double> f2 = {0.8, 0.2, 0.5, 0.4, 0.6, 0.3, 0.7, 0.0};
  std::vector<double> f3 = {0.4, 0.6, 0.3, 0.1, 0.9, 0.7, 0.5, 0.0};
  const double reference[3] = {1.0, 1.0, 1.0};
  Front3 front = front3_of(f1, f2, f3, reference);
  std::vector<double> flat;
  for (size_t i = 0; i + 1 < f1.size(); ++i) flat.insert(flat.end(), {f1[i], f2[i], f3[i]});
  std::vector<double> box(reference, reference + 3);
  double before = pareto::hypervolume(flat, 3, box);
  auto added = [&](double y1, double y2, double y3) {
    std::vector<double> more = flat;
    more.insert(more.end(), {std::min(y1, 1.0), std::min(y2, 1.0), std::min(y3, 1.0)});
    return pareto::hypervolume(more, 3, box) - before;
  };
  const double certain[][3] = {{0.25, 0.35, 0.2}, {0.05, 0.9, 0.95}, {0.45, 0.45, 0.45}};
  for (const auto& y : certain) {
    const double zero[3] = {0.0, 0.0, 0.0};
    EXPECT_NEAR(std::exp(log_ehvi3(front, y, zero)), added(y[0], y[1], y[2]), 1e-14) << y[0];
  }
  std::mt19937_64 rng(6);
  std::normal_distribution<double> normal;
  const double mean[3] = {0.3, 0.3, 0.3}, sd[3] = {0.15, 0.2, 0.1};
  double sum = 0.0, squares = 0.0;
  const int draws = 100000;
  for (int t = 0; t < draws; ++t) {
    double area = added(mean[0] + sd[0] * normal(rng), mean[1] + sd[1] * normal(rng),
                        mean[2] + sd[2] * normal(rng));
    sum += area;
    squares += area * area;
  }
  double expected = sum / draws, error = std::sqrt((squares / draws - expected * expected) / draws);
  EXPECT_NEAR(std::exp(log_ehvi3(front, mean, sd)), expected, 4 * error);
}

TEST(Ehvi, ProposalsFollowTheFrontAndAreAFunctionOfTheirInputs) {
  // f1 = x0, f2 = 1 - x0 + 4 (x1 - 0.3)^2: the front is the line x1 = 0.3.
  std::vector<Dim> dims(2);
  std::vector<double> points, values;
  int near_front = 0;
  for (int t = 0; t < 18; ++t) {
    std::vector<double> x = propose_ehvi(dims, points, values, 2, {}, 4);
    ASSERT_EQ(x, propose_ehvi(dims, points, values, 2, {}, 4));
    if (t >= 8) near_front += std::fabs(x[1] - 0.3) < 0.05;
    points.insert(points.end(), x.begin(), x.end());
    values.push_back(x[0]);
    values.push_back(1.0 - x[0] + 4.0 * (x[1] - 0.3) * (x[1] - 0.3));
  }
  EXPECT_GE(near_front, 7);
  // A pending point moves the next proposal elsewhere.
  std::vector<double> next = propose_ehvi(dims, points, values, 2, {}, 4);
  EXPECT_NE(propose_ehvi(dims, points, values, 2, next, 4), next);
}

}  // namespace
}  // namespace vordaopt::gp
