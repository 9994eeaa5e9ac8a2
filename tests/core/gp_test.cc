// The Gaussian-process pieces: linear algebra, kernel, posterior and fit
// objective, log EI, the box minimiser and the output warp.
#include <cmath>
#include <vector>

#include <gtest/gtest.h>

#include "gp/kernel.h"
#include "gp/lbfgsb.h"
#include "numerics/linalg.h"
#include "gp/log_ei.h"
#include "gp/model.h"
#include "gp/propose.h"
#include "gp/quadratic.h"
#include "gp/warp.h"

namespace vordaopt::gp {

using numerics::cholesky;
using numerics::inverse_cholesky;
using numerics::log_det_cholesky;
using numerics::solve_cholesky;

namespace {

TEST(GpLinalg, CholeskySolvesAndInvertsAKnownMatrix) {
  // The textbook matrix whose factor is integral: L = [[2,0,0],[6,1,0],[-8,5,3]].
  std::vector<double> a = {4, 12, -16, 12, 37, -43, -16, -43, 98};
  std::vector<double> l = a;
  ASSERT_TRUE(cholesky(l, 3));
  EXPECT_EQ(l, (std::vector<double>{2, 0, 0, 6, 1, 0, -8, 5, 3}));
  EXPECT_DOUBLE_EQ(log_det_cholesky(l, 3), 2.0 * std::log(6.0));
  std::vector<double> b = {1, 2, 3};
  solve_cholesky(l, 3, b);
  for (int i = 0; i < 3; ++i) {
    double row = a[i * 3] * b[0] + a[i * 3 + 1] * b[1] + a[i * 3 + 2] * b[2];
    EXPECT_NEAR(row, i + 1.0, 1e-9);
  }
  std::vector<double> inverse = inverse_cholesky(l, 3);
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) {
      double product = 0;
      for (int k = 0; k < 3; ++k) product += a[i * 3 + k] * inverse[k * 3 + j];
      EXPECT_NEAR(product, i == j ? 1.0 : 0.0, 1e-9);
    }
  }
  std::vector<double> indefinite = {1, 2, 2, 1};
  EXPECT_FALSE(cholesky(indefinite, 2));
}

TEST(GpKernel, MaternValuesAndKindsOfDistance) {
  EXPECT_EQ(matern52(0.0), 1.0);
  double s5 = std::sqrt(5.0);
  EXPECT_NEAR(matern52(1.0), (1 + s5 + 5.0 / 3.0) * std::exp(-s5), 1e-15);
  for (double r2 : {0.01, 0.3, 2.0, 9.0}) {
    double h = 1e-6 * r2;
    EXPECT_NEAR(matern52_d_r2(r2), (matern52(r2 + h) - matern52(r2 - h)) / (2 * h), 1e-7);
    double value, slope;
    matern52_with_d_r2(r2, value, slope);
    EXPECT_EQ(value, matern52(r2));
    EXPECT_EQ(slope, matern52_d_r2(r2));
  }
  // The batched forms give every value the scalar form's bits, through the
  // wide loop's body and its remainder, down to an exponential that underflows.
  std::vector<double> r2s;
  for (int i = 0; i < 37; ++i) r2s.push_back(i == 36 ? 1e6 : 0.37 * i * i);
  std::vector<double> values(r2s.size()), slopes(r2s.size()), alone(r2s.size());
  matern52_with_d_r2_many(r2s.data(), r2s.size(), values.data(), slopes.data());
  matern52_many(r2s.data(), r2s.size(), alone.data());
  for (size_t i = 0; i < r2s.size(); ++i) {
    ASSERT_EQ(values[i], matern52(r2s[i])) << r2s[i];
    ASSERT_EQ(alone[i], values[i]) << r2s[i];
    ASSERT_EQ(slopes[i], matern52_d_r2(r2s[i])) << r2s[i];
  }
  EXPECT_EQ(values.back(), 0.0);
  Dim integer{DimKind::kInteger, 3}, categorical{DimKind::kCategorical, 4},
      periodic{DimKind::kPeriodic, 0};
  EXPECT_EQ(canonical(integer, 0.1), 0.5 / 3.0);
  EXPECT_EQ(canonical(integer, 0.3), 0.5 / 3.0);  // same integer, same point
  EXPECT_EQ(canonical(integer, 1.0), 2.5 / 3.0);  // the top edge is the last integer
  EXPECT_EQ(canonical(categorical, 0.6), 2.0);
  EXPECT_EQ(squared_distance(categorical, 2.0, 2.0), 0.0);
  EXPECT_EQ(squared_distance(categorical, 0.0, 3.0), 1.0);
  // Across the seam of the circle as along it; the chord of half a turn is the diameter.
  EXPECT_NEAR(squared_distance(periodic, 0.05, 0.95), squared_distance(periodic, 0.05, 0.15),
              1e-15);
  EXPECT_NEAR(squared_distance(periodic, 0.0, 0.5), 1.0 / (M_PI * M_PI), 1e-15);
  EXPECT_EQ(canonical(periodic, 1.25), 0.25);
}

