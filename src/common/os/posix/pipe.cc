// The pipe to the terminal as a Unix-domain stream socket.
#include <errno.h>
#include <fcntl.h>
#include <linux/sockios.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <time.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>

#include "os/os.h"
#include "os/posix/await.h"
#include "os/posix/relay.h"
#include "os/posix/socket_dir.h"

namespace zk5::os {

namespace {

IoStatus FromErrno(int err) {
  return (err == EPIPE || err == ECONNRESET) ? IoStatus::kBroken : IoStatus::kError;
}

// Bytes written to a socket that its peer has not read yet; -1 when
// unknown. Linux frees them a whole send at a time, not byte by byte.
int Unread(int fd) {
  int n = 0;
  return ioctl(fd, SIOCOUTQ, &n) == 0 ? n : -1;
}

// The interval between two connection attempts while the server's backlog
// is full (the busy-pipe wait).
constexpr std::uint32_t kBusyRetryMs = 10;

}  // namespace

std::int64_t MonotonicMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

IoStatus Await(int fd, short events, std::int64_t deadline_ms) {
  BlockingScope blocking;
  for (;;) {
    if (InterruptPending()) return IoStatus::kInterrupted;
    const std::int64_t left = deadline_ms - MonotonicMs();
    if (left <= 0) {
      errno = ETIMEDOUT;
      return IoStatus::kTimedOut;
    }
    pollfd p{fd, events, 0};
    const int r = poll(&p, 1, static_cast<int>(std::min<std::int64_t>(left, kWakeMs)));
    if (r > 0) return IoStatus::kOk;
    if (r < 0 && errno != EINTR) return FromErrno(errno);
    // A timeout, or a signal (EINTR): time to ask.
    if (CheckInterrupt()) return IoStatus::kInterrupted;
  }
}

bool ServerMissing(std::uint32_t error) { return error == ENOENT || error == ECONNREFUSED; }

std::string ErrorText(std::uint32_t error) { return std::strerror(static_cast<int>(error)); }

std::uint32_t OpenPipe(const std::u16string& name, PipeHandle* out) {
  std::string path;
  if (int err = PipeSocketPath(name, &path)) return static_cast<std::uint32_t>(err);
  BlockingScope blocking;
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  for (;;) {
    // Non-blocking, so that a full backlog (EAGAIN) is waited for here, with
    // the interrupt check, instead of inside connect().
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return static_cast<std::uint32_t>(errno);
    int rc;
    do {
      rc = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    } while (rc != 0 && errno == EINTR);
    int err = rc == 0 ? 0 : errno;
    if (err == EINPROGRESS) {
      const IoStatus ready = Await(fd, POLLOUT, kNoDeadline);
      socklen_t len = sizeof err;
      if (ready == IoStatus::kInterrupted) {
        err = EINTR;
      } else if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) {
        err = errno;
      }
    }
    if (err == 0) {
      // Back to blocking: the transfers below wait with poll() themselves.
      fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
      *out = fd;
      return 0;
    }
    close(fd);
    if (err == EINTR) return kOpenInterrupted;
    if (err != EAGAIN) return static_cast<std::uint32_t>(err);
    if (!SleepMs(kBusyRetryMs)) return kOpenInterrupted;
  }
}

IoStatus ReadExact(PipeHandle h, void* buf, std::size_t n, std::int64_t deadline_ms,
                   std::int64_t stall_ms) {
  BlockingScope blocking;
  const int fd = static_cast<int>(h);
  auto* p = static_cast<char*>(buf);
  std::int64_t deadline = std::min(deadline_ms, DeadlineIn(stall_ms));
  while (n != 0) {
    const ssize_t got = recv(fd, p, n, MSG_DONTWAIT);
    if (got > 0) {
      p += got;
      n -= static_cast<std::size_t>(got);
      if (stall_ms != kNoDeadline) deadline = std::min(deadline_ms, DeadlineIn(stall_ms));
      // A reply that keeps arriving never makes the wait below time out.
      if (n != 0 && CheckInterruptDue()) return IoStatus::kInterrupted;
    } else if (got == 0) {
      return IoStatus::kBroken;
    } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
      const IoStatus ready = Await(fd, POLLIN, deadline);
      if (ready != IoStatus::kOk) return ready;
    } else if (errno != EINTR) {
      return FromErrno(errno);
    }
  }
  return IoStatus::kOk;
}

IoStatus WriteAll(PipeHandle h, const void* buf, std::size_t n, std::int64_t stall_ms) {
  BlockingScope blocking;
  const int fd = static_cast<int>(h);
  const auto* p = static_cast<const char*>(buf);
  // Set when the first wait since bytes last moved begins.
  std::int64_t deadline = kNoDeadline;
  int unread = -1;
  bool moved = true;
  while (n != 0) {
    const ssize_t put = send(fd, p, n, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (put > 0) {
      p += put;
      n -= static_cast<std::size_t>(put);
      moved = true;
    } else if (put < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (moved) {
        deadline = DeadlineIn(stall_ms);
        unread = Unread(fd);
      }
      moved = false;
      const IoStatus ready = Await(fd, POLLOUT, deadline);
      // A socket shows room only once most of its buffer has been read, so
      // a reader taking small pieces may not make it writable within the
      // limit: what it took meanwhile counts as progress too.
      if (ready == IoStatus::kTimedOut) {
        const int left = Unread(fd);
        if (left >= 0 && left < unread) {
          moved = true;
          continue;
        }
      }
      if (ready != IoStatus::kOk) return ready;
    } else if (put < 0 && errno != EINTR) {
      return FromErrno(errno);
    }
  }
  return IoStatus::kOk;
}

Pending PendingInput(PipeHandle h) {
  char byte;
  const ssize_t n = recv(static_cast<int>(h), &byte, 1, MSG_PEEK | MSG_DONTWAIT);
  if (n > 0) return Pending::kData;
  if (n == 0) return Pending::kBroken;
  return FromErrno(errno) == IoStatus::kBroken ? Pending::kBroken : Pending::kNothing;
}

void ClosePipe(PipeHandle h) {
  if (h == kInvalidPipe) return;
  close(static_cast<int>(h));
  EndRelayOf(h);
}

bool SleepMs(std::uint32_t ms) {
  BlockingScope blocking;
  const std::int64_t end = MonotonicMs() + ms;
  for (;;) {
    if (CheckInterrupt()) return false;
    const std::int64_t left = end - MonotonicMs();
    if (left <= 0) return true;
    const std::int64_t step = std::min<std::int64_t>(left, kWakeMs);
    timespec ts{static_cast<time_t>(step / 1000), static_cast<long>(step % 1000) * 1000000L};
    nanosleep(&ts, nullptr);  // a signal cuts it short: then the check runs at once
  }
}

}  // namespace zk5::os
