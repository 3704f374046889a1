// The one wait of every POSIX transfer: for a descriptor to be ready, with
// the interrupt check. Only files in os/posix include this.
#ifndef ZK5_OS_POSIX_AWAIT_H_
#define ZK5_OS_POSIX_AWAIT_H_

#include <cstdint>

#include "os/os.h"

namespace zk5::os {

constexpr std::uint32_t kNoLimit = 0xFFFFFFFFu;

// Waits until `fd` is ready for `events` (poll() events), or has an error the
// next call will report, for up to limit_ms (kNoLimit: no limit). Inside a
// blocking scope; wakes every kWakeMs for the interrupt check. kOk when
// ready, kInterrupted, or kError with errno ETIMEDOUT once the limit passed.
IoStatus Await(int fd, short events, std::uint32_t limit_ms);

}  // namespace zk5::os

#endif  // ZK5_OS_POSIX_AWAIT_H_
