// Cooperative interruption of long computations.
//
// The core runs on its caller's thread and keeps no threads of its own, so a
// host that wants long calls to honour its signals (Ctrl-C in Python) installs
// a hook. Long loops count their work in an InterruptCheck, which asks the
// hook every kStride units; when the hook answers true, the loop throws
// Interrupted. The hook has then recorded the reason itself (the Python layer
// holds the pending KeyboardInterrupt), so Interrupted carries nothing.
//
// Loops poll only where stopping leaves no trace: while parsing a document,
// sampling a batch or building results, never while a change is committed.
#ifndef VORDAOPT_CORE_INTERRUPT_H_
#define VORDAOPT_CORE_INTERRUPT_H_

#include <atomic>
#include <cstddef>

namespace vordaopt {

// Thrown by InterruptCheck when the host asked the running call to stop.
// Deliberately not a std::exception: nothing but the host's wrapper catches it.
struct Interrupted {};

// Installs the host's hook (nullptr removes it). The hook runs on the thread
// of the call it interrupts and returns true when that call must stop.
void set_interrupt_hook(bool (*hook)());

namespace internal {
extern std::atomic<bool (*)()> g_interrupt_hook;
}

class InterruptCheck {
 public:
  // About 10 to 100 microseconds of work: the hook runs often enough to stop
  // within milliseconds and rarely enough to cost nothing measurable.
  static constexpr size_t kStride = 4096;

  // Counts `units` of work; throws Interrupted when the hook asks to stop.
  void tick(size_t units = 1) {
    done_ += units;
    if (done_ >= kStride) {
      done_ = 0;
      poll();
    }
  }
  // Asks the hook now.
  static void poll() {
    auto hook = internal::g_interrupt_hook.load(std::memory_order_relaxed);
    if (hook != nullptr && hook()) throw Interrupted{};
  }

 private:
  size_t done_ = 0;
};

}  // namespace vordaopt

#endif  // VORDAOPT_CORE_INTERRUPT_H_
