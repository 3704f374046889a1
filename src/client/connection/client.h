// The one pipe client of the process.
//
// CInterClient owns the pipe to the terminal: it connects to the terminal at
// a given path or the one the search picks (starting it when it is not
// serving), greets it, and runs each command as one exchange. It knows
// nothing of Python; the module functions sit on top of it.
//
// Connecting reports its outcome as a value: a code and, for a failed
// connection, the reason, which the module turns into its error message.
// Exchange results follow the convention of ipc/status.h: negative is a
// failure code, zero or positive the reply's status. Array results are
// blocks from the ArrayOut's allocator, owned by the caller afterwards.
#ifndef ZK5_CLIENT_CONNECTION_CLIENT_H_
#define ZK5_CLIENT_CONNECTION_CLIENT_H_

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "ipc/commands.h"
#include "ipc/pipe_name.h"
#include "ipc/status.h"
#include "os/os.h"

namespace zk5 {

// The first build that knows the symbol-list commands and sends the long
// symbol record.
constexpr std::int32_t kSymbolsMinBuild = 2364;

// The outcome of a connection step. A failed connection is
// kIpcInitializeFailed with its reason (empty when nothing was looked at);
// after the hello, `code` is the hello's result.
struct ConnectOutcome {
  std::int32_t code = kSuccess;
  std::u16string error;

  static ConnectOutcome Failed(std::u16string reason) {
    return {kIpcInitializeFailed, std::move(reason)};
  }
  // Failed with `format`'s one %s replaced by `text`, or its one %u by
  // `number`.
  static ConnectOutcome FailedWith(const char16_t* format, const std::u16string& text);
  static ConnectOutcome FailedWith(const char16_t* format, std::uint32_t number);
  // "CreateFile failed [error]" (the platform's error number), or
  // "Interrupted" for os::kOpenInterrupted.
  static ConnectOutcome OpenFailed(std::uint32_t err);
  explicit operator bool() const { return code >= 0; }
};

class CInterClient {
 public:
  // Closes the pipe and clears the digest. The build stays.
  void Reset();
  // In the child of a fork: forgets the inherited pipe without touching the
  // parent's connection. Does only what a signal handler may.
  void AbandonAfterFork() {
    os::AbandonPipe(m_pipe);
    m_pipe = os::kInvalidPipe;
  }
  // The connection of initialize: to the terminal at `path`, or, with an
  // empty path, to the one the search picks; then HELLO. The pipe stays open
  // after a failed hello, as the terminal did answer.
  ConnectOutcome Initialize(const std::u16string& path, bool portable);
  // Opens the pipe of the terminal at `path`, starting the terminal and
  // polling for it when nobody serves the pipe; a refusal that starting it
  // cannot cure (os::ServerMissing false) fails at once. Interruptible.
  ConnectOutcome ConnectToTerminal(const std::u16string& path, bool portable);
  // The search of the data folders, then ConnectToTerminal on its choice.
  ConnectOutcome ConnectToFoundTerminal();
  // Opens the pipe of that name: "CreateFile failed [error]" (the platform's
  // error number) or "Interrupted" when it cannot.
  ConnectOutcome OpenPipe(const std::u16string& name);
#ifndef _WIN32
  // ConnectToTerminal for a Windows terminal under Wine (client_wine.cc).
  ConnectOutcome ConnectUnderWine(const std::u16string& path, bool portable);
  // The relay program; by default bin/zk5relay.exe beside this code.
  std::u16string RelayPath() const;
  void set_relay_path(std::u16string path) { relay_path_ = std::move(path); }
#endif
  // HELLO: stores the terminal build as soon as it has been read.
  std::int32_t Hello();

  // How long a reply may make no progress before the call fails with -10005
  // and the pipe is closed; initialize's `timeout`.
  static constexpr std::uint32_t kDefaultTimeoutMs = 60000;
  void set_timeout_ms(std::uint32_t ms) { timeout_ms_ = ms == 0 ? kDefaultTimeoutMs : ms; }
  std::int64_t reply_stall_ms() const { return timeout_ms_; }

  bool connected() const { return m_pipe != os::kInvalidPipe; }
  os::PipeHandle& pipe() { return m_pipe; }
  std::int32_t terminal_build() const { return m_terminal_build; }
  const std::uint8_t* path_hash() const { return m_path_hash; }

  // Test seam: poll count and interval of the start-and-poll wait.
  void set_launch_poll(std::uint32_t attempts, std::uint32_t interval_ms) {
    launch_poll_attempts_ = attempts;
    launch_poll_interval_ms_ = interval_ms;
  }

 private:
  // os::OpenPipe into m_pipe: 0 or its error.
  std::uint32_t TryOpen(const std::u16string& name);
  // The failure of a started terminal that never served its pipe.
  ConnectOutcome PollExpired() const;
  // One try to connect to a terminal just started: true when the wait is
  // over, with *outcome (empty on success); false while nobody serves it.
  // The try itself may wait up to `wait_ms` for the name to appear.
  using Look = std::function<bool(std::uint32_t wait_ms, ConnectOutcome* outcome)>;
  // Whether the started terminal has exited, with its exit code.
  using Ended = std::function<bool(std::uint32_t* code)>;
  // The one wait for a terminal just started, native or under Wine: a try
  // every launch poll interval (a try that does not wait itself, as
  // `look_waits` says, is followed by a sleep) until it connects or fails for
  // good, the attempts run out, or the terminal exits: then one last try, as
  // it may have left the name to a terminal already serving it, and the
  // failure `ended_format` (its %u the exit code) with *ended set.
  ConnectOutcome PollStarted(const Look& look, bool look_waits, const Ended& ended,
                             const char16_t* ended_format, bool* ended_out);

  os::PipeHandle m_pipe = os::kInvalidPipe;
  std::uint8_t m_path_hash[32] = {};
  std::int32_t m_terminal_build = 0;
  std::uint32_t timeout_ms_ = kDefaultTimeoutMs;
  std::uint32_t launch_poll_attempts_ = 120;
  std::uint32_t launch_poll_interval_ms_ = 500;
  std::u16string relay_path_;
};

extern CInterClient g_client;

// Starts the terminal at `path` ("/portable" when `portable`).
ConnectOutcome LaunchTerminal(const std::u16string& path, bool portable);
// A terminal's command line after its name: "/portable" for a portable
// installation.
std::vector<std::u16string> LaunchArguments(bool portable);

// ": " and what a terminal that ended said about why, or nothing when it
// said nothing.
std::u16string ReasonSuffix(const std::u16string& line);

}  // namespace zk5

#endif  // ZK5_CLIENT_CONNECTION_CLIENT_H_
