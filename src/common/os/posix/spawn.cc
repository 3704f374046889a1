#include "os/posix/spawn.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

extern char** environ;

namespace zk5::os {

namespace {

// How often a watcher looks at the watched program.
constexpr int kWatchIntervalMs = 20;

[[noreturn]] void ReportAndExit(int report, int err) {
  // Nothing useful is left to do if the parent has gone away.
  const ssize_t ignored = write(report, &err, sizeof err);
  static_cast<void>(ignored);
  _exit(127);
}

// Closes every descriptor from 3 up except those in keep[0..n), which must
// be ascending.
void CloseDescriptorsExcept(const int* keep, int n, int open_max) {
  int from = 3;
  for (int i = 0; i <= n; ++i) {
    const int to = i < n ? keep[i] : open_max;  // close [from, to)
    bool closed = to <= from;
#ifdef SYS_close_range
    const auto first = static_cast<unsigned>(from), last = static_cast<unsigned>(to - 1);
    closed = closed || syscall(SYS_close_range, first, last, 0u) == 0;
#endif
    for (int fd = from; !closed && fd < to; ++fd) close(fd);
    if (i < n) from = std::max(from, keep[i] + 1);
  }
}

int OpenMax() {
  const long open_max = sysconf(_SC_OPEN_MAX);
  return open_max > 0 && open_max < 1048576 ? static_cast<int>(open_max) : 1048576;
}

// Signal state survives exec; a host interpreter typically ignores
// SIGPIPE, which the program must not inherit.
void ResetSignals() {
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  struct sigaction dfl {};
  dfl.sa_handler = SIG_DFL;
  sigaction(SIGPIPE, &dfl, nullptr);
  sigaction(SIGXFSZ, &dfl, nullptr);
}

// The program's side: standard streams set (standard error on `errors`, or
// the null device when -1), everything else closed but the report
// descriptor, which exec closes.
[[noreturn]] void Exec(const SpawnRequest& request, int stdio, int report, int open_max,
                       int errors = -1) {
  ResetSignals();
  const int null_fd = open("/dev/null", O_RDWR);
  if (null_fd < 0) ReportAndExit(report, errno);
  const int in_out = stdio >= 0 ? stdio : null_fd;
  const int err_out = errors >= 0 ? errors : null_fd;
  if (dup2(in_out, 0) < 0 || dup2(in_out, 1) < 0 || dup2(err_out, 2) < 0) {
    ReportAndExit(report, errno);
  }
  CloseDescriptorsExcept(&report, 1, open_max);
  execve(request.argv()[0], request.argv(), request.envp());
  ReportAndExit(report, errno);
}

// Moves a descriptor out of the standard stream numbers, so that a child
// can replace those without losing it.
bool AboveStandardStreams(int* fd) {
  if (*fd > 2) return true;
  const int moved = fcntl(*fd, F_DUPFD_CLOEXEC, 3);
  if (moved < 0) return false;
  close(*fd);
  *fd = moved;
  return true;
}

bool ReportPipe(int fds[2]) {
  if (pipe2(fds, O_CLOEXEC) != 0) return false;
  if (AboveStandardStreams(&fds[0]) && AboveStandardStreams(&fds[1])) return true;
  close(fds[0]);
  close(fds[1]);
  return false;
}

void CloseBoth(int fds[2]) {
  close(fds[0]);
  close(fds[1]);
}

// A file without a name for a watched program's standard error: what it
// says before it serves is read back if it ends early, and a program that
// runs on may keep writing without anybody having to read.
int ErrorFile() {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = (tmp != nullptr && tmp[0] == '/') ? tmp : "/tmp";
  pattern += "/zk5-stderr-XXXXXX";
  int fd = mkostemp(&pattern[0], O_CLOEXEC | O_APPEND);
  if (fd < 0) return -1;
  unlink(pattern.c_str());
  return AboveStandardStreams(&fd) ? fd : -1;
}

// What the report pipe says once every writer has closed it: 0 when exec
// succeeded, else the errno of the failure.
int ReadReport(int fd) {
  int err = 0;
  ssize_t n;
  do {
    n = read(fd, &err, sizeof err);
  } while (n < 0 && errno == EINTR);
  close(fd);
  return n == static_cast<ssize_t>(sizeof err) ? err : 0;
}

void Reap(pid_t pid) {
  // ECHILD when the host reaps children itself.
  while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
  }
}

// The watcher: stays until the caller closes `control`, or reports the
// program's exit status on `status` once it ends.
[[noreturn]] void Watch(pid_t program, int control, int status) {
  for (;;) {
    pollfd p{control, POLLIN, 0};
    if (poll(&p, 1, kWatchIntervalMs) > 0) _exit(0);
    int st = 0;
    if (waitpid(program, &st, WNOHANG) == program) {
      const ssize_t ignored = write(status, &st, sizeof st);
      static_cast<void>(ignored);
      _exit(0);
    }
  }
}

}  // namespace

