// The GP method's proposal for two or three objectives: the point whose
// expected hypervolume improvement is largest, each objective with a GP of
// its own.
//
// With a front of mutually non-dominated points (a_i, b_i), a_1 < ... < a_k
// and so b_1 > ... > b_k, and a reference point (r1, r2) beyond all of them,
// the region a new point Y would add is a union of vertical strips: over
// [max(a_{i-1}, Y1), a_i), from Y2 up to b_{i-1} (a_0 = -inf, b_0 = r2,
// a_{k+1} = r1). For independent Gaussian Y1 and Y2 the expectation of each
// strip's area is the product of two expected improvements:
//
//   EHVI = sum_{i=1}^{k+1} (E(a_i - Y1)+ - E(a_{i-1} - Y1)+) E(b_{i-1} - Y2)+
//
// (each E(t - Y)+ is sigma h((t - mean) / sigma), log_ei.h), exact, in time
// linear in the front once it is sorted (Emmerich et al., "Hypervolume-based
// expected improvement", 2006, and later closed forms). The logarithm is
// taken term by term, so that far from the front it does not underflow.
//
// A proposal: each objective's values are warped and modelled apart
// (propose.h), pending points believe both models and join the front at
// their means, the reference point lies a tenth of each objective's range
// beyond its worst result, and log EHVI is maximised over the screening set
// and perturbations of its best candidates at shrinking scales. A function
// of its inputs alone, as propose() is.
#ifndef VORDAOPT_CORE_GP_EHVI_H_
#define VORDAOPT_CORE_GP_EHVI_H_

#include <cstdint>
#include <vector>

#include "gp/kernel.h"
#include "gp/propose.h"

namespace vordaopt::gp {

// Two objectives' front, sorted: first ascending, second descending, every
// point strictly below the reference in both.
struct Front2 {
  std::vector<double> first, second;
  double reference_first = 0.0, reference_second = 0.0;
};

// The front of the points (first[i], second[i]) below the reference: ties
// and dominated points dropped.
Front2 front_of(const std::vector<double>& first, const std::vector<double>& second,
                double reference_first, double reference_second);

// log EHVI of a point believed N(mean1, sd1^2) x N(mean2, sd2^2); -inf where
// it cannot improve (sd = 0 and dominated).
double log_ehvi(const Front2& front, double mean1, double sd1, double mean2, double sd2);

// Three objectives: the region no point dominates, below the reference, as
// cells of a grid. In the third objective the cells span the slabs between
// the points' distinct values (the lowest from minus infinity); in the first,
// the strips between theirs; in the second, each cell reaches from minus
// infinity up to the least second value of the points that dominate its
// corner (or the reference). A new point's expected improvement in a cell is
// again a product of differences of expected improvements, so
//
//   EHVI = sum over cells of (E(g_t - Y1)+ - E(g_{t-1} - Y1)+)
//                            E(h_jt - Y2)+ (E(z_j - Y3)+ - E(z_{j-1} - Y3)+),
//
// exact, in time quadratic in the front.
struct Front3 {
  std::vector<double> grid1;       // g_1 < ... < g_T, the last the reference
  std::vector<double> levels3;     // z_1 < ... < z_S, the last the reference
  std::vector<double> heights;     // the distinct h_jt, ascending
  std::vector<size_t> height_of;   // S x T: h_jt's index in `heights`
};

// The cells of the points (first[i], second[i], third[i]) below `reference`.
Front3 front3_of(const std::vector<double>& first, const std::vector<double>& second,
                 const std::vector<double>& third, const double reference[3]);

// log EHVI of a point believed N(mean_k, sd_k^2) in each objective.
double log_ehvi3(const Front3& front, const double mean[3], const double sd[3]);

// points: n x d unit coordinates (row-major), values: n x `objectives` (2
// or 3; a point's values together), to minimise; pending: m x d. Returns d
// unit coordinates.
std::vector<double> propose_ehvi(const std::vector<Dim>& dims, const std::vector<double>& points,
                                 const std::vector<double>& values, size_t objectives,
                                 const std::vector<double>& pending, uint64_t seed,
                                 const ProposeSettings& settings = {});

}  // namespace vordaopt::gp

#endif  // VORDAOPT_CORE_GP_EHVI_H_
