// zk5relay.exe: carries one client connection between its standard streams
// and a terminal's named pipe.
//
//   zk5relay.exe \\.\pipe\NAME [WAIT_MS]
//
// A client on another system (Linux, with the terminal running under Wine)
// starts it with standard input and output on one end of a socket, and
// speaks the terminal's protocol through it as if it had opened the pipe.
//
// Before anything else it writes one 4-byte little-endian word to standard
// output: 0 when the pipe is open, else the system error code of the open
// (2: nobody serves the name). Then it copies bytes both ways until either
// side ends, and exits, which closes both: the client sees end of file when
// the terminal went away, the terminal a broken pipe when the client did.
//
// With WAIT_MS, a name nobody serves yet is tried again for up to that many
// milliseconds; a busy pipe is always waited for. Only ReadFile and
// WriteFile touch the streams (no C runtime text mode), and each direction
// has its own thread, so neither waits on the other.
#include <cstdint>
#include <string>

#include "os/os.h"
#include "os/win32/win32_util.h"

namespace {

using zk5::os::win32::AsHandle;

// Enough to carry a large reply in few calls; the pipe's own buffer is 64 KiB.
constexpr DWORD kChunk = 1 << 20;
constexpr DWORD kRetryMs = 20;

// One ReadFile or WriteFile, waited for. The pipe's handle is opened for
// overlapped transfers (os::OpenPipe), where a call without an OVERLAPPED
// may report completion before any byte moved; on the standard streams the
// same call simply completes at once.
bool Transfer(HANDLE h, HANDLE event, bool write, char* p, DWORD n, DWORD* done) {
  OVERLAPPED ov{};
  ov.hEvent = event;
  const BOOL started = write ? WriteFile(h, p, n, nullptr, &ov) : ReadFile(h, p, n, nullptr, &ov);
  if (!started && GetLastError() != ERROR_IO_PENDING) return false;
  return GetOverlappedResult(h, &ov, done, TRUE) != 0;
}

bool WriteWhole(HANDLE h, HANDLE event, char* p, DWORD n) {
  while (n != 0) {
    DWORD put = 0;
    if (!Transfer(h, event, true, p, n, &put) || put == 0) return false;
    p += put;
    n -= put;
  }
  return true;
}

// Copies until the source ends or the destination refuses. A read of zero
// bytes ends a stream socket but is only an empty write on a pipe.
void Copy(HANDLE from, HANDLE to, bool zero_is_end) {
  static_assert(kChunk <= 0x7FFFFFFF, "one call");
  char* buffer = static_cast<char*>(HeapAlloc(GetProcessHeap(), 0, kChunk));
  // This thread's transfers are waited for on their own event.
  const HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  for (;;) {
    if (buffer == nullptr || event == nullptr) break;
    DWORD got = 0;
    if (!Transfer(from, event, false, buffer, kChunk, &got)) break;
    if (got == 0) {
      if (zero_is_end) break;
      continue;
    }
    if (!WriteWhole(to, event, buffer, got)) break;
  }
  if (event != nullptr) CloseHandle(event);
  if (buffer != nullptr) HeapFree(GetProcessHeap(), 0, buffer);
}

struct Streams {
  HANDLE in;
  HANDLE out;
  HANDLE pipe;
};

DWORD WINAPI ClientToPipe(void* arg) {
  const Streams* s = static_cast<const Streams*>(arg);
  Copy(s->in, s->pipe, true);
  // The client has gone: leaving closes the pipe, so the terminal sees it.
  ExitProcess(0);
}

std::uint32_t Open(const std::u16string& name, DWORD wait_ms, zk5::os::PipeHandle* pipe) {
  const ULONGLONG deadline = GetTickCount64() + wait_ms;
  for (;;) {
    const std::uint32_t err = zk5::os::OpenPipe(name, pipe);
    if (err != ERROR_FILE_NOT_FOUND || GetTickCount64() >= deadline) return err;
    Sleep(kRetryMs);
  }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  if (in == INVALID_HANDLE_VALUE || out == INVALID_HANDLE_VALUE || in == nullptr ||
      out == nullptr) {
    return 2;
  }
  std::uint32_t err = ERROR_INVALID_PARAMETER;
  zk5::os::PipeHandle pipe = zk5::os::kInvalidPipe;
  if (argc == 2 || argc == 3) {
    const DWORD wait_ms = argc == 3 ? wcstoul(argv[2], nullptr, 10) : 0;
    err = Open(zk5::os::win32::FromWide(argv[1], wcslen(argv[1])), wait_ms, &pipe);
  }
  char word[4];
  for (int i = 0; i < 4; ++i) word[i] = static_cast<char>(err >> (8 * i));
  const HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (event == nullptr || !WriteWhole(out, event, word, 4) || err != 0) return 1;
  CloseHandle(event);

  static Streams streams{in, out, AsHandle(pipe)};
  if (CreateThread(nullptr, 0, ClientToPipe, &streams, 0, nullptr) == nullptr) return 1;
  Copy(streams.pipe, out, false);
  // The terminal has gone: leaving closes our output, so the client sees it.
  ExitProcess(0);
}