// Two points of one continuous dimension, at 0 and 1, with values 1 and -1:
// every quantity in closed form.
TEST(GpModel, TwoPointPosteriorAndObjectiveInClosedForm) {
  Model model({Dim{}}, {0.0, 1.0}, {1.0, -1.0});
  Hyper h;
  h.log_length = {0.0};
  h.log_signal = 0.0;
  h.log_noise = std::log(1e-4);
  ASSERT_TRUE(model.condition(h));
  double c = 1.0 + 1e-4;                     // the diagonal
  double k = matern52(1.0);                  // between the two points
  double det = c * c - k * k;
  double mean, var;
  model.predict(std::vector<double>{0.5}.data(), mean, var);
  double m = matern52(0.25);
  EXPECT_NEAR(mean, 0.0, 1e-15);             // antisymmetric data
  EXPECT_NEAR(var, 1.0 - 2 * m * m * (c - k) / det, 1e-12);
  model.predict(std::vector<double>{0.0}.data(), mean, var);
  // k* = (1, k); K (1, -1) = (c - k) (1, -1), so K^-1 y = (1, -1) / (c - k).
  EXPECT_NEAR(mean, (1.0 - k) / (c - k), 1e-12);

  // 1/2 y^T K^-1 y + 1/2 log det K + log(2 pi), then the priors.
  double expected = 0.5 * 2.0 / (c - k) + 0.5 * std::log(det) + std::log(2 * M_PI);
  double t = 0.0 - length_prior_mean(1);
  expected += 0.5 * t * t / 3.0;
  expected -= 2.0 * 0.0 - 1.0;                                // Gamma(2, 1) at log 1
  expected -= 1.1 * std::log(1e-4) - 30.0 * 1e-4;             // Gamma(1.1, 30)
  EXPECT_NEAR(model.objective(h, nullptr), expected, 1e-10);
}

