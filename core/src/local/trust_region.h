// A derivative-free trust-region search over the unit cube, for small budgets.
//
// From one starting point the search fits a quadratic model to the results
// nearest its best point (its centre) and steps to the model's minimum
// inside a ball of radius `radius` around the centre (and inside the cube).
// The model interpolates the 2d + 1 nearest results with the least curvature
// (the least Frobenius norm of its Hessian, as in Powell's NEWUOA), so it is
// a plane through the first d + 1 results and learns curvature as results
// gather. The ratio of the decrease found to the decrease the model promised
// widens the ball (the model is good), keeps it, or, after a step off a
// poorly spread set of points has been repaired once, halves it. The repair
// is one result along the direction the results near the ball cover least.
// A failed step halves the ball only when d + 1 of the model's points lie
// near it; until then it is repaired, since a model led by distant results
// says nothing of the ball (on steep functions, halving on its advice ended
// the search far from any minimum). When the radius falls below
// `radius_min` the search has converged.
//
// Such a search follows a smooth basin far faster per evaluation than a
// population or a global model in more than a few dimensions; it stays in
// the basin it starts in.
//
// The state is a function of the results told, in the order told: observe
// works out what propose would have proposed and, when the told point is
// that one, updates the radius; any other point is only remembered. So a
// journal rebuilds the state by telling the results again, and results of
// points proposed beside the plan (pending ones) are used by the model.
#ifndef VORDAOPT_CORE_LOCAL_TRUST_REGION_H_
#define VORDAOPT_CORE_LOCAL_TRUST_REGION_H_

#include <cstddef>
#include <optional>
#include <vector>

namespace vordaopt::local {

struct TrustRegionSettings {
  double radius = 0.2;        // the first radius, in unit-cube coordinates
  double radius_max = 0.5;    // a ball wider than half the cube models nothing local
  double radius_min = 1e-7;   // below this the search has converged
};

class TrustRegion {
 public:
  // REQUIRES: start holds d coordinates in [0, 1].
  TrustRegion(std::vector<double> start, TrustRegionSettings settings = {});

  // The next point (d unit coordinates), given the points being evaluated
  // now (m x d, row-major): the plan (a point of the first design, the
  // model's step, or a repair); when the plan is pending, the next design
  // point or the direction that the pending points and the results nearby
  // cover least.
  std::vector<double> propose(const std::vector<double>& pending) const;

  // Tells the value of a point.
  // REQUIRES: x holds d coordinates in [0, 1]; value is finite.
  void observe(const std::vector<double>& x, double value);

  bool converged() const { return radius_ < settings_.radius_min; }
  double radius() const { return radius_; }
  size_t size() const { return values_.size(); }

 private:
  enum class Move { kDesign, kModel, kRepair };
  struct Plan {
    Move move = Move::kDesign;
    std::vector<double> x;
    double promised = 0.0;  // the model's decrease, for kModel
    double radius = 0.0;    // the radius the plan was made with
    bool repaired = false;  // the state of the repair flag the plan leaves
  };

  // The plan of the current state, made once: propose and then observe of
  // the same state read it.
  const Plan& plan() const;
  Plan make_plan() const;
  void update(const Plan& p, double before, double value);
  // The first design: the start, then a step of the radius along each
  // coordinate (inwards where the cube ends).
  std::vector<double> design_point(size_t i) const;
  bool told(const std::vector<double>& x) const;
  // Whether d + 1 of `near` lie close enough to the centre for a failed
  // step to blame the radius rather than far points.
  bool local(const std::vector<size_t>& near, double radius) const;
  std::vector<double> repair_point(const double* centre, const std::vector<size_t>& near,
                                   const std::vector<double>& extra, double radius) const;
  // The 2d + 1 results nearest the centre that the model interpolates (one
  // of any two closer than a tiny share of `radius`).
  std::vector<size_t> nearest(double radius) const;
  const double* point(size_t i) const { return &points_[i * d_]; }

  size_t d_;
  std::vector<double> start_;
  TrustRegionSettings settings_;
  std::vector<double> points_;  // n x d, row-major
  std::vector<double> values_;
  size_t centre_ = 0;          // the index of the best result (the first among equals)
  double radius_;
  bool repaired_ = false;      // a repair was made since the last good step
  bool repair_next_ = false;   // the last step failed: repair before shrinking
  mutable std::optional<Plan> plan_;  // plan(), until the next observe
};

}  // namespace vordaopt::local

#endif  // VORDAOPT_CORE_LOCAL_TRUST_REGION_H_
