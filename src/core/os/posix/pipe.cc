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

#include "os/os.h"
#include "os/posix/socket_dir.h"

namespace zk5::os {

namespace {

IoStatus FromErrno(int err) {
  return (err == EPIPE || err == ECONNRESET) ? IoStatus::kBroken : IoStatus::kError;
}

}  // namespace

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
