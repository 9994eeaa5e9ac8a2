// The fast scoring of TPE candidates against the exact reference: the fast
// exponential's accuracy, and a differential test of whole model-based steps.
//
// VORDAOPT_TPE_DIFF_STEPS sets the number of differential steps (default
// 3000, the CI size); VORDAOPT_TPE_DIFF_SEED the first seed, so that a long
// run can be split into shards.
#include "strategies/tpe_scoring.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <random>
#include <string>

#include "history.h"
#include "strategies/tpe.h"

namespace vordaopt {
namespace {

uint64_t env_or(const char* name, uint64_t fallback) {
  const char* v = std::getenv(name);
  return v ? std::strtoull(v, nullptr, 10) : fallback;
}

TEST(TpeScoring, FastExpStaysWithinItsStatedError) {
  std::mt19937_64 gen(1);
  std::uniform_real_distribution<double> wide(-708.0, 0.0), narrow(-2.0, 0.0);
  double worst = 0.0;
  for (int i = 0; i < 2000000; ++i) {
    double a = (i % 2) ? wide(gen) : narrow(gen);
    double ref = std::exp(a);
    worst = std::max(worst, std::fabs(tpe::fast_exp(a) - ref) / ref);
  }
  for (double a : {0.0, -0.0, -0.34657359027997264, -0.34657359027997270, -1e-300, -707.999,
                   -708.0}) {
    double ref = std::exp(a);
    worst = std::max(worst, std::fabs(tpe::fast_exp(a) - ref) / ref);
  }
  // The derivation beside the code bounds it by 6.2e-15 (glibc's exp adds 1 ulp here).
  EXPECT_LT(worst, 6.5e-15);
  EXPECT_EQ(tpe::fast_exp(-708.5), 0.0);
  EXPECT_EQ(tpe::fast_exp(-std::numeric_limits<double>::infinity()), 0.0);
  EXPECT_TRUE(std::isnan(tpe::fast_exp(std::nan(""))));
}

TEST(TpeScoring, VectorAndPortableSumsAgree) {
  std::mt19937_64 gen(2);
  std::normal_distribution<double> normal(0.0, 1.0);
  std::vector<double> centres(1003);
  for (double& c : centres) c = normal(gen);
  tpe::SimdLevel level = tpe::simd_level();
  for (double x : {-3.0, 0.0, 0.7, 40.0}) {
    tpe::force_simd_level(tpe::SimdLevel::kPortable);
    double portable = tpe::kernel_sum_fast(x, centres.data(), centres.size(), 1.0 / 0.3);
    tpe::force_simd_level(tpe::SimdLevel::kAvx2);
    double vector = tpe::kernel_sum_fast(x, centres.data(), centres.size(), 1.0 / 0.3);
    // Within the bound's terms: relative rounding, and terms below e^-708
    // flushed by one path and clamped by the other.
    EXPECT_NEAR(vector, portable, 1e-11 * portable + 1003 * 4e-308) << x;
  }
  tpe::force_simd_level(level);
}

// One random model-based situation: a configuration and a history, with the
// degenerate cases mixed in.
struct Case {
  SolverConfig config;
  History history;
};

Case random_case(std::mt19937_64& gen, size_t max_history) {
  auto pick = [&](uint64_t n) { return std::uniform_int_distribution<uint64_t>(0, n - 1)(gen); };
  auto unit = [&] { return std::uniform_real_distribution<double>(0.0, 1.0)(gen); };
  Case k;
  k.config.seed = gen();
  size_t dims = 1 + pick(20);
  // History length log-uniform in [24, max_history].
  double span = std::log(static_cast<double>(max_history) / 24.0);
  size_t len = static_cast<size_t>(24.0 * std::exp(unit() * span));
  len = std::max<size_t>(24, std::min(len, max_history));
  k.config.budget = len + 1;

  int values_kind = static_cast<int>(pick(4));     // continuous, few levels, all equal, ties
  bool missing = pick(4) == 0;                     // records without some parameters
  bool equal_good = pick(5) == 0;                  // the best records share their values
  int domain_kind = static_cast<int>(pick(5));     // unit, wide, point, narrow, mixed
  for (size_t p = 0; p < dims; ++p) {
    Domain d{0.0, 1.0, Scale::kLinear};
    int kind = domain_kind == 4 ? static_cast<int>(pick(4)) : domain_kind;
    if (kind == 1) d = {-1e6, 1e6, Scale::kLinear};      // densities floored far away
    if (kind == 2) d = {0.25, 0.25, Scale::kLinear};     // every candidate equal: ties
    if (kind == 3) d = {0.5, 0.5 + 1e-9, Scale::kLinear};
    k.config.bounds.insert_or_assign("p" + std::to_string(p), d);
  }
  std::vector<EvalTrace> records;
  for (size_t i = 0; i < len; ++i) {
    EvalTrace t;
    t.eval_id = i;
    switch (values_kind) {
      case 0: t.value = unit() * 100.0 - 50.0; break;
      case 1: t.value = static_cast<double>(pick(3)); break;
      case 2: t.value = 7.0; break;
      default: t.value = std::floor(unit() * 10.0) * 0.1; break;
    }
    for (const auto& [name, d] : k.config.bounds) {
      if (missing && pick(3) == 0) continue;
      double v = d.min + unit() * (d.max - d.min);
      if (equal_good && t.value < 1.0) v = d.min + 0.5 * (d.max - d.min);
      if (pick(50) == 0) v = d.min;  // repeated centres
      t.params.insert_or_assign(name, v);
    }
    records.push_back(std::move(t));
  }
  k.history.append_all(records);
  return k;
}

TEST(TpeScoring, FastStepsChooseExactlyAsTheReference) {
  uint64_t steps = env_or("VORDAOPT_TPE_DIFF_STEPS", 3000);
  uint64_t seed = env_or("VORDAOPT_TPE_DIFF_SEED", 12345);
  size_t max_history = env_or("VORDAOPT_TPE_DIFF_MAX_HISTORY", steps > 10000 ? 5000 : 600);
  std::mt19937_64 gen(seed);
  TPE tpe(0.25, 0, 24, BandwidthRule::kNormalReference);
  tpe::reset_scoring_stats();
  uint64_t mismatches = 0;
  for (uint64_t s = 0; s < steps; ++s) {
    Case k = random_case(gen, max_history);
    tpe::set_reference_scoring(false);
    StrategyAction fast = tpe.step(k.config, k.history);
    tpe::set_reference_scoring(true);
    StrategyAction exact = tpe.step(k.config, k.history);
    tpe::set_reference_scoring(false);
    if (!(fast.candidates == exact.candidates)) {
      ++mismatches;
      ADD_FAILURE() << "step " << s << " (seed " << seed << "): history " << k.history.size()
                    << ", " << k.config.bounds.size() << " parameters";
    }
  }
  tpe::ScoringStats stats = tpe::scoring_stats();
  std::printf("differential TPE steps: %llu, mismatches %llu, exact rescoring needed in %llu "
              "(%.3f%%), fallbacks %llu\n",
              static_cast<unsigned long long>(steps), static_cast<unsigned long long>(mismatches),
              static_cast<unsigned long long>(stats.exact_needed),
              100.0 * static_cast<double>(stats.exact_needed) / static_cast<double>(steps),
              static_cast<unsigned long long>(stats.fell_back));
  EXPECT_EQ(stats.steps, steps);
}

TEST(TpeScoring, TiedCandidatesKeepTheFirst) {
  // Every candidate equal: all scores tie, and the first must win.
  std::vector<tpe::Kernel> kernels(2);
  for (tpe::Kernel& k : kernels) {
    k.good = {0.1, 0.2, 0.3};
    k.bad = {0.9, 0.8};
    k.h = 0.05;
    k.norm = k.h * 2.5066282746310002;
  }
  std::vector<double> xs(24 * 2, 0.15);
  tpe::FastChoice choice = tpe::choose_fast(kernels, xs, 24);
  EXPECT_EQ(choice.index, 0u);
  EXPECT_EQ(choice.contenders, 24u);
  xs[5 * 2] = 0.2;  // a strictly better sixth candidate
  EXPECT_EQ(tpe::choose_fast(kernels, xs, 24).index, tpe::choose_exact(kernels, xs, 24));
  EXPECT_EQ(tpe::choose_exact(kernels, xs, 24), 5u);
}

}  // namespace
}  // namespace vordaopt
