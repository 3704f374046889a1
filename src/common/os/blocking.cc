// Blocking scopes and the interrupt check: the same on every platform.
#include "os/os.h"

namespace zk5::os {

namespace {

WaitHooks g_hooks;
thread_local int t_depth = 0;
thread_local bool t_interrupted = false;
thread_local std::int64_t t_next_check = 0;

}  // namespace

void SetWaitHooks(const WaitHooks& hooks) { g_hooks = hooks; }

BlockingScope::BlockingScope() {
  if (t_depth++ == 0 && g_hooks.release != nullptr) g_hooks.release();
}

BlockingScope::~BlockingScope() {
  if (--t_depth == 0 && g_hooks.reacquire != nullptr) g_hooks.reacquire();
}

bool CheckInterrupt() {
  t_next_check = MonotonicMs() + kWakeMs;
  if (!t_interrupted && g_hooks.interrupted != nullptr && g_hooks.interrupted()) {
    t_interrupted = true;
  }
  return t_interrupted;
}

bool CheckInterruptDue() {
  if (t_interrupted || MonotonicMs() < t_next_check) return t_interrupted;
  return CheckInterrupt();
}

bool InterruptPending() { return t_interrupted; }

void ClearInterrupt() {
  t_interrupted = false;
  t_next_check = MonotonicMs() + kWakeMs;
}

}  // namespace zk5::os
