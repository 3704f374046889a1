// Blocking scopes and the interrupt check: the same on every platform.
#include "os/os.h"

namespace zk5::os {

namespace {

WaitHooks g_hooks;
thread_local int t_depth = 0;
thread_local bool t_interrupted = false;

}  // namespace

void SetWaitHooks(const WaitHooks& hooks) { g_hooks = hooks; }

BlockingScope::BlockingScope() {
  if (t_depth++ == 0 && g_hooks.release != nullptr) g_hooks.release();
}

BlockingScope::~BlockingScope() {
  if (--t_depth == 0 && g_hooks.reacquire != nullptr) g_hooks.reacquire();
}

bool CheckInterrupt() {
  if (!t_interrupted && g_hooks.interrupted != nullptr && g_hooks.interrupted()) {
    t_interrupted = true;
  }
  return t_interrupted;
}

bool InterruptPending() { return t_interrupted; }

void ClearInterrupt() { t_interrupted = false; }

}  // namespace zk5::os
