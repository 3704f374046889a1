// The serving end of a pipe on POSIX: a listening Unix-domain socket in the
// private socket folder (see socket_dir.h).
#include "os/pipe_server.h"

#include <errno.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "ipc/text.h"
#include "os/posix/socket_dir.h"

namespace zk5::os {

struct PipeServer::State {
  int listener = -1;
  std::string path;
  unsigned instances = 0;
  std::vector<int> connected;
};

namespace {

int Bind(int fd, const std::string& path) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  return bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 ? 0 : errno;
}

// A socket file nobody accepts on is what a server that died leaves behind.
bool IsStale(const std::string& path) {
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  const bool stale =
      connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 && errno == ECONNREFUSED;
  close(fd);
  return stale;
}

}  // namespace

std::u16string SelfImage() {
  std::string target(256, '\0');
  for (;;) {
    const ssize_t n = readlink("/proc/self/exe", &target[0], target.size());
    if (n < 0) return {};
    if (static_cast<std::size_t>(n) < target.size()) {
      target.resize(static_cast<std::size_t>(n));
      return text::Utf8ToUtf16(target.data(), target.size());
    }
    target.resize(target.size() * 2);  // possibly cut: ask again with more room
  }
}

PipeServer::PipeServer() : state_(new State) {}

PipeServer::~PipeServer() { Close(); }

std::uint32_t PipeServer::Listen(const std::u16string& name, unsigned instances) {
  Close();
  if (instances == 0) return EINVAL;
  std::string path;
  if (int err = PipeSocketPath(name, &path)) return static_cast<std::uint32_t>(err);
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return static_cast<std::uint32_t>(errno);
  int err = Bind(fd, path);
  if (err == EADDRINUSE && IsStale(path) && unlink(path.c_str()) == 0) err = Bind(fd, path);
  if (err == 0 && listen(fd, static_cast<int>(std::min(instances, 128u))) != 0) {
    err = errno;
    unlink(path.c_str());
  }
  if (err != 0) {
    close(fd);
    return static_cast<std::uint32_t>(err);
  }
  state_->listener = fd;
  state_->path = path;
  state_->instances = instances;
  return 0;
}

std::uint32_t PipeServer::Accept(PipeHandle* client) {
  State& s = *state_;
  if (s.listener < 0) return EBADF;
  if (s.connected.size() >= s.instances) return EBUSY;
  int fd;
  do {
    fd = accept4(s.listener, nullptr, nullptr, SOCK_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return static_cast<std::uint32_t>(errno);
  s.connected.push_back(fd);
  *client = fd;
  return 0;
}

void PipeServer::Release(PipeHandle client) {
  State& s = *state_;
  const auto it = std::find(s.connected.begin(), s.connected.end(), static_cast<int>(client));
  if (it == s.connected.end()) return;
  s.connected.erase(it);
  close(static_cast<int>(client));
}

void PipeServer::Close() {
  State& s = *state_;
  for (int fd : s.connected) close(fd);
  s.connected.clear();
  if (s.listener >= 0) {
    close(s.listener);
    unlink(s.path.c_str());
  }
  s.listener = -1;
  s.path.clear();
  s.instances = 0;
}

}  // namespace zk5::os
