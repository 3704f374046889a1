// libFuzzer harness for the bundled terminal's request decoding: each input
// is one request as it follows the frame's length field (u32 command id,
// then the arguments), answered by Dispatch exactly as a connection would
// answer it, long replies produced into a sink that keeps their first MiB.
//
// Every input must be answered or refused within kBoundMs of the process's
// CPU time (every thread's: long replies are written by a thread of their
// own); one that takes longer aborts the run, so the fuzzer reports it as a
// crash with the input. CPU time rather than wall time, so that the load of
// a shared machine does not count against the terminal.
//
// The terminal runs on a data folder of its own under $TMPDIR with the account
// store's flush to disk off, and its clock stopped at 2015-01-02 12:00 UTC:
// the history is then a day and a half long, so that most requests cost
// well under a millisecond and the fuzzer stays fast, while the costliest
// (every minute bar of the history, computed afresh) takes a few hundred
// milliseconds under the sanitizers (a fresh data folder, every
// kInputsPerFolder inputs, starts with cold caches). A request's cost is
// bounded by the history it covers, since every date is clamped to it.
// Logins check against a one-iteration hash that matches nothing, so they
// are cheap too.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include <stdlib.h>
#include <unistd.h>

#include "base/text.h"
#include "os/service.h"
#include "server/dispatch.h"
#include "server/installation.h"

namespace {

constexpr std::int64_t kBoundMs = 2000;
constexpr std::int64_t kClockMs = 1420200000000;  // Friday 2015-01-02 12:00 UTC
constexpr std::size_t kSinkBytes = std::size_t{1} << 20;

// A fresh data folder every kInputsPerFolder inputs keeps the account
// small: the cost of a large one is the benchmark's subject, not this one's.
constexpr int kInputsPerFolder = 20000;

zk5::term::Terminal* g_terminal = nullptr;
std::string g_folder;
int g_inputs = 0;

std::u16string Wide(const std::string& s) { return zk5::text::Utf8ToUtf16(s.data(), s.size()); }

void RemoveFolder() {
  if (g_folder.empty()) return;
  for (const char* name : {"/config/accounts.dat", "/config/symbols.dat", "/bases/accounts.sqlite",
                           "/bases/accounts.sqlite-wal", "/bases/accounts.sqlite-shm"}) {
    zk5::os::RemoveFile(Wide(g_folder + name));
  }
  for (const char* name : {"/config", "/bases", ""}) rmdir((g_folder + name).c_str());
}

void Setup() {
  using namespace zk5;
  delete g_terminal;
  g_terminal = nullptr;
  RemoveFolder();
  const char* tmp = std::getenv("TMPDIR");
  std::string folder =
      std::string(tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp") + "/zk5fuzzXXXXXX";
  if (mkdtemp(&folder[0]) == nullptr) std::abort();
  const std::string dir = folder;
  g_folder = dir;
  term::Installation inst;
  if (!term::LocateInstallation(Wide(dir + "/terminal64.exe"), true, &inst)) std::abort();
  if (!os::MakeDirectories(Wide(dir + "/config")) || !os::MakeDirectories(Wide(dir + "/bases"))) {
    std::abort();
  }
  const std::string no_match = "pbkdf2-sha256$1$00$" + std::string(64, '0');
  // The demo accounts: hedging, one-time password, netting.
  std::string accounts = "[Terminal]\nLastLogin=10000001\n";
  for (const char* extra : {"", "Otp=1\n", "Mode=netting\n"}) {
    static int login = 10000001;
    accounts += "[Account " + std::to_string(login++) + "]\nPasswordHash=" + no_match +
                "\nServer=Brundel-Demo\n" + extra;
  }
  if (!os::WriteFileAtomic(inst.ConfigFile(u"accounts.dat"), accounts)) std::abort();
  g_terminal = new term::Terminal(inst, term::Settings{});
  g_terminal->FixClock(kClockMs);
  std::string error;
  if (!g_terminal->Load(&error, /*durable=*/false)) {
    std::fprintf(stderr, "fuzzer: %s\n", error.c_str());
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  Setup();
  std::atexit(RemoveFolder);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace zk5::term;
  if (size < 4) return 0;
  if (++g_inputs % kInputsPerFolder == 0) Setup();
  std::uint32_t command = 0;
  std::memcpy(&command, data, 4);
  Session session;
  const std::clock_t start = std::clock();
  Reply reply = Dispatch(*g_terminal, &session, command, data + 4, size - 4);
  if (reply.status >= 0 && reply.stream) {
    std::size_t taken = 0;
    reply.stream([&taken](const void*, std::size_t n) {
      taken += n;
      return taken < kSinkBytes;  // then the client "hangs up"
    });
  }
  const auto ms = static_cast<long long>(std::clock() - start) * 1000 / CLOCKS_PER_SEC;
  if (ms > kBoundMs) {
    std::fprintf(stderr, "fuzzer: command %u took %lld ms of CPU\n", command, ms);
    std::abort();
  }
  return 0;
}