TEST(GpModel, PredictManyGivesEachPointTheSameBitsWhateverItsCompany) {
  // 150 candidates span three blocks of the substitution; each one's mean and
  // variance must not depend on the block or on the other points.
  std::vector<Dim> dims = {Dim{}, Dim{DimKind::kPeriodic, 0}, Dim{DimKind::kInteger, 5}};
  std::vector<double> points, values;
  for (int i = 0; i < 40; ++i) {
    double a = std::fmod(0.618034 * i, 1.0), b = std::fmod(0.414214 * i, 1.0), c = (i % 5 + 0.5) / 5;
    points.insert(points.end(), {a, b, c});
    values.push_back(std::sin(6 * a) + std::cos(2 * M_PI * b) + c);
  }
  Model model(dims, points, values);
  model.fit();
  std::vector<double> candidates;
  for (int j = 0; j < 150; ++j) {
    candidates.insert(candidates.end(), {std::fmod(0.7548777 * j, 1.0), std::fmod(0.5698403 * j, 1.0),
                                         std::fmod(0.3333 * j, 1.0)});
  }
  std::vector<double> means, variances, one_mean, one_variance;
  model.predict_many(candidates.data(), 150, means, variances);
  for (size_t j = 0; j < 150; ++j) {
    model.predict_many(&candidates[j * 3], 1, one_mean, one_variance);
    ASSERT_EQ(means[j], one_mean[0]) << j;
    ASSERT_EQ(variances[j], one_variance[0]) << j;
  }
  // Means first, then the variances of a choice of columns of their kernel
  // rows, in another order: the same bits again.
  std::vector<double> rows, only_means;
  model.predict_means(candidates.data(), 150, only_means, &rows);
  EXPECT_EQ(only_means, means);
  std::vector<size_t> chosen = {149, 3, 77, 0, 64, 128, 5};
  std::vector<double> picked(model.size() * chosen.size()), picked_variances;
  for (size_t i = 0; i < model.size(); ++i) {
    for (size_t c = 0; c < chosen.size(); ++c) picked[i * chosen.size() + c] = rows[i * 150 + chosen[c]];
  }
  model.variances_from_rows(picked, chosen.size(), picked_variances);
  for (size_t c = 0; c < chosen.size(); ++c) ASSERT_EQ(picked_variances[c], variances[chosen[c]]) << c;
}

TEST(GpModel, GradientMatchesFiniteDifferencesForEveryKind) {
  std::vector<Dim> dims = {Dim{}, Dim{DimKind::kInteger, 5}, Dim{DimKind::kCategorical, 3},
                           Dim{DimKind::kPeriodic, 0}};
  std::vector<double> points, values;
  for (int i = 0; i < 9; ++i) {
    double u = std::fmod(0.61803398875 * (i + 1), 1.0);
    double v = std::fmod(0.41421356237 * (i + 3), 1.0);
    points.insert(points.end(), {u, v, std::fmod(u + v, 1.0), std::fmod(3 * u, 1.0)});
    values.push_back(std::sin(6 * u) + v * v - (i % 3 == 0 ? 0.5 : 0.0));
  }
  Model model(dims, points, values);
  Hyper h;
  h.log_length = {-0.7, 0.2, 0.5, -0.1};
  h.log_signal = 0.3;
  h.log_noise = -4.0;
  std::vector<double> gradient;
  double f0 = model.objective(h, &gradient);
  ASSERT_TRUE(std::isfinite(f0));
  ASSERT_EQ(gradient.size(), 6u);
  auto at = [&](size_t i, double delta) {
    Hyper moved = h;
    if (i < 4) moved.log_length[i] += delta;
    else if (i == 4) moved.log_signal += delta;
    else moved.log_noise += delta;
    return model.objective(moved, nullptr);
  };
  for (size_t i = 0; i < 6; ++i) {
    double numeric = (at(i, 1e-6) - at(i, -1e-6)) / 2e-6;
    EXPECT_NEAR(gradient[i], numeric, 1e-5 * std::max(1.0, std::fabs(numeric))) << i;
  }
}

TEST(GpModel, FitIsDeterministicAndFindsTheDimensionThatMatters) {
  std::vector<double> points, values;
  for (int i = 0; i < 30; ++i) {
    double u = std::fmod(0.7548776662 * (i + 1), 1.0), v = std::fmod(0.5698402910 * (i + 1), 1.0);
    points.insert(points.end(), {u, v});
    values.push_back(std::sin(5 * u));  // v plays no part
  }
  Model a({Dim{}, Dim{}}, points, warp_values(values).values);
  Model b({Dim{}, Dim{}}, points, warp_values(values).values);
  a.fit();
  b.fit();
  EXPECT_EQ(a.hyper().log_length, b.hyper().log_length);
  EXPECT_EQ(a.hyper().log_noise, b.hyper().log_noise);
  EXPECT_GT(a.hyper().log_length[1], a.hyper().log_length[0] + 1.0);
  // Between the data, the posterior follows the function.
  double mean, var;
  std::vector<double> x = {0.31, 0.5};
  a.predict(x.data(), mean, var);
  std::vector<double> warped = warp_values(values).values;
  double low = *std::min_element(warped.begin(), warped.end());
  double high = *std::max_element(warped.begin(), warped.end());
  EXPECT_GT(mean, low + 0.5 * (high - low));  // sin(1.55) is near the top
  EXPECT_LT(var, 0.05);
  // Many points at once give what one at a time gives, up to rounding.
  std::vector<double> grid = {0.1, 0.2, 0.31, 0.5, 0.77, 0.9, 0.0, 1.0};
  std::vector<double> means, variances;
  a.predict_many(grid.data(), 4, means, variances);
  for (size_t c = 0; c < 4; ++c) {
    double m1, v1;
    a.predict(&grid[c * 2], m1, v1);
    EXPECT_NEAR(means[c], m1, 1e-12);
    EXPECT_NEAR(variances[c], v1, 1e-12);
  }
}

