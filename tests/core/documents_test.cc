// What the documents read: defaults, duplicates, both record forms.
#include <cmath>

#include <gtest/gtest.h>

#include "artifact.h"
#include "config.h"

namespace vordaopt {
namespace {

TEST(ConfigDocument, DefaultsAndForms) {
  auto r = parse_solver_config(R"({"seed": 42, "budget": 100, "bounds": {"x": {"min": 0, "max": 1}}})");
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r.value().probe_ratio, 0.2);
  EXPECT_FALSE(r.value().strategy_params.has_value());
  EXPECT_EQ(*r.value().bounds.find("x"), (Domain{0.0, 1.0, Scale::kLinear}));

  auto a = parse_solver_config(R"([7, 50, {"x": [0, 1]}])");
  ASSERT_TRUE(a.ok());
  EXPECT_EQ(a.value().seed, 7u);
  EXPECT_EQ(a.value().budget, 50u);
  EXPECT_EQ(a.value().probe_ratio, 0.2);

  auto full = parse_solver_config(
      R"([18446744073709551615, 0, {"b": [5, 1, "Log"], "a": [0, 1, {"Periodic": null}]}, 0.5, {"k": 1}])");
  ASSERT_TRUE(full.ok());
  EXPECT_EQ(full.value().seed, 18446744073709551615u);
  ASSERT_EQ(full.value().bounds.size(), 2u);
  EXPECT_EQ(full.value().bounds[0].first, "a");  // sorted by name
  EXPECT_EQ(full.value().bounds[0].second.scale, Scale::kPeriodic);
  EXPECT_EQ(full.value().bounds[1].second, (Domain{5.0, 1.0, Scale::kLog}));  // unchecked
  EXPECT_EQ(*full.value().strategy_params->find("k"), 1.0);
}

TEST(ConfigDocument, LaterDuplicateNamesReplaceEarlierOnes) {
  auto r = parse_solver_config(
      R"({"seed": 1, "budget": 2, "strategy_params": null, "verbose": true,
          "bounds": {"x": {"min": 0, "max": 1}, "x": {"min": 5, "max": 6}}})");
  ASSERT_TRUE(r.ok());
  ASSERT_EQ(r.value().bounds.size(), 1u);
  EXPECT_EQ(*r.value().bounds.find("x"), (Domain{5.0, 6.0, Scale::kLinear}));
  EXPECT_FALSE(r.value().strategy_params.has_value());
}

TEST(RecordDocuments, BothFormsAndDuplicateParams) {
  auto r = parse_results(R"([{"eval_id": 3, "params": {"x": 0.5, "x": 0.75}, "value": 1.25, "cost": 1},
                             [1, {"y": -2}, 2.0, 1.0]])");
  ASSERT_TRUE(r.ok());
  ASSERT_EQ(r.value().size(), 2u);
  EXPECT_EQ(r.value()[0], (EvalTrace{3, ParamMap{{"x", 0.75}}, 1.25, 1.0}));
  EXPECT_EQ(r.value()[1], (EvalTrace{1, ParamMap{{"y", -2.0}}, 2.0, 1.0}));

  auto s = parse_seed_points(R"([[{"x": 1}, 2, 3], {"params": {}, "value": -0, "cost": 1E+2}])");
  ASSERT_TRUE(s.ok());
  EXPECT_EQ(s.value()[1].cost, 100.0);
  EXPECT_TRUE(std::signbit(s.value()[1].value));

  auto missing = parse_seed_points(R"([{"params": {"x": 0.5}, "value": 1.25}])");
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error_message(), "missing field `cost` at line 1 column 38");
}

TEST(Numbers, FloatsAreCorrectlyRounded) {
  // Halfway and near-halfway cases that a naive decimal reader gets wrong.
  auto r = parse_seed_points(
      R"([[{"a": 2.2250738585072011e-308, "b": 9007199254740993, "c": 0.1e1,
            "d": 1e-400, "e": 1.7976931348623157e308}, 0, 0]])");
  ASSERT_TRUE(r.ok()) << r.error_message();
  const ParamMap& p = r.value()[0].params;
  EXPECT_EQ(*p.find("a"), 2.2250738585072011e-308);
  EXPECT_EQ(*p.find("b"), 9007199254740992.0);
  EXPECT_EQ(*p.find("c"), 1.0);
  EXPECT_EQ(*p.find("d"), 0.0);
  EXPECT_EQ(*p.find("e"), 1.7976931348623157e308);
  auto big = parse_seed_points(R"([[{"a": 1.7976931348623159e308}, 0, 0]])");
  ASSERT_FALSE(big.ok());
  EXPECT_EQ(big.error_message(), "number out of range at line 1 column 30");
}

}  // namespace
}  // namespace vordaopt
