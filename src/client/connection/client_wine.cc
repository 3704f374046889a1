// Connecting to a Windows terminal under Wine (see wine_route.h): the same
// steps as for any terminal (open its pipe, else start it and poll), with a
// relay per connection in place of the pipe and Wine starting the terminal.
// Failures that are certain (no Wine, no prefix, a terminal that ended at
// once) are reported at once instead of after the poll.
#include <cstring>
#include <string>

#include "connection/client.h"
#include "connection/wine_route.h"
#include "os/wine.h"

namespace zk5 {

namespace {

// A relay that has not answered in this time never will (a cold start of a
// prefix takes about half a second).
constexpr std::uint32_t kRelayAnswerMs = 60000;

}  // namespace

std::u16string CInterClient::RelayPath() const {
  if (!relay_path_.empty()) return relay_path_;
  const std::u16string folder = os::OwnFolder();
  return folder.empty() ? folder : folder + u"/bin/zk5relay.exe";
}

ConnectOutcome CInterClient::ConnectUnderWine(const std::u16string& path, bool portable) {
  WineRoute route;
  const std::u16string reason = PlanWineRoute(path, RelayPath(), &route);
  std::memcpy(m_path_hash, route.digest, sizeof m_path_hash);
  if (!reason.empty()) return ConnectOutcome::Failed(reason);
  // Other threads may run while this waits for the relay or the terminal;
  // every wait in it asks the interrupt check.
  os::BlockingScope blocking;
  ConnectOutcome failure;
  // One try: kOpen connects, kRefused lets the caller start the terminal,
  // kFailed and kInterrupted are final.
  const auto attempt = [&](std::uint32_t wait_ms) {
    std::uint32_t err = 0;
    os::PipeHandle pipe = os::kInvalidPipe;
    const os::RelayResult r = os::OpenPipeThroughRelay(route.setup, route.pipe_name, wait_ms,
                                                       kRelayAnswerMs, &pipe, &err);
    if (r == os::RelayResult::kOpen) {
      m_pipe = pipe;
    } else if (r == os::RelayResult::kInterrupted) {
      failure = ConnectOutcome::Failed(u"Interrupted");
    } else if (r == os::RelayResult::kRefused) {
      failure = ConnectOutcome::OpenFailed(err);
    } else {
      failure = ConnectOutcome::FailedWith(u"The relay to Wine did not answer [%u]", err);
    }
    return r;
  };
  const auto outcome = [&](os::RelayResult r) {
    return r == os::RelayResult::kOpen ? ConnectOutcome{} : failure;
  };
  os::RelayResult r = attempt(0);
  if (r != os::RelayResult::kRefused) return outcome(r);

  os::LaunchWatch watch;
  if (os::LaunchUnderWine(route.setup, path, LaunchArguments(portable), &watch) != 0) {
    return ConnectOutcome::FailedWith(u"Process create failed '%s'", path);
  }
  // Each try lets the relay wait for the name to appear.
  const Look look = [&](std::uint32_t wait_ms, ConnectOutcome* result) {
    r = attempt(wait_ms);
    if (r == os::RelayResult::kRefused) return false;
    *result = outcome(r);
    return true;
  };
  bool ended = false;
  ConnectOutcome result = PollStarted(
      look, true, [&](std::uint32_t* code) { return os::WatchedExit(&watch, code); },
      u"The terminal under Wine ended before serving its pipe [exit code %u]", &ended);
  if (ended) result.error += ReasonSuffix(os::WatchedErrorLine(&watch));
  os::EndWatch(&watch);
  return result;
}

}  // namespace zk5
