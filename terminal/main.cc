// terminal64.exe: the bundled simulated terminal.
//
//   terminal64.exe [/portable]
//
// Serves the pipe named after its own path until it is stopped (SIGTERM,
// SIGINT, SIGHUP) or has had no client for the configured idle time. A
// second instance for the same installation exits at once with status 1.
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

bool IsPortableFlag(const char* arg) {
  if (arg[0] != '/' && arg[0] != '-') return false;
  const char* word = "portable";
  for (std::size_t i = 0; i < 8; ++i) {
    const char c = arg[1 + i];
    if (c == '\0' || (c | 0x20) != word[i]) return false;
  }
  return arg[9] == '\0';
}

int Fail(const char* what) {
  std::fprintf(stderr, "terminal64.exe: %s\n", what);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace zk5;
  bool portable = false;
  for (int i = 1; i < argc; ++i) portable = portable || IsPortableFlag(argv[i]);

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
  term::Serve(*terminal, server, settings.idle_exit_sec * 1000);
  terminal->SaveState();
  server.Close();
  std::fflush(nullptr);
  // Connection threads may still be running: leave without running static
  // destructors under them. Every confirmed change is already on disk.
  std::_Exit(0);
}
