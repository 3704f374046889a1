// The link between a relay's socket and its process (see os/wine.h). Only
// files in os/posix include this.
#ifndef ZK5_COMMON_OS_POSIX_RELAY_H_
#define ZK5_COMMON_OS_POSIX_RELAY_H_

#include "os/os.h"

namespace zk5::os {

// Called by ClosePipe once `h` is closed: when a relay served it, waits for
// the relay to leave (it reads end of file), killing it if it does not, so
// that no relay outlives its connection.
void EndRelayOf(PipeHandle h);

}  // namespace zk5::os

#endif  // ZK5_COMMON_OS_POSIX_RELAY_H_