TEST(GpModel, NoiseIsLearntAndAModelOnlyConditionedMatchesAFittedOneBitForBit) {
  // The same smooth function, exact and with noise of a fifth of its spread.
  std::vector<double> points, exact, noisy;
  uint64_t state = 7;
  for (int i = 0; i < 48; ++i) {
    double u = std::fmod(0.7548776662 * (i + 1), 1.0), v = std::fmod(0.5698402910 * (i + 1), 1.0);
    points.insert(points.end(), {u, v});
    exact.push_back(std::sin(3 * u) + v * v);
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    noisy.push_back(exact.back() + 0.2 * (static_cast<double>(state >> 11) * 0x1.0p-53 - 0.5) * 3.4);
  }
  std::vector<Dim> dims = {Dim{}, Dim{}};
  Model clean(dims, points, warp_values(exact).values);
  Model rough(dims, points, warp_values(noisy).values);
  clean.fit();
  rough.fit();
  EXPECT_LT(clean.hyper().log_noise, -8.0);  // at the floor, nearly
  EXPECT_GT(rough.hyper().log_noise, -4.0);  // a share of the variance
  // A model that is conditioned only (its pairs never tabulated) predicts
  // exactly what the fitted one does.
  Model copy(dims, points, warp_values(noisy).values);
  ASSERT_TRUE(copy.condition(rough.hyper()));
  std::vector<double> x = {0.3, 0.8, 0.55, 0.05};
  std::vector<double> m1, v1, m2, v2;
  rough.predict_many(x.data(), 2, m1, v1);
  copy.predict_many(x.data(), 2, m2, v2);
  EXPECT_EQ(m1, m2);
  EXPECT_EQ(v1, v2);
  // The fitted means at the data: the values' order where exact, smoothed
  // where noisy; fewer than three points give the values back.
  std::vector<double> means = fitted_means(dims, points, exact);
  ASSERT_EQ(means.size(), exact.size());
  size_t best_value = std::min_element(exact.begin(), exact.end()) - exact.begin();
  EXPECT_EQ(std::min_element(means.begin(), means.end()) - means.begin(),
            static_cast<std::ptrdiff_t>(best_value));
  std::vector<double> two = {1.5, -2.0};
  EXPECT_EQ(fitted_means(dims, {0.1, 0.2, 0.3, 0.4}, two), two);
}

// log h against extended precision, where the plain formula still works.
long double reference_h(long double z) {
  long double pdf = std::exp(-0.5L * z * z) / std::sqrt(2.0L * 3.14159265358979323846L);
  long double cdf = 0.5L * std::erfc(-z / std::sqrt(2.0L));
  return pdf + z * cdf;
}

