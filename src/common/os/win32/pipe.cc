// The pipe to the terminal as a Windows named pipe in byte mode.
#include <algorithm>
#include <string>

#include "os/os.h"
#include "os/win32/win32_util.h"

namespace zk5::os {

namespace {

using win32::AsHandle;

// 109 when the server closed its end, 232 when a write meets an end being
// closed, 233 when the server disconnected: in every case the peer is gone.
IoStatus FromLastError() {
  switch (GetLastError()) {
    case ERROR_BROKEN_PIPE:
    case ERROR_NO_DATA:
    case ERROR_PIPE_NOT_CONNECTED:
      return IoStatus::kBroken;
    default:
      return IoStatus::kError;
  }
}

// One transfer call moves at most this much; larger buffers take several.
constexpr std::size_t kMaxTransfer = 0x40000000;
// A write with a stall limit goes in pieces this small: a write completes
// only once the reader has made room for all of it, and a cancelled one
// need not tell what it moved, so a piece is what a steady reader must take
// within the limit.
constexpr std::size_t kStallPiece = 0x4000;

// The event a thread waits on for its own transfers, made on first use.
class ThreadEvent {
 public:
  ThreadEvent() : event_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
  ~ThreadEvent() {
    if (event_ != nullptr) CloseHandle(event_);
  }
  ThreadEvent(const ThreadEvent&) = delete;
  ThreadEvent& operator=(const ThreadEvent&) = delete;
  HANDLE get() const { return event_; }

 private:
  HANDLE event_;
};

// One read or write on a handle opened for overlapped transfers (the
// client's, here, and the serving end's, pipe_server.cc). The wait for it
// wakes every kWakeMs for the interrupt check; a transfer that is
// interrupted, or still pending when the deadline passes, is cancelled and
// waited out before its OVERLAPPED goes away.
IoStatus Transfer(HANDLE h, bool write, char* p, DWORD ask, std::int64_t deadline_ms, DWORD* done) {
  thread_local ThreadEvent event;
  OVERLAPPED ov{};
  ov.hEvent = event.get();
  const BOOL started =
      write ? WriteFile(h, p, ask, nullptr, &ov) : ReadFile(h, p, ask, nullptr, &ov);
  if (!started && GetLastError() != ERROR_IO_PENDING) return FromLastError();
  for (;;) {
    if (GetOverlappedResult(h, &ov, done, FALSE)) return IoStatus::kOk;
    if (GetLastError() != ERROR_IO_INCOMPLETE) return FromLastError();
    const std::int64_t left = std::max<std::int64_t>(0, deadline_ms - MonotonicMs());
    const DWORD step = static_cast<DWORD>(std::min<std::int64_t>(left, kWakeMs));
    const bool timed_out = WaitForSingleObject(ov.hEvent, step) == WAIT_TIMEOUT;
    const bool late = timed_out && MonotonicMs() >= deadline_ms;
    if (InterruptPending() || late || (timed_out && CheckInterrupt())) {
      CancelIoEx(h, &ov);
      const bool finished = GetOverlappedResult(h, &ov, done, TRUE);
      if (!late) return IoStatus::kInterrupted;
      // Done before the cancel took, or cut short after moving some bytes:
      // what it moved counts.
      if (finished || *done != 0) return IoStatus::kOk;
      SetLastError(ERROR_TIMEOUT);
      return IoStatus::kTimedOut;
    }
  }
}

}  // namespace

std::int64_t MonotonicMs() { return static_cast<std::int64_t>(GetTickCount64()); }

bool ServerMissing(std::uint32_t error) { return error == ERROR_FILE_NOT_FOUND; }

std::string ErrorText(std::uint32_t error) {
  char text[512] = {};
  const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                 nullptr, error, 0, text, sizeof text, nullptr);
  std::string out(text, n);
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == '.'))
    out.pop_back();
  return out.empty() ? "error " + std::to_string(error) : out;
}

std::uint32_t OpenPipe(const std::u16string& name, PipeHandle* out) {
  BlockingScope blocking;
  const std::wstring wide = win32::Wide(name);
  for (;;) {
    // Overlapped, so that every wait on it can be interrupted.
    HANDLE h = CreateFileW(wide.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
      *out = win32::FromHandle(h);
      return 0;
    }
    DWORD err = GetLastError();
    if (err != ERROR_PIPE_BUSY) return err;
    // Every instance is serving another client: wait for one without limit,
    // in steps short enough for the interrupt check.
    while (!WaitNamedPipeW(wide.c_str(), kWakeMs)) {
      err = GetLastError();
      if (err != ERROR_SEM_TIMEOUT) return err != 0 ? err : ERROR_PIPE_BUSY;
      if (CheckInterrupt()) return kOpenInterrupted;
    }
  }
}

// A byte-mode pipe hands over what has arrived so far, which can be less than
// asked when the writer sent its reply in pieces: read on until it is all here.
IoStatus ReadExact(PipeHandle h, void* buf, std::size_t n, std::int64_t deadline_ms,
                   std::int64_t stall_ms) {
  BlockingScope blocking;
  auto* p = static_cast<char*>(buf);
  while (n != 0) {
    DWORD got = 0;
    const DWORD ask = static_cast<DWORD>(std::min(n, kMaxTransfer));
    const std::int64_t deadline = std::min(deadline_ms, DeadlineIn(stall_ms));
    const IoStatus status = Transfer(AsHandle(h), false, p, ask, deadline, &got);
    if (status != IoStatus::kOk) return status;
    // Zero bytes is a zero-length write by the server, not the end: the
    // end of a pipe shows as an error.
    p += got;
    n -= got;
    // A reply that keeps arriving never makes the wait time out.
    if (n != 0 && CheckInterruptDue()) return IoStatus::kInterrupted;
  }
  return IoStatus::kOk;
}

IoStatus WriteAll(PipeHandle h, const void* buf, std::size_t n, std::int64_t stall_ms) {
  BlockingScope blocking;
  const auto* p = static_cast<const char*>(buf);
  const std::size_t piece = stall_ms == kNoDeadline ? kMaxTransfer : kStallPiece;
  while (n != 0) {
    DWORD put = 0;
    const DWORD ask = static_cast<DWORD>(std::min(n, piece));
    const IoStatus status =
        Transfer(AsHandle(h), true, const_cast<char*>(p), ask, DeadlineIn(stall_ms), &put);
    if (status != IoStatus::kOk) return status;
    if (put == 0) return IoStatus::kError;  // nothing moved: do not spin
    p += put;
    n -= put;
  }
  return IoStatus::kOk;
}

Pending PendingInput(PipeHandle h) {
  DWORD available = 0;
  if (!PeekNamedPipe(AsHandle(h), nullptr, 0, nullptr, &available, nullptr)) {
    return FromLastError() == IoStatus::kBroken ? Pending::kBroken : Pending::kNothing;
  }
  return available > 0 ? Pending::kData : Pending::kNothing;
}

void ClosePipe(PipeHandle h) {
  if (h != kInvalidPipe) CloseHandle(AsHandle(h));
}

bool SleepMs(std::uint32_t ms) {
  BlockingScope blocking;
  const ULONGLONG end = GetTickCount64() + ms;
  for (;;) {
    if (CheckInterrupt()) return false;
    const ULONGLONG now = GetTickCount64();
    if (now >= end) return true;
    Sleep(static_cast<DWORD>(std::min<ULONGLONG>(end - now, kWakeMs)));
  }
}

}  // namespace zk5::os
