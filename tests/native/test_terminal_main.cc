// The test terminal program (see test_terminal.h).
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "ipc/pipe_name.h"
#include "os/pipe_server.h"
#include "test_terminal.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kIdleLimit = std::chrono::seconds(60);
std::atomic<Clock::rep> g_last_activity{0};

void Touch() { g_last_activity = Clock::now().time_since_epoch().count(); }

// A terminal nobody talks to goes away by itself, so that a failed test
// leaves nothing running for long.
void Watchdog() {
  for (;;) {
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const Clock::time_point last{Clock::duration{g_last_activity.load()}};
    if (Clock::now() - last > kIdleLimit) std::_Exit(2);
  }
}

bool StartsWith(const std::u16string& s, const std::u16string& prefix) {
  return s.compare(0, prefix.size(), prefix) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace zk5;
  test_terminal::Options options;
  options.own_process = true;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "/portable") == 0) options.portable = true;
  }
  const std::u16string self = os::ExecutablePath();
  const std::size_t slash = self.find_last_of(u"/\\");
  if (StartsWith(self.substr(slash == std::u16string::npos ? 0 : slash + 1), u"silent")) {
    os::SleepMs(1000);
    return 0;
  }
  // The pipe is named after our own executable, as the client names it
  // after the path it was given.
  std::uint8_t digest[32];
  if (self.empty() || !PathHash(self, digest)) return 1;
  os::PipeServer server;
  if (server.Listen(PipeNameFromHash(digest), 1) != os::ListenStatus::kOk) return 1;

  Touch();
  std::thread(Watchdog).detach();
  for (std::uint32_t served = 1;; ++served) {
    os::PipeHandle client = os::kInvalidPipe;
    if (server.Accept(-1, &client) != os::AcceptStatus::kClient) return 1;
    Touch();
    switch (test_terminal::ServeConnection(client, options, served)) {
      case test_terminal::Outcome::kClientGone:
        server.Release(client);
        Touch();
        break;
      case test_terminal::Outcome::kDie:
        std::_Exit(3);
      case test_terminal::Outcome::kQuit:
        server.Close();
        return 0;
    }
  }
}