TEST(GpLogEi, LogHIsAccurateInEveryRegimeAndContinuousAtItsSeams) {
  for (double z : {3.0, 0.5, 0.0, -0.999, -1.0, -1.5, -3.0, -8.0, -15.0}) {
    EXPECT_NEAR(log_h(z), static_cast<double>(std::log(reference_h(z))), 1e-9) << z;
  }
  // Where h underflows in double, log h goes on: -z^2/2 - log sqrt(2 pi) - 2 log|z|, nearly.
  for (double z : {-40.0, -1e3, -1e8, -1e150}) {
    double asymptote = -0.5 * z * z - 0.5 * std::log(2 * M_PI) - 2.0 * std::log(-z);
    EXPECT_TRUE(std::isfinite(log_h(z)));
    EXPECT_NEAR(log_h(z), asymptote, 3.0 / (z * z) * std::fabs(asymptote) + 1e-9) << z;
  }
  for (double seam : {-1.0, -37.0}) {
    double below = log_h(std::nextafter(seam, -INFINITY)), above = log_h(std::nextafter(seam, 0.0));
    EXPECT_NEAR(below, above, 1e-10 * std::fabs(above)) << seam;
  }
  double previous = -INFINITY;
  for (double z = -60.0; z < 6.0; z += 0.173) {
    EXPECT_GT(log_h(z), previous);
    previous = log_h(z);
    double numeric = (log_h(z + 1e-6) - log_h(z - 1e-6)) / 2e-6;
    EXPECT_NEAR(d_log_h(z), numeric, 1e-5 * std::max(1.0, std::fabs(numeric))) << z;
  }
  EXPECT_EQ(erfcx(0.0), 1.0);
  EXPECT_NEAR(erfcx(std::nextafter(26.0, 0.0)), erfcx(26.0), 1e-14);
  EXPECT_NEAR(log_expected_improvement(0.0, 1.0, 0.0), std::log(1 / std::sqrt(2 * M_PI)), 1e-15);
  EXPECT_EQ(log_expected_improvement(1.0, 0.0, 3.0), std::log(2.0));
  EXPECT_EQ(log_expected_improvement(3.0, 0.0, 1.0), -INFINITY);
}

TEST(GpBoxMinimiser, FindsInteriorAndBoundOptima) {
  auto rosenbrock = [](const std::vector<double>& x, std::vector<double>& g) {
    double a = 1 - x[0], b = x[1] - x[0] * x[0];
    g = {-2 * a - 400 * x[0] * b, 200 * b};
    return a * a + 100 * b * b;
  };
  BoxSettings tight;
  tight.max_iterations = 500;
  tight.pgtol = 1e-9;
  tight.ftol = 0;
  BoxResult free = minimize_in_box(rosenbrock, {-1.2, 1.0}, {-2, -2}, {2, 2}, tight);
  EXPECT_NEAR(free.x[0], 1.0, 1e-5);
  EXPECT_NEAR(free.x[1], 1.0, 1e-5);
  // With x <= 0.5 the optimum sits on the bound, at y = x^2.
  BoxResult bound = minimize_in_box(rosenbrock, {-1.2, 1.0}, {-2, -2}, {0.5, 2}, tight);
  EXPECT_EQ(bound.x[0], 0.5);
  EXPECT_NEAR(bound.x[1], 0.25, 1e-6);
  // A start outside the box is moved in; the same start gives the same result.
  BoxResult again = minimize_in_box(rosenbrock, {-9, 9}, {-2, -2}, {0.5, 2}, tight);
  EXPECT_EQ(again.x, minimize_in_box(rosenbrock, {-9, 9}, {-2, -2}, {0.5, 2}, tight).x);
}

TEST(GpWarp, YeoJohnsonValuesAndChoiceOfExponent) {
  EXPECT_NEAR(yeo_johnson(1.0, 0.5), (std::sqrt(2.0) - 1) / 0.5, 1e-15);
  EXPECT_NEAR(yeo_johnson(-1.0, 0.5), -(std::pow(2.0, 1.5) - 1) / 1.5, 1e-15);
  EXPECT_EQ(yeo_johnson(3.0, 0.0), std::log1p(3.0));
  EXPECT_EQ(yeo_johnson(-3.0, 2.0), -std::log1p(3.0));
  EXPECT_EQ(yeo_johnson(2.5, 1.0), 2.5);  // exponent 1: the identity
  // Symmetric values need no transform; a heavy right tail is pulled in.
  std::vector<double> symmetric = {-2, -1, -0.5, 0, 0.5, 1, 2};
  EXPECT_NEAR(warp_values(symmetric).lambda, 1.0, 0.05);
  std::vector<double> skewed = {0.1, 0.2, 0.15, 0.3, 0.12, 0.25, 40.0, 0.18};
  Warped w = warp_values(skewed);
  EXPECT_LT(w.lambda, 0.5);
  for (size_t i = 0; i < skewed.size(); ++i) {
    for (size_t j = 0; j < skewed.size(); ++j) {
      EXPECT_EQ(skewed[i] < skewed[j], w.values[i] < w.values[j]);  // order kept
    }
  }
  EXPECT_EQ(warp_values({3.0, 3.0, 3.0}).values, (std::vector<double>{0, 0, 0}));
}

}  // namespace
}  // namespace vordaopt::gp

