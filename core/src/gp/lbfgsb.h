// Minimisation in a box with a limited-memory quasi-Newton method.
//
// A projected L-BFGS: variables held at a bound by their gradient stay there
// for the step, the others follow the two-loop L-BFGS direction, and a
// backtracking line search along the projected path keeps every iterate in
// the box. Deterministic: the same start gives the same iterates.
#ifndef VORDAOPT_CORE_GP_LBFGSB_H_
#define VORDAOPT_CORE_GP_LBFGSB_H_

#include <functional>
#include <vector>

namespace vordaopt::gp {

struct BoxSettings {
  int max_iterations = 100;
  int memory = 6;          // correction pairs kept
  double pgtol = 1e-5;     // stop when every projected gradient entry is smaller
  double ftol = 1e-12;     // stop when a step decreases f by less than this, relatively
};

struct BoxResult {
  std::vector<double> x;
  double f = 0.0;
  int iterations = 0;
  bool converged = false;  // by pgtol or ftol, not by the iteration limit or a failed search
};

// f(x, gradient) returns the value and writes the gradient (same size as x).
using Objective = std::function<double(const std::vector<double>& x, std::vector<double>& gradient)>;

// Minimises f over [lower, upper] from x0 (moved into the box first).
// REQUIRES: lower[i] <= upper[i] for every i, and all three of one size.
BoxResult minimize_in_box(const Objective& f, std::vector<double> x0,
                          const std::vector<double>& lower, const std::vector<double>& upper,
                          const BoxSettings& settings = {});

}  // namespace vordaopt::gp

#endif  // VORDAOPT_CORE_GP_LBFGSB_H_
