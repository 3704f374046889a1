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

// One read or write. The serving end's handles are opened for overlapped
// transfers (pipe_server.cc), which may return before they are done: those
// are waited for here. On the client's handles the call finishes the
// transfer itself and the wait returns at once.
bool Transfer(HANDLE h, bool write, char* p, DWORD ask, DWORD* done) {
  thread_local ThreadEvent event;
  OVERLAPPED ov{};
  ov.hEvent = event.get();
  const BOOL started =
      write ? WriteFile(h, p, ask, nullptr, &ov) : ReadFile(h, p, ask, nullptr, &ov);
  if (!started && GetLastError() != ERROR_IO_PENDING) return false;
  return GetOverlappedResult(h, &ov, done, TRUE) != 0;
}

}  // namespace

std::uint32_t OpenPipe(const std::u16string& name, PipeHandle* out) {
  const std::wstring wide = win32::Wide(name);
  for (;;) {
    HANDLE h = CreateFileW(wide.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
      *out = win32::FromHandle(h);
      return 0;
    }
    DWORD err = GetLastError();
    if (err != ERROR_PIPE_BUSY) return err;
    // Every instance is serving another client: wait for one without limit.
    if (!WaitNamedPipeW(wide.c_str(), NMPWAIT_WAIT_FOREVER)) {
      err = GetLastError();
      return err != 0 ? err : ERROR_PIPE_BUSY;
    }
  }
}

// A byte-mode pipe hands over what has arrived so far, which can be less than
// asked when the writer sent its reply in pieces: read on until it is all here.
IoStatus ReadExact(PipeHandle h, void* buf, std::size_t n) {
  auto* p = static_cast<char*>(buf);
  while (n != 0) {
    DWORD got = 0;
    const DWORD ask = static_cast<DWORD>(std::min(n, kMaxTransfer));
    if (!Transfer(AsHandle(h), false, p, ask, &got)) return FromLastError();
    // Zero bytes is a zero-length write by the server, not the end: the
    // end of a pipe shows as an error.
    p += got;
    n -= got;
  }
  return IoStatus::kOk;
}

IoStatus WriteAll(PipeHandle h, const void* buf, std::size_t n) {
  const auto* p = static_cast<const char*>(buf);
  while (n != 0) {
    DWORD put = 0;
    const DWORD ask = static_cast<DWORD>(std::min(n, kMaxTransfer));
    if (!Transfer(AsHandle(h), true, const_cast<char*>(p), ask, &put)) return FromLastError();
    if (put == 0) return IoStatus::kError;  // nothing moved: do not spin
    p += put;
    n -= put;
  }
  return IoStatus::kOk;
}

void ClosePipe(PipeHandle h) {
  if (h != kInvalidPipe) CloseHandle(AsHandle(h));
}

void SleepMs(std::uint32_t ms) { Sleep(ms); }

}  // namespace zk5::os
