// Serving clients: the accept loop and one thread per connection, each
// reading a request, answering it, and reading the next, until the client
// hangs up. Replies go out through the shared stream layer; a long reply is
// produced in chunks straight into the pipe.
#ifndef ZK5_TERMINAL_SERVER_SERVER_H_
#define ZK5_TERMINAL_SERVER_SERVER_H_

#include <cstdint>

#include "os/pipe_server.h"
#include "server/context.h"

namespace zk5::term {

// Requests longer than this (after the length field) are refused with -2
// and the connection is closed: no command has arguments anywhere near it.
constexpr std::uint32_t kMaxRequestBytes = 1u << 20;
constexpr int kMaxConnections = 256;

// kNameLost: the socket was taken away and cannot be made again.
enum class ExitReason { kStopSignal, kIdle, kError, kNameLost };

// Serves the clients of `server` until a stop signal, or until no client has
// been connected for idle_ms (0: never), or until its name cannot be
// reached any more (checked every second). Connections are handed over to
// threads of their own.
ExitReason Serve(Terminal& t, os::PipeServer& server, std::int64_t idle_ms);

// Answers requests on one connection until it ends; closes it.
void ServeConnection(Terminal& t, os::PipeHandle pipe);

}  // namespace zk5::term

#endif  // ZK5_TERMINAL_SERVER_SERVER_H_
