#include "connection/client.h"

#include <cstring>
#include <string>

#include "connection/search.h"

#ifndef _WIN32
#include "connection/wine_route.h"
#include "os/wine.h"
#endif

namespace zk5 {

CInterClient g_client;

namespace {

constexpr std::uint32_t kHelloVersion = 3;
constexpr char16_t kHelloClient[] = u"Python";

// Replaces the first occurrence of `placeholder` in `format` by `value`.
std::u16string Format(const char16_t* format, const char16_t* placeholder,
                      const std::u16string& value) {
  std::u16string text(format);
  const std::size_t at = text.find(placeholder);
  if (at != std::u16string::npos) text.replace(at, 2, value);
  return text;
}

}  // namespace

ConnectOutcome ConnectOutcome::FailedWith(const char16_t* format, const std::u16string& text) {
  return Failed(Format(format, u"%s", text));
}

ConnectOutcome ConnectOutcome::FailedWith(const char16_t* format, std::uint32_t number) {
  const std::string digits = std::to_string(number);
  return Failed(Format(format, u"%u", std::u16string(digits.begin(), digits.end())));
}

ConnectOutcome ConnectOutcome::OpenFailed(std::uint32_t err) {
  if (err == os::kOpenInterrupted) return Failed(u"Interrupted");
  return FailedWith(u"CreateFile failed [%u]", err);
}

void CInterClient::Reset() {
  if (m_pipe != os::kInvalidPipe) {
    os::ClosePipe(m_pipe);
    m_pipe = os::kInvalidPipe;
  }
  std::memset(m_path_hash, 0, sizeof m_path_hash);
}

std::vector<std::u16string> LaunchArguments(bool portable) {
  if (portable) return {u"/portable"};
  return {};
}

ConnectOutcome LaunchTerminal(const std::u16string& path, bool portable) {
  if (os::LaunchProcess(path, LaunchArguments(portable))) return {};
  return ConnectOutcome::FailedWith(u"Process create failed '%s'", path);
}

ConnectOutcome CInterClient::PollExpired() const {
  return ConnectOutcome::FailedWith(u"Pipe server didn't answer in %u sec",
                                    launch_poll_attempts_ * launch_poll_interval_ms_ / 1000);
}

std::uint32_t CInterClient::TryOpen(const std::u16string& name) {
  os::PipeHandle handle = os::kInvalidPipe;
  const std::uint32_t err = os::OpenPipe(name, &handle);
  if (err == 0) m_pipe = handle;
  return err;
}

ConnectOutcome CInterClient::OpenPipe(const std::u16string& name) {
  const std::uint32_t err = TryOpen(name);
  return err == 0 ? ConnectOutcome{} : ConnectOutcome::OpenFailed(err);
}

ConnectOutcome CInterClient::ConnectToTerminal(const std::u16string& path, bool portable) {
  if (path.empty()) return ConnectOutcome::Failed(u"");
  if (path.size() > kMaxTerminalPath) return ConnectOutcome::Failed(u"Path too long");
#ifndef _WIN32
  if (IsWindowsProgram(path)) return ConnectUnderWine(path, portable);
#endif
  if (!PathHash(path, m_path_hash)) return ConnectOutcome::Failed(u"Hash calculation failed");
  const std::u16string name = PipeNameFromHash(m_path_hash);
  // Other threads may run while this waits for a terminal to start.
  os::BlockingScope blocking;
  const std::uint32_t err = TryOpen(name);
  // Only a missing server can be cured by starting the terminal; any other
  // refusal (an unsafe socket folder, a socket path too long) fails at once.
  if (err == 0) return {};
  if (!os::ServerMissing(err)) return ConnectOutcome::OpenFailed(err);
  const Look look = [&](std::uint32_t, ConnectOutcome* outcome) {
    const std::uint32_t open_error = TryOpen(name);
    if (open_error == 0) return true;
    if (os::ServerMissing(open_error)) return false;
    *outcome = ConnectOutcome::OpenFailed(open_error);
    return true;
  };
  bool ended = false;
#ifdef _WIN32
  if (ConnectOutcome launched = LaunchTerminal(path, portable); !launched) return launched;
  // Not watched.
  return PollStarted(
      look, false, [](std::uint32_t*) { return false; }, nullptr, &ended);
#else
  // The started terminal is watched: one that exits before it serves (it
  // cannot load, its data folder is taken, ...) fails the wait at once. One
  // that leaves because the terminal holding the data folder serves this
  // very pipe, its socket removed for the moment, hands the wait over to
  // that one: it makes its socket again within a second.
  os::LaunchWatch watch;
  if (os::LaunchWatched(path, LaunchArguments(portable), &watch) != 0) {
    return ConnectOutcome::FailedWith(u"Process create failed '%s'", path);
  }
  bool returning = false;
  ConnectOutcome outcome = PollStarted(
      look, false,
      [&](std::uint32_t* code) {
        if (returning || !os::WatchedExit(&watch, code)) return false;
        returning = *code == static_cast<std::uint32_t>(kExitSocketReturning);
        return !returning;
      },
      u"The terminal ended before serving its pipe [exit code %u]", &ended);
  // What it said about why follows the exit code (or the time waited for
  // the other terminal).
  if (ended || (returning && !outcome)) outcome.error += ReasonSuffix(os::WatchedErrorLine(&watch));
  os::EndWatch(&watch);
  return outcome;
#endif
}

ConnectOutcome CInterClient::PollStarted(const Look& look, bool look_waits, const Ended& ended,
                                         const char16_t* ended_format, bool* ended_out) {
  *ended_out = false;
  ConnectOutcome outcome;
  std::uint32_t exit_code = 0;
  for (std::uint32_t attempt = 0; attempt < launch_poll_attempts_; ++attempt) {
    if (os::CheckInterrupt()) return ConnectOutcome::OpenFailed(os::kOpenInterrupted);
    const bool exited = ended(&exit_code);
    if (look(exited ? 0 : launch_poll_interval_ms_, &outcome)) return outcome;
    if (exited) {
      *ended_out = true;
      return ConnectOutcome::FailedWith(ended_format, exit_code);
    }
    if (!look_waits && !os::SleepMs(launch_poll_interval_ms_)) {
      return ConnectOutcome::OpenFailed(os::kOpenInterrupted);
    }
  }
  // One last look after the final wait.
  if (look(0, &outcome)) return outcome;
  return PollExpired();
}

std::u16string ReasonSuffix(const std::u16string& line) {
  return line.empty() ? line : u": " + line;
}

ConnectOutcome CInterClient::ConnectToFoundTerminal() {
  std::u16string base;
  if (!DataFoldersBase(&base)) return ConnectOutcome::Failed(u"");  // nothing was looked at
  TerminalCandidate best;
  bool found = ChooseTerminal(base, &best);
#ifndef _WIN32
  // Terminals under the default Wine prefix compete on the same terms.
  std::u16string wine_base, prefix;
  TerminalCandidate under_wine;
  if (WineDataFoldersBase(&wine_base, &prefix) && ChooseTerminal(wine_base, &under_wine, &prefix) &&
      (!found || best.last_write_time < under_wine.last_write_time)) {
    best = std::move(under_wine);
    found = true;
  }
#endif
  if (!found) return ConnectOutcome::Failed(u"Zelkor 5 x64 not found");
  return ConnectToTerminal(best.exe_path, best.portable);
}

std::int32_t CInterClient::Hello() {
  const ipc::Text client{kHelloClient, 6};
  // The build is kept as soon as it has been read, whatever follows it.
  auto* build = reinterpret_cast<std::uint32_t*>(&m_terminal_build);
  // The first exchange of a fresh connection skips the check for bytes
  // already waiting: a terminal past its connection limit answers this HELLO
  // with its busy status before it is sent, and that reply is read as such.
  if (!connected()) return kNoIpcConnection;
  os::BlockingScope blocking;
  if (!ipc::Encode(m_pipe, ipc::kCommand<ipc::CommandId::HELLO>, kHelloVersion, client)) {
    return kIpcSendFailed;
  }
  return ipc::Receive(
      m_pipe, ipc::CommandId::HELLO,
      [&](ipc::PipeReader& r, ipc::Header* h) { return ipc::DecodeU32(r, h, build); },
      reply_stall_ms());
}

ConnectOutcome CInterClient::Initialize(const std::u16string& path, bool portable) {
  if (connected()) return ConnectOutcome::Failed(u"CInterClient already initialized");
  // A terminal that ends (an idle exit) just as this connects drops the
  // connection before it answers the greeting. Looking again a moment later
  // finds it gone, or a new one, and starts one when none serves.
  constexpr int kGreetingAttempts = 5;
  constexpr std::uint32_t kGreetingRetryMs = 50;
  for (int attempt = 1;; ++attempt) {
    ConnectOutcome outcome =
        path.empty() ? ConnectToFoundTerminal() : ConnectToTerminal(path, portable);
    if (!outcome) return outcome;
    const std::int32_t greeted = Hello();
    if ((greeted != kIpcSendFailed && greeted != kIpcRecvFailed) || attempt == kGreetingAttempts) {
      return {greeted, {}};
    }
    Reset();
    if (!os::SleepMs(kGreetingRetryMs)) return {greeted, {}};
  }
}

}  // namespace zk5
