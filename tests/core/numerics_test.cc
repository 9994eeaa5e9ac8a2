#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "numerics/dims.h"
#include "numerics/exp_nonpositive.h"
#include "numerics/gaussian_elimination.h"

namespace vordaopt::numerics {
namespace {

TEST(ExpNonpositive, WithinItsBoundOfTheLibraryAndExactWhereItMustBe) {
  // Dense over the range, across the points where k changes (multiples of
  // ln 2 / 2), and at the edge of the normal range.
  double worst = 0.0;
  for (int i = 0; i <= 200000; ++i) {
    double a = -708.0 * i / 200000.0;
    worst = std::max(worst, std::fabs(exp_nonpositive(a) - std::exp(a)) / std::exp(a));
  }
  for (int j = 1; j < 2000; ++j) {
    double a = -0.34657359027997264 * j;
    for (double at : {std::nextafter(a, 0.0), a, std::nextafter(a, -1.0)}) {
      worst = std::max(worst, std::fabs(exp_nonpositive(at) - std::exp(at)) / std::exp(at));
    }
  }
  EXPECT_LT(worst, 1e-14);
  EXPECT_EQ(exp_nonpositive(0.0), 1.0);
  EXPECT_EQ(exp_nonpositive(-0.0), 1.0);
  EXPECT_EQ(exp_nonpositive(-708.5), 0.0);
  EXPECT_EQ(exp_nonpositive(-std::numeric_limits<double>::infinity()), 0.0);
  EXPECT_TRUE(std::isnan(exp_nonpositive(std::nan(""))));
}

TEST(GaussianElimination, SolvesANonSymmetricSystemThatNeedsAPivot) {
  // The first pivot is 0: the rows must be exchanged. x = (1, 2, 3).
  std::vector<double> a = {0, 2, 1,   //
                           1, 1, 1,   //
                           2, 0, -1};
  std::vector<double> b = {7, 6, -1};
  ASSERT_TRUE(solve_linear(a, b, 3));
  EXPECT_DOUBLE_EQ(b[0], 1.0);
  EXPECT_DOUBLE_EQ(b[1], 2.0);
  EXPECT_DOUBLE_EQ(b[2], 3.0);
}

TEST(GaussianElimination, RefusesSingularAndEmptyMatrices) {
  std::vector<double> b = {1, 2};
  EXPECT_FALSE(solve_linear({1, 2, 2, 4}, b, 2));  // rank 1
  EXPECT_FALSE(solve_linear({0, 0, 0, 0}, b, 2));
  EXPECT_FALSE(solve_linear({1, 1, 1, 1 + 1e-15}, b, 2));  // a pivot of 1e-15 of the largest
}

TEST(Dims, ShareCutsTheUnitIntervalIntoEqualSharesWithOneInTheLast) {
  EXPECT_EQ(share(0.0, 4), 0.0);
  EXPECT_EQ(share(0.2499, 4), 0.0);
  EXPECT_EQ(share(0.25, 4), 1.0);
  EXPECT_EQ(share(1.0, 4), 3.0);
  Dim integer{DimKind::kInteger, 4};
  EXPECT_EQ(share_centre(integer, 0.3), 0.375);
  EXPECT_EQ(share_centre(Dim{}, 0.3), 0.3);  // a continuous coordinate is itself
}

}  // namespace
}  // namespace vordaopt::numerics
