// Starting the terminal and naming our parent process on POSIX.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "base/text.h"
#include "os/os.h"
#include "os/posix/names.h"

extern char** environ;

namespace zk5::os {

namespace {

// The longest parent image path we report, as the Windows side does.
constexpr std::size_t kMaxImageUnits = 259;

// Everything between fork and exec runs in a copy of a process that may have
// other threads, some possibly holding the allocator's locks: only
// async-signal-safe calls, nothing that allocates.

[[noreturn]] void ReportAndExit(int report, int err) {
  // Nothing useful is left to do if the parent has gone away.
  const ssize_t ignored = write(report, &err, sizeof err);
  static_cast<void>(ignored);
  _exit(127);
}

void CloseDescriptorsExcept(int keep, int open_max) {
#ifdef SYS_close_range
  const bool low_closed = keep == 3 || syscall(SYS_close_range, 3u, keep - 1u, 0u) == 0;
  if (low_closed && syscall(SYS_close_range, keep + 1u, ~0u, 0u) == 0) return;
#endif
  for (int fd = 3; fd < open_max; ++fd) {
    if (fd != keep) close(fd);
  }
}

// The grandchild: becomes the terminal.
[[noreturn]] void ExecDetached(const char* path, char* const argv[], int report, int open_max) {
  // Signal state survives exec; a host interpreter typically ignores
  // SIGPIPE, which the terminal must not inherit.
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  struct sigaction dfl {};
  dfl.sa_handler = SIG_DFL;
  sigaction(SIGPIPE, &dfl, nullptr);
  sigaction(SIGXFSZ, &dfl, nullptr);

  const int null_fd = open("/dev/null", O_RDWR);
  if (null_fd < 0) ReportAndExit(report, errno);
  for (int fd = 0; fd <= 2; ++fd) {
    if (dup2(null_fd, fd) < 0) ReportAndExit(report, errno);
  }
  CloseDescriptorsExcept(report, open_max);  // also closes null_fd when > 2
  execve(path, argv, environ);
  ReportAndExit(report, errno);
}

// Moves a descriptor out of the standard stream numbers so the child can
// replace those without losing it.
bool AboveStandardStreams(int* fd) {
  if (*fd > 2) return true;
  const int moved = fcntl(*fd, F_DUPFD_CLOEXEC, 3);
  if (moved < 0) return false;
  close(*fd);
  *fd = moved;
  return true;
}

}  // namespace

std::u16string ParentProcessImage() {
  char link[32];
  std::snprintf(link, sizeof link, "/proc/%ld/exe", static_cast<long>(getppid()));
  std::string target(256, '\0');
  for (;;) {
    const ssize_t n = readlink(link, &target[0], target.size());
    if (n < 0) return {};
    if (static_cast<std::size_t>(n) < target.size()) {
      target.resize(static_cast<std::size_t>(n));
      break;
    }
    target.resize(target.size() * 2);  // possibly cut: ask again with more room
  }
  std::u16string image = WidePath(target);
  if (image.size() > kMaxImageUnits) image.resize(kMaxImageUnits);
  return image;
}

bool LaunchProcess(const std::u16string& path, bool portable) {
  if (path.empty() || path.find(u'\0') != std::u16string::npos) return false;
  std::string exe = NativePath(path);
  if (exe.empty()) return false;
  static char portable_flag[] = "/portable";
  char* argv[] = {&exe[0], portable ? portable_flag : nullptr, nullptr};
  const long open_max_l = sysconf(_SC_OPEN_MAX);
  const int open_max = open_max_l > 0 && open_max_l < 1048576 ? static_cast<int>(open_max_l) : 1048576;

  // The grandchild reports a failed exec through this pipe; a successful
  // exec closes it (close-on-exec) and the parent reads end of file.
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return false;
  if (!AboveStandardStreams(&fds[0]) || !AboveStandardStreams(&fds[1])) {
    close(fds[0]);
    close(fds[1]);
    return false;
  }
  const int report_read = fds[0];
  const int report_write = fds[1];

  // Double fork: the terminal is re-parented away from us at once, so it
  // outlives us and is never left for us to reap.
  const pid_t child = fork();
  if (child < 0) {
    close(report_read);
    close(report_write);
    return false;
  }
  if (child == 0) {
    setsid();  // cannot fail: a fresh child is never a group leader
    const pid_t grandchild = fork();
    if (grandchild < 0) ReportAndExit(report_write, errno);
    if (grandchild == 0) ExecDetached(argv[0], argv, report_write, open_max);
    _exit(0);
  }
  close(report_write);

  int status = 0;
  pid_t waited;
  do {
    waited = waitpid(child, &status, 0);
  } while (waited < 0 && errno == EINTR);
  // ECHILD when the host reaps children itself; the pipe still tells.
  bool ok = waited < 0 || (WIFEXITED(status) && WEXITSTATUS(status) == 0);

  int err = 0;
  ssize_t n;
  do {
    n = read(report_read, &err, sizeof err);
  } while (n < 0 && errno == EINTR);
  close(report_read);
  return ok && n == 0;
}

}  // namespace zk5::os
