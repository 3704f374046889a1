#include "server.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <new>
#include <thread>
#include <vector>

#include "dispatch.h"
#include "ipc/stream.h"

namespace zk5::term {

namespace {

std::atomic<int> g_connections{0};

std::int64_t MonotonicMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

bool SendReply(os::PipeHandle& pipe, std::uint32_t command, const Reply& r) {
  const bool failed = r.status < 0;
  const std::uint64_t payload = failed ? 0 : r.payload.size() + r.stream_size;
  const std::uint64_t length = 8 + payload;
  if (length > 0xFFFFFFFFu) {
    // Cannot be framed; refuse it the way a shortage of memory would be.
    return SendReply(pipe, command, Reply::Fail(kOutOfMemory));
  }
  ipc::PipeWriter w(pipe, static_cast<std::uint32_t>(length), command);
  if (!w.put_i32(r.status)) return false;
  if (!failed) {
    if (!r.payload.empty() && !w.put(r.payload.data(), static_cast<std::uint32_t>(r.payload.size()))) {
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

// Reads one request; false when the connection is over. An oversized one is
// refused and ends the connection, since its bytes are not worth reading.
bool ServeOne(Terminal& t, Session* s, os::PipeHandle& pipe, std::vector<std::uint8_t>* args) {
  ipc::PipeReader reader(pipe);
  if (!reader.begin()) return false;
  const std::uint64_t length = reader.unread();
  std::uint32_t command = 0;
  if (length < 4 || !reader.get(&command, 4)) return false;
  const std::uint64_t size = length - 4;
  if (size > kMaxRequestBytes) {
    SendReply(pipe, command, Reply::Fail(kInvalidParams));
    return false;
  }
  args->resize(size);
  if (size != 0 && !reader.get(args->data(), static_cast<std::uint32_t>(size))) return false;
  Reply reply;
  try {
    reply = Dispatch(t, s, command, args->data(), size);
  } catch (const std::bad_alloc&) {
    reply = Reply::Fail(kOutOfMemory);
  }
  return SendReply(pipe, command, reply);
}

}  // namespace

void ServeConnection(Terminal& t, os::PipeHandle pipe) {
  Session session;
  std::vector<std::uint8_t> args;
  while (pipe != os::kInvalidPipe && ServeOne(t, &session, pipe, &args)) {
  }
  // The stream layer closes a broken pipe itself; anything else ends here.
  if (pipe != os::kInvalidPipe) os::ClosePipe(pipe);
}

ExitReason Serve(Terminal& t, os::PipeServer& server, std::int64_t idle_ms) {
  std::int64_t idle_since = MonotonicMs();
  for (;;) {
    int wait = 1000;
    if (idle_ms > 0 && g_connections.load() == 0) {
      const std::int64_t left = idle_since + idle_ms - MonotonicMs();
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
        if (g_connections.load() != 0) idle_since = MonotonicMs();
        continue;
      case os::AcceptStatus::kClient:
        break;
    }
    if (g_connections.load() >= kMaxConnections) {
      server.Release(client);
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

}  // namespace zk5::term
