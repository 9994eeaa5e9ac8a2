// Known answers for the prime geometry, the stateless points and the batch.
#include "probe.h"

#include <cmath>
#include <string>

#include <gtest/gtest.h>

#include "internal_error.h"

namespace vordaopt {
namespace {

NamedMap<Domain> linear_x(double lo, double hi) { return {{"x", Domain{lo, hi, Scale::kLinear}}}; }

SolverConfig config_of(uint64_t budget, double ratio, NamedMap<Domain> bounds) {
  SolverConfig c;
  c.budget = budget;
  c.probe_ratio = ratio;
  c.bounds = std::move(bounds);
  return c;
}

std::vector<double> xs(const std::vector<ParamMap>& points) {
  std::vector<double> out;
  for (const auto& p : points) out.push_back(*p.find("x"));
  return out;
}

std::string failure(auto&& fn) {
  try {
    fn();
  } catch (const InternalError& e) {
    return e.message();
  }
  return "no failure";
}

TEST(Sieve, SmallLimits) {
  using V = std::vector<size_t>;
  EXPECT_EQ(PrimeIndexProbe::sieve_of_eratosthenes(0), V{});
  EXPECT_EQ(PrimeIndexProbe::sieve_of_eratosthenes(1), V{});
  EXPECT_EQ(PrimeIndexProbe::sieve_of_eratosthenes(2), V{2});
  EXPECT_EQ(PrimeIndexProbe::sieve_of_eratosthenes(15), (V{2, 3, 5, 7, 11, 13}));
  EXPECT_EQ(PrimeIndexProbe::sieve_of_eratosthenes(26), (V{2, 3, 5, 7, 11, 13, 17, 19, 23}));
  EXPECT_EQ(PrimeIndexProbe::sieve_of_eratosthenes(49).back(), 47u);
  EXPECT_EQ(PrimeIndexProbe::sieve_of_eratosthenes(1925).size(), 293u);
}

TEST(Geometry, ThreeNamesSortedWithSlopesAndRotations) {
  PrimeSqrtSlopesRotProbe probe;
  NamedMap<Domain> bounds = {{"b", {}}, {"a", {}}, {"c", {}}};
  ProbeGeometry g = prepare_geometry(probe, bounds);
  EXPECT_EQ(g.names, (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_EQ(g.primes.size(), 213u);
  EXPECT_EQ(g.slopes, (std::vector<double>{15.264337522473747, 15.459624833740307,
                                           15.524174696260024}));
  EXPECT_EQ(g.rotations, (std::vector<double>{0.06846815653392468, 0.8968952812801376,
                                              0.3821766555187196}));
  // Byte-wise order: upper case first, a prefix before its extensions.
  NamedMap<Domain> names = {{"lr_decay", {}}, {"a", {}}, {"lr", {}}, {"B", {}}};
  EXPECT_EQ(prepare_geometry(probe, names).names,
            (std::vector<std::string>{"B", "a", "lr", "lr_decay"}));
  EXPECT_TRUE(prepare_geometry(probe, {}).slopes.empty());
}

TEST(StatelessPoints, LinearAndLogKnownValues) {
  PrimeSqrtSlopesRotProbe probe;
  probe.seed_offset = 0.0;
  EXPECT_EQ(*sample_at(probe, 0, linear_x(0, 10)).find("x"), 3.328056790076719);
  EXPECT_EQ(xs(sample_range(probe, 0, 3, linear_x(0, 10))),
            (std::vector<double>{3.328056790076719, 5.971432014814191, 8.61480723955168}));
  probe.seed_offset = 0.36901521971920914;
  EXPECT_EQ(xs(sample_range(probe, 0, 3, linear_x(0, 10))),
            (std::vector<double>{7.01820898726881, 9.661584212006282, 2.304959436743772}));
  probe.seed_offset = 0.0;
  NamedMap<Domain> log = {{"x", Domain{0.0001, 0.1, Scale::kLog}}};
  EXPECT_EQ(xs(sample_range(probe, 0, 2, log)),
            (std::vector<double>{0.000996361727656492, 0.006186280449190653}));
}

TEST(StatelessPoints, IndexWrapsAndRangesCutAnywhere) {
  PrimeSqrtSlopesRotProbe probe;
  probe.seed_offset = 0.25;
  NamedMap<Domain> bounds = {{"x", {0, 1, Scale::kLinear}}, {"y", {1, 100, Scale::kLog}}};
  auto wrapped = sample_range(probe, 4294967295u, 2, linear_x(0, 1));
  double rotation = prepare_geometry(probe, linear_x(0, 1)).rotations[0];
  EXPECT_EQ(*wrapped[0].find("x"), std::fmod(0.25 + rotation, 1.0));
  EXPECT_EQ(wrapped[1], sample_at(probe, 0, linear_x(0, 1)));

  auto whole = sample_range(probe, 10, 50, bounds);
  for (uint32_t j = 0; j < 50; ++j) EXPECT_EQ(whole[j], sample_at(probe, 10 + j, bounds));
  EXPECT_TRUE(sample_range(probe, 3, 0, bounds).empty());
  EXPECT_EQ(sample_range(probe, 0, 3, {}), std::vector<ParamMap>(3));
}

TEST(StatelessPoints, LogDomainEdges) {
  PrimeSqrtSlopesRotProbe probe;
  NamedMap<Domain> same = {{"x", Domain{2.5, 2.5, Scale::kLog}}};
  EXPECT_EQ(*sample_at(probe, 7, same).find("x"), 2.5);
  NamedMap<Domain> nonpositive = {{"x", Domain{-1, 1, Scale::kLog}}};
  EXPECT_TRUE(std::isnan(*sample_at(probe, 0, nonpositive).find("x")));
  NamedMap<Domain> reversed = {{"x", Domain{2, 0.5, Scale::kLog}}};
  EXPECT_EQ(failure([&] { sample_at(probe, 0, reversed); }),
            "min > max, or either was NaN. min = 2.0, max = 0.5");
  // Linear domains take any pair, reversed included.
  EXPECT_EQ(*sample_at(probe, 0, linear_x(10, 0)).find("x"), 10 - 3.328056790076719);
}

TEST(Batch, BudgetTwentyHalfProbeWithAndWithoutShift) {
  PrimeSqrtSlopesRotProbe probe;  // seed_offset 0, spice 0.1
  SolverConfig cfg = config_of(20, 0.5, linear_x(0, 10));
  EXPECT_EQ(xs(probe.sample(cfg)),
            (std::vector<double>{0.0, 5.0, 3.328056790076719, 5.971432014814191,
                                 8.61480723955168, 1.2581824642891348, 3.901557689026589,
                                 6.544932913764114, 9.188308138501498, 7.0907541542656185}));
  probe.cp_shift = std::vector<double>{0.5};
  EXPECT_EQ(xs(probe.sample(cfg)),
            (std::vector<double>{0.0, 5.0, 8.328056790076719, 0.9714320148141908,
                                 3.6148072395516806, 6.258182464289135, 8.901557689026589,
                                 1.5449329137641143, 4.1883081385014975, 7.0907541542656185}));
}

TEST(Batch, Counts) {
  PrimeSqrtSlopesRotProbe probe;
  EXPECT_EQ(xs(probe.sample(config_of(1, 0.5, linear_x(0, 10)))), std::vector<double>{0.0});
  EXPECT_EQ(xs(probe.sample(config_of(0, 0.5, linear_x(0, 10)))), std::vector<double>{0.0});
  EXPECT_EQ(xs(probe.sample(config_of(4, 0.5, linear_x(0, 10)))), (std::vector<double>{0.0, 5.0}));
  EXPECT_EQ(probe.sample(config_of(90, 0.1, linear_x(0, 10))).size(), 9u);  // n_rand 0
  probe.spice_ratio = 0.0;
  auto no_spice = probe.sample(config_of(20, 0.5, linear_x(0, 10)));
  EXPECT_EQ(no_spice.size(), 10u);
  // Lattice point i is the stateless point of index i - 1.
  EXPECT_EQ(no_spice.back(), sample_at(probe, 7, linear_x(0, 10)));
  EXPECT_EQ(probe.sample(config_of(20, 0.5, {})), std::vector<ParamMap>(10));
}

TEST(Batch, LogAnchorsAreClamped) {
  PrimeSqrtSlopesRotProbe probe;
  NamedMap<Domain> bounds = {{"a", {-1, 1, Scale::kLinear}}, {"b", {0.001, 1000, Scale::kLog}}};
  auto batch = probe.sample(config_of(20, 0.5, bounds));
  EXPECT_EQ(*batch[0].find("a"), -1.0);
  EXPECT_EQ(*batch[0].find("b"), 0.0010000000000000002);
  EXPECT_EQ(*batch[1].find("a"), 0.0);
  EXPECT_EQ(*batch[1].find("b"), 1.0);
}

TEST(Batch, ContractFailures) {
  PrimeSqrtSlopesRotProbe probe;
  NamedMap<Domain> two = {{"a", {0, 1, Scale::kLinear}}, {"b", {0, 1, Scale::kLinear}}};
  probe.cp_shift = std::vector<double>{0.5};
  EXPECT_EQ(failure([&] { probe.sample(config_of(20, 0.5, two)); }),
            "index out of bounds: the len is 1 but the index is 1");
  probe.cp_shift.reset();
  NamedMap<Domain> reversed = {{"x", Domain{3, 1, Scale::kLog}}};
  EXPECT_EQ(failure([&] { probe.sample(config_of(20, 0.5, reversed)); }),
            "min > max, or either was NaN. min = 3.0, max = 1.0");
  EXPECT_EQ(failure([&] { probe.sample(config_of(UINT64_MAX, 1.0, linear_x(0, 1))); }),
            "capacity overflow");
}

// Slices read through the cursor, in any order, are the batch's own points.
TEST(BatchCursor, SlicesInAnyOrderAreTheBatch) {
  NamedMap<Domain> bounds = {{"a", {0, 1, Scale::kLinear}}, {"b", {0.01, 10, Scale::kLog}},
                             {"c", {0, 360, Scale::kPeriodic}}};
  PrimeSqrtSlopesRotProbe restart;
  restart.seed_offset = 0.6873251059029997;
  restart.spice_ratio = 0.2;
  restart.cp_shift = std::vector<double>{0.25, 0.5, 0.75};
  for (const PrimeSqrtSlopesRotProbe& probe : {PrimeSqrtSlopesRotProbe{}, restart}) {
    for (uint64_t budget : {0, 1, 4, 23, 100, 997}) {
      SolverConfig cfg = config_of(budget, 0.5, bounds);
      std::vector<ParamMap> batch = probe.sample(cfg);
      ProbeBatchCursor cursor(probe, cfg);
      ASSERT_EQ(cursor.size(), batch.size());
      auto point = [&](size_t i) {
        std::vector<double> values(cursor.dims());
        cursor.seek(i);
        cursor.next(values.data());
        return values;
      };
      // Last to first, then first to last, then jumps across the sections.
      for (size_t i = batch.size(); i-- > 0;) {
        auto values = point(i);
        EXPECT_EQ(values[1], *batch[i].find("b")) << budget << " " << i;
      }
      for (size_t i : {size_t{0}, batch.size() - 1, batch.size() / 2, size_t{1} % batch.size()}) {
        auto values = point(i);
        EXPECT_EQ(values[0], *batch[i].find("a"));
        EXPECT_EQ(values[2], *batch[i].find("c"));
      }
      EXPECT_EQ(cursor.requested(), budget == 1 ? 1u : budget / 2 + budget % 2);
    }
  }
}

}  // namespace
}  // namespace vordaopt
