#include "cma/search.h"

#include <algorithm>
#include <cmath>
#include <numeric>

#include "numerics/symmetric_eigen.h"
#include "rng.h"
#include "seed_mix.h"

namespace vordaopt::cma {

using numerics::symmetric_eigen;

namespace {

// A triangle wave of period 2: the real line folded into [0, 1].
double mirror(double g) {
  double t = std::fmod(g, 2.0);
  if (t < 0.0) t += 2.0;
  return t > 1.0 ? 2.0 - t : t;
}

// z with P(N(0, 1) > z) = alpha, by bisection on erfc (exact to the last bits
// the bisection reaches, and the same everywhere).
double upper_quantile(double alpha) {
  double low = 0.0, high = 40.0;
  for (int i = 0; i < 200 && low < high; ++i) {
    double mid = 0.5 * (low + high);
    if (mid == low || mid == high) break;
    if (0.5 * std::erfc(mid / std::sqrt(2.0)) > alpha) {
      low = mid;
    } else {
      high = mid;
    }
  }
  return 0.5 * (low + high);
}

// Convergence thresholds of a run (Hansen's defaults, on the unit cube).
constexpr double kTolX = 1e-11;           // largest coordinate step size
constexpr double kTolFun = 1e-12;         // spread of recent values, relative
constexpr double kMaxCondition = 1e14;    // of the covariance matrix
constexpr double kMinWarmSigma = 1e-6;    // a warm start's smallest step size
constexpr double kWarmScaleLimit = 1e2;   // a warm start's largest coordinate scale ratio
constexpr size_t kRedraws = 100;          // draws of a candidate before it is mirrored in

// The surrogate's trust: Kendall's tau between its predictions and the told
// values over the last kTauWindow results it predicted (Hansen, 2019, uses
// the same threshold). Fewer predicted results than the window: no trust.
constexpr double kTrustedTau = 0.85;
constexpr size_t kTauWindow = 15;
// A full quadratic up to 20 coordinates (231 coefficients); beyond, its fit
// would cost more than the evaluations it saves are worth to most users.
constexpr size_t kMaxModelCoefficients = 231;

}  // namespace

CmaSearch::CmaSearch(std::vector<Dim> dims, uint64_t seed, CmaSettings settings)
    : dims_(std::move(dims)), seed_(seed), settings_(settings) {
  for (size_t k = 0; k < dims_.size(); ++k) {
    if (dims_[k].kind == DimKind::kCategorical) {
      categorical_.push_back(k);
    } else {
      gaussian_.push_back(k);
    }
  }
  n_ = gaussian_.size();
  start_run(nullptr);
}

void CmaSearch::start_run(const std::vector<double>* mean) {
  size_t base = settings_.population;
  if (base == 0) {
    size_t size = std::max<size_t>(n_ + categorical_.size(), 1);
    base = 4 + static_cast<size_t>(std::floor(3.0 * std::log(static_cast<double>(size))));
  }
  lambda_ = base << std::min(restarts_, settings_.max_doublings);
  mu_ = std::max<size_t>(lambda_ / 2, 1);
  // Weights of all lambda ranks: positive for the best mu (they move the
  // mean), negative for the rest (active CMA: the covariance shrinks along
  // directions of bad steps). Hansen's tutorial, 2016, section 3.
  std::vector<double> raw(lambda_);
  for (size_t i = 0; i < lambda_; ++i) {
    raw[i] = std::log((static_cast<double>(lambda_) + 1.0) / 2.0) - std::log(static_cast<double>(i + 1));
  }
  double positive = 0.0, squares = 0.0, negative = 0.0, negative_squares = 0.0;
  for (size_t i = 0; i < lambda_; ++i) {
    if (i < mu_) {
      positive += raw[i];
      squares += raw[i] * raw[i];
    } else {
      negative -= raw[i];
      negative_squares += raw[i] * raw[i];
    }
  }
  mu_eff_ = positive * positive / squares;
  double mu_eff_negative = negative_squares > 0.0 ? negative * negative / negative_squares : 0.0;
  double n = static_cast<double>(std::max<size_t>(n_, 1));
  c_sigma_ = (mu_eff_ + 2.0) / (n + mu_eff_ + 5.0);
  d_sigma_ = 1.0 + 2.0 * std::max(0.0, std::sqrt((mu_eff_ - 1.0) / (n + 1.0)) - 1.0) + c_sigma_;
  c_c_ = (4.0 + mu_eff_ / n) / (n + 4.0 + 2.0 * mu_eff_ / n);
  c_1_ = 2.0 / ((n + 1.3) * (n + 1.3) + mu_eff_);
  c_mu_ = std::min(1.0 - c_1_, 2.0 * (mu_eff_ - 2.0 + 1.0 / mu_eff_) / ((n + 2.0) * (n + 2.0) + mu_eff_));
  double alpha_mu = 1.0 + c_1_ / c_mu_;
  double alpha_mu_eff = 1.0 + 2.0 * mu_eff_negative / (mu_eff_ + 2.0);
  double alpha_posdef = (1.0 - c_1_ - c_mu_) / (n * c_mu_);
  double negative_scale = std::min({alpha_mu, alpha_mu_eff, alpha_posdef});
  weights_.assign(lambda_, 0.0);
  for (size_t i = 0; i < lambda_; ++i) {
    weights_[i] = i < mu_ ? raw[i] / positive : (negative > 0.0 ? negative_scale * raw[i] / negative : 0.0);
  }
  chi_n_ = std::sqrt(n) * (1.0 - 1.0 / (4.0 * n) + 1.0 / (21.0 * n * n));

  if (mean != nullptr) {
    mean_ = *mean;
  } else if (restarts_ == 0) {
    mean_.assign(n_, 0.5);
  } else {
    SeededRng rng = SeededRng::seed_from_u64(seed_mix(seed_mix(seed_) ^ seed_mix(restarts_)));
    mean_.resize(n_);
    for (double& m : mean_) m = rng.unit_f64();
  }
  sigma_ = settings_.sigma;
  p_sigma_.assign(n_, 0.0);
  p_c_.assign(n_, 0.0);
  c_.assign(n_ * n_, 0.0);
  for (size_t i = 0; i < n_; ++i) c_[i * n_ + i] = 1.0;
  margin_.assign(n_, 1.0);
  probabilities_.clear();
  for (size_t k : categorical_) {
    uint32_t count = std::max<uint32_t>(dims_[k].count, 1);
    probabilities_.emplace_back(count, 1.0 / static_cast<double>(count));
  }
  generation_ = 0;
  best_history_.clear();
  archive_points_.clear();
  archive_values_.clear();
  predicted_.clear();
  actual_.clear();
  decompose();
  apply_margin();
  draw_generation();
}

void CmaSearch::warm_start(const std::vector<double>& points, const std::vector<double>& values) {
  size_t count = values.size();
  size_t d = dims_.size();
  if (count == 0 || points.size() != count * d) return;
  std::vector<size_t> order(count);
  std::iota(order.begin(), order.end(), size_t{0});
  std::stable_sort(order.begin(), order.end(),
                   [&](size_t a, size_t b) { return values[a] < values[b]; });
  size_t top = std::min(count, std::max<size_t>(lambda_, 2));
  const double* best = &points[order[0] * d];
  std::vector<double> mean(n_), variance(n_, 0.0);
  for (size_t j = 0; j < n_; ++j) mean[j] = best[gaussian_[j]];
  // The spread of the best points around the best one, per coordinate.
  for (size_t r = 1; r < top; ++r) {
    const double* x = &points[order[r] * d];
    for (size_t j = 0; j < n_; ++j) {
      double delta = x[gaussian_[j]] - mean[j];
      if (dims_[gaussian_[j]].kind == DimKind::kPeriodic) delta -= std::round(delta);
      variance[j] += delta * delta / static_cast<double>(top - 1);
    }
  }
  start_run(&mean);
  if (n_ > 0 && top > 1) {
    double average = 0.0;
    for (double v : variance) average += v / static_cast<double>(n_);
    double sigma = std::clamp(std::sqrt(average), kMinWarmSigma, settings_.sigma);
    if (average > 0.0) {
      sigma_ = sigma;
      for (size_t j = 0; j < n_; ++j) {
        double scale = variance[j] / average;  // shapes only: sigma carries the size
        c_[j * n_ + j] = std::clamp(scale, 1.0 / kWarmScaleLimit, kWarmScaleLimit);
      }
    }
  }
  for (size_t c = 0; c < categorical_.size(); ++c) {
    std::vector<double>& q = probabilities_[c];
    double total = static_cast<double>(top + q.size());
    std::vector<double> counts(q.size(), 1.0);  // one pseudo-count per choice
    for (size_t r = 0; r < top; ++r) {
      double t = points[order[r] * d + categorical_[c]];
      size_t choice = std::min(static_cast<size_t>(t * static_cast<double>(q.size())), q.size() - 1);
      counts[choice] += 1.0;
    }
    for (size_t k = 0; k < q.size(); ++k) q[k] = counts[k] / total;
  }
  decompose();
  apply_margin();
  draw_generation();
}

CmaSearch::Candidate CmaSearch::draw(size_t index) const {
  uint64_t key = seed_mix(seed_mix(seed_mix(seed_) ^ restarts_) ^ seed_mix(generation_ * 0x100000001B3ull + index));
  SeededRng rng = SeededRng::seed_from_u64(key);
  Candidate c;
  std::vector<double> z(n_);
  c.y.assign(n_, 0.0);
  // Draws outside the cube are drawn again (a few times: the distribution
  // barely changes while its mean is inside); the last one is mirrored in.
  for (size_t attempt = 0; attempt < kRedraws; ++attempt) {
    for (double& v : z) v = rng.sample_normal();
    bool inside = true;
    for (size_t i = 0; i < n_; ++i) {
      double s = 0.0;
      for (size_t k = 0; k < n_; ++k) s += b_[i * n_ + k] * (d_[k] * z[k]);
      c.y[i] = s;
      double g = mean_[i] + sigma_ * margin_[i] * s;
      if (dims_[gaussian_[i]].kind != DimKind::kPeriodic && !(g >= 0.0 && g <= 1.0)) inside = false;
    }
    if (inside) break;
  }
  c.unit.assign(dims_.size(), 0.0);
  for (size_t j = 0; j < n_; ++j) {
    const Dim& dim = dims_[gaussian_[j]];
    double g = mean_[j] + sigma_ * margin_[j] * c.y[j];
    double t = dim.kind == DimKind::kPeriodic ? g - std::floor(g) : mirror(g);
    c.unit[gaussian_[j]] = numerics::share_centre(dim, t);
  }
  for (size_t k = 0; k < categorical_.size(); ++k) {
    const std::vector<double>& q = probabilities_[k];
    double u = rng.unit_f64();
    size_t choice = q.size() - 1;
    double cumulative = 0.0;
    for (size_t i = 0; i < q.size(); ++i) {
      cumulative += q[i];
      if (u < cumulative) {
        choice = i;
        break;
      }
    }
    c.choices.push_back(static_cast<uint32_t>(choice));
    c.unit[categorical_[k]] = (static_cast<double>(choice) + 0.5) / static_cast<double>(q.size());
  }
  return c;
}

void CmaSearch::draw_generation() {
  candidates_.clear();
  for (size_t i = 0; i < lambda_; ++i) candidates_.push_back(draw(i));
  planned_ = lambda_;
  plan();
  if (candidates_[order_[0]].predicted) {
    planned_ = std::min(lambda_, std::max<size_t>({1, lambda_ / 10, settings_.round_size}));
  }
}

std::vector<double> CmaSearch::round_coordinates(const double* gaussian) const {
  std::vector<double> y(n_);
  for (size_t j = 0; j < n_; ++j) {
    double delta = gaussian[j] - mean_[j];
    if (dims_[gaussian_[j]].kind == DimKind::kPeriodic) delta -= std::round(delta);
    double scale = sigma_ * margin_[j];
    y[j] = scale > 0.0 ? delta / scale : 0.0;
  }
  return eigen_coordinates(y);
}

bool CmaSearch::modelled() const { return settings_.surrogate && categorical_.empty() && n_ > 0; }

double CmaSearch::predict(const QuadraticModel& model, const Candidate& c) const {
  std::vector<double> gaussian(n_);
  for (size_t j = 0; j < n_; ++j) gaussian[j] = c.unit[gaussian_[j]];
  return model.predict(round_coordinates(gaussian.data()).data());
}

std::optional<QuadraticModel> CmaSearch::fit_model() const {
  if (!modelled()) return std::nullopt;
  size_t count = archive_values_.size();
  size_t used = std::min(count, QuadraticModel::data_limit(n_, kMaxModelCoefficients));
  std::vector<double> rows, values;
  rows.reserve(used * n_);
  for (size_t r = count - used; r < count; ++r) {
    std::vector<double> u = round_coordinates(&archive_points_[r * n_]);
    rows.insert(rows.end(), u.begin(), u.end());
    values.push_back(archive_values_[r]);
  }
  return QuadraticModel::fit(rows, values, n_, kMaxModelCoefficients);
}

void CmaSearch::plan() {
  order_.clear();
  std::vector<size_t> open;
  for (size_t i = 0; i < candidates_.size(); ++i) {
    (candidates_[i].observed ? order_ : open).push_back(i);
  }
  std::optional<QuadraticModel> model = fit_model();
  if (model) {
    for (size_t i : open) {
      candidates_[i].prediction = predict(*model, candidates_[i]);
      candidates_[i].predicted = true;
    }
    std::stable_sort(open.begin(), open.end(), [&](size_t a, size_t b) {
      return candidates_[a].prediction < candidates_[b].prediction;
    });
  }
  order_.insert(order_.end(), open.begin(), open.end());
}

bool CmaSearch::ready() {
  size_t observed = 0;
  for (const Candidate& c : candidates_) observed += c.observed ? 1 : 0;
  if (observed == candidates_.size()) {
    for (Candidate& c : candidates_) c.rank_value = c.value;
    return true;
  }
  if (observed < planned_) return false;
  double tau = -1.0;
  if (predicted_.size() >= kTauWindow) {
    std::vector<double> p(predicted_.end() - kTauWindow, predicted_.end());
    std::vector<double> a(actual_.end() - kTauWindow, actual_.end());
    tau = kendall_tau(p, a);
  }
  std::optional<QuadraticModel> model;
  if (tau >= kTrustedTau) model = fit_model();
  if (model) {
    for (Candidate& c : candidates_) c.rank_value = predict(*model, c);
    return true;
  }
  // Twice as many, past those already told (a parallel round may have told
  // more than were planned).
  while (planned_ <= observed) planned_ = std::min(candidates_.size(), 2 * planned_);
  plan();
  return false;
}

void CmaSearch::decompose() {
  if (n_ == 0) return;
  std::vector<double> values;
  if (!symmetric_eigen(c_, n_, values, b_)) {
    values.assign(n_, 1.0);
    b_.assign(n_ * n_, 0.0);
    for (size_t i = 0; i < n_; ++i) b_[i * n_ + i] = 1.0;
  }
  d_.resize(n_);
  for (size_t i = 0; i < n_; ++i) d_[i] = std::sqrt(std::max(values[i], 0.0));
}

// The margin: each integer coordinate keeps a chance of at least alpha to
// leave the share its mean is in, on the side of the nearer inner boundary,
// by stretching that coordinate of the draws.
void CmaSearch::apply_margin() {
  double alpha = 1.0 / (static_cast<double>(std::max<size_t>(n_, 1)) * static_cast<double>(lambda_));
  double z = upper_quantile(alpha);
  for (size_t j = 0; j < n_; ++j) {
    const Dim& dim = dims_[gaussian_[j]];
    margin_[j] = 1.0;
    if (dim.kind != DimKind::kInteger || dim.count < 2) continue;
    double count = static_cast<double>(dim.count);
    double t = mirror(mean_[j]);
    double cell = std::min(std::floor(t * count), count - 1.0);
    double nearest = INFINITY;
    if (cell > 0.0) nearest = std::min(nearest, t - cell / count);
    if (cell < count - 1.0) nearest = std::min(nearest, (cell + 1.0) / count - t);
    double spread = sigma_ * std::sqrt(c_[j * n_ + j]);
    if (spread > 0.0 && std::isfinite(nearest) && z * spread < nearest) {
      margin_[j] = nearest / (z * spread);
    }
  }
}

std::vector<double> CmaSearch::propose(const std::vector<double>& pending) const {
  size_t d = dims_.size();
  size_t m = d == 0 ? 0 : pending.size() / d;
  std::vector<char> used(m, 0);
  for (size_t index : order_) {
    const Candidate& c = candidates_[index];
    if (c.observed) continue;
    bool taken = false;
    for (size_t j = 0; j < m && !taken; ++j) {
      if (!used[j] && std::equal(c.unit.begin(), c.unit.end(), pending.begin() + static_cast<std::ptrdiff_t>(j * d))) {
        used[j] = 1;
        taken = true;
      }
    }
    if (!taken) return c.unit;
  }
  // Every candidate is out: one more draw, numbered past the generation.
  return draw(lambda_ + m).unit;
}

void CmaSearch::observe(const std::vector<double>& x, double value) {
  if (!any_ || value < best_ever_) best_ever_ = value;
  any_ = true;
  bool candidate = false;
  for (Candidate& c : candidates_) {
    if (!c.observed && c.unit == x) {
      c.observed = true;
      c.value = value;
      candidate = true;
      if (c.predicted) {
        predicted_.push_back(c.prediction);
        actual_.push_back(value);
      }
      break;
    }
  }
  if (modelled()) {
    for (size_t j = 0; j < n_; ++j) archive_points_.push_back(x[gaussian_[j]]);
    archive_values_.push_back(value);
    // Only the most recent results are ever used: a long run keeps no more
    // than twice as many (dropped in one go, so the cost stays linear).
    size_t keep = QuadraticModel::data_limit(n_, kMaxModelCoefficients);
    if (archive_values_.size() > 2 * keep) {
      size_t drop = archive_values_.size() - keep;
      archive_values_.erase(archive_values_.begin(), archive_values_.begin() + static_cast<std::ptrdiff_t>(drop));
      archive_points_.erase(archive_points_.begin(), archive_points_.begin() + static_cast<std::ptrdiff_t>(drop * n_));
    }
    if (predicted_.size() > 2 * kTauWindow) {
      predicted_.erase(predicted_.begin(), predicted_.end() - kTauWindow);
      actual_.erase(actual_.begin(), actual_.end() - kTauWindow);
    }
  }
  if (!candidate || !ready()) return;
  update();
  if (converged()) {
    ++restarts_;
    start_run(nullptr);
    return;
  }
  ++generation_;
  // The eigen-decomposition costs n^3: in high dimension it is refreshed only
  // as often as the covariance matrix moves appreciably.
  double lag = 1.0 / (10.0 * static_cast<double>(std::max<size_t>(n_, 1)) * (c_1_ + c_mu_));
  if (n_ <= 50 || lag < 1.0 || generation_ % static_cast<size_t>(lag) == 0) decompose();
  apply_margin();
  draw_generation();
}

std::vector<double> CmaSearch::eigen_coordinates(const std::vector<double>& y) const {
  std::vector<double> t(n_, 0.0);
  for (size_t k = 0; k < n_; ++k) {
    double s = 0.0;
    for (size_t i = 0; i < n_; ++i) s += b_[i * n_ + k] * y[i];
    t[k] = d_[k] > 0.0 ? s / d_[k] : 0.0;
  }
  return t;
}

void CmaSearch::update() {
  std::vector<size_t> order(candidates_.size());
  std::iota(order.begin(), order.end(), size_t{0});
  std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
    return candidates_[a].rank_value < candidates_[b].rank_value;
  });
  double best = INFINITY;
  for (const Candidate& c : candidates_) {
    if (c.observed) best = std::min(best, c.value);
  }
  best_history_.push_back(best);

  // The categorical distributions move towards the selected choices.
  for (size_t k = 0; k < categorical_.size(); ++k) {
    std::vector<double>& q = probabilities_[k];
    double size = static_cast<double>(q.size());
    double rate = 0.5 * mu_eff_ / (mu_eff_ + size);
    std::vector<double> target(q.size(), 0.0);
    for (size_t i = 0; i < mu_; ++i) target[candidates_[order[i]].choices[k]] += weights_[i];
    double floor = 1.0 / (size * static_cast<double>(lambda_));
    double total = 0.0;
    for (size_t c = 0; c < q.size(); ++c) {
      q[c] = std::max(q[c] + rate * (target[c] - q[c]), floor);
      total += q[c];
    }
    for (double& p : q) p /= total;
  }
  if (n_ == 0) return;

  std::vector<double> y_w(n_, 0.0);
  for (size_t i = 0; i < mu_; ++i) {
    const std::vector<double>& y = candidates_[order[i]].y;
    for (size_t j = 0; j < n_; ++j) y_w[j] += weights_[i] * y[j];
  }
  for (size_t j = 0; j < n_; ++j) {
    mean_[j] += sigma_ * margin_[j] * y_w[j];
    // The mean stays in the cube (on a face when the optimum is beyond it),
    // where the draws around it can land; periodic coordinates need not.
    if (dims_[gaussian_[j]].kind != DimKind::kPeriodic) mean_[j] = std::clamp(mean_[j], 0.0, 1.0);
  }
  // C^(-1/2) y_w = B D^-1 B^T y_w.
  std::vector<double> bt = eigen_coordinates(y_w), whitened(n_, 0.0);
  for (size_t i = 0; i < n_; ++i) {
    double s = 0.0;
    for (size_t k = 0; k < n_; ++k) s += b_[i * n_ + k] * bt[k];
    whitened[i] = s;
  }
  double path_rate = std::sqrt(c_sigma_ * (2.0 - c_sigma_) * mu_eff_);
  double norm = 0.0;
  for (size_t j = 0; j < n_; ++j) {
    p_sigma_[j] = (1.0 - c_sigma_) * p_sigma_[j] + path_rate * whitened[j];
    norm += p_sigma_[j] * p_sigma_[j];
  }
  norm = std::sqrt(norm);
  double decay = 1.0 - std::pow(1.0 - c_sigma_, 2.0 * static_cast<double>(generation_ + 1));
  double n = static_cast<double>(n_);
  bool h_sigma = norm / std::sqrt(decay) < (1.4 + 2.0 / (n + 1.0)) * chi_n_;
  double c_rate = std::sqrt(c_c_ * (2.0 - c_c_) * mu_eff_);
  for (size_t j = 0; j < n_; ++j) {
    p_c_[j] = (1.0 - c_c_) * p_c_[j] + (h_sigma ? c_rate * y_w[j] : 0.0);
  }
  // Negative weights act on steps scaled to the length of a typical one, so
  // that a long bad step cannot remove more than its share of variance.
  std::vector<double> rank_weights(lambda_);
  double weight_sum = 0.0;
  for (size_t i = 0; i < lambda_; ++i) {
    rank_weights[i] = weights_[i];
    weight_sum += weights_[i];
    if (weights_[i] >= 0.0) continue;
    std::vector<double> t = eigen_coordinates(candidates_[order[i]].y);
    double length = 0.0;
    for (double v : t) length += v * v;  // |C^(-1/2) y|^2
    if (length > 0.0) rank_weights[i] *= n / length;
  }
  double keep = 1.0 - c_1_ - c_mu_ * weight_sum + (h_sigma ? 0.0 : c_1_ * c_c_ * (2.0 - c_c_));
  for (size_t a = 0; a < n_; ++a) {
    for (size_t b = 0; b <= a; ++b) {
      double rank_mu = 0.0;
      for (size_t i = 0; i < lambda_; ++i) {
        const std::vector<double>& y = candidates_[order[i]].y;
        rank_mu += rank_weights[i] * y[a] * y[b];
      }
      double v = keep * c_[a * n_ + b] + c_1_ * p_c_[a] * p_c_[b] + c_mu_ * rank_mu;
      c_[a * n_ + b] = c_[b * n_ + a] = v;
    }
  }
  sigma_ *= std::exp(std::min(1.0, (c_sigma_ / d_sigma_) * (norm / chi_n_ - 1.0)));
}

