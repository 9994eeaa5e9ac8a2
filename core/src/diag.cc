#include "diag.h"

#include <cstdio>

namespace vordaopt::diag {

namespace internal {
std::atomic<Subscriber*> g_subscriber{nullptr};
}

void set_subscriber(Subscriber* subscriber) {
  internal::g_subscriber.store(subscriber, std::memory_order_release);
}

namespace {
std::atomic<void (*)()> g_before_line{nullptr};
}

void set_before_line_hook(void (*hook)()) { g_before_line.store(hook); }

void write_line(const std::string& line) {
  if (auto hook = g_before_line.load()) hook();
  std::fputs(line.c_str(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

}  // namespace vordaopt::diag
