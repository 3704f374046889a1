// The pipe to the terminal as a Unix-domain stream socket.
#include <errno.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <time.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "ipc/text.h"
#include "os/os.h"
#include "os/posix/socket_dir.h"

namespace zk5::os {

namespace {

constexpr char16_t kPipePrefix[] = u"\\\\.\\pipe\\";

IoStatus FromErrno(int err) {
  return (err == EPIPE || err == ECONNRESET) ? IoStatus::kBroken : IoStatus::kError;
}

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
  *path = dir + "/" + text::Utf16ToUtf8(bare.data(), bare.size());
  if (path->size() >= sizeof(sockaddr_un{}.sun_path)) return ENAMETOOLONG;
  return 0;
}

std::uint32_t OpenPipe(const std::u16string& name, PipeHandle* out) {
  std::string path;
  if (int err = PipeSocketPath(name, &path)) return static_cast<std::uint32_t>(err);
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return static_cast<std::uint32_t>(errno);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  // A blocking connect waits while the server's backlog is full, which is the
  // busy-pipe wait; a missing or dead server fails at once.
  int rc;
  do {
    rc = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    const int err = errno;
    close(fd);
    return static_cast<std::uint32_t>(err);
  }
  *out = fd;
  return 0;
}

IoStatus ReadExact(PipeHandle h, void* buf, std::size_t n) {
  auto* p = static_cast<char*>(buf);
  while (n != 0) {
    const ssize_t got = recv(static_cast<int>(h), p, n, 0);
    if (got > 0) {
      p += got;
      n -= static_cast<std::size_t>(got);
    } else if (got == 0) {
      return IoStatus::kBroken;
    } else if (errno != EINTR) {
      return FromErrno(errno);
    }
  }
  return IoStatus::kOk;
}

IoStatus WriteAll(PipeHandle h, const void* buf, std::size_t n) {
  const auto* p = static_cast<const char*>(buf);
  while (n != 0) {
    const ssize_t put = send(static_cast<int>(h), p, n, MSG_NOSIGNAL);
    if (put > 0) {
      p += put;
      n -= static_cast<std::size_t>(put);
    } else if (put < 0 && errno != EINTR) {
      return FromErrno(errno);
    }
  }
  return IoStatus::kOk;
}

void ClosePipe(PipeHandle h) {
  if (h != kInvalidPipe) close(static_cast<int>(h));
}

void SleepMs(std::uint32_t ms) {
  timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

}  // namespace zk5::os
