// Every operating-system call the client makes goes through this interface.
//
// One implementation per platform (os/posix, os/win32). Errors are translated
// here, once: callers see an IoStatus or a platform error number (errno on
// POSIX, GetLastError() on Windows) and never touch the OS API themselves.
// Nothing here depends on Python.
#ifndef ZK5_COMMON_OS_OS_H_
#define ZK5_COMMON_OS_OS_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace zk5::os {

// A connected pipe (a Unix-domain stream socket on POSIX). kInvalidPipe means
// "not connected".
using PipeHandle = std::intptr_t;
constexpr PipeHandle kInvalidPipe = -1;

// ---- Waiting. A call of this layer that waits (for the peer, for a busy
// pipe, or a sleep) wakes at least every kWakeMs to ask the interrupt check
// of the layer above whether to give up; a wait it ends reports
// kInterrupted, kOpenInterrupted or false. The layer above may also take
// the time a thread blocks to let other threads run: `release` is called
// when the outermost BlockingScope of a thread begins, `reacquire` when it
// ends. Every waiting call here opens a BlockingScope itself; callers open
// one around a longer stretch (a whole exchange) to switch only once.
constexpr std::uint32_t kWakeMs = 50;
struct WaitHooks {
  void (*release)() = nullptr;
  void (*reacquire)() = nullptr;
  bool (*interrupted)() = nullptr;  // runs inside a BlockingScope
};
// Installs the hooks of the process (before any thread waits).
void SetWaitHooks(const WaitHooks& hooks);

class BlockingScope {
 public:
  BlockingScope();
  ~BlockingScope();
  BlockingScope(const BlockingScope&) = delete;
  BlockingScope& operator=(const BlockingScope&) = delete;
};

// Asks the interrupt check; a true answer stays set for this thread until
// ClearInterrupt, so every wait after it ends at once too.
bool CheckInterrupt();
// CheckInterrupt when this thread has not asked for kWakeMs; else whether an
// interrupt is pending. For loops that keep moving bytes without waiting.
bool CheckInterruptDue();
bool InterruptPending();
// Forgets an interrupt; the next CheckInterruptDue asks kWakeMs from now.
void ClearInterrupt();

enum class IoStatus {
  kOk,           // exactly the asked number of bytes moved
  kBroken,       // the peer is gone (end of file, EPIPE, ECONNRESET; 109/232/233)
  kError,        // any other failure; the handle is still usable in principle
  kTimedOut,     // a deadline or stall limit passed; some bytes may have moved
  kInterrupted,  // the interrupt check ended the wait; some bytes may have moved
};

// Milliseconds of a clock that never goes back (not the wall clock). The
// deadlines of this layer are readings of it.
std::int64_t MonotonicMs();
constexpr std::int64_t kNoDeadline = INT64_MAX;
// The deadline `ms` milliseconds from now; none for kNoDeadline.
inline std::int64_t DeadlineIn(std::int64_t ms) {
  const std::int64_t now = MonotonicMs();
  return ms >= kNoDeadline - now ? kNoDeadline : now + ms;
}

// Reads exactly n bytes, completing short reads. kBroken on end of file.
// With a deadline (a MonotonicMs() reading), gives up with kTimedOut once
// it has passed while bytes are still missing; some may have been read.
// With a stall limit (milliseconds), gives up with kTimedOut once no byte
// has arrived for that long; a slow but steady sender is never cut off.
// Bytes that have already arrived are taken even after either. The
// interrupt check is asked at least every kWakeMs, also while bytes keep
// arriving.
IoStatus ReadExact(PipeHandle h, void* buf, std::size_t n, std::int64_t deadline_ms = kNoDeadline,
                   std::int64_t stall_ms = kNoDeadline);
// Writes exactly n bytes in one write call when the OS takes it whole, and
// completes short writes otherwise. Never raises SIGPIPE. With a stall
// limit (milliseconds), gives up with kTimedOut once the peer has taken no
// byte for that long; some bytes may have been written. The limit starts
// again whenever bytes move, so a slow but steady reader of a long write
// is not cut off. Bytes are seen to move a piece (some tens of KiB at
// most) at a time: a reader must take that much within the limit.
IoStatus WriteAll(PipeHandle h, const void* buf, std::size_t n,
                  std::int64_t stall_ms = kNoDeadline);
