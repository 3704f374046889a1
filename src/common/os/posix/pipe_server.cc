// The serving end of a pipe on POSIX: a listening Unix-domain socket in the
// private socket folder (see socket_dir.h), and the lock file beside it.
#include "os/pipe_server.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "os/posix/names.h"
#include "os/posix/socket_dir.h"
#include "os/posix/stop_signal.h"
#include "os/service.h"

namespace zk5::os {

struct PipeServer::State {
  int listener = -1;
  int lock = -1;
  std::u16string name;
  dev_t socket_dev = 0;  // the socket file bound, to tell it from another
  ino_t socket_ino = 0;
  std::string path;
  std::string lock_path;
  unsigned instances = 0;
  std::vector<int> connected;
};

namespace {

using Clock = std::chrono::steady_clock;

// Takes the lock that decides who serves a name: 0 and *out when held,
// EWOULDBLOCK when a live server holds it, else an errno value.
int TakeLock(const std::string& lock_path, int* out) {
  for (;;) {
    const int fd = open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return errno;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
      const int err = errno;
      close(fd);
      return err;
    }
    // A server that stopped between our open and our lock removed the file:
    // only a lock on the file still at the path counts.
    struct stat held;
    struct stat named;
    if (fstat(fd, &held) != 0) {
      const int err = errno;
      close(fd);
      return err;
    }
    if (stat(lock_path.c_str(), &named) == 0 && named.st_dev == held.st_dev &&
        named.st_ino == held.st_ino) {
      *out = fd;
      return 0;
    }
    close(fd);
  }
}

int BindAndListen(int fd, const std::string& path, unsigned instances) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return errno;
  const int backlog = static_cast<int>(std::min<unsigned>(instances, SOMAXCONN));
  if (listen(fd, backlog) != 0) {
    const int err = errno;
    unlink(path.c_str());
    return err;
  }
  return 0;
}

// Failures of accept that only mean the client gave up before we took it.
bool ClientGaveUp(int err) {
  return err == EAGAIN || err == EWOULDBLOCK || err == ECONNABORTED || err == EINTR ||
         err == EPROTO || err == EPERM;
}

}  // namespace

std::u16string ExecutablePath() {
  std::string target(256, '\0');
  for (;;) {
    const ssize_t n = readlink("/proc/self/exe", &target[0], target.size());
    if (n < 0) return {};
    if (static_cast<std::size_t>(n) < target.size()) {
      target.resize(static_cast<std::size_t>(n));
      return WidePath(target);
    }
    target.resize(target.size() * 2);  // possibly cut: ask again with more room
  }
}

std::uint32_t PipeAddress(const std::u16string& name, std::u16string* address) {
  std::string path;
  if (const int err = PipeSocketPath(name, &path)) return static_cast<std::uint32_t>(err);
  *address = WidePath(path);
  return 0;
}

PipeServer::PipeServer() : state_(new State) {}

PipeServer::~PipeServer() { Close(); }

ListenStatus PipeServer::Listen(const std::u16string& name, unsigned instances,
                                std::uint32_t* error) {
  Close();
  std::uint32_t unused = 0;
  if (error == nullptr) error = &unused;
  *error = 0;
  int err = instances == 0 ? EINVAL : 0;
  std::string path;
  if (err == 0) err = PipeSocketPath(name, &path);
  const std::string lock_path = path + ".lock";
  int lock = -1;
  if (err == 0) err = TakeLock(lock_path, &lock);
  if (err == EWOULDBLOCK) return ListenStatus::kAlreadyServed;
  if (err == EPERM) return ListenStatus::kUnsafeFolder;
  if (err != 0) {
    *error = static_cast<std::uint32_t>(err);
    return ListenStatus::kError;
  }
  // Holding the lock, any socket file there is a dead server's. The
  // listener does not block, so that a client gone before it was taken
  // cannot hold up Accept.
  int fd = -1;
  if (unlink(path.c_str()) != 0 && errno != ENOENT) err = errno;
  if (err == 0) {
    fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    err = fd < 0 ? errno : BindAndListen(fd, path, instances);
  }
  if (err != 0) {
    if (fd >= 0) close(fd);
    unlink(lock_path.c_str());
    close(lock);
    *error = static_cast<std::uint32_t>(err);
    return ListenStatus::kError;
  }
  State& s = *state_;
  struct stat bound;
  if (stat(path.c_str(), &bound) == 0) {
    s.socket_dev = bound.st_dev;
    s.socket_ino = bound.st_ino;
  }
  s.name = name;
  s.listener = fd;
  s.lock = lock;
  s.path = path;
  s.lock_path = lock_path;
  s.instances = instances;
  return ListenStatus::kOk;
}