SpawnRequest::SpawnRequest(std::vector<std::string> args, std::vector<std::string> env)
    : args_(std::move(args)), env_(std::move(env)) {
  for (std::string& a : args_) argv_.push_back(&a[0]);
  argv_.push_back(nullptr);
  for (std::string& e : env_) envp_.push_back(&e[0]);
  envp_.push_back(nullptr);
}

std::vector<std::string> EnvironmentWith(const std::vector<std::string>& set,
                                         const std::vector<std::string>& keep_if_set) {
  const auto name_of = [](const std::string& entry) { return entry.substr(0, entry.find('=')); };
  std::vector<std::string> env;
  std::vector<std::string> present;
  for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
    const std::string entry(*e);
    const std::string name = name_of(entry);
    present.push_back(name);
    const bool replaced = std::any_of(set.begin(), set.end(),
                                      [&](const std::string& s) { return name_of(s) == name; });
    if (!replaced) env.push_back(entry);
  }
  env.insert(env.end(), set.begin(), set.end());
  for (const std::string& entry : keep_if_set) {
    if (std::find(present.begin(), present.end(), name_of(entry)) == present.end()) {
      env.push_back(entry);
    }
  }
  return env;
}

int SpawnChild(const SpawnRequest& request, int stdio, pid_t* pid) {
  const int open_max = OpenMax();
  int report[2];
  if (!ReportPipe(report)) return errno;
  int in_out = -1;
  if (stdio >= 0) {
    in_out = fcntl(stdio, F_DUPFD_CLOEXEC, 3);
    if (in_out < 0) {
      const int err = errno;
      CloseBoth(report);
      return err;
    }
  }
  const pid_t child = fork();
  if (child < 0) {
    const int err = errno;
    CloseBoth(report);
    if (in_out >= 0) close(in_out);
    return err;
  }
  if (child == 0) {
    setsid();  // cannot fail: a fresh child is never a group leader
    Exec(request, in_out, report[1], open_max);
  }
  close(report[1]);
  if (in_out >= 0) close(in_out);
  const int err = ReadReport(report[0]);
  if (err != 0) {
    Reap(child);
    return err;
  }
  *pid = child;
  return 0;
}

int SpawnDetached(const SpawnRequest& request, LaunchWatch* watch) {
  const int open_max = OpenMax();
  int exec_report[2];
  if (!ReportPipe(exec_report)) return errno;
  int control[2] = {-1, -1};
  int status[2] = {-1, -1};
  int errors = -1;
  if (watch != nullptr) {
    const bool made = ReportPipe(control) && (ReportPipe(status) || (CloseBoth(control), false));
    if (!made) {
      const int err = errno;
      CloseBoth(exec_report);
      return err;
    }
    errors = ErrorFile();  // without one the program's errors go unread
  }
  const pid_t child = fork();
  if (child < 0) {
    const int err = errno;
    CloseBoth(exec_report);
    if (watch != nullptr) {
      CloseBoth(control);
      CloseBoth(status);
      if (errors >= 0) close(errors);
    }
    return err;
  }
  if (child == 0) {
    setsid();
    const pid_t program = fork();
    if (program < 0) ReportAndExit(exec_report[1], errno);
    if (program == 0) Exec(request, -1, exec_report[1], open_max, errors);
    if (watch == nullptr) _exit(0);
    // Only the watch's two ends stay, so that nothing of the caller's is
    // held open meanwhile.
    int keep[2] = {std::min(control[0], status[1]), std::max(control[0], status[1])};
    CloseDescriptorsExcept(keep, 2, open_max);
    Watch(program, control[0], status[1]);
  }
  close(exec_report[1]);
  if (watch != nullptr) {
    close(control[0]);
    close(status[1]);
  }
  const int err = ReadReport(exec_report[0]);
  if (watch == nullptr || err != 0) {
    if (watch != nullptr) {
      close(control[1]);
      close(status[0]);
      if (errors >= 0) close(errors);
    }
    Reap(child);
    return err;
  }
  fcntl(status[0], F_SETFL, O_NONBLOCK);
  watch->watcher = static_cast<long>(child);
  watch->control = control[1];
  watch->report = status[0];
  watch->errors = errors;
  return 0;
}

}  // namespace zk5::os