namespace vordaopt::gp {
namespace {

double sphere(const std::vector<double>& x) {
  double s = 0;
  for (size_t k = 0; k < x.size(); ++k) s += (x[k] - 0.3 - 0.1 * k) * (x[k] - 0.3 - 0.1 * k);
  return s;
}

// Runs the method for `budget` evaluations of f; returns the best value.
double run(const std::vector<Dim>& dims, double (*f)(const std::vector<double>&), size_t budget,
           uint64_t seed, std::vector<std::vector<double>>* proposals = nullptr) {
  std::vector<double> points, values;
  double best = INFINITY;
  for (size_t i = 0; i < budget; ++i) {
    std::vector<double> x = propose(dims, points, values, {}, seed);
    if (proposals) proposals->push_back(x);
    points.insert(points.end(), x.begin(), x.end());
    values.push_back(f(x));
    best = std::min(best, values.back());
  }
  return best;
}

TEST(GpPropose, StartsWithTheLatticeThenConvergesOnASmoothBasin) {
  std::vector<Dim> dims(2);
  std::vector<std::vector<double>> proposals;
  double best = run(dims, sphere, 30, 7, &proposals);
  EXPECT_LT(best, 1e-12);  // the local quadratic model finishes the basin
  // The start-up design: lattice points 0, 1, 2 of the seed's probe; a
  // pending point moves it on by one.
  EXPECT_EQ(proposals[1], propose(dims, proposals[0], {sphere(proposals[0])}, {}, 7));
  EXPECT_EQ(propose(dims, {}, {}, proposals[0], 7), proposals[1]);
  // A proposal is a function of its inputs alone.
  std::vector<std::vector<double>> again;
  run(dims, sphere, 30, 7, &again);
  EXPECT_EQ(again, proposals);
}

double mixed(const std::vector<double>& x) {
  // x0 continuous, x1 an integer of 7 values, x2 one of 3 choices, x3 periodic.
  double integer = std::floor(x[1] * 7);
  double choice = std::floor(x[2] * 3);
  return (x[0] - 0.6) * (x[0] - 0.6) + (integer - 4) * (integer - 4) * 0.1 +
         (choice == 1 ? 0.0 : 0.5) + (1 - std::cos(2 * M_PI * (x[3] - 0.05)));
}

TEST(GpPropose, DiscreteCoordinatesSitAtTheirValuesAndPendingPointsAreAvoided) {
  std::vector<Dim> dims = {Dim{}, Dim{DimKind::kInteger, 7}, Dim{DimKind::kCategorical, 3},
                           Dim{DimKind::kPeriodic, 0}};
  std::vector<std::vector<double>> proposals;
  double best = run(dims, mixed, 40, 3, &proposals);
  EXPECT_LT(best, 0.05);
  for (size_t i = 5; i < proposals.size(); ++i) {  // after the start-up lattice
    EXPECT_EQ(proposals[i][1], canonical(dims[1], proposals[i][1])) << i;  // a share's centre
    EXPECT_EQ(proposals[i][2], share_centre(dims[2], proposals[i][2])) << i;
  }
  std::vector<double> points, values;
  for (const auto& p : proposals) {
    points.insert(points.end(), p.begin(), p.end());
    values.push_back(mixed(p));
  }
  std::vector<double> next = propose(dims, points, values, {}, 3);
  std::vector<double> beside = propose(dims, points, values, next, 3);
  bool same = true;
  for (size_t k = 0; k < dims.size(); ++k) same = same && canonical(dims[k], next[k]) == canonical(dims[k], beside[k]);
  EXPECT_FALSE(same);
}

}  // namespace
}  // namespace vordaopt::gp

