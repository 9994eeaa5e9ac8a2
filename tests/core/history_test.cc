// The history: records come back as appended, and an append that runs out of
// memory part-way leaves the history exactly as it was.
#include "history.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <new>
#include <vector>

// Every allocation of this test binary goes through here, so that a test can
// make the k-th one from now fail. Disarmed (negative) by default.
namespace {
thread_local long g_allocations_left = -1;
}

// Every plain form is replaced together, so that each block is freed by the
// allocator that made it (AddressSanitizer checks the pairs).
namespace {
void* counted_alloc(std::size_t n) {
  if (g_allocations_left == 0) throw std::bad_alloc();
  if (g_allocations_left > 0) --g_allocations_left;
  if (void* p = std::malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
}  // namespace

void* operator new(std::size_t n) { return counted_alloc(n); }
void* operator new[](std::size_t n) { return counted_alloc(n); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
  try {
    return counted_alloc(n);
  } catch (...) {
    return nullptr;
  }
}
void* operator new[](std::size_t n, const std::nothrow_t& t) noexcept { return operator new(n, t); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }

namespace vordaopt {
namespace {

std::vector<EvalTrace> snapshot(const History& h) {
  std::vector<EvalTrace> out;
  for (size_t i = 0; i < h.size(); ++i) out.push_back(h.record(i));
  return out;
}

TEST(History, RecordsComeBackAsAppended) {
  std::vector<EvalTrace> records = {{7, {{"b", 2.0}, {"a", -1.0}}, 0.5, 1.0},
                                    {3, {}, 1.5, 2.0},
                                    {9, {{"c", 4.0}}, -2.0, 0.0}};
  History h(records);
  EXPECT_EQ(snapshot(h), records);
  EXPECT_EQ(h.max_eval_id(), 9u);
  EXPECT_EQ(h.param(0, h.name_id("a")), -1.0);
  EXPECT_EQ(h.param(1, h.name_id("a")), 0.0);  // absent from the record
  EXPECT_EQ(h.name_id("zzz"), History::kNoName);
}

TEST(History, FailedAppendLeavesNoTrace) {
  History h;
  for (int i = 0; i < 5; ++i) h.append(EvalTrace{static_cast<uint64_t>(i), {{"x", i * 0.5}}, 1.0 * i, 1.0});
  std::vector<EvalTrace> batch;
  for (int i = 0; i < 40; ++i) {
    batch.push_back(EvalTrace{100u + i, {{"x", 1.0}, {"new_name_" + std::to_string(i % 3), 2.0}}, -1.0 * i, 1.0});
  }
  const std::vector<EvalTrace> before = snapshot(h);
  int failures = 0;
  for (long k = 0;; ++k) {
    g_allocations_left = k;
    try {
      h.append_all(batch);
      g_allocations_left = -1;
      break;
    } catch (const std::bad_alloc&) {
      g_allocations_left = -1;
      ++failures;
      ASSERT_EQ(snapshot(h), before) << "after a failure at allocation " << k;
      ASSERT_EQ(h.max_eval_id(), 4u);
      ASSERT_EQ(h.name_id("new_name_0"), History::kNoName);
    }
  }
  EXPECT_GT(failures, 3);  // the loop did reach the appends' own allocations
  std::vector<EvalTrace> expected = before;
  expected.insert(expected.end(), batch.begin(), batch.end());
  EXPECT_EQ(snapshot(h), expected);
  EXPECT_EQ(h.max_eval_id(), 139u);
}

}  // namespace
}  // namespace vordaopt