AcceptStatus PipeServer::Accept(int timeout_ms, PipeHandle* client, std::uint32_t* error) {
  std::uint32_t unused = 0;
  if (error == nullptr) error = &unused;
  *error = 0;
  State& s = *state_;
  if (s.listener < 0 || s.connected.size() >= s.instances) {
    *error = s.listener < 0 ? EBADF : EBUSY;
    return AcceptStatus::kError;
  }
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  const int stop = StopSignalDescriptor();
  for (;;) {
    if (StopRequested()) return AcceptStatus::kStop;
    int wait = -1;
    if (timeout_ms >= 0) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
      wait = static_cast<int>(std::max<std::chrono::milliseconds::rep>(left.count(), 0));
    }
    pollfd fds[2] = {{s.listener, POLLIN, 0}, {stop, POLLIN, 0}};
    const int ready = poll(fds, stop >= 0 ? 2 : 1, wait);
    if (StopRequested()) return AcceptStatus::kStop;
    if (ready < 0 && errno != EINTR) {
      *error = static_cast<std::uint32_t>(errno);
      return AcceptStatus::kError;
    }
    if (ready > 0 && fds[0].revents != 0) {
      const int fd = accept4(s.listener, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd >= 0) {
        s.connected.push_back(fd);
        *client = fd;
        return AcceptStatus::kClient;
      }
      if (!ClientGaveUp(errno)) {  // out of descriptors, above all
        *error = static_cast<std::uint32_t>(errno);
        return AcceptStatus::kError;
      }
    }
    if (timeout_ms >= 0 && Clock::now() >= deadline) return AcceptStatus::kTimeout;
  }
}

void PipeServer::Release(PipeHandle client) {
  State& s = *state_;
  const auto it = std::find(s.connected.begin(), s.connected.end(), static_cast<int>(client));
  if (it == s.connected.end()) return;
  s.connected.erase(it);
  close(static_cast<int>(client));
}

void PipeServer::HandOver(PipeHandle client) {
  State& s = *state_;
  const auto it = std::find(s.connected.begin(), s.connected.end(), static_cast<int>(client));
  if (it != s.connected.end()) s.connected.erase(it);
}

namespace {

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

}  // namespace

PipeServer::NameStatus PipeServer::CheckName() {
  State& s = *state_;
  if (s.listener < 0) return NameStatus::kLost;
  struct stat named, held;
  const bool socket_there = stat(s.path.c_str(), &named) == 0 && named.st_dev == s.socket_dev &&
                            named.st_ino == s.socket_ino;
  const bool lock_there =
      fstat(s.lock, &held) == 0 && stat(s.lock_path.c_str(), &named) == 0 && SameFile(named, held);
  if (socket_there && lock_there) return NameStatus::kServed;
  // Given up: the files at the paths may be another server's now, so
  // Close must leave them alone.
  auto lost = [&s] {
    close(s.listener);
    close(s.lock);
    s.listener = s.lock = -1;
    s.path.clear();
    s.lock_path.clear();
    return NameStatus::kLost;
  };
  // The same checks as at the start: a private folder (made again when it
  // is ours to make), and the name's lock, which another server may have
  // taken meanwhile.
  std::string path;
  if (PipeSocketPath(s.name, &path) != 0 || path != s.path) return lost();
  if (!lock_there) {
    int lock = -1;
    if (TakeLock(s.lock_path, &lock) != 0) return lost();
    close(s.lock);
    s.lock = lock;
  }
  if (unlink(path.c_str()) != 0 && errno != ENOENT) return lost();
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return lost();
  struct stat bound;
  if (BindAndListen(fd, path, s.instances) != 0 || stat(path.c_str(), &bound) != 0) {
    close(fd);
    return lost();
  }
  close(s.listener);
  s.listener = fd;
  s.socket_dev = bound.st_dev;
  s.socket_ino = bound.st_ino;
  return NameStatus::kRemade;
}

void PipeServer::Close() {
  State& s = *state_;
  for (int fd : s.connected) close(fd);
  s.connected.clear();
  if (s.listener >= 0) {
    close(s.listener);
    unlink(s.path.c_str());
  }
  // Removed while still held, so that the next server locks a new file.
  if (s.lock >= 0) {
    unlink(s.lock_path.c_str());
    close(s.lock);
  }
  s.listener = -1;
  s.lock = -1;
  s.path.clear();
  s.lock_path.clear();
  s.instances = 0;
}

}  // namespace zk5::os
