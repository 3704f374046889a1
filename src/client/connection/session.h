// The session steps of initialize and login below the bindings: send the
// credentials, then poll the terminal until it is ready. No Python here, so
// the native tests drive them against a test terminal.
#ifndef ZK5_CLIENT_CONNECTION_SESSION_H_
#define ZK5_CLIENT_CONNECTION_SESSION_H_

#include <cstddef>
#include <cstdint>

#include "connection/client.h"

namespace zk5::session {

// Server and password buffers, in UTF-16 units with the terminating NUL.
constexpr std::size_t kCredentialUnits = 256;
// initialize's and login's wait for readiness when `timeout` is 0 or absent
// (also the connection's deadline for silence then).
constexpr std::uint32_t kDefaultReadyTimeoutMs = CInterClient::kDefaultTimeoutMs;
constexpr std::uint32_t kReadyPollMs = 100;

// Credentials of one call. The buffers are wiped when the call returns, on
// every path, so the module keeps no password after it.
struct Credentials {
  std::uint64_t login = 0;
  char16_t server[kCredentialUnits] = {};
  char16_t password[kCredentialUnits] = {};
  std::uint32_t timeout = 0;  // ms to wait for readiness; 0 is the default

  Credentials() = default;
  Credentials(const Credentials&) = delete;
  Credentials& operator=(const Credentials&) = delete;
  ~Credentials();

  bool any() const { return login != 0 || server[0] != 0 || password[0] != 0; }
};

// Sends LOGIN on g_client's pipe: -10004 when not connected, else the
// exchange's result.
std::int32_t SendLogin(const Credentials& c);

// Polls TERMINAL_STATE every kReadyPollMs until the terminal is ready: 1,
// else a failure code (-6 when the login was refused). Only the sleeps count
// against `timeout_ms` (0 is the default), not the exchanges. An interrupt
// anywhere in the wait is the wait's own failure, -10005.
std::int32_t WaitReady(std::uint32_t timeout_ms);

}  // namespace zk5::session

#endif  // ZK5_CLIENT_CONNECTION_SESSION_H_
