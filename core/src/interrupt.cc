#include "interrupt.h"

namespace vordaopt {

namespace internal {
std::atomic<bool (*)()> g_interrupt_hook{nullptr};
}

void set_interrupt_hook(bool (*hook)()) {
  internal::g_interrupt_hook.store(hook, std::memory_order_relaxed);
}

}  // namespace vordaopt
