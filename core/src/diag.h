// Diagnostic spans: a minimal hook for observing the solver's operations.
//
// Each public solver operation runs inside an INFO-level span named after it,
// with target "vordaopt_core::machine" and no fields. No subscriber is
// installed by default; then a span costs one load and one branch. A
// subscriber is process-wide and must outlive its installation.
#ifndef VORDAOPT_CORE_DIAG_H_
#define VORDAOPT_CORE_DIAG_H_

#include <atomic>
#include <string>

namespace vordaopt::diag {

enum class Level { kTrace, kDebug, kInfo, kWarn, kError };

struct SpanInfo {
  const char* name;
  const char* target;
  Level level;
};

class Subscriber {
 public:
  virtual ~Subscriber() = default;
  // Whether spans like `info` are wanted; when false nothing else is called.
  virtual bool enabled(const SpanInfo& info) = 0;
  virtual void enter(const SpanInfo& info) = 0;
  virtual void exit(const SpanInfo& info) = 0;
};

// Installs `subscriber` (nullptr removes it).
void set_subscriber(Subscriber* subscriber);

namespace internal {
extern std::atomic<Subscriber*> g_subscriber;
}

// Enters a span on construction and exits it on destruction, so every return
// path (exceptions included) closes it.
class Span {
 public:
  explicit Span(const SpanInfo& info) : info_(info) {
    Subscriber* s = internal::g_subscriber.load(std::memory_order_acquire);
    if (s != nullptr && s->enabled(info)) {
      subscriber_ = s;
      s->enter(info);
    }
  }
  ~Span() {
    if (subscriber_ != nullptr) subscriber_->exit(info_);
  }
  Span(const Span&) = delete;
  Span& operator=(const Span&) = delete;

 private:
  const SpanInfo& info_;
  Subscriber* subscriber_ = nullptr;
};

// --- Diagnostic lines ----------------------------------------------------------
// Writes one line (a line feed is appended) to the C standard output and
// flushes it. A host with buffered output of its own installs a hook that
// flushes that buffer first, so both outputs interleave in order.
void write_line(const std::string& line);
void set_before_line_hook(void (*hook)());
// Sends the lines to `sink` instead of the standard output (nullptr restores
// the standard output): for a host that shows them its own way.
void set_line_sink(void (*sink)(const std::string& line));

}  // namespace vordaopt::diag

#endif  // VORDAOPT_CORE_DIAG_H_
