// NSGA-II over the unit cube (Deb, Pratap, Agarwal and Meyarivan, IEEE TEVC
// 2002), with constraint domination (Deb, 2000): the evolutionary method for
// several objectives when the budget is large.
//
// Like CMA-ES here, the search is driven by what it is told and by nothing
// else. A generation of `population` children is drawn at once from the
// current parents (binary tournaments on front, then crowding; simulated
// binary crossover and polynomial mutation, Deb and Agrawal 1995, on the
// real coordinates; uniform crossover and a fresh choice on categorical
// ones), from a random stream addressed by the seed and the generation.
// Proposals hand the children out in order, skipping those pending; when all
// are pending, further children are drawn from streams of their own. Once
// every child of the generation is observed, the parents, the children and
// any other point observed since join, and the best `population` of them by
// front and crowding become the next parents. The first generation is drawn
// uniformly. The state after any sequence of observations is rebuilt by
// observing them again, without proposing anything.
//
// Integer and periodic coordinates are searched as real ones (the space
// reads a share of [0, 1] as its integer; a periodic child is wrapped).
#ifndef VORDAOPT_CORE_PARETO_NSGA2_H_
#define VORDAOPT_CORE_PARETO_NSGA2_H_

#include <cstddef>
#include <cstdint>
#include <vector>

#include "numerics/dims.h"

namespace vordaopt::pareto {

using numerics::Dim;
using numerics::DimKind;

struct Nsga2Settings {
  size_t population = 50;       // parents, and children per generation; at least 2
  double crossover = 0.9;       // probability that a pair of parents is crossed
  double crossover_eta = 15.0;  // SBX distribution index: larger stays nearer the parents
  double mutation_eta = 20.0;   // polynomial mutation's distribution index
  // Probability that a coordinate mutates; 0: 1 / d.
  double mutation = 0.0;
};

class Nsga2 {
 public:
  // REQUIRES: objectives >= 1, settings.population >= 2.
  Nsga2(std::vector<Dim> dims, size_t objectives, uint64_t seed, Nsga2Settings settings = {});

  // The next point (d unit coordinates), given the points being evaluated
  // now (m x d): the first child of the current generation that is not
  // pending; when all are, a further child of the current parents.
  std::vector<double> propose(const std::vector<double>& pending) const;

  // Tells the objectives of a point (all minimised, finite) and by how much
  // it breaks its constraints (0: feasible).
  // REQUIRES: x.size() == d, values.size() == objectives, violation >= 0.
  void observe(const std::vector<double>& x, const std::vector<double>& values, double violation);

  size_t generation() const { return generation_; }
  // The current parents' points (n x d), best front first.
  std::vector<double> parents() const;

 private:
  struct Member {
    std::vector<double> x;
    std::vector<double> values;
    double violation = 0.0;
    uint32_t front = 0;
    double crowding = 0.0;
  };
  struct Child {
    std::vector<double> x;
    bool observed = false;
  };

  // Children number `first`, first + 1, ... of the parents, from `stream`.
  std::vector<std::vector<double>> breed(uint64_t stream, size_t count) const;
  void draw_generation();
  // Parents, children and extras compete; the best `population` survive.
  void select();

  std::vector<Dim> dims_;
  size_t objectives_;
  uint64_t seed_;
  Nsga2Settings settings_;
  size_t generation_ = 0;
  std::vector<Member> parents_;
  std::vector<Child> children_;
  std::vector<Member> pool_;  // observed since the last selection, in order
};

}  // namespace vordaopt::pareto

#endif  // VORDAOPT_CORE_PARETO_NSGA2_H_
