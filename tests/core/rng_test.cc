// Known answers for the seeded generator, compared bit for bit.
#include "rng.h"

#include <cmath>
#include <string>

#include <gtest/gtest.h>

#include "internal_error.h"

namespace vordaopt {
namespace {

TEST(SeededRng, ChaCha8PublishedVector) {
  // All-zero key, block 0: the published 8-round test vector's first 32 bytes.
  std::array<uint32_t, 16> block = chacha8_block({}, 0, 0);
  const uint32_t expected[8] = {0x2fef003e, 0xd6405f89, 0xe8b85b7f, 0xa1a5091f,
                                0xc30e842c, 0x3b7f9ace, 0x88e11b18, 0x1e1a71ef};
  for (int i = 0; i < 8; ++i) EXPECT_EQ(block[i], expected[i]) << i;
}

TEST(SeededRng, Seed42) {
  SeededRng rng = SeededRng::seed_from_u64(42);
  const std::array<uint32_t, 8> key = {0x7ba18fa4, 0x0a3d3258, 0xcca1b8ea, 0xb8140169,
                                       0x75c88c2b, 0x54f7b418, 0xa16e448d, 0xf220dfe4};
  EXPECT_EQ(rng.key(), key);
  EXPECT_EQ(rng.index(), 64u);
  EXPECT_EQ(rng.counter(), 0u);
  EXPECT_EQ(rng.next_u64(), 0xae90bfb5395d5ba1ULL);
  EXPECT_EQ(rng.next_u64(), 0xf3453fc625799188ULL);
  EXPECT_EQ(rng.counter(), 4u);

  SeededRng u = SeededRng::seed_from_u64(42);
  EXPECT_EQ(u.unit_f64(), 0.6818961923066714);
  EXPECT_EQ(u.unit_f64(), 0.950275407672484);
  EXPECT_EQ(u.unit_f64(), 0.4275164028565197);

  SeededRng n = SeededRng::seed_from_u64(42);
  EXPECT_EQ(n.sample_normal(), 0.47798123835102174);
  EXPECT_EQ(n.sample_normal(), 1.3340706102318078);
}

TEST(SeededRng, Seed0WordsAreLowHalfFirst) {
  SeededRng a = SeededRng::seed_from_u64(0);
  EXPECT_EQ(a.next_u64(), 0xb585f767a79a3b6cULL);
  EXPECT_EQ(a.next_u64(), 0x7746a55fbad8c037ULL);
  SeededRng b = SeededRng::seed_from_u64(0);
  EXPECT_EQ(b.next_u32(), 0xa79a3b6cu);
  EXPECT_EQ(b.next_u32(), 0xb585f767u);
}

TEST(SeededRng, NextU64StraddlesARefill) {
  SeededRng rng = SeededRng::seed_from_u64(42);
  for (int i = 0; i < 63; ++i) rng.next_u32();
  EXPECT_EQ(rng.index(), 63u);
  EXPECT_EQ(rng.next_u64(), 0x4947cb17198f3a0aULL);
  EXPECT_EQ(rng.index(), 1u);
  EXPECT_EQ(rng.counter(), 8u);
}

TEST(SeededRng, Ranges) {
  SeededRng a = SeededRng::seed_from_u64(42);
  EXPECT_EQ(a.random_range(10.0, 20.0), 16.818961923066713);
  SeededRng b = SeededRng::seed_from_u64(42);
  const uint32_t expected[] = {1, 4, 1, 6, 5};
  for (uint32_t e : expected) EXPECT_EQ(b.random_range(7u), e);
  SeededRng c = SeededRng::seed_from_u64(1);
  EXPECT_EQ(c.random_range(3.5, 3.5), 3.5);
  for (int i = 0; i < 1000; ++i) EXPECT_LT(c.random_range(1u), 1u);
}

TEST(SeededRng, RangeContractFailures) {
  auto message = [](auto&& fn) {
    try {
      fn();
    } catch (const InternalError& e) {
      return e.message();
    }
    return std::string("no failure");
  };
  SeededRng rng = SeededRng::seed_from_u64(42);
  EXPECT_EQ(message([&] { rng.random_range(1.0, 0.0); }), "cannot sample empty range");
  EXPECT_EQ(message([&] { rng.random_range(NAN, 1.0); }), "cannot sample empty range");
  EXPECT_EQ(message([&] { rng.random_range(-1e308, 1e308); }),
            "called `Result::unwrap()` on an `Err` value: NonFinite");
  EXPECT_EQ(message([&] { rng.random_range(0.0, INFINITY); }),
            "called `Result::unwrap()` on an `Err` value: NonFinite");
}

TEST(Ziggurat, TablesMatchStatedRows) {
  const auto& x = zig_norm_x();
  const auto& f = zig_norm_f();
  EXPECT_EQ(x[0], 3.91075795953709);
  EXPECT_EQ(x[1], 3.654152885361009);
  EXPECT_EQ(x[2], 3.4492782985609645);
  EXPECT_EQ(x[128], 1.5353425714388431);
  EXPECT_EQ(x[255], 0.2152418959132738);
  EXPECT_EQ(x[256], 0.0);
  EXPECT_EQ(f[0], 0.000477467764586655);
  EXPECT_EQ(f[1], 0.001260285930498598);
  EXPECT_EQ(f[3], 0.004037972593371872);
  EXPECT_EQ(f[94], 0.2064054063986793);
  EXPECT_EQ(f[128], 0.30769741250555377);
  EXPECT_EQ(f[255], 0.9771017012827313);
  EXPECT_EQ(f[256], 1.0);
}

}  // namespace
}  // namespace vordaopt
