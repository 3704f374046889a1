// The relay program's transfers: only ReadFile and WriteFile touch the
// streams (no C runtime text mode), and each direction has its own thread,
// so neither waits on the other.
#include "os/relay_streams.h"

#include <cstdint>
#include <string>

// windows.h before shellapi.h.
#include "os/win32/win32_util.h"

#include <shellapi.h>

namespace {

// Enough to carry a large reply in few calls; the pipe's own buffer is 64 KiB.
constexpr DWORD kChunk = 1 << 20;

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

}  // namespace

namespace zk5::os {

std::vector<std::u16string> ProgramArguments() {
  std::vector<std::u16string> args;
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  if (argv == nullptr) return args;
  for (int i = 1; i < argc; ++i) args.push_back(win32::FromWide(argv[i], wcslen(argv[i])));
  LocalFree(argv);
  return args;
}

bool HaveStandardStreams() {
  const HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  return in != INVALID_HANDLE_VALUE && out != INVALID_HANDLE_VALUE && in != nullptr &&
         out != nullptr;
}

bool WriteWordToStandardOutput(std::uint32_t word) {
  char bytes[4];
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<char>(word >> (8 * i));
  const HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (event == nullptr) return false;
  const bool ok = WriteWhole(GetStdHandle(STD_OUTPUT_HANDLE), event, bytes, 4);
  CloseHandle(event);
  return ok;
}

void CarryStandardStreams(PipeHandle pipe) {
  static Streams streams{GetStdHandle(STD_INPUT_HANDLE), GetStdHandle(STD_OUTPUT_HANDLE),
                         win32::AsHandle(pipe)};
  if (CreateThread(nullptr, 0, ClientToPipe, &streams, 0, nullptr) == nullptr) ExitProcess(1);
  Copy(streams.pipe, streams.out, false);
  // The terminal has gone: leaving closes our output, so the client sees it.
  ExitProcess(0);
}

std::uint32_t NoServerError() { return ERROR_FILE_NOT_FOUND; }

std::uint32_t InvalidArgumentError() { return ERROR_INVALID_PARAMETER; }

}  // namespace zk5::os
