// Cost of one strategy step, and the memory of a stored record.
//
// Nelder-Mead: one planning step (it ranks the whole history) at 100, 10,000
// and 1,000,000 records of 10 parameters, with the resident-set growth per
// stored record. TPE: one model-based step at 100, 1,000 and 10,000 records,
// with the fast scoring and with the scalar reference, beside a bare loop of
// as many exp calls (24 candidates x 10 parameters x history length
// kernels), the floor of the scalar path.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <string>
#include <unistd.h>

#include "history.h"
#include "machine.h"
#include "strategies/nelder_mead.h"
#include "strategies/tpe.h"
#include "strategies/tpe_scoring.h"

using namespace vordaopt;

namespace {

double seconds_since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

long resident_bytes() {
  std::ifstream statm("/proc/self/statm");
  long pages = 0, resident = 0;
  statm >> pages >> resident;
  return resident * sysconf(_SC_PAGESIZE);
}

SolverConfig config_10() {
  SolverConfig c;
  c.seed = 42;
  c.budget = 10000000;
  for (int p = 0; p < 10; ++p) {
    c.bounds.insert_or_assign("param_" + std::to_string(p), Domain{0.0, 1.0, Scale::kLinear});
  }
  return c;
}

EvalTrace record(size_t i, const SolverConfig& c) {
  EvalTrace t;
  t.eval_id = i;
  double s = 0.0;
  int p = 0;
  for (const auto& entry : c.bounds) {
    double v = static_cast<double>((i * 7919 + static_cast<size_t>(p) * 104729) % 1000003) / 1000003.0;
    t.params.insert_or_assign(entry.first, v);
    s += (v - 0.3) * (v - 0.3);
    ++p;
  }
  t.value = s;
  t.cost = 1.0;
  return t;
}

void nelder_mead(const SolverConfig& c) {
  for (size_t n : {size_t{100}, size_t{10000}, size_t{1000000}}) {
    long before = resident_bytes();
    History h;
    for (size_t i = 0; i < n; ++i) h.append(record(i, c));
    long after = resident_bytes();
    double best = 1e30;
    for (int rep = 0; rep < 5; ++rep) {
      NelderMead nm(c.bounds);
      auto t0 = std::chrono::steady_clock::now();
      StrategyAction a = nm.step(c, h);
      best = std::min(best, seconds_since(t0));
      if (a.candidates.size() != 2) std::printf("unexpected step result\n");
    }
    std::printf("nelder-mead plan step, %7zu records x 10 params: %9.3f ms", n, best * 1e3);
    if (n >= 10000) {
      std::printf("   resident growth %.0f bytes/record", double(after - before) / double(n));
    }
    std::printf("\n");
  }
}

double best_step_seconds(TPE& strategy, const SolverConfig& c, const History& h) {
  double best = 1e30;
  for (int rep = 0; rep < 5; ++rep) {
    auto t0 = std::chrono::steady_clock::now();
    StrategyAction a = strategy.step(c, h);
    best = std::min(best, seconds_since(t0));
    if (a.candidates.size() != 1) std::printf("unexpected step result\n");
  }
  return best;
}

void tpe_steps(const SolverConfig& c) {
  const char* level = tpe::simd_level() == tpe::SimdLevel::kAvx2 ? "AVX2" : "portable";
  for (size_t n : {size_t{100}, size_t{1000}, size_t{10000}}) {
    History h;
    for (size_t i = 0; i < n; ++i) h.append(record(i, c));
    TPE strategy(0.25, 10, 24, BandwidthRule::kNormalReference);
    tpe::set_reference_scoring(true);
    double scalar = best_step_seconds(strategy, c, h);
    tpe::set_reference_scoring(false);
    tpe::reset_scoring_stats();
    double fast = best_step_seconds(strategy, c, h);
    tpe::ScoringStats stats = tpe::scoring_stats();
    // The floor of the scalar path: as many exp calls on data-dependent arguments.
    size_t kernels = 24 * 10 * n;
    double floor = 1e30, sink = 0.0;
    for (int rep = 0; rep < 5; ++rep) {
      auto t0 = std::chrono::steady_clock::now();
      double x = 0.1;
      for (size_t k = 0; k < kernels; ++k) {
        double u = x - static_cast<double>(k & 1023) * 1e-3;
        sink += std::exp(-0.5 * (u * u));
      }
      floor = std::min(floor, seconds_since(t0));
    }
    std::printf("tpe model step, %5zu records x 10 params: fast (%s) %8.3f ms | scalar %8.3f ms "
                "| bare exp loop (%zu calls) %8.3f ms | scalar / fast %.2fx | exact rescoring in "
                "%llu of %llu steps (checksum %.3g)\n",
                n, level, fast * 1e3, scalar * 1e3, kernels, floor * 1e3, scalar / fast,
                static_cast<unsigned long long>(stats.exact_needed),
                static_cast<unsigned long long>(stats.steps), sink);
  }
}

}  // namespace

int main() {
  SolverConfig c = config_10();
  nelder_mead(c);
  tpe_steps(c);
  return 0;
}
