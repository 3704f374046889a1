// The one wait of every POSIX transfer: for a descriptor to be ready, with
// the interrupt check. Only files in os/posix include this.
#ifndef ZK5_COMMON_OS_POSIX_AWAIT_H_
#define ZK5_COMMON_OS_POSIX_AWAIT_H_

#include <cstdint>

#include "os/os.h"

namespace zk5::os {

// Waits until `fd` is ready for `events` (poll() events), or has an error the
// next call will report, until MonotonicMs() reaches deadline_ms
// (kNoDeadline: no limit). Inside a blocking scope; wakes every kWakeMs for
// the interrupt check. kOk when ready, kInterrupted, or kError with errno
// ETIMEDOUT once the deadline passed.
IoStatus Await(int fd, short events, std::int64_t deadline_ms);

}  // namespace zk5::os

#endif  // ZK5_COMMON_OS_POSIX_AWAIT_H_
