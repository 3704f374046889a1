// What the relay program (Windows only, see src/client/relay) asks of the
// system: its arguments, its standard streams carried to and from a pipe.
#ifndef ZK5_COMMON_OS_RELAY_STREAMS_H_
#define ZK5_COMMON_OS_RELAY_STREAMS_H_

#include <cstdint>
#include <string>
#include <vector>

#include "os/os.h"

namespace zk5::os {

// The program's arguments after its own name.
std::vector<std::u16string> ProgramArguments();

// Whether standard input and output are there to carry.
bool HaveStandardStreams();

// Writes `word` to standard output as 4 little-endian bytes; false when it
// cannot.
bool WriteWordToStandardOutput(std::uint32_t word);

// Copies standard input to `pipe` on a thread of its own and `pipe` to
// standard output on this one, until either side ends, and then ends the
// process with status 0, which closes both: the client sees end of file when
// the terminal went away, the terminal a broken pipe when the client did.
[[noreturn]] void CarryStandardStreams(PipeHandle pipe);

// The error number of OpenPipe when nobody serves the name.
std::uint32_t NoServerError();

// The error number of a malformed command line.
std::uint32_t InvalidArgumentError();

}  // namespace zk5::os

#endif  // ZK5_COMMON_OS_RELAY_STREAMS_H_
