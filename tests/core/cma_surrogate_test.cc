#include <cmath>
#include <functional>
#include <vector>

#include <gtest/gtest.h>

#include "cma/search.h"
#include "cma/surrogate.h"
#include "cma_drive.h"

namespace vordaopt::cma {
namespace {

// 3 coordinates: 1 + 3 + 6 = 10 coefficients for a full quadratic.
double bowl(const double* x) {
  return 2.0 + x[0] - 3.0 * x[2] + 4.0 * x[0] * x[0] + x[1] * x[1] + 0.5 * x[2] * x[2] +
         1.5 * x[0] * x[1] - 0.7 * x[1] * x[2];
}

void sample(size_t count, std::vector<double>& rows, std::vector<double>& values) {
  rows.clear();
  values.clear();
  for (size_t i = 0; i < count; ++i) {
    // A Kronecker sequence: spread over [-2, 2)^3, on no curve or plane.
    const double steps[3] = {std::sqrt(2.0), std::sqrt(3.0), std::sqrt(5.0)};
    double x[3];
    for (size_t k = 0; k < 3; ++k) x[k] = 4.0 * std::fmod(static_cast<double>(i + 1) * steps[k], 1.0) - 2.0;
    rows.insert(rows.end(), x, x + 3);
    values.push_back(bowl(x));
  }
}

TEST(QuadraticModel, TakesTheRichestShapeTheDataCarry) {
  std::vector<double> rows, values;
  // 1.2 results per coefficient: linear 4 -> 5 results, diagonal 7 -> 9, full 10 -> 12.
  struct Case {
    size_t count;
    std::optional<ModelShape> shape;
  };
  for (Case c : {Case{4, std::nullopt}, Case{5, ModelShape::kLinear}, Case{8, ModelShape::kLinear},
                 Case{9, ModelShape::kDiagonal}, Case{11, ModelShape::kDiagonal},
                 Case{12, ModelShape::kFull}}) {
    sample(c.count, rows, values);
    std::optional<QuadraticModel> model = QuadraticModel::fit(rows, values, 3, 1000);
    ASSERT_EQ(model.has_value(), c.shape.has_value()) << c.count;
    if (model) {
      EXPECT_EQ(model->shape(), *c.shape) << c.count;
    }
  }
  // A cap on the coefficients keeps the model diagonal.
  sample(40, rows, values);
  EXPECT_EQ(QuadraticModel::fit(rows, values, 3, 9)->shape(), ModelShape::kDiagonal);
  // Equal values rank nothing.
  EXPECT_FALSE(QuadraticModel::fit(rows, std::vector<double>(40, 3.0), 3, 1000));
}

TEST(QuadraticModel, AFullQuadraticIsRecoveredExactly) {
  std::vector<double> rows, values;
  sample(30, rows, values);
  std::optional<QuadraticModel> model = QuadraticModel::fit(rows, values, 3, 1000);
  ASSERT_TRUE(model);
  for (double x0 : {-3.0, 0.0, 0.4}) {
    double x[3] = {x0, 1.1, -2.5};
    EXPECT_NEAR(model->predict(x), bowl(x), 1e-6 * std::fabs(bowl(x)));
  }
}

TEST(QuadraticModel, KendallTauOfHandCheckedRankings) {
  EXPECT_DOUBLE_EQ(kendall_tau({1, 2, 3}, {10, 20, 30}), 1.0);
  EXPECT_DOUBLE_EQ(kendall_tau({1, 2, 3}, {3, 2, 1}), -1.0);
  // One swapped neighbour among 4: 5 concordant, 1 discordant, of 6 pairs.
  EXPECT_DOUBLE_EQ(kendall_tau({1, 2, 3, 4}, {1, 3, 2, 4}), 4.0 / 6.0);
  // A tie counts neither way.
  EXPECT_DOUBLE_EQ(kendall_tau({1, 1, 2}, {1, 2, 3}), 2.0 / 3.0);
  EXPECT_DOUBLE_EQ(kendall_tau({1}, {1}), 0.0);
}

double sphere(const std::vector<double>& x) {
  return (x[0] - 0.6) * (x[0] - 0.6) + (x[1] - 0.3) * (x[1] - 0.3) + (x[2] - 0.5) * (x[2] - 0.5);
}

// Conditioning 1e6 in 10 dimensions, rotated by a fixed pairwise mixing.
double rotated_ellipsoid(const std::vector<double>& x) {
  size_t n = x.size();
  double s = 0.0;
  for (size_t k = 0; k < n; ++k) {
    double a = x[k] - 0.35 - 0.03 * static_cast<double>(k);
    double b = x[(k + 1) % n] - 0.35 - 0.03 * static_cast<double>((k + 1) % n);
    double t = 0.8 * a + 0.6 * b;
    s += std::pow(1e6, static_cast<double>(k) / static_cast<double>(n - 1)) * t * t;
  }
  return s;
}

CmaSettings with_surrogate() {
  CmaSettings settings;
  settings.surrogate = true;
  return settings;
}

TEST(CmaSurrogate, LearnsAnIllConditionedBasinFromEveryResult) {
  std::vector<Dim> dims(10);
  CmaSearch plain(dims, 4);
  double plain_best = drive(plain, rotated_ellipsoid, 1000).best;
  CmaSearch search(dims, 4, with_surrogate());
  Trace run = drive(search, rotated_ellipsoid, 1000);
  const std::vector<std::vector<double>>& points = run.points;
  EXPECT_GT(plain_best, 1e-2);
  EXPECT_LT(run.best, 1e-8);
  // Most generations were ranked by the model: far more of them than 1000 / lambda.
  EXPECT_GT(search.generation() + search.restarts() * 1000, 3 * 1000 / search.population());

  // Deterministic, and rebuilt from the results alone, mid-generation too.
  CmaSearch again(dims, 4, with_surrogate());
  EXPECT_EQ(drive(again, rotated_ellipsoid, 1000).points, points);
  for (size_t stop : {size_t{137}, size_t{538}}) {
    CmaSearch rebuilt(dims, 4, with_surrogate());
    for (size_t i = 0; i < stop; ++i) rebuilt.observe(points[i], rotated_ellipsoid(points[i]));
    EXPECT_EQ(rebuilt.propose({}), points[stop]) << stop;
  }
}

TEST(CmaSurrogate, ACategoricalSpaceIsSearchedAsWithoutTheModel) {
  // The model sees Gaussian coordinates only, so a space with a categorical
  // parameter is searched as without it.
  std::vector<Dim> mixed = {Dim{}, Dim{DimKind::kCategorical, 3}, Dim{}};
  auto f = [](const std::vector<double>& x) {
    return (x[0] - 0.2) * (x[0] - 0.2) + std::floor(x[1] * 3.0) + (x[2] - 0.7) * (x[2] - 0.7);
  };
  CmaSearch with(mixed, 8, with_surrogate()), without(mixed, 8);
  EXPECT_EQ(drive(with, f, 300).points, drive(without, f, 300).points);
}

TEST(CmaSurrogate, ARoundGoesOutBestPredictedFirstAndEveryResultCounts) {
  std::vector<Dim> dims(3);
  CmaSearch search(dims, 6, with_surrogate());
  drive(search, sphere, 40);  // enough for a full quadratic (10 coefficients)
  // A parallel round hands out the whole generation, each point once, in the
  // model's order, which on a sphere is the order of the values; then extra
  // draws.
  size_t lambda = search.population();
  std::vector<double> pending, values;
  for (size_t i = 0; i < lambda + 2; ++i) {
    std::vector<double> x = search.propose(pending);
    for (size_t j = 0; j + 3 <= pending.size(); j += 3) {
      EXPECT_FALSE(std::equal(x.begin(), x.end(), pending.begin() + static_cast<long>(j))) << i;
    }
    pending.insert(pending.end(), x.begin(), x.end());
    values.push_back(sphere(x));
  }
  for (size_t i = 1; i < lambda; ++i) EXPECT_LE(values[i - 1], values[i] * (1.0 + 1e-9)) << i;
  // All results reach the search, though the model may end the generation
  // after the first: the later ones still train it.
  for (size_t i = 0; i < lambda + 2; ++i) {
    std::vector<double> x(pending.begin() + static_cast<long>(3 * i), pending.begin() + static_cast<long>(3 * i + 3));
    search.observe(x, values[i]);
  }
  EXPECT_LT(drive(search, sphere, 160).best, 1e-10);
}

TEST(CmaSurrogate, AParallelRoundIsToldInFullBeforeTheModelDecides) {
  // Rounds of 4 and generations of 8: with round_size 1 the model may end a
  // generation on a round's first result; with 4, never before its last.
  for (size_t round_size : {size_t{1}, size_t{4}}) {
    CmaSettings settings = with_surrogate();
    settings.round_size = round_size;
    settings.population = 8;
    CmaSearch search(std::vector<Dim>(3), 6, settings);
    size_t early = 0;
    for (size_t round = 0; round < 30; ++round) {
      std::vector<double> pending;
      for (size_t i = 0; i < 4; ++i) {
        std::vector<double> x = search.propose(pending);
        pending.insert(pending.end(), x.begin(), x.end());
      }
      size_t generation = search.generation() + 1000 * search.restarts();
      for (size_t i = 0; i < 4; ++i) {
        std::vector<double> x(pending.begin() + static_cast<long>(3 * i), pending.begin() + static_cast<long>(3 * i + 3));
        search.observe(x, sphere(x));
        if (i < 3 && search.generation() + 1000 * search.restarts() != generation) ++early;
      }
    }
    if (round_size == 1) {
      EXPECT_GT(early, 0u);
    } else {
      EXPECT_EQ(early, 0u);
    }
  }
}

}  // namespace
}  // namespace vordaopt::cma
