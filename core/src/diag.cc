#include "diag.h"

namespace vordaopt::diag {

namespace internal {
std::atomic<Subscriber*> g_subscriber{nullptr};
}

void set_subscriber(Subscriber* subscriber) {
  internal::g_subscriber.store(subscriber, std::memory_order_release);
}

}  // namespace vordaopt::diag
