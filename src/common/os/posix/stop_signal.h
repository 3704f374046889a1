// The side of the stop signals (see InstallStopSignals in service.h)
// that the pipe server waits on. Only files in os/posix include this.
#ifndef ZK5_COMMON_OS_POSIX_STOP_SIGNAL_H_
#define ZK5_COMMON_OS_POSIX_STOP_SIGNAL_H_

namespace zk5::os {

// A descriptor that turns readable once a stop signal has arrived, or -1
// while the signals are not installed.
int StopSignalDescriptor();

}  // namespace zk5::os

#endif  // ZK5_COMMON_OS_POSIX_STOP_SIGNAL_H_
