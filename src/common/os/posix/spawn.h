// Starting programs on POSIX: the terminal, and under Wine the terminal and
// the relay. Only files in os/posix include this.
//
// Everything between fork and exec runs in a copy of a process that may have
// other threads, some possibly holding the allocator's locks, so the
// requests are prepared beforehand and the children make only
// async-signal-safe calls. Signal masks and dispositions are reset, every
// descriptor but the standard streams is closed, and a failed exec is
// reported back as its errno.
#ifndef ZK5_COMMON_OS_POSIX_SPAWN_H_
#define ZK5_COMMON_OS_POSIX_SPAWN_H_

#include <sys/types.h>

#include <string>
#include <vector>

#include "os/wine.h"

namespace zk5::os {

// A program and its arguments and environment, ready for exec.
class SpawnRequest {
 public:
  SpawnRequest(std::vector<std::string> args, std::vector<std::string> env);
  SpawnRequest(const SpawnRequest&) = delete;
  SpawnRequest& operator=(const SpawnRequest&) = delete;
  char* const* argv() const { return argv_.data(); }
  char* const* envp() const { return envp_.data(); }

 private:
  std::vector<std::string> args_, env_;
  std::vector<char*> argv_, envp_;
};

// This process's environment with `set` (NAME=value entries) put in place
// of the same names; `keep_if_set` entries only where the name is unset.
std::vector<std::string> EnvironmentWith(const std::vector<std::string>& set,
                                         const std::vector<std::string>& keep_if_set);

// Starts a child of this process in its own session, with standard input
// and output on `stdio` (the null device when -1) and standard error on the
// null device. Returns 0 and its pid, or an errno value.
int SpawnChild(const SpawnRequest& request, int stdio, pid_t* pid);

// Starts a program in its own session, detached by a double fork so that it
// outlives this process and is never its zombie; standard streams on the
// null device.
//
// Without a watch (`watch` null) the call returns once the program runs.
// With one, the intermediate child stays to watch the program until the
// caller ends the watch (os/wine.h): *watch is filled. Returns 0, or an errno value.
int SpawnDetached(const SpawnRequest& request, LaunchWatch* watch);

}  // namespace zk5::os

#endif  // ZK5_COMMON_OS_POSIX_SPAWN_H_
