#include "common/interrupt.hpp"

#include <atomic>

namespace velmar {

namespace {
std::atomic<InterruptCheck> g_check{nullptr};
}

void SetInterruptCheck(InterruptCheck check) { g_check.store(check); }

void CheckInterrupt() {
  InterruptCheck check = g_check.load();
  if (check != nullptr && check()) throw Interrupted{};
}

}  // namespace velmar
