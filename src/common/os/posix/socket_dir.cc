// The socket path of a pipe name (see socket_dir.h).
#include "os/posix/socket_dir.h"

#include <errno.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "os/posix/names.h"

namespace zk5::os {

namespace {

constexpr char16_t kPipePrefix[] = u"\\\\.\\pipe\\";

// Accepts DIR only when no other user can have planted anything in it.
int CheckPrivateDir(const std::string& dir) {
  struct stat st;
  if (lstat(dir.c_str(), &st) != 0) return errno;
  if (!S_ISDIR(st.st_mode) || st.st_uid != geteuid() || (st.st_mode & 077) != 0) {
    return EPERM;
  }
  return 0;
}

int SocketDir(std::string* dir) {
  const char* xdg = std::getenv("XDG_RUNTIME_DIR");
  if (xdg != nullptr && xdg[0] != '\0') {
    *dir = xdg;
  } else {
    *dir = "/tmp/zk5-" + std::to_string(geteuid());
    if (mkdir(dir->c_str(), 0700) != 0 && errno != EEXIST) return errno;
  }
  return CheckPrivateDir(*dir);
}

}  // namespace

int PipeSocketPath(const std::u16string& name, std::string* path) {
  std::u16string bare = name;
  const std::size_t prefix = sizeof(kPipePrefix) / sizeof(char16_t) - 1;
  if (bare.compare(0, prefix, kPipePrefix) == 0) bare.erase(0, prefix);
  if (bare.empty() || bare.find(u'/') != std::u16string::npos) return EINVAL;
  std::string dir;
  if (int err = SocketDir(&dir)) return err;
  *path = dir + "/" + NativePath(bare);
  if (path->size() >= sizeof(sockaddr_un{}.sun_path)) return ENAMETOOLONG;
  return 0;
}

}  // namespace zk5::os
