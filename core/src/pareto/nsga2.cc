#include "pareto/nsga2.h"

#include <algorithm>
#include <cmath>
#include <numeric>

#include "internal_error.h"
#include "pareto/dominance.h"
#include "rng.h"
#include "seed_mix.h"

namespace vordaopt::pareto {
namespace {

// Below this, two parents' coordinates count as equal and are not crossed
// (the spread of SBX is proportional to their distance).
constexpr double kSameCoordinate = 1e-14;

// Simulated binary crossover of one coordinate in [0, 1] (Deb and Agrawal,
// 1995, in the bounded form of Deb's NSGA-II code): children spread around
// the parents as a polynomial of index eta, cut at the bounds.
void cross(double& a, double& b, double eta, SeededRng& rng) {
  double low = std::min(a, b), high = std::max(a, b);
  double gap = high - low;
  double u = rng.unit_f64();
  auto spread = [&](double room) {
    double beta = 1.0 + 2.0 * room / gap;
    double alpha = 2.0 - std::pow(beta, -(eta + 1.0));
    return u <= 1.0 / alpha ? std::pow(u * alpha, 1.0 / (eta + 1.0))
                            : std::pow(1.0 / (2.0 - u * alpha), 1.0 / (eta + 1.0));
  };
  double c1 = 0.5 * ((low + high) - spread(low) * gap);
  double c2 = 0.5 * ((low + high) + spread(1.0 - high) * gap);
  c1 = std::clamp(c1, 0.0, 1.0);
  c2 = std::clamp(c2, 0.0, 1.0);
  if (rng.unit_f64() < 0.5) std::swap(c1, c2);
  a = c1;
  b = c2;
}

// Polynomial mutation of one coordinate in [0, 1] (Deb and Goyal, 1996, in
// its bounded form): a step of index eta that never leaves the interval.
double mutate(double x, double eta, SeededRng& rng) {
  double u = rng.unit_f64();
  double power = 1.0 / (eta + 1.0);
  double step;
  if (u < 0.5) {
    double v = 2.0 * u + (1.0 - 2.0 * u) * std::pow(1.0 - x, eta + 1.0);
    step = std::pow(v, power) - 1.0;
  } else {
    double v = 2.0 * (1.0 - u) + 2.0 * (u - 0.5) * std::pow(x, eta + 1.0);
    step = 1.0 - std::pow(v, power);
  }
  return std::clamp(x + step, 0.0, 1.0);
}

double choice_centre(uint32_t choice, uint32_t count) {
  return (static_cast<double>(choice) + 0.5) / static_cast<double>(count);
}

}  // namespace

Nsga2::Nsga2(std::vector<Dim> dims, size_t objectives, uint64_t seed, Nsga2Settings settings)
    : dims_(std::move(dims)), objectives_(objectives), seed_(seed), settings_(settings) {
  if (objectives_ == 0 || settings_.population < 2) {
    throw InternalError("NSGA-II needs an objective and a population of at least 2");
  }
  draw_generation();
}

std::vector<std::vector<double>> Nsga2::breed(uint64_t stream, size_t count) const {
  SeededRng rng = SeededRng::seed_from_u64(
      seed_mix(seed_mix(seed_) ^ seed_mix(generation_ * 0x100000001B3ull + stream)));
  size_t d = dims_.size();
  std::vector<std::vector<double>> children;
  if (parents_.empty()) {  // the first generation: uniform draws
    for (size_t c = 0; c < count; ++c) {
      std::vector<double> x(d);
      for (size_t k = 0; k < d; ++k) x[k] = share_centre(dims_[k], rng.unit_f64());
      children.push_back(std::move(x));
    }
    return children;
  }
  auto tournament = [&]() -> const Member& {
    uint32_t n = static_cast<uint32_t>(parents_.size());
    const Member& a = parents_[rng.random_range(n)];
    const Member& b = parents_[rng.random_range(n)];
    if (a.front != b.front) return a.front < b.front ? a : b;
    return b.crowding > a.crowding ? b : a;
  };
  double mutation = settings_.mutation > 0.0 ? settings_.mutation
                                             : 1.0 / static_cast<double>(std::max<size_t>(d, 1));
  while (children.size() < count) {
    std::vector<double> a = tournament().x;
    std::vector<double> b = tournament().x;
    if (rng.unit_f64() < settings_.crossover) {
      for (size_t k = 0; k < d; ++k) {
        bool swap = rng.unit_f64() < 0.5;
        if (dims_[k].kind == DimKind::kCategorical) {
          if (swap) std::swap(a[k], b[k]);
        } else if (swap && std::fabs(a[k] - b[k]) > kSameCoordinate) {
          cross(a[k], b[k], settings_.crossover_eta, rng);
        }
      }
    }
    for (std::vector<double>* child : {&a, &b}) {
      for (size_t k = 0; k < d; ++k) {
        if (!(rng.unit_f64() < mutation)) continue;
        const Dim& dim = dims_[k];
        if (dim.kind == DimKind::kCategorical) {
          uint32_t count_k = std::max<uint32_t>(dim.count, 1);
          (*child)[k] = choice_centre(rng.random_range(count_k), count_k);
        } else {
          (*child)[k] = mutate((*child)[k], settings_.mutation_eta, rng);
        }
      }
    }
    children.push_back(std::move(a));
    if (children.size() < count) children.push_back(std::move(b));
  }
  return children;
}

void Nsga2::draw_generation() {
  children_.clear();
  for (std::vector<double>& x : breed(0, settings_.population)) children_.push_back({std::move(x)});
}

std::vector<double> Nsga2::propose(const std::vector<double>& pending) const {
  size_t d = dims_.size();
  auto is_pending = [&](const std::vector<double>& x) {
    for (size_t j = 0; j + d <= pending.size() && d > 0; j += d) {
      if (std::equal(x.begin(), x.end(), pending.begin() + static_cast<std::ptrdiff_t>(j))) {
        return true;
      }
    }
    return false;
  };
  for (const Child& child : children_) {
    if (!child.observed && !is_pending(child.x)) return child.x;
  }
  // Every child is out: a further one, from a stream of its own.
  size_t out = d == 0 ? 0 : pending.size() / d;
  return breed(1 + out, 1).front();
}

void Nsga2::observe(const std::vector<double>& x, const std::vector<double>& values,
                    double violation) {
  if (x.size() != dims_.size() || values.size() != objectives_ || !(violation >= 0.0)) {
    throw InternalError("NSGA-II told a point or values of the wrong size");
  }
  pool_.push_back({x, values, violation});
  for (Child& child : children_) {
    if (!child.observed && child.x == x) {
      child.observed = true;
      break;
    }
  }
  bool complete = std::all_of(children_.begin(), children_.end(),
                              [](const Child& c) { return c.observed; });
  if (!complete) return;
  select();
  ++generation_;
  draw_generation();
}

void Nsga2::select() {
  std::vector<Member> all = std::move(parents_);
  all.insert(all.end(), pool_.begin(), pool_.end());
  pool_.clear();
  size_t n = all.size(), m = objectives_;
  std::vector<double> values, violations;
  for (const Member& member : all) {
    values.insert(values.end(), member.values.begin(), member.values.end());
    violations.push_back(member.violation);
  }
  std::vector<uint32_t> fronts = constrained_front_ranks(values, m, violations);
  uint32_t last = *std::max_element(fronts.begin(), fronts.end());
  std::vector<std::vector<size_t>> members(last + 1);
  for (size_t i = 0; i < n; ++i) members[fronts[i]].push_back(i);
  std::vector<Member> survivors;
  for (const std::vector<size_t>& front : members) {
    if (survivors.size() == settings_.population) break;
    std::vector<double> crowding = crowding_distances(values, m, front);
    std::vector<size_t> order(front.size());
    std::iota(order.begin(), order.end(), size_t{0});
    // Most isolated first; within a front this is what a partial front keeps.
    std::stable_sort(order.begin(), order.end(),
                     [&](size_t a, size_t b) { return crowding[a] > crowding[b]; });
    for (size_t r : order) {
      if (survivors.size() == settings_.population) break;
      Member member = all[front[r]];
      member.front = fronts[front[r]];
      member.crowding = crowding[r];
      survivors.push_back(std::move(member));
    }
  }
  parents_ = std::move(survivors);
}

std::vector<double> Nsga2::parents() const {
  std::vector<double> flat;
  for (const Member& member : parents_) flat.insert(flat.end(), member.x.begin(), member.x.end());
  return flat;
}

}  // namespace vordaopt::pareto
