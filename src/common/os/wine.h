// Reaching a Windows terminal that runs under Wine, from a POSIX client.
//
// Only a program of Wine's own can open a named pipe inside a Wine prefix:
// the client starts the relay (zk5relay.exe, built for Windows) under Wine
// for each connection, with its standard input and output on one end of a
// socket pair, and uses the other end as its pipe. POSIX only (os/posix).
#ifndef ZK5_COMMON_OS_WINE_H_
#define ZK5_COMMON_OS_WINE_H_

#include <cstdint>
#include <string>
#include <vector>

#include "os/os.h"

namespace zk5::os {

struct WineSetup {
  std::u16string wine;    // the wine program, an absolute path
  std::u16string prefix;  // the prefix everything runs in (WINEPREFIX)
  std::u16string relay;   // zk5relay.exe, a path of this system
};

// The executable file `name` in the folders of PATH, or empty.
std::u16string FindProgram(const std::u16string& name);

// The folder of the file this code was loaded from (the module or the
// program), or empty.
std::u16string OwnFolder();

// The prefix a Windows program outside any prefix's drive_c runs in:
// $WINEPREFIX when set and absolute, else ~/.wine (Wine's default). Empty
// when there is no home folder either.
std::u16string DefaultWinePrefix();

// The user's home folder ($HOME, else the password database), or empty.
std::u16string HomeFolder();

// The user's login name, as Wine names the user's folder, or empty.
std::u16string UserName();

enum class RelayResult {
  kOpen,         // *out is the relay's socket; ClosePipe ends the relay too
  kRefused,      // the relay could not open the pipe: *error is its Windows
                 // error code (2: nobody serves the name)
  kFailed,       // no answer from a relay: *error is an errno value (ETIMEDOUT
                 // when it did not answer within answer_ms)
  kInterrupted,  // the interrupt check ended the wait for the answer
};

// Opens pipe `name` ("\\.\pipe\NAME") inside the prefix through a relay
// started for this connection. The relay tries a name nobody serves for up
// to wait_ms. Every descriptor is close-on-exec. The wait for the relay's
// answer is a blocking wait with the interrupt check.
RelayResult OpenPipeThroughRelay(const WineSetup& wine, const std::u16string& name,
                                 std::uint32_t wait_ms, std::uint32_t answer_ms, PipeHandle* out,
                                 std::uint32_t* error);

// A program started detached, watched for an early end until EndWatch.
struct LaunchWatch {
  long watcher = -1;  // the process that watches
  int control = -1;   // closing it ends the watch
  int report = -1;    // the program's exit status arrives here
  int errors = -1;    // the program's standard error, a file without a name
};

// Starts the program at `path` like LaunchProcess, with `args` after its
// name, and watches it; its standard error goes to a file the watch keeps.
// Returns 0, or an errno value.
int LaunchWatched(const std::u16string& path, const std::vector<std::u16string>& args,
                  LaunchWatch* watch);

// Starts the Windows program at `path` (a path of this system) under Wine,
// detached from this process like LaunchProcess, with `args` after its
// name, and watches it. Returns 0, or an errno value.
int LaunchUnderWine(const WineSetup& wine, const std::u16string& path,
                    const std::vector<std::u16string>& args, LaunchWatch* watch);

// True, with the program's exit code in *code (128 + the signal number when
// a signal ended it), once the watched program has ended. Does not block.
bool WatchedExit(LaunchWatch* watch, std::uint32_t* code);
// The first line the watched program wrote to its standard error that is
// not blank (without its line end, at most 300 bytes, UTF-8 as far as it
// is valid), or empty.
std::u16string WatchedErrorLine(const LaunchWatch* watch);
// Stops watching; the program runs on by itself.
void EndWatch(LaunchWatch* watch);

}  // namespace zk5::os

#endif  // ZK5_COMMON_OS_WINE_H_
