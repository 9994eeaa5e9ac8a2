#include <gtest/gtest.h>

#include <vector>

#include "numerics/dims.h"
#include "numerics/gaussian_elimination.h"

namespace vordaopt::numerics {
namespace {

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
