#include "server/server.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <new>
#include <thread>
#include <vector>

#include "ipc/commands.h"
#include "ipc/stream.h"
#include "os/service.h"
#include "server/dispatch.h"

namespace zk5::term {

namespace {

std::atomic<int> g_connections{0};

// A client that takes no part of its reply for `stall_ms` is gone for good:
// the write gives up and the connection ends.
bool SendReply(os::PipeHandle& pipe, std::uint32_t command, const Reply& r, std::int64_t stall_ms) {
  const bool failed = r.status < 0;
  const std::uint64_t payload = failed ? 0 : r.payload.size() + r.stream_size;
  const std::uint64_t length = 8 + payload;
  if (length > 0xFFFFFFFFu) {
    // Cannot be framed; refuse it the way a shortage of memory would be.
    return SendReply(pipe, command, Reply::Fail(kOutOfMemory), stall_ms);
  }
  ipc::PipeWriter w(pipe, static_cast<std::uint32_t>(length), command, stall_ms);
  if (!w.put_i32(r.status)) return false;
  if (!failed) {
    if (!r.payload.empty() &&
        !w.put(r.payload.data(), static_cast<std::uint32_t>(r.payload.size()))) {
      return false;
    }
    if (r.stream) {
      const bool ok = r.stream([&w](const void* data, std::size_t n) {
        return w.put(data, static_cast<std::uint32_t>(n));
      });
      if (!ok) return false;
    }
  }
  return w.flush();
}

// Reads one request; false when the connection is over. A client that has
// not greeted has `idle_ms` to start a request; one that has may stay idle
// as long as it likes (a notebook left for a day keeps its connection).
// Every client has `request_ms` from a request's first byte to send
// the rest; an oversized one is refused as soon as its header is in and
// ends the connection, since its bytes are not worth reading.
bool ServeOne(Terminal& t, Session* s, os::PipeHandle& pipe, std::vector<std::uint8_t>* args) {
  const std::int64_t idle_ms = t.settings().connection_idle_sec * 1000;
  const std::int64_t request_ms = t.settings().request_timeout_sec * 1000;
  std::uint8_t header[8];
  const std::int64_t idle_deadline = s->greeted ? os::kNoDeadline : os::MonotonicMs() + idle_ms;
  if (os::ReadExact(pipe, header, 1, idle_deadline) != os::IoStatus::kOk) {
    return false;
  }
  const std::int64_t deadline = os::MonotonicMs() + request_ms;
  std::uint32_t length = 0, command = 0;
  if (os::ReadExact(pipe, header + 1, 3, deadline) != os::IoStatus::kOk) return false;
  std::memcpy(&length, header, 4);
  // Too short to name a command: nothing to answer.
  if (length < 4) return false;
  if (os::ReadExact(pipe, header + 4, 4, deadline) != os::IoStatus::kOk) return false;
  std::memcpy(&command, header + 4, 4);
  const std::uint64_t size = length - 4;
  if (size > kMaxRequestBytes) {
    SendReply(pipe, command, Reply::Fail(kInvalidParams), request_ms);
    return false;
  }
  args->resize(size);
  if (size != 0 && os::ReadExact(pipe, args->data(), size, deadline) != os::IoStatus::kOk) {
    return false;
  }
  Reply reply;
  try {
    reply = Dispatch(t, s, command, args->data(), size);
  } catch (const std::bad_alloc&) {
    reply = Reply::Fail(kOutOfMemory);
  }
  return SendReply(pipe, command, reply, request_ms);
}

// A client past the connection limit is told so at once: a reply to the
// HELLO it is about to send, with the busy status. Its connection is held a
// moment before it is closed, so that the client's request does not meet a
// closed socket first.
class Refusals {
 public:
  static constexpr std::int64_t kHoldMs = 2000;
  // The refusal is written by the accepting thread, which must not wait long.
  static constexpr std::int64_t kWriteStallMs = 100;
  static constexpr std::size_t kMaxHeld = 1024;

