#include "connection/session.h"

#include "base/text.h"
#include "connection/calls.h"
#include "connection/client.h"
#include "ipc/status.h"
#include "os/os.h"

namespace zk5::session {

Credentials::~Credentials() {
  text::Wipe(password, kCredentialUnits);
  text::Wipe(server, kCredentialUnits);
}

std::int32_t SendLogin(const Credentials& c) {
  if (!g_client.connected()) return kNoIpcConnection;
  return calls::Login(c.login, ipc::TextOf(c.password), ipc::TextOf(c.server));
}

std::int32_t WaitReady(std::uint32_t timeout_ms) {
  if (timeout_ms == 0) timeout_ms = kDefaultReadyTimeoutMs;
  for (std::uint32_t elapsed = 0; elapsed < timeout_ms; elapsed += kReadyPollMs) {
    if (!g_client.connected()) return kNoIpcConnection;
    std::uint32_t state = 0;
    const std::int32_t result = calls::Count(ipc::kCommand<ipc::CommandId::TERMINAL_STATE>, &state);
    if (result < 0) return os::InterruptPending() ? kIpcTimeout : result;
    if (state == kStateReady) return 1;
    if (state == kStateAuthorizationFailed) return kAuthorizationFailed;
    if (!os::SleepMs(kReadyPollMs)) return kIpcTimeout;
  }
  return kIpcTimeout;
}

}  // namespace zk5::session