void ClosePipe(PipeHandle h);

// What is waiting to be read on a pipe, without reading or waiting.
enum class Pending {
  kNothing,
  kData,    // bytes have arrived
  kBroken,  // the peer is gone
};
Pending PendingInput(PipeHandle h);

// Opens the pipe whose Windows-style name is `name` ("\\.\pipe\NAME"). Waits
// while every instance is busy. Returns 0 and sets *out on success, else the
// platform error number (never 0), or kOpenInterrupted when the interrupt
// check ended the wait. A missing server fails at once.
constexpr std::uint32_t kOpenInterrupted = 0xFFFFFFFFu;
std::uint32_t OpenPipe(const std::u16string& name, PipeHandle* out);
// Whether an OpenPipe error means that nobody serves the name (yet), so that
// starting the terminal may help. Any other refusal (an unsafe socket
// folder, a name too long for a socket address, access denied) cannot
// clear up by waiting.
bool ServerMissing(std::uint32_t error);

// The system's text for a platform error number (errno on POSIX, a
// GetLastError value on Windows), for messages.
std::string ErrorText(std::uint32_t error);

// The final path of an existing file, or empty when it cannot be resolved.
std::u16string FinalPath(const std::u16string& path);

// Simple lower-case mapping of each UTF-16 unit, locale independent.
void LowerCaseInPlace(char16_t* text, std::size_t units);

// SHA-256 of `size` bytes. False when the digest cannot be computed.
bool Sha256(const void* data, std::size_t size, std::uint8_t digest[32]);

// The user's roaming application-data folder, without a trailing separator.
// False when there is none.
bool RoamingFolder(std::u16string* folder);

// Directory entries of `dir` (names only, in the order the OS returns them),
// with a flag telling directories apart. False when `dir` cannot be listed.
struct DirEntry {
  std::u16string name;
  bool is_directory;
};
bool ListDirectory(const std::u16string& dir, std::vector<DirEntry>* entries);

// Whether a file or folder exists at `path`.
bool PathExists(const std::u16string& path);
// Last-write time of `path` as an unsigned 64-bit value (larger is later);
// false when the path does not exist.
bool LastWriteTime(const std::u16string& path, std::uint64_t* time);
// Reads at most `max` bytes from the start of a file. False when it cannot be
// opened or read.
bool ReadFilePrefix(const std::u16string& path, std::size_t max, std::string* out);

// Canonical image path of the parent process, or empty.
std::u16string ParentProcessImage();

// Starts `path` detached from this process (own session, no inherited
// descriptors, standard streams on the null device) with `args` after its
// own name. False when it cannot be started.
bool LaunchProcess(const std::u16string& path, const std::vector<std::u16string>& args);

// Runs `fn` in the child of every fork() of this process, inside fork(),
// before anything else runs there (POSIX; Windows has no fork). `fn` may
// do only what a signal handler may.
void OnForkChild(void (*fn)());
// Lets go of a pipe a forked child inherited: closes the child's copy of
// the descriptor only, so the parent's connection (and its relay under
// Wine) goes on untouched. Fit for an OnForkChild handler.
void AbandonPipe(PipeHandle h);

// Sleeps `ms` milliseconds; false when the interrupt check cut it short.
bool SleepMs(std::uint32_t ms);

// Asks the OS to back the huge-page-aligned part of [block, block + size)
// with huge pages when it is first touched; the unaligned ends (which may
// belong to other allocations) are left alone.
// A hint: it does nothing where unsupported. Call it before touching the
// block, since pages already present stay as they are.
void AdviseHugePages(void* block, std::size_t size);

// The path separator used to join data-folder paths.
constexpr char16_t kPathSeparator =
#ifdef _WIN32
    u'\\';
#else
    u'/';
#endif

}  // namespace zk5::os

#endif  // ZK5_COMMON_OS_OS_H_
