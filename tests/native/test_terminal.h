// A small terminal for the native tests, the same on every platform: it
// serves the pipe named after its own executable path and answers a few
// commands in ways the tests can check.
//
//   HELLO                        status 0, build kBuild
//   VERSION                      status 0, kBuild, the number of clients
//                                served so far, and a report of
//                                "key=value" lines (see ReportValue)
//   TERMINAL_STATE               status 0, 2 (ready)
//   HISTORY_DEALS_BY_POSITION n  status 0 and n records of kRecordSize
//                                bytes (BulkByte), written in small pieces
//                                with pauses between them
//   HISTORY_ORDERS_BY_POSITION n announces n records, sends half of them,
//                                pauses, and dies
//   BOOK_ADD path                starts `path` (not portable): status 0,
//                                or -1 when it cannot be started
//   BOOK_RELEASE                 status 0, then quits
//   anything else                status -1 and nothing more
//
// It serves one client at a time; the next waits. The program stops by
// itself a minute after its last client came or went. Started from a file
// whose name begins with "silent", it never serves.
#ifndef ZK5_TESTS_NATIVE_TEST_TERMINAL_H_
#define ZK5_TESTS_NATIVE_TEST_TERMINAL_H_

#include <cstdint>
#include <string>

#include "os/os.h"

namespace zk5::test_terminal {

constexpr std::int32_t kBuild = 4321;
constexpr std::uint32_t kRecordSize = 328;

struct Options {
  bool portable = false;  // started with "/portable"
  // Serving from a process of its own: the report then also tells the
  // search's choice among the installed terminals (the search writes the
  // client's state) and whether standard output can be written.
  bool own_process = false;
};

enum class Outcome {
  kClientGone,  // the client closed its end, or sent nonsense
  kDie,         // a reply was cut off on purpose: end abruptly now
  kQuit,        // BOOK_RELEASE was answered
};

// Serves requests on one connection until an outcome above.
// `served` counts the connections so far, this one included.
Outcome ServeConnection(os::PipeHandle pipe, const Options& options, std::uint32_t served);

// Byte `i` of a bulk reply's records.
inline std::uint8_t BulkByte(std::uint64_t i) {
  return static_cast<std::uint8_t>((i * 131 + (i >> 11)) & 0xFF);
}

// The value of "key=" in a VERSION report, or "?" when the key is missing.
// Keys: "portable" (1 or 0), "parent" (the canonical image of the parent
// process), and from a terminal process "chosen" (the terminal the search
// picks) and "stdout" ("ok" when standard output can be written, else
// "none").
std::u16string ReportValue(const std::u16string& report, const std::u16string& key);

// The test terminal built next to the running test program.
std::u16string BuiltTerminal();

}  // namespace zk5::test_terminal

#endif  // ZK5_TESTS_NATIVE_TEST_TERMINAL_H_
