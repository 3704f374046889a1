// terminal64.exe: the bundled simulated terminal.
//
//   terminal64.exe [/portable] [/reset-account:LOGIN]
//
// Serves the pipe named after its own path until it is stopped (SIGTERM,
// SIGINT, SIGHUP) or has had no client for the configured idle time. A
// second instance for the same installation exits at once with status 1.
// With /reset-account it does not serve: it puts that account back to its
// first state and exits (0, or 2 for an unknown login).
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "connection/pipe_name.h"
#include "context.h"
#include "installation.h"
#include "base/text.h"
#include "os/pipe_server.h"
#include "os/terminal_host.h"
#include "server.h"

namespace {

// The text after "/word" (or "-word"), the word in any letter case; null
// when `arg` is another argument.
const char* FlagRest(const char* arg, const char* word) {
  if (arg[0] != '/' && arg[0] != '-') return nullptr;
  std::size_t i = 0;
  for (; word[i] != '\0'; ++i) {
    const char c = arg[1 + i];
    if (c == '\0' || (c | 0x20) != word[i]) return nullptr;
  }
  return arg + 1 + i;
}

bool IsPortableFlag(const char* arg) {
  const char* rest = FlagRest(arg, "portable");
  return rest != nullptr && *rest == '\0';
}

// "/reset-account:LOGIN": true with the login, which must be a positive
// decimal number.
bool ResetAccountFlag(const char* arg, std::uint64_t* login) {
  const char* rest = FlagRest(arg, "reset-account:");
  if (rest == nullptr || *rest < '1' || *rest > '9') return false;
  char* end = nullptr;
  errno = 0;
  const unsigned long long value = std::strtoull(rest, &end, 10);
  if (errno != 0 || *end != '\0') return false;
  *login = value;
  return true;
}

int Fail(const char* what) {
  std::fprintf(stderr, "terminal64.exe: %s\n", what);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace zk5;
  bool portable = false;
  std::uint64_t reset_login = 0;
  for (int i = 1; i < argc; ++i) {
    if (IsPortableFlag(argv[i])) {
      portable = true;
    } else if (FlagRest(argv[i], "reset-account") != nullptr &&
               !ResetAccountFlag(argv[i], &reset_login)) {
      return Fail("the login of /reset-account:LOGIN must be a positive number");
    }
  }

  const std::u16string exe = os::ExecutablePath();
  term::Installation inst;
  if (exe.empty() || !term::LocateInstallation(exe, portable, &inst)) {
    return Fail("cannot tell where the executable is");
  }
  std::uint8_t digest[32];
  if (!PathHash(exe, digest)) return Fail("cannot compute the pipe name");
  if (!os::InstallStopSignals()) return Fail("cannot install the signal handlers");

  // Claim the name first, so a second instance leaves everything untouched.
  os::PipeServer server;
  std::uint32_t err = 0;
  switch (server.Listen(PipeNameFromHash(digest), os::PipeServer::kManyInstances, &err)) {
    case os::ListenStatus::kAlreadyServed:
      std::fprintf(stderr, "terminal64.exe: this installation is already running\n");
      return 1;
    case os::ListenStatus::kError:
      std::fprintf(stderr, "terminal64.exe: cannot serve the pipe: %s\n",
                   std::strerror(static_cast<int>(err)));
      return 2;
    case os::ListenStatus::kOk:
      break;
  }
  if (!term::RegisterInstallation(inst)) {
    std::fprintf(stderr, "terminal64.exe: cannot write the data folder %s\n",
                 text::Utf16ToUtf8(inst.data.data(), inst.data.size()).c_str());
  }
  std::string ini;
  os::ReadWholeFile(inst.ConfigFile(u"terminal.ini"), &ini);
  const term::Settings settings = term::ParseSettings(ini);

  // Lives until the process ends: connection threads may still hold it.
  auto* terminal = new term::Terminal(inst, settings);
  if (!terminal->Load()) {
    std::fprintf(stderr, "terminal64.exe: cannot write config/accounts.dat\n");
  }
  if (reset_login != 0) {
    // The pipe is claimed, so no running instance holds the account.
    const bool reset = terminal->ResetAccount(reset_login);
    if (!reset) {
      std::fprintf(stderr, "terminal64.exe: cannot reset account %llu: no such account or "
                   "its data cannot be written\n", static_cast<unsigned long long>(reset_login));
    }
    server.Close();
    std::fflush(nullptr);
    std::_Exit(reset ? 0 : 2);
  }
  term::Serve(*terminal, server, settings.idle_exit_sec * 1000);
  terminal->SaveState();
  server.Close();
  std::fflush(nullptr);
  // Connection threads may still be running: leave without running static
  // destructors under them. Every confirmed change is already on disk.
  std::_Exit(0);
}
