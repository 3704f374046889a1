// zk5relay.exe: carries one client connection between its standard streams
// and a terminal's named pipe.
//
//   zk5relay.exe \\.\pipe\NAME [WAIT_MS]
//
// A client on another system (Linux, with the terminal running under Wine)
// starts it with standard input and output on one end of a socket, and
// speaks the terminal's protocol through it as if it had opened the pipe.
//
// Before anything else it writes one 4-byte little-endian word to standard
// output: 0 when the pipe is open, else the system error code of the open
// (2: nobody serves the name). Then it copies bytes both ways until either
// side ends, and exits, which closes both.
//
// With WAIT_MS, a name nobody serves yet is tried again for up to that many
// milliseconds; a busy pipe is always waited for (os::OpenPipe).
#include <cstdint>
#include <string>
#include <vector>

#include "base/text.h"
#include "os/os.h"
#include "os/relay_streams.h"

namespace {

constexpr std::uint32_t kRetryMs = 20;
// A day: longer waits are nobody's intent.
constexpr std::uint64_t kMaxWaitMs = 86400000;

std::uint32_t Open(const std::u16string& name, std::uint64_t wait_ms, zk5::os::PipeHandle* pipe) {
  const std::int64_t deadline = zk5::os::MonotonicMs() + static_cast<std::int64_t>(wait_ms);
  for (;;) {
    const std::uint32_t err = zk5::os::OpenPipe(name, pipe);
    if (err != zk5::os::NoServerError() || zk5::os::MonotonicMs() >= deadline) return err;
    zk5::os::SleepMs(kRetryMs);
  }
}

}  // namespace

int main() {
  namespace os = zk5::os;
  if (!os::HaveStandardStreams()) return 2;
  const std::vector<std::u16string> args = os::ProgramArguments();
  std::uint32_t err = os::InvalidArgumentError();
  os::PipeHandle pipe = os::kInvalidPipe;
  if (args.size() == 1 || args.size() == 2) {
    // A malformed WAIT_MS counts as none.
    std::uint64_t wait_ms = 0;
    if (args.size() == 2) {
      const std::string digits = zk5::text::Utf16ToUtf8(args[1].data(), args[1].size());
      if (!zk5::text::ParseDecimal(digits, &wait_ms) || wait_ms > kMaxWaitMs) wait_ms = 0;
    }
    err = Open(args[0], wait_ms, &pipe);
  }
  if (!os::WriteWordToStandardOutput(err) || err != 0) return 1;
  os::CarryStandardStreams(pipe);
}
