// The Nelder-Mead machine, driven step by step against a growing history.
#include "strategies/nelder_mead.h"

#include <cmath>
#include <functional>

#include <gtest/gtest.h>

namespace vordaopt {
namespace {

// Drives one machine: step() returns the candidates, tell() appends results
// in the order the candidates were handed out.
struct Driver {
  SolverConfig config;
  History history;
  NelderMead nm;

  explicit Driver(NamedMap<Domain> bounds) : config(make(std::move(bounds))), nm(config.bounds) {}
  static SolverConfig make(NamedMap<Domain> bounds) {
    SolverConfig c;
    c.bounds = std::move(bounds);
    return c;
  }
  void record(ParamMap p, double v) { history.append(EvalTrace{0, std::move(p), v, 1.0}); }
  StrategyAction step() { return nm.step(config, history); }
  void tell(const StrategyAction& a, std::vector<double> values) {
    ASSERT_EQ(a.candidates.size(), values.size());
    for (size_t i = 0; i < values.size(); ++i) record(a.candidates[i], values[i]);
  }
  // The single coordinate of every candidate, for one-parameter searches.
  static std::vector<double> xs(const StrategyAction& a) {
    std::vector<double> out;
    for (const ParamMap& m : a.candidates) out.push_back(*m.find("x"));
    return out;
  }
};

NamedMap<Domain> unit(std::initializer_list<const char*> names) {
  NamedMap<Domain> b;
  for (const char* n : names) b.insert_or_assign(n, Domain{0, 1, Scale::kLinear});
  return b;
}

TEST(NelderMead, WaitsOnEmptyHistoryThenProbesTheFirstCoordinate) {
  Driver d(unit({"a", "b"}));
  EXPECT_EQ(d.step().kind, StrategyAction::Kind::kWait);
  EXPECT_TRUE(std::holds_alternative<nm::Init>(d.nm.state()));
  d.record({{"a", 0.25}, {"b", 0.75}}, 1.0);
  StrategyAction a = d.step();
  ASSERT_EQ(a.kind, StrategyAction::Kind::kEvaluate);
  EXPECT_EQ(a.candidates, (std::vector<ParamMap>{{{"a", 0.25 + 0.05}, {"b", 0.75}},
                                                 {{"a", 0.25 - 0.05}, {"b", 0.75}}}));
  EXPECT_TRUE(std::holds_alternative<nm::CoordinateSearch>(d.nm.state()));
}

TEST(NelderMead, ProbesStayInTheUnitIntervalNotTheDomain) {
  auto pair = [](double x, Domain dom) {
    Driver d({{"x", dom}});
    d.record({{"x", x}}, 1.0);
    return Driver::xs(d.step());
  };
  EXPECT_EQ(pair(0.98, {0, 1, Scale::kLinear}), (std::vector<double>{1.0, 0.98 - 0.05}));
  EXPECT_EQ(pair(0.02, {0, 1, Scale::kLinear}), (std::vector<double>{0.02 + 0.05, 0.0}));
  EXPECT_EQ(pair(15.0, {10, 20, Scale::kLinear}), (std::vector<double>{1.0, 14.95}));
}

TEST(NelderMead, SimplexVerticesStepUpOrDownWithinTheUnitInterval) {
  auto vertex = [](double x) {
    Driver d(unit({"x"}));
    d.record({{"x", x}}, 1.0);
    d.tell(d.step(), {2.0, 2.0});  // no probe improves
    StrategyAction simplex = d.step();
    EXPECT_TRUE(std::holds_alternative<nm::EvaluateSimplex>(d.nm.state()));
    return Driver::xs(simplex);
  };
  EXPECT_EQ(vertex(0.5), std::vector<double>{0.5 + 0.05});
  EXPECT_EQ(vertex(1.0), std::vector<double>{1.0 - 0.05});
  EXPECT_EQ(vertex(5.0), std::vector<double>{1.0});
}

TEST(NelderMead, EqualProbeResultsFavourTheDownProbe) {
  Driver d(unit({"x", "y"}));
  d.record({{"x", 0.5}, {"y", 0.5}}, 1.0);
  d.tell(d.step(), {0.5, 0.5});  // up and down equal, both better
  StrategyAction next = d.step();
  EXPECT_EQ(next.candidates[0], (ParamMap{{"x", 0.5 - 0.05}, {"y", 0.5 + 0.05}}));
}

TEST(NelderMead, StartsSkipNearDuplicatesOfTheBest) {
  Driver d(unit({"x"}));
  d.record({{"x", 0.5}}, 1.0);
  d.record({{"x", 0.5 + 1e-10}}, 2.0);  // within 1e-9 of the best: never a start
  d.record({{"x", 0.9}}, 3.0);
  StrategyAction first = d.step();
  EXPECT_EQ(Driver::xs(first), (std::vector<double>{0.5 + 0.05, 0.5 - 0.05}));
  d.tell(first, {9.0, 9.0});
  // The second start is the third record.
  EXPECT_EQ(Driver::xs(d.step()), (std::vector<double>{0.9 + 0.05, 0.9 - 0.05}));
}

TEST(NelderMead, OnlyTheTenBestRecordsCanBeStarts) {
  Driver d(unit({"x"}));
  for (int i = 0; i < 10; ++i) d.record({{"x", 0.5}}, 1.0 + i);  // ranks 1..10 coincide
  d.record({{"x", 0.0}}, 100.0);  // far away but ranked 11th
  d.tell(d.step(), {200.0, 200.0});
  // No second start: the sweep ends in the simplex.
  EXPECT_EQ(Driver::xs(d.step()), std::vector<double>{0.5 + 0.05});
  EXPECT_TRUE(std::holds_alternative<nm::EvaluateSimplex>(d.nm.state()));
}

// One parameter: best 5 at 0.5, the simplex vertex 0.55 told 8. The
// reflection is 0.5 + (0.5 - 0.55); best and second-worst are both 5.
Driver at_reflection() {
  Driver d(unit({"x"}));
  d.record({{"x", 0.5}}, 5.0);
  d.tell(d.step(), {6.0, 7.0});
  d.tell(d.step(), {8.0});
  return d;
}

TEST(NelderMead, ReflectionComparisons) {
  const double reflected = 0.5 + (0.5 - (0.5 + 0.05));
  {
    Driver d = at_reflection();
    StrategyAction r = d.step();
    EXPECT_EQ(Driver::xs(r), std::vector<double>{reflected});
    d.tell(r, {4.9});  // better than the best: expand
    EXPECT_EQ(Driver::xs(d.step()), std::vector<double>{0.5 + 2.0 * (reflected - 0.5)});
    EXPECT_TRUE(std::holds_alternative<nm::Expand>(d.nm.state()));
  }
  {
    Driver d = at_reflection();
    d.tell(d.step(), {5.0});  // equal to the best and the second-worst: contract outside
    StrategyAction c = d.step();
    EXPECT_EQ(Driver::xs(c), std::vector<double>{0.5 + 0.5 * (reflected - 0.5)});
    ASSERT_TRUE(std::holds_alternative<nm::ContractOutside>(d.nm.state()));
    d.tell(c, {5.0});  // equal to the reflected value: accepted, so a new cycle
    EXPECT_EQ(Driver::xs(d.step()), (std::vector<double>{0.5 + 0.05, 0.5 - 0.05}));
  }
  {
    Driver d = at_reflection();
    d.tell(d.step(), {8.0});  // equal to the worst: contract inside
    StrategyAction c = d.step();
    EXPECT_EQ(Driver::xs(c), std::vector<double>{0.5 + 0.5 * ((0.5 + 0.05) - 0.5)});
    ASSERT_TRUE(std::holds_alternative<nm::ContractInside>(d.nm.state()));
    d.tell(c, {8.0});  // not better than the worst vertex: shrink towards the best
    EXPECT_EQ(Driver::xs(d.step()), std::vector<double>{0.5 + 0.5 * ((0.5 + 0.05) - 0.5)});
    EXPECT_TRUE(std::holds_alternative<nm::Shrink>(d.nm.state()));
  }
}

TEST(NelderMead, CircularMeanOfPeriodicCoordinates) {
  EXPECT_EQ(circular_mean({0.75, 0.25}), 0.5);
  EXPECT_NEAR(circular_mean({0.95, 0.15}), 0.05, 1e-12);
  EXPECT_EQ(circular_mean({}), 0.0);  // both sums zero: angle 0
}

TEST(NelderMead, WithoutParametersItConvergesAndStaysConverged) {
  Driver d({});
  d.record({}, 1.0);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(d.step().kind, StrategyAction::Kind::kConverged);
  d.record({}, 0.0);
  EXPECT_EQ(d.step().kind, StrategyAction::Kind::kConverged);
}

TEST(NelderMead, OneCycleOnAQuadratic) {
  // f(x, y) = (x - 0.3)^2 + (y - 0.6)^2 from (0.5, 0.5).
  auto f = [](const ParamMap& p) {
    double dx = *p.find("x") - 0.3, dy = *p.find("y") - 0.6;
    return dx * dx + dy * dy;
  };
  Driver d(unit({"x", "y"}));
  d.record({{"x", 0.5}, {"y", 0.5}}, f({{"x", 0.5}, {"y", 0.5}}));
  auto run = [&](std::vector<ParamMap> expected) {
    StrategyAction a = d.step();
    EXPECT_EQ(a.candidates, expected);
    std::vector<double> values;
    for (const ParamMap& m : a.candidates) values.push_back(f(m));
    d.tell(a, values);
  };
  const double lo_x = 0.5 - 0.05, hi_y = 0.5 + 0.05;
  run({{{"x", 0.5 + 0.05}, {"y", 0.5}}, {{"x", lo_x}, {"y", 0.5}}});  // sweep x
  run({{{"x", lo_x}, {"y", hi_y}}, {{"x", lo_x}, {"y", 0.5 - 0.05}}});  // sweep y from (0.45, 0.5)
  // Simplex around (0.45, 0.55): one vertex per coordinate.
  run({{{"x", lo_x + 0.05}, {"y", hi_y}}, {{"x", lo_x}, {"y", hi_y + 0.05}}});
  // Vertices by value: (0.45, 0.6) 0.0225, (0.45, 0.55) 0.025, (0.5, 0.55) 0.0425.
  // Centroid ((0.45 + 0.45) / 2, (0.6 + 0.55) / 2); reflect the worst through it.
  double cx = (lo_x + lo_x) / 2.0, cy = ((hi_y + 0.05) + hi_y) / 2.0;
  double rx = cx + (cx - (lo_x + 0.05)), ry = cy + (cy - hi_y);
  run({{{"x", rx}, {"y", ry}}});
  // (0.4, 0.6) scores 0.01 < 0.0225: expand to twice the distance.
  run({{{"x", cx + 2.0 * (rx - cx)}, {"y", cy + 2.0 * (ry - cy)}}});
  // The expansion (0.35, 0.625) is better still and is kept; a new cycle
  // begins at the best record, the expansion itself.
  double ex = cx + 2.0 * (rx - cx), ey = cy + 2.0 * (ry - cy);
  run({{{"x", ex + 0.05}, {"y", ey}}, {{"x", ex - 0.05}, {"y", ey}}});
}

}  // namespace
}  // namespace vordaopt