namespace vordaopt::gp {
namespace {

TEST(GpPropose, AFiniteSpaceIsCoveredBeforeAnyConfigurationRepeats) {
  // Every proposal is a new configuration until all are taken: 3 x 4 x 2 = 24
  // of mixed kinds, and the 16 corners of four bits, where two points of the
  // start-up lattice fall on one corner (seed 1).
  std::vector<std::vector<Dim>> spaces = {
      {Dim{DimKind::kInteger, 3}, Dim{DimKind::kCategorical, 4}, Dim{DimKind::kInteger, 2}},
      std::vector<Dim>(4, Dim{DimKind::kInteger, 2})};
  for (uint64_t seed : {1u, 11u}) {
    for (const std::vector<Dim>& dims : spaces) {
      size_t size = 1;
      for (const Dim& dim : dims) size *= dim.count;
      std::vector<double> points, values;
      std::vector<std::vector<int>> seen;
      for (size_t t = 0; t < size; ++t) {
        std::vector<double> x = propose(dims, points, values, {}, seed);
        std::vector<int> config;
        for (size_t k = 0; k < dims.size(); ++k) config.push_back(static_cast<int>(x[k] * dims[k].count));
        for (const auto& other : seen) ASSERT_NE(config, other) << "seed " << seed << ", trial " << t;
        seen.push_back(config);
        points.insert(points.end(), x.begin(), x.end());
        double value = 0.0;
        for (size_t k = 0; k < config.size(); ++k) value += (k + 1) * config[k];
        values.push_back(value);
      }
    }
  }
}

TEST(GpPropose, BoundedScreeningProposesWhatScoringEveryCandidateProposes) {
  // Continuous, mixed and small finite spaces (where the searched candidates
  // are often all taken and the unscored rest is needed), noisy or not, with
  // pending points.
  ProposeSettings full;
  full.bound_screening = false;
  for (uint64_t trial = 0; trial < 40; ++trial) {
    std::vector<Dim> dims;
    size_t d = 1 + trial % 5;
    for (size_t k = 0; k < d; ++k) {
      switch ((trial + k) % 4) {
        case 1: dims.push_back(Dim{DimKind::kInteger, static_cast<uint32_t>(2 + k)}); break;
        case 2: dims.push_back(Dim{DimKind::kCategorical, static_cast<uint32_t>(2 + k % 2)}); break;
        case 3: dims.push_back(trial % 2 ? Dim{DimKind::kInteger, 3} : Dim{DimKind::kPeriodic, 0}); break;
        default: dims.push_back(Dim{}); break;
      }
    }
    size_t n = 4 + (trial * 7) % 60, m = trial % 3;
    std::vector<double> points, values, pending;
    for (size_t i = 0; i < n; ++i) {
      double value = 0.0;
      for (size_t k = 0; k < d; ++k) {
        double x = std::fmod(0.7548776662 * static_cast<double>((k + 1) * (i + trial) + 1), 1.0);
        points.push_back(x);
        value += static_cast<double>(k + 1) * (x - 0.3) * (x - 0.3);
      }
      values.push_back(value + (trial % 2 ? 0.01 * std::sin(97.0 * static_cast<double>(i)) : 0.0));
    }
    for (size_t j = 0; j < m * d; ++j) pending.push_back(std::fmod(0.5698402910 * static_cast<double>(j + trial), 1.0));
    ASSERT_EQ(propose(dims, points, values, pending, trial),
              propose(dims, points, values, pending, trial, full))
        << "trial " << trial;
  }
}

TEST(GpPropose, ConstraintsHoldTheSearchAtTheEdgeOfTheFeasibleRegion) {
  // Minimise -x0 - x1 where x0 + x1 <= 0.8: the optimum lies on the line
  // x0 + x1 = 0.8, beyond which every point is infeasible. Unconstrained, the
  // search heads for (1, 1).
  std::vector<Dim> dims(2);
  Constraints constraints{1, {}};
  std::vector<double> points, values;
  int feasible_late = 0;
  for (int t = 0; t < 24; ++t) {
    std::vector<double> x = propose(dims, points, values, {}, 3, {}, constraints);
    double margin = x[0] + x[1] - 0.8;
    if (t >= 12) {
      feasible_late += margin <= 0.02;
      EXPECT_GT(x[0] + x[1], 0.5) << "trial " << t;  // near the edge, not timid
    }
    points.insert(points.end(), x.begin(), x.end());
    values.push_back(-x[0] - x[1]);
    constraints.margins.push_back(margin);
  }
  EXPECT_GE(feasible_late, 10);
  // Without any feasible point the search looks for one.
  Constraints none{1, {}};
  std::vector<double> far = {0.9, 0.9, 1.0, 0.8, 0.8, 1.0, 0.95, 0.85};
  for (size_t i = 0; i < far.size() / 2; ++i) none.margins.push_back(far[2 * i] + far[2 * i + 1] - 0.8);
  std::vector<double> x = propose(dims, far, {-1.8, -1.8, -1.8, -1.8}, {}, 3, {}, none);
  EXPECT_LT(x[0] + x[1], 1.6);
}

TEST(GpLogEi, LogCdfIsAccurateFarIntoItsTail) {
  EXPECT_DOUBLE_EQ(log_cdf(0.0), std::log(0.5));
  EXPECT_NEAR(log_cdf(-10.0), -53.23128515051247, 1e-11);  // log(7.619853024160527e-24)
  EXPECT_NEAR(log_cdf(-40.0), -804.6084420137538, 1e-9);
  EXPECT_NEAR(log_cdf(3.0), std::log(0.9986501019683699), 1e-15);
  EXPECT_DOUBLE_EQ(d_log_cdf(0.0), 0.7978845608028654);  // phi(0) / (1 / 2)
  for (double z : {-30.0, -2.0, -1.0, 0.5}) {
    double h = 1e-6 * std::max(1.0, std::fabs(z));
    EXPECT_NEAR(d_log_cdf(z), (log_cdf(z + h) - log_cdf(z - h)) / (2.0 * h),
                1e-6 * std::max(1.0, std::fabs(z))) << z;
  }
}

// Points around the minimum of a quadratic whose curvatures span six orders
// of magnitude: the step lands on the minimum to rounding, and says its fit
// is exact.
TEST(GpQuadratic, AnIllConditionedQuadraticIsSolvedInOneStep) {
  size_t d = 5;
  std::vector<double> optimum = {0.5, 0.45, 0.55, 0.52, 0.48};
  const double slopes[] = {std::sqrt(2.0), std::sqrt(3.0), std::sqrt(5.0), std::sqrt(7.0),
                           std::sqrt(11.0)};
  std::vector<double> points, values;
  for (int i = 0; i < 40; ++i) {
    double value = 0.0;
    for (size_t k = 0; k < d; ++k) {
      double x = 0.3 + 0.4 * std::fmod(slopes[k] * (i + 1), 1.0);
      points.push_back(x);
      value += std::pow(10.0, 1.5 * k) * (x - optimum[k]) * (x - optimum[k]);
    }
    values.push_back(value);
  }
  auto step = quadratic_step(points, values, d, {0, 1, 2, 3, 4});
  ASSERT_TRUE(step.has_value());
  EXPECT_NEAR(step->fit, 1.0, 1e-12);
  for (size_t k = 0; k < d; ++k) EXPECT_NEAR(step->x[k], optimum[k], 1e-9) << k;
  // Too few points for a full quadratic: no step.
  std::vector<double> few(points.begin(), points.begin() + 20 * d), few_values(values.begin(), values.begin() + 20);
  EXPECT_FALSE(quadratic_step(few, few_values, d, {0, 1, 2, 3, 4}).has_value());
}

}  // namespace
}  // namespace vordaopt::gp
