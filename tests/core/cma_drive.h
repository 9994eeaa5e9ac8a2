// Drives a CMA-ES search one trial at a time, for the tests.
#ifndef VORDAOPT_TESTS_CORE_CMA_DRIVE_H_
#define VORDAOPT_TESTS_CORE_CMA_DRIVE_H_

#include <algorithm>
#include <cmath>
#include <functional>
#include <vector>

#include "cma/search.h"

namespace vordaopt::cma {

using Function = std::function<double(const std::vector<double>&)>;

struct Trace {
  double best = INFINITY;
  std::vector<std::vector<double>> points;
};

// Proposes and tells `evaluations` points in turn, none pending.
inline Trace drive(CmaSearch& search, const Function& f, size_t evaluations) {
  Trace run;
  for (size_t i = 0; i < evaluations; ++i) {
    std::vector<double> x = search.propose({});
    double v = f(x);
    search.observe(x, v);
    run.best = std::min(run.best, v);
    run.points.push_back(std::move(x));
  }
  return run;
}

}  // namespace vordaopt::cma

#endif  // VORDAOPT_TESTS_CORE_CMA_DRIVE_H_
