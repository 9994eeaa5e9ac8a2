#include "strategies/tpe.h"

#include <cmath>

#include <gtest/gtest.h>

#include "internal_error.h"

namespace vordaopt {
namespace {

TPE make_tpe() { return TPE(0.25, 2, 24, BandwidthRule::kNormalReference); }

SolverConfig config(uint64_t seed, NamedMap<Domain> bounds) {
  SolverConfig c;
  c.seed = seed;
  c.budget = 1000;
  c.bounds = std::move(bounds);
  return c;
}

// The history of tests/data/tpe_reference.py: a 2-D quadratic at scattered points.
History reference_history(int n) {
  History h;
  for (int i = 0; i < n; ++i) {
    double x = ((i * 37) % 101) / 100.0 * 10.0 - 5.0;
    double y = ((i * 53) % 97) / 96.0 * 3.0;
    h.append(EvalTrace{static_cast<uint64_t>(i), {{"x", x}, {"y", y}},
                       (x - 1.0) * (x - 1.0) + (y - 2.0) * (y - 2.0), 1.0});
  }
  return h;
}

ParamMap step(const SolverConfig& c, const History& h) {
  TPE tpe = make_tpe();
  StrategyAction a = tpe.step(c, h);
  EXPECT_EQ(a.kind, StrategyAction::Kind::kEvaluate);
  EXPECT_EQ(a.candidates.size(), 1u);
  return a.candidates.at(0);
}

TEST(TPE, CandidatesMatchTheIndependentReference) {
  // Values printed by `python3 tests/data/tpe_reference.py` (seed 7, x in
  // [-5, 5], y in [0, 3]): the startup draw at 23 records, the model at 24
  // (6 good, 18 bad), 25 (7 good) and 40 records.
  SolverConfig c = config(7, {{"x", {-5, 5, Scale::kLinear}}, {"y", {0, 3, Scale::kLog}}});
  struct Row {
    int n;
    double x, y;
  };
  const Row rows[] = {{23, 0.5313888736962209, 0.45545371867711504},
                      {24, 0.8430034958443419, 1.811021247265682},
                      {25, 0.666842099218157, 1.100381038224823},
                      {40, 1.2791509857452157, 1.6540145731495102}};
  for (const Row& r : rows) {
    EXPECT_EQ(step(c, reference_history(r.n)), (ParamMap{{"x", r.x}, {"y", r.y}})) << r.n;
  }
}

TEST(TPE, StartupDrawsCoverTheInclusiveRange) {
  SolverConfig c = config(3, {{"a", {2.5, 2.5, Scale::kLinear}}, {"b", {-1, 1, Scale::kPeriodic}}});
  for (int n = 0; n < 24; ++n) {
    ParamMap p = step(c, reference_history(n));
    EXPECT_EQ(*p.find("a"), 2.5);
    EXPECT_GE(*p.find("b"), -1.0);
    EXPECT_LE(*p.find("b"), 1.0);
  }
}

TEST(TPE, SameSeedAndLengthGiveTheSameCandidate) {
  SolverConfig c = config(11, {{"x", {-5, 5, Scale::kLinear}}, {"y", {0, 3, Scale::kLinear}}});
  History h = reference_history(30);
  EXPECT_EQ(step(c, h), step(c, h));
  EXPECT_NE(step(c, h), step(config(12, c.bounds), h));
}

TEST(TPE, EdgeDomains) {
  // No parameters: one empty map, in both regimes.
  EXPECT_EQ(step(config(1, {}), reference_history(5)), ParamMap{});
  EXPECT_EQ(step(config(1, {}), reference_history(30)), ParamMap{});
  // min = max always gives that value, model-based too.
  SolverConfig fixed = config(1, {{"x", {0.5, 0.5, Scale::kLinear}}});
  EXPECT_EQ(step(fixed, reference_history(30)), (ParamMap{{"x", 0.5}}));
  // A name missing from every record reads 0.0; the floor bandwidth keeps
  // the proposal finite.
  SolverConfig absent = config(1, {{"w", {-1, 1, Scale::kLinear}}});
  double w = *step(absent, reference_history(30)).find("w");
  EXPECT_TRUE(std::isfinite(w));
  EXPECT_LE(std::fabs(w), 1.0);
}

TEST(TPE, ReversedDomainsFailInBothRegimes) {
  SolverConfig c = config(1, {{"x", {1, 0, Scale::kLinear}}});
  auto message = [&](int n) {
    try {
      step(c, reference_history(n));
    } catch (const InternalError& e) {
      return e.message();
    }
    return std::string("no failure");
  };
  EXPECT_EQ(message(3), "cannot sample empty range");
  EXPECT_EQ(message(30), "min > max, or either was NaN. min = 1.0, max = 0.0");
  SolverConfig wide = config(1, {{"x", {-1e308, 1e308, Scale::kLinear}}});
  EXPECT_THROW(step(wide, reference_history(3)), InternalError);
}

TEST(TPE, SilvermanBandwidth) {
  EXPECT_EQ(TPE::silverman_bandwidth({}), 1.0);
  EXPECT_EQ(TPE::silverman_bandwidth({5.0}), 1.0);
  EXPECT_NEAR(TPE::silverman_bandwidth({1, 3}), 0.92278, 1e-5);
  EXPECT_NEAR(TPE::silverman_bandwidth({1, 2, 3, 4}), 0.76258, 1e-5);
  EXPECT_EQ(TPE::silverman_bandwidth({4, 3, 2, 1}), TPE::silverman_bandwidth({1, 2, 3, 4}));
  EXPECT_EQ(TPE::silverman_bandwidth({2, 2, 2, 2, 2}), 1e-6);
}

}  // namespace
}  // namespace vordaopt