bool CmaSearch::converged() const {
  for (double m : mean_) {
    if (!std::isfinite(m)) return true;
  }
  if (!std::isfinite(sigma_) || !(sigma_ > 0.0)) return true;
  if (n_ > 0) {
    double widest = 0.0;
    bool any_smooth = false;
    for (size_t j = 0; j < n_; ++j) {
      if (dims_[gaussian_[j]].kind == DimKind::kInteger) continue;
      any_smooth = true;
      widest = std::max(widest, sigma_ * margin_[j] * std::sqrt(c_[j * n_ + j]));
    }
    if (any_smooth && widest < kTolX) return true;
    double largest = *std::max_element(d_.begin(), d_.end());
    double smallest = *std::min_element(d_.begin(), d_.end());
    if (!(smallest > 0.0) || largest * largest > kMaxCondition * smallest * smallest) return true;
  }
  size_t window = 10 + static_cast<size_t>(std::ceil(30.0 * static_cast<double>(n_) / static_cast<double>(lambda_)));
  if (best_history_.size() >= window) {
    double low = INFINITY, high = -INFINITY;
    for (size_t i = best_history_.size() - window; i < best_history_.size(); ++i) {
      low = std::min(low, best_history_[i]);
      high = std::max(high, best_history_[i]);
    }
    for (const Candidate& c : candidates_) {
      if (!c.observed) continue;
      low = std::min(low, c.value);
      high = std::max(high, c.value);
    }
    if (high - low <= kTolFun * std::max(1.0, std::fabs(best_ever_))) return true;
  }
  return false;
}

}  // namespace vordaopt::cma
