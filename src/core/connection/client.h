// The one pipe client of the process.
//
// CInterClient owns the pipe to the terminal: it derives the pipe name from
// the terminal's executable path, connects (starting the terminal when it
// is not serving), greets it, and runs each command as one exchange. It
// never includes Python.h; the module functions sit on top of it.
//
// Results follow the exchange convention: negative is a failure code (a
// terminal status or -10000..-10005), zero or positive the reply's status.
// Array results are blocks from the ArrayOut's allocator, owned by the
// caller afterwards.
#ifndef ZK5_CONNECTION_CLIENT_H_
#define ZK5_CONNECTION_CLIENT_H_

#include <cstdint>
#include <string>

#include "connection/pipe_name.h"
#include "ipc/commands.h"
#include "os/os.h"

namespace zk5 {

constexpr std::size_t kInitErrorUnits = 2048;
// The first build that knows the symbol-list commands and sends the long
// symbol record.
constexpr std::int32_t kSymbolsMinBuild = 2364;

class CInterClient {
 public:
  // Closes the pipe, clears the digest and the failure text. The build stays.
  void Reset();
  // Connects to the terminal at `path` (or, with an empty path, to the one
  // the search picks) and sends HELLO. The pipe stays open after a failed
  // hello.
  std::int32_t Initialize(const std::u16string& path, bool portable);
  bool ConnectToTerminal(const std::u16string& path, bool portable);
  bool OpenPipe(const std::u16string& name);
  // HELLO: stores the terminal build as soon as it has been read.
  std::int32_t Hello();

  bool connected() const { return m_pipe != os::kInvalidPipe; }
  os::PipeHandle& pipe() { return m_pipe; }
  std::int32_t terminal_build() const { return m_terminal_build; }
  const std::uint8_t* path_hash() const { return m_path_hash; }
  // The reason of the last connection failure (NUL-terminated).
  const char16_t* init_error() const { return m_init_error; }
  void SetInitError(const std::u16string& text);
  // Formats with one %s (a path) or %u (a number) placeholder.
  void SetInitErrorPath(const char16_t* format, const std::u16string& path);
  void SetInitErrorNumber(const char16_t* format, std::uint32_t number);

  // Test seam: poll count and interval of the start-and-poll wait.
  void set_launch_poll(std::uint32_t attempts, std::uint32_t interval_ms) {
    launch_poll_attempts_ = attempts;
    launch_poll_interval_ms_ = interval_ms;
  }

 private:
  os::PipeHandle m_pipe = os::kInvalidPipe;
  std::uint8_t m_path_hash[32] = {};
  char16_t m_init_error[kInitErrorUnits] = {};
  std::int32_t m_terminal_build = 0;
  std::uint32_t launch_poll_attempts_ = 120;
  std::uint32_t launch_poll_interval_ms_ = 500;
};

extern CInterClient g_client;

// Terminal search and start (search.cc).
bool FindTerminal();
bool LaunchTerminal(const std::u16string& path, bool portable);

}  // namespace zk5

#endif  // ZK5_CONNECTION_CLIENT_H_
