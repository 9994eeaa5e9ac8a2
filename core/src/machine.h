// Solver: the Probe-Classify-Refine state machine.
//
// A solver owns its configuration (immutable), the history of evaluations
// (append-only), one probe, one classifier and an optional refinement
// strategy; it lends the configuration and the history read-only to them for
// one call at a time. `ask` hands out the probe batch, classifies the
// landscape once its results are in, then asks the strategy (Nelder-Mead for
// a Structured landscape, TPE for a Chaotic one) until the budget is reached
// or the search has converged. `ask_one` skips probing and asks a TPE for one
// candidate at a time.
//
// Each public operation runs in a diagnostic span named after it. Failures of
// the probe or a strategy (a reversed domain) throw InternalError; what the
// operation had done before stays done.
#ifndef VORDAOPT_CORE_MACHINE_H_
#define VORDAOPT_CORE_MACHINE_H_

#include <cstddef>
#include <memory>
#include <optional>
#include <vector>

#include "artifact.h"
#include "classify.h"
#include "config.h"
#include "history.h"
#include "probe.h"
#include "strategies/strategy.h"

namespace vordaopt {

struct SolverPhase {
  enum class Kind { kProbing, kClassifying, kRefining, kDone };
  Kind kind = Kind::kProbing;
  Landscape landscape = Landscape::kChaotic;  // meaningful in kRefining only

  static SolverPhase refining(Landscape l) { return {Kind::kRefining, l}; }
  friend bool operator==(const SolverPhase& a, const SolverPhase& b) {
    return a.kind == b.kind && (a.kind != Kind::kRefining || a.landscape == b.landscape);
  }
};

class Solver {
 public:
  // Builds a solver in Probing with an empty history, the initial probe
  // (seed_offset 0, spice 0.1), a classifier with threshold 2.0 and no
  // strategy.
  static Solver pcr(SolverConfig config);

  Solver(Solver&&) noexcept = default;
  Solver& operator=(Solver&&) noexcept = default;
  Solver(const Solver&) = delete;
  Solver& operator=(const Solver&) = delete;

  // Appends the records unchanged, in order.
  void tell(std::vector<EvalTrace> records);
  // Appends one record per point, each with the identifier one above the
  // largest in the history at that moment (1 for an empty history; wraps).
  void seed(std::vector<SeedPoint> points);
  // The next candidates to evaluate, in order, or nothing when the solver is
  // done or the strategy waits. Writes diagnostic lines to standard output.
  std::optional<std::vector<ParamMap>> ask();
  // One candidate from the strategy (a TPE unless `ask` installed another),
  // or nothing once the history holds `budget` records. Never changes the
  // phase.
  std::optional<ParamMap> ask_one();

  size_t history_len() const { return history_.size(); }
  const History& history() const { return history_; }
  const SolverConfig& config() const { return config_; }
  SolverPhase phase() const { return phase_; }
  bool fail_safe_triggered() const { return fail_safe_triggered_; }
  const Strategy* strategy() const { return strategy_.get(); }
  const Probe& probe() const { return *probe_; }

 private:
  explicit Solver(SolverConfig config);

  std::unique_ptr<Strategy> make_nelder_mead() const;
  std::unique_ptr<Strategy> make_tpe() const;
  // The fail-safe restart of a structured search: a freshly shifted probe,
  // no strategy, and up to 15 of the new probe's points.
  std::vector<ParamMap> restart();

  SolverConfig config_;
  History history_;
  std::unique_ptr<Probe> probe_;
  std::unique_ptr<Classify> classifier_;
  std::unique_ptr<Strategy> strategy_;
  SolverPhase phase_;
  bool fail_safe_triggered_ = false;
};

}  // namespace vordaopt

#endif  // VORDAOPT_CORE_MACHINE_H_
