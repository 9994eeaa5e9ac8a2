#include "strategies/strategy.h"

#include <gtest/gtest.h>

#include "internal_error.h"

namespace vordaopt {
namespace {

TEST(StrategyHelpers, NamesPointsAndMaps) {
  NamedMap<Domain> bounds = {{"b", {}}, {"a", {}}, {"ab", {}}};
  std::vector<std::string> names = sorted_names(bounds);
  EXPECT_EQ(names, (std::vector<std::string>{"a", "ab", "b"}));

  History h(std::vector<EvalTrace>{{1, {{"b", 2.0}, {"zz", 9.0}}, 1.0, 1.0}});
  EXPECT_EQ(PointReader(h, names).point(0), (Point{0.0, 0.0, 2.0}));

  ParamMap m = vec_to_dict({1.0, 2.0}, names);
  EXPECT_EQ(m, (ParamMap{{"a", 1.0}, {"ab", 2.0}}));
}

TEST(StrategyHelpers, ClampAndWrap) {
  NamedMap<Domain> bounds = {{"lin", {0, 1, Scale::kLinear}}, {"per", {0, 360, Scale::kPeriodic}}};
  std::vector<std::string> names = {"lin", "per", "absent"};
  Point p = {-0.2, 1.25, 7.0};
  clamp_to_bounds(p, bounds, names);
  EXPECT_EQ(p, (Point{0.0, 0.25, 7.0}));
  p = {1.7, 370.0};
  clamp_to_bounds(p, bounds, names);
  EXPECT_EQ(p, (Point{1.0, 0.0}));
  p = {0.3};
  clamp_to_bounds(p, bounds, names);
  EXPECT_EQ(p, Point{0.3});

  NamedMap<Domain> reversed = {{"x", {2, 1, Scale::kLog}}};
  Point q = {1.5};
  try {
    clamp_to_bounds(q, reversed, {"x"});
    FAIL();
  } catch (const InternalError& e) {
    EXPECT_EQ(e.message(), "min > max, or either was NaN. min = 2.0, max = 1.0");
  }

  EXPECT_EQ(wrap(-0.25), 0.75);
  EXPECT_EQ(wrap(1.25), 0.25);
  EXPECT_NEAR(shortest_difference(0.9), -0.1, 1e-15);
  EXPECT_EQ(shortest_difference(0.5), -0.5);
  EXPECT_EQ(shortest_difference(-0.5), -0.5);
  EXPECT_EQ(weighted_move(0.5, 2.0, 0.25, false), 1.0);
  EXPECT_NEAR(weighted_move(0.9, 1.0, 0.9, true), 0.8, 1e-15);  // 0.9 - 0.1
}

}  // namespace
}  // namespace vordaopt
