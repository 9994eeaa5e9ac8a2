// The solver: history rules, spans, and the Probe-Classify-Refine loop.
#include "machine.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "diag.h"
#include "internal_error.h"
#include "rng.h"
#include "strategies/nelder_mead.h"
#include "strategies/tpe.h"

namespace vordaopt {
namespace {

SolverConfig make_config(uint64_t budget, double ratio, NamedMap<Domain> bounds, uint64_t seed = 42) {
  SolverConfig c;
  c.seed = seed;
  c.budget = budget;
  c.probe_ratio = ratio;
  c.bounds = std::move(bounds);
  return c;
}

NamedMap<Domain> xy() { return {{"x", {0, 1, Scale::kLinear}}, {"y", {0, 1, Scale::kLinear}}}; }

double smooth(const ParamMap& p) {
  double s = 10.0;  // far from zero: a small coefficient of variation
  for (const auto& [name, v] : p) s += (v - 0.3) * (v - 0.3);
  return s;
}

// Tells the results of `maps` under `f`, with consecutive identifiers.
void tell_all(Solver& s, const std::vector<ParamMap>& maps, double (*f)(const ParamMap&)) {
  std::vector<EvalTrace> records;
  for (const ParamMap& m : maps) records.push_back({s.history_len(), m, f(m), 1.0});
  s.tell(std::move(records));
}

TEST(Solver, StartsProbingWithAnEmptyHistory) {
  Solver s = Solver::pcr(make_config(100, 0.2, xy()));
  EXPECT_EQ(s.history_len(), 0u);
  EXPECT_EQ(s.phase().kind, SolverPhase::Kind::kProbing);
  EXPECT_EQ(s.strategy(), nullptr);
  EXPECT_FALSE(s.fail_safe_triggered());
}

TEST(Solver, SeedAssignsIdentifiersAboveTheLargest) {
  Solver s = Solver::pcr(make_config(100, 0.2, xy()));
  s.seed({{{}, 1, 1}, {{}, 2, 1}, {{}, 3, 1}});
  EXPECT_EQ(s.history().eval_id(0), 1u);
  EXPECT_EQ(s.history().eval_id(2), 3u);

  Solver t = Solver::pcr(make_config(100, 0.2, xy()));
  t.tell({{10, {}, 1, 1}, {4, {}, 1, 1}});
  t.tell({});
  t.seed({});
  EXPECT_EQ(t.history_len(), 2u);
  t.seed({{{{"unknown", 1.0}}, 5, 2}});
  EXPECT_EQ(t.history().eval_id(2), 11u);
  EXPECT_EQ(t.history().record(2), (EvalTrace{11, {{"unknown", 1.0}}, 5, 2}));

  Solver u = Solver::pcr(make_config(100, 0.2, xy()));
  u.tell({{UINT64_MAX, {}, 1, 1}});
  u.seed({{{}, 1, 1}});
  EXPECT_EQ(u.history().eval_id(1), 0u);  // wraps
}

struct Recorder : diag::Subscriber {
  std::vector<std::string> events;
  bool enabled(const diag::SpanInfo& info) override {
    return std::string(info.target) == "vordaopt_core::machine" && info.level == diag::Level::kInfo;
  }
  void enter(const diag::SpanInfo& info) override { events.push_back(std::string("+") + info.name); }
  void exit(const diag::SpanInfo& info) override { events.push_back(std::string("-") + info.name); }
};

TEST(Solver, EveryOperationOpensAndClosesItsSpan) {
  Recorder rec;
  diag::set_subscriber(&rec);
  Solver s = Solver::pcr(make_config(10, 0.5, {{"x", {2, 1, Scale::kLog}}}));
  s.tell({});
  s.seed({});
  EXPECT_THROW(s.ask(), InternalError);  // the reversed Log domain fails in the probe
  testing::internal::CaptureStdout();
  EXPECT_THROW(s.ask_one(), InternalError);
  testing::internal::GetCapturedStdout();
  diag::set_subscriber(nullptr);
  s.tell({});
  EXPECT_EQ(rec.events, (std::vector<std::string>{"+tell", "-tell", "+seed", "-seed", "+ask",
                                                  "-ask", "+ask_one", "-ask_one"}));
}

TEST(Solver, OneBatchCycleThenRefinement) {
  Solver s = Solver::pcr(make_config(100, 0.2, xy()));
  auto batch = s.ask();
  ASSERT_TRUE(batch);
  ASSERT_EQ(batch->size(), 20u);
  tell_all(s, {batch->begin(), batch->begin() + 12}, smooth);
  auto rest = s.ask();
  ASSERT_TRUE(rest);
  EXPECT_EQ(*rest, std::vector<ParamMap>(batch->begin() + 12, batch->end()));
  tell_all(s, *rest, smooth);

  testing::internal::CaptureStdout();
  auto first = s.ask();
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out.rfind("[Machine] Classified as Structured (Score: 0.0", 0), 0u) << out;
  EXPECT_EQ(s.phase(), SolverPhase::refining(Landscape::kStructured));
  ASSERT_TRUE(first);
  EXPECT_EQ(first->size(), 2u);  // the first coordinate probe pair
  EXPECT_NE(dynamic_cast<const NelderMead*>(s.strategy()), nullptr);
}

TEST(Solver, FailSafeFiresOnceBeforeTheBudgetIsSpent) {
  Solver s = Solver::pcr(make_config(100, 0.2, xy()));
  testing::internal::CaptureStdout();
  while (s.history_len() < 70) {
    auto maps = s.ask();
    ASSERT_TRUE(maps);
    tell_all(s, *maps, smooth);
  }
  size_t h = s.history_len();
  auto restart = s.ask();
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("[Machine] Structured Fail-Safe Triggered! Restarting with CP Shift at "
                     "param count " + std::to_string(h) + "\n"),
            std::string::npos);
  EXPECT_TRUE(s.fail_safe_triggered());
  ASSERT_TRUE(restart);
  EXPECT_EQ(restart->size(), 15u);
  // Seed 42: offset fmod(43 / pi, 1), shift drawn from seed 42 * 1.5e9 + 0xBEEFCAFE.
  const auto& probe = dynamic_cast<const PrimeSqrtSlopesRotProbe&>(s.probe());
  EXPECT_EQ(probe.seed_offset, 0.6873251059029997);
  EXPECT_EQ(probe.spice_ratio, 0.2);
  SeededRng shift = SeededRng::seed_from_u64(66203386110ULL);
  double s0 = shift.unit_f64(), s1 = shift.unit_f64();
  EXPECT_EQ(probe.cp_shift, (std::vector<double>{s0, s1}));
  EXPECT_EQ(s.strategy(), nullptr);
  tell_all(s, *restart, smooth);
  testing::internal::CaptureStdout();
  auto next = s.ask();
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  ASSERT_TRUE(next);
  EXPECT_NE(dynamic_cast<const NelderMead*>(s.strategy()), nullptr);
}

