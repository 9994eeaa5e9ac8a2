#include "machine.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <string>

#include "diag.h"
#include "internal_error.h"
#include "numeric.h"
#include "rng.h"
#include "strategies/nelder_mead.h"
#include "strategies/tpe.h"

namespace vordaopt {
namespace {

constexpr char kTarget[] = "vordaopt_core::machine";
constexpr diag::SpanInfo kAskSpan{"ask", kTarget, diag::Level::kInfo};
constexpr diag::SpanInfo kTellSpan{"tell", kTarget, diag::Level::kInfo};
constexpr diag::SpanInfo kSeedSpan{"seed", kTarget, diag::Level::kInfo};
constexpr diag::SpanInfo kAskOneSpan{"ask_one", kTarget, diag::Level::kInfo};

constexpr double kFailSafeFraction = 0.7;
constexpr size_t kFailSafeBatch = 15;
constexpr double kShiftSeedMultiplier = 1.5e9;
constexpr uint64_t kShiftSeedAddend = 0xBEEFCAFE;

// Fixed point with four decimals (ties to even on exact halves).
std::string score_text(double score) {
  if (std::isnan(score)) return "NaN";
  if (std::isinf(score)) return score < 0 ? "-inf" : "inf";
  // to_chars, unlike printf, ignores the C locale: always a decimal point.
  char buf[400];
  auto res = std::to_chars(buf, buf + sizeof buf, score, std::chars_format::fixed, 4);
  return std::string(buf, res.ptr);
}

}  // namespace

Solver::Solver(SolverConfig config) : config_(std::move(config)) {}

Solver Solver::pcr(SolverConfig config) {
  Solver s(std::move(config));
  auto probe = std::make_unique<PrimeSqrtSlopesRotProbe>();
  probe->seed_offset = 0.0;
  probe->spice_ratio = 0.1;
  s.probe_ = std::move(probe);
  s.classifier_ = std::make_unique<VarianceClassifier>(2.0);
  return s;
}

void Solver::tell(std::vector<EvalTrace> records) {
  diag::Span span(kTellSpan);
  history_.append_all(records);
}

void Solver::seed(std::vector<SeedPoint> points) {
  diag::Span span(kSeedSpan);
  // Number the records first, so that they are appended all at once.
  std::vector<EvalTrace> records;
  records.reserve(points.size());
  bool empty = history_.empty();
  uint64_t max_id = empty ? 0 : history_.max_eval_id();
  for (SeedPoint& p : points) {
    uint64_t id = empty ? 1 : max_id + 1;  // wraps
    max_id = empty ? id : std::max(max_id, id);
    empty = false;
    records.push_back(EvalTrace{id, std::move(p.params), p.value, p.cost});
  }
  history_.append_all(records);
}

std::unique_ptr<Strategy> Solver::make_nelder_mead() const {
  return std::make_unique<NelderMead>(config_.bounds);
}

std::unique_ptr<Strategy> Solver::make_tpe() const {
  return std::make_unique<TPE>(0.25, config_.bounds.size(), 24, BandwidthRule::kNormalReference);
}

std::vector<ParamMap> Solver::restart() {
  uint64_t shift_seed =
      saturating_u64(static_cast<double>(config_.seed) * kShiftSeedMultiplier) + kShiftSeedAddend;
  SeededRng rng = SeededRng::seed_from_u64(shift_seed);
  std::vector<double> shift(config_.bounds.size());
  for (double& s : shift) s = rng.unit_f64();

  auto probe = std::make_unique<PrimeSqrtSlopesRotProbe>();
  probe->seed_offset = std::fmod(static_cast<double>(config_.seed + 1) * kInversePi, 1.0);
  probe->spice_ratio = 0.2;
  probe->cp_shift = std::move(shift);

  // The restart takes effect once its batch exists, so that an interrupted
  // sample leaves the solver as it was. A broken invariant while sampling
  // still leaves the restart in place, as any internal error does.
  auto commit = [&] {
    diag::write_line(
        "[Machine] Structured Fail-Safe Triggered! Restarting with CP Shift at param count " +
        std::to_string(history_.size()));
    fail_safe_triggered_ = true;
    probe_ = std::move(probe);
  };
  std::vector<ParamMap> batch;
  try {
    batch = probe->sample(config_);
  } catch (const InternalError&) {
    commit();
    throw;
  }
  commit();
  if (batch.size() > kFailSafeBatch) batch.resize(kFailSafeBatch);
  strategy_.reset();
  return batch;
}

std::optional<std::vector<ParamMap>> Solver::ask() {
  diag::Span span(kAskSpan);
  double budget = static_cast<double>(config_.budget);
  for (;;) {
    size_t h = history_.size();
    switch (phase_.kind) {
      case SolverPhase::Kind::kProbing: {
        uint64_t probe_budget = saturating_u64(std::ceil(budget * config_.probe_ratio));
        if (h >= probe_budget) {
          phase_.kind = SolverPhase::Kind::kClassifying;
          continue;
        }
        std::vector<ParamMap> batch = probe_->sample(config_);
        if (h == 0) return batch;
        if (h < batch.size()) {
          // The caller has evaluated the first h maps; hand out the rest.
          batch.erase(batch.begin(), batch.begin() + static_cast<std::ptrdiff_t>(h));
          return batch;
        }
        phase_.kind = SolverPhase::Kind::kClassifying;
        continue;
      }
      case SolverPhase::Kind::kClassifying: {
        Classification c = classifier_->classify(history_);
        diag::write_line(std::string("[Machine] Classified as ") + landscape_name(c.landscape) +
                        " (Score: " + score_text(c.score) + ")");
        phase_ = SolverPhase::refining(c.landscape);
        if (c.landscape == Landscape::kChaotic) {
          diag::write_line("[Machine] Chaotic mode -> Enabling CP Shift + Spice");
          strategy_ = make_tpe();
        } else {
          strategy_ = make_nelder_mead();
        }
        continue;
      }
      case SolverPhase::Kind::kRefining: {
        if (phase_.landscape == Landscape::kStructured && !fail_safe_triggered_) {
          uint64_t threshold = saturating_u64(std::floor(budget * kFailSafeFraction));
          // Restart only while budget remains: with a probe ratio of 0.7 or
          // more the threshold can already lie at or beyond the budget.
          if (h >= threshold && h < config_.budget) return restart();
        }
        if (!strategy_) {
          strategy_ = make_nelder_mead();
          continue;
        }
        if (h >= config_.budget) {
          phase_.kind = SolverPhase::Kind::kDone;
          continue;
        }
        StrategyAction action = strategy_->step(config_, history_);
        switch (action.kind) {
          case StrategyAction::Kind::kEvaluate:
            return std::move(action.candidates);
          case StrategyAction::Kind::kWait:
            return std::nullopt;
          case StrategyAction::Kind::kConverged:
            phase_.kind = SolverPhase::Kind::kDone;
            continue;
        }
        continue;
      }
      case SolverPhase::Kind::kDone:
        return std::nullopt;
    }
  }
}

std::optional<ParamMap> Solver::ask_one() {
  diag::Span span(kAskOneSpan);
  if (history_.size() >= config_.budget) return std::nullopt;
  if (!strategy_) strategy_ = make_tpe();
  StrategyAction action = strategy_->step(config_, history_);
  if (action.kind != StrategyAction::Kind::kEvaluate || action.candidates.empty()) {
    return std::nullopt;
  }
  return std::move(action.candidates.front());
}

}  // namespace vordaopt
