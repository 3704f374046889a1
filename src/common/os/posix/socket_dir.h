// Where a pipe name lives on POSIX: the Unix-domain socket DIR/NAME, where DIR
// is $XDG_RUNTIME_DIR when set, else /tmp/zk5-<uid> (created with mode 0700).
// DIR is refused unless it is a real directory owned by this user with no
// group or other permissions, so no other user can put a fake terminal in
// our way. Shared by the client and the bundled terminal.
#ifndef ZK5_COMMON_OS_POSIX_SOCKET_DIR_H_
#define ZK5_COMMON_OS_POSIX_SOCKET_DIR_H_

#include <cstdint>
#include <string>

namespace zk5::os {

// The socket path of a Windows-style pipe name ("\\.\pipe\NAME" or a bare
// NAME). Returns 0 and fills *path, or an errno value: ENAMETOOLONG when the
// path would not fit a socket address, EPERM when DIR is unsafe.
int PipeSocketPath(const std::u16string& name, std::string* path);

}  // namespace zk5::os

#endif  // ZK5_COMMON_OS_POSIX_SOCKET_DIR_H_