  void Refuse(os::PipeServer& server, os::PipeHandle client) {
    const auto frame = ipc::StatusOnlyFrame(ipc::CommandId::HELLO, kTerminalBusy);
    os::WriteAll(client, frame.data(), frame.size(), kWriteStallMs);
    if (held_.size() >= kMaxHeld) {
      server.Release(client);
      return;
    }
    held_.push_back({client, os::MonotonicMs() + kHoldMs});
  }

  void Expire(os::PipeServer& server, bool all) {
    const std::int64_t now = os::MonotonicMs();
    std::size_t kept = 0;
    for (const Held& h : held_) {
      if (all || h.until <= now)
        server.Release(h.pipe);
      else
        held_[kept++] = h;
    }
    held_.resize(kept);
  }

 private:
  struct Held {
    os::PipeHandle pipe;
    std::int64_t until;
  };
  std::vector<Held> held_;
};

}  // namespace

void ServeConnection(Terminal& t, os::PipeHandle pipe) {
  Session session;
  std::vector<std::uint8_t> args;
  while (pipe != os::kInvalidPipe && ServeOne(t, &session, pipe, &args)) {
  }
  // The stream layer closes a broken pipe itself; anything else ends here.
  if (pipe != os::kInvalidPipe) os::ClosePipe(pipe);
}

namespace {

ExitReason ServeUntil(Terminal& t, os::PipeServer& server, std::int64_t idle_ms,
                      Refusals* refusals) {
  std::int64_t idle_since = os::MonotonicMs();
  std::int64_t checked = idle_since;
  for (;;) {
    refusals->Expire(server, false);
    if (os::MonotonicMs() - checked >= 1000) {
      checked = os::MonotonicMs();
      switch (server.CheckName()) {
        case os::PipeServer::NameStatus::kServed:
          break;
        case os::PipeServer::NameStatus::kRemade:
          std::fprintf(stderr, "terminal64.exe: the socket was removed: made it again\n");
          break;
        case os::PipeServer::NameStatus::kLost:
          return ExitReason::kNameLost;
      }
    }
    int wait = 1000;
    // An import running beside the serving counts as a client.
    if (t.Importing()) idle_since = os::MonotonicMs();
    if (idle_ms > 0 && g_connections.load() == 0) {
      const std::int64_t left = idle_since + idle_ms - os::MonotonicMs();
      if (left <= 0) return ExitReason::kIdle;
      wait = static_cast<int>(std::min<std::int64_t>(left, 1000));
    }
    os::PipeHandle client = os::kInvalidPipe;
    switch (server.Accept(wait, &client)) {
      case os::AcceptStatus::kStop:
        return ExitReason::kStopSignal;
      case os::AcceptStatus::kError:
        // Out of descriptors: give the connections a moment to end.
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        continue;
      case os::AcceptStatus::kTimeout:
        if (g_connections.load() != 0) idle_since = os::MonotonicMs();
        continue;
      case os::AcceptStatus::kClient:
        break;
    }
    if (g_connections.load() >= kMaxConnections) {
      refusals->Refuse(server, client);
      continue;
    }
    // The connection's thread ends it, or the stream layer on a broken pipe.
    server.HandOver(client);
    g_connections.fetch_add(1);
    try {
      std::thread([&t, client] {
        ServeConnection(t, client);
        g_connections.fetch_sub(1);
      }).detach();
    } catch (const std::system_error&) {
      g_connections.fetch_sub(1);
      os::ClosePipe(client);
    }
  }
}

}  // namespace

ExitReason Serve(Terminal& t, os::PipeServer& server, std::int64_t idle_ms) {
  Refusals refusals;
  const ExitReason reason = ServeUntil(t, server, idle_ms, &refusals);
  refusals.Expire(server, true);
  return reason;
}

}  // namespace zk5::term
