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
std::atomic<void (*)(const std::string&)> g_line_sink{nullptr};
}

void set_before_line_hook(void (*hook)()) { g_before_line.store(hook); }

void set_line_sink(void (*sink)(const std::string& line)) { g_line_sink.store(sink); }

void write_line(const std::string& line) {
  if (auto sink = g_line_sink.load()) {
    sink(line);
    return;
  }
  if (auto hook = g_before_line.load()) hook();
  std::fputs(line.c_str(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

}  // namespace vordaopt::diag