TEST(Solver, NoRestartOnceTheBudgetIsSpent) {
  // With probe_ratio 1.0 the whole budget is probed; the fail-safe threshold
  // (14) lies inside it, but no restart may hand out maps beyond the budget.
  Solver s = Solver::pcr(make_config(20, 1.0, xy()));
  auto batch = s.ask();
  ASSERT_TRUE(batch);
  ASSERT_EQ(batch->size(), 20u);
  tell_all(s, *batch, smooth);
  testing::internal::CaptureStdout();
  EXPECT_FALSE(s.ask());
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out.find("Fail-Safe"), std::string::npos) << out;
  EXPECT_EQ(s.phase().kind, SolverPhase::Kind::kDone);
  EXPECT_FALSE(s.fail_safe_triggered());
}

TEST(Solver, BudgetZeroClassifiesAnEmptyHistoryAndStops) {
  Solver s = Solver::pcr(make_config(0, 0.2, xy()));
  testing::internal::CaptureStdout();
  EXPECT_FALSE(s.ask());
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "[Machine] Classified as Chaotic (Score: 1.0000)\n"
            "[Machine] Chaotic mode -> Enabling CP Shift + Spice\n");
  EXPECT_EQ(s.phase().kind, SolverPhase::Kind::kDone);
  EXPECT_NE(dynamic_cast<const TPE*>(s.strategy()), nullptr);
  s.tell({{1, {}, 1, 1}});
  EXPECT_FALSE(s.ask());
  EXPECT_FALSE(s.ask_one());
}

TEST(Solver, AskOneUsesTheInstalledStrategyAndNeverChangesThePhase) {
  Solver none = Solver::pcr(make_config(0, 0.2, xy()));
  EXPECT_FALSE(none.ask_one());
  EXPECT_EQ(none.strategy(), nullptr);  // nothing installed when the budget is spent

  Solver s = Solver::pcr(make_config(100, 0.2, xy()));
  tell_all(s, *s.ask(), smooth);
  testing::internal::CaptureStdout();
  auto pair = s.ask();  // Structured: Nelder-Mead's coordinate probe pair
  testing::internal::GetCapturedStdout();
  ASSERT_TRUE(pair);
  tell_all(s, *pair, smooth);
  // ask_one steps the same machine and hands out only the first candidate.
  auto one = s.ask_one();
  ASSERT_TRUE(one);
  EXPECT_EQ(one->size(), 2u);
  EXPECT_NE(dynamic_cast<const NelderMead*>(s.strategy()), nullptr);
  EXPECT_EQ(s.phase(), SolverPhase::refining(Landscape::kStructured));
}

}  // namespace
}  // namespace vordaopt
