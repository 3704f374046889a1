// Wine's side of the client on POSIX: the relay per connection and the
// terminal started under Wine.
//
// Every Wine program we start gets WINEPREFIX, WINEDEBUG=-all (Wine's
// diagnostics would otherwise go to a stream we do not read) and, unless
// the user chose otherwise, WINEDLLOVERRIDES="mscoree,mshtml=" (no prompts
// to install runtimes). Standard error is always the null device: the first
// Wine program of a prefix hands it on to the services Wine starts, which
// would keep anything we wait on open for their whole life.
#include "os/wine.h"

#include <dlfcn.h>
#include <errno.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "base/text.h"
#include "os/posix/relay.h"
#include "os/posix/spawn.h"

namespace zk5::os {

namespace {

// How long a relay may take to go after its socket was closed before it is
// killed; it normally takes a few milliseconds.
constexpr int kRelayExitMs = 2000;
// The socket buffer on each side of a relay's socket pair.
constexpr int kRelaySocketBuffer = 4 << 20;

std::string Native(const std::u16string& s) { return text::Utf16ToUtf8(s.data(), s.size()); }

std::u16string Wide(const std::string& s) { return text::Utf8ToUtf16(s.data(), s.size()); }

std::vector<std::string> WineEnvironment(const WineSetup& wine) {
  return EnvironmentWith({"WINEPREFIX=" + Native(wine.prefix), "WINEDEBUG=-all"},
                         {"WINEDLLOVERRIDES=mscoree,mshtml="});
}

// The relays alive, by the descriptor of their socket.
std::mutex g_relays_mutex;
std::vector<std::pair<int, pid_t>> g_relays;

// A forked child owns none of its parent's relays: it forgets them (the
// lock may have been held by a thread the child does not have).
void ForgetRelaysInChild() {
  new (&g_relays_mutex) std::mutex;
  new (&g_relays) std::vector<std::pair<int, pid_t>>;
}

[[maybe_unused]] const bool g_relays_forgotten_on_fork = (OnForkChild(ForgetRelaysInChild), true);

void ReapOrKill(pid_t pid) {
  for (int waited = 0;; ++waited) {
    const pid_t r = waitpid(pid, nullptr, WNOHANG);
    if (r == pid || (r < 0 && errno != EINTR)) return;  // gone, or reaped by the host
    // An interrupt cuts the wait short: the relay is killed at once.
    if (waited == kRelayExitMs || !SleepMs(1)) break;
  }
  kill(pid, SIGKILL);
  while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
  }
}

}  // namespace

void EndRelayOf(PipeHandle h) {
  pid_t pid = -1;
  {
    const std::lock_guard<std::mutex> lock(g_relays_mutex);
    for (auto it = g_relays.begin(); it != g_relays.end(); ++it) {
      if (it->first == static_cast<int>(h)) {
        pid = it->second;
        g_relays.erase(it);
        break;
      }
    }
  }
  // Its socket is closed by now: the relay reads end of file and leaves.
  if (pid > 0) ReapOrKill(pid);
}

std::u16string FindProgram(const std::u16string& name) {
  const char* path = std::getenv("PATH");
  if (path == nullptr || name.empty()) return {};
  const std::string file = Native(name);
  const std::string dirs = path;
  for (std::size_t at = 0; at <= dirs.size();) {
    std::size_t end = dirs.find(':', at);
    if (end == std::string::npos) end = dirs.size();
    const std::string dir = dirs.substr(at, end - at);
    at = end + 1;
    if (dir.empty() || dir[0] != '/') continue;  // never the current folder
    const std::string candidate = dir + "/" + file;
    struct stat st;
    if (stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
        access(candidate.c_str(), X_OK) == 0) {
      return Wide(candidate);
    }
  }
  return {};
}

std::u16string OwnFolder() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&OwnFolder), &info) == 0 || info.dli_fname == nullptr) {
    return {};
  }
  char* resolved = realpath(info.dli_fname, nullptr);
  if (resolved == nullptr) return {};
  std::string file = resolved;
  std::free(resolved);
  const std::size_t slash = file.find_last_of('/');
  if (slash == std::string::npos) return {};
  return Wide(file.substr(0, slash == 0 ? 1 : slash));
}

std::u16string HomeFolder() {
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] == '/') return Wide(home);
  const passwd* pw = getpwuid(getuid());
  return pw != nullptr && pw->pw_dir != nullptr ? Wide(pw->pw_dir) : std::u16string();
}

std::u16string DefaultWinePrefix() {
  const char* prefix = std::getenv("WINEPREFIX");
  if (prefix != nullptr && prefix[0] == '/') return Wide(prefix);
  const std::u16string home = HomeFolder();
  return home.empty() ? home : home + u"/.wine";
}

std::u16string UserName() {
  const char* user = std::getenv("USER");
  if (user != nullptr && user[0] != '\0') return Wide(user);
  const passwd* pw = getpwuid(getuid());
  return pw != nullptr && pw->pw_name != nullptr ? Wide(pw->pw_name) : std::u16string();
}

RelayResult OpenPipeThroughRelay(const WineSetup& wine, const std::u16string& name,
                                 std::uint32_t wait_ms, std::uint32_t answer_ms, PipeHandle* out,
                                 std::uint32_t* error) {
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
    *error = static_cast<std::uint32_t>(errno);
    return RelayResult::kFailed;
  }
  // Room for the relay to run ahead of the client on a large reply: with the
  // default buffer it waits on the client every couple of hundred KiB, and
  // a 120 MB reply came about a quarter slower. The kernel caps it at
  // net.core.wmem_max; failing leaves the default, which only costs speed.
  for (const int fd : fds) {
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &kRelaySocketBuffer, sizeof kRelaySocketBuffer);
  }
  const SpawnRequest request(
      {Native(wine.wine), Native(wine.relay), Native(name), std::to_string(wait_ms)},
      WineEnvironment(wine));
  pid_t pid = -1;
  const int err = SpawnChild(request, fds[1], &pid);
  close(fds[1]);
  if (err != 0) {
    close(fds[0]);
    *error = static_cast<std::uint32_t>(err);
    return RelayResult::kFailed;
  }
  {
    const std::lock_guard<std::mutex> lock(g_relays_mutex);
    g_relays.emplace_back(fds[0], pid);
  }
  // The relay's first word: 0 when the pipe is open, else why not.
  unsigned char word[4];
  const IoStatus got = ReadExact(fds[0], word, sizeof word, MonotonicMs() + answer_ms);
  const int why = errno;
  if (got != IoStatus::kOk) {
    ClosePipe(fds[0]);
    if (got == IoStatus::kInterrupted) {
      *error = EINTR;
      return RelayResult::kInterrupted;
    }
    // A relay that ended without a whole answer aborted the connection.
    *error = static_cast<std::uint32_t>(got == IoStatus::kBroken ? ECONNABORTED : why);
    return RelayResult::kFailed;
  }
  const std::uint32_t status =
      word[0] | word[1] << 8 | word[2] << 16 | static_cast<std::uint32_t>(word[3]) << 24;
  if (status != 0) {
    ClosePipe(fds[0]);
    *error = status;
    return RelayResult::kRefused;
  }
  *out = fds[0];
  return RelayResult::kOpen;
}

int LaunchUnderWine(const WineSetup& wine, const std::u16string& path,
                    const std::vector<std::u16string>& extra, LaunchWatch* watch) {
  std::vector<std::string> args{Native(wine.wine), Native(path)};
  for (const std::u16string& arg : extra) args.push_back(Native(arg));
  const SpawnRequest request(std::move(args), WineEnvironment(wine));
  return SpawnDetached(request, watch);
}

bool WatchedExit(LaunchWatch* watch, std::uint32_t* code) {
  if (watch->report < 0) return false;
  int st = 0;
  ssize_t n;
  do {
    n = read(watch->report, &st, sizeof st);
  } while (n < 0 && errno == EINTR);
  if (n != static_cast<ssize_t>(sizeof st)) return false;
  *code = static_cast<std::uint32_t>(WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st));
  return true;
}

std::u16string WatchedErrorLine(const LaunchWatch* watch) {
  if (watch->errors < 0) return {};
  char buf[4096];
  const ssize_t n = pread(watch->errors, buf, sizeof buf, 0);
  if (n <= 0) return {};
  std::size_t start = 0;
  const std::size_t end_of_text = static_cast<std::size_t>(n);
  while (start < end_of_text) {
    std::size_t stop = start;
    while (stop < end_of_text && buf[stop] != '\n') ++stop;
    std::size_t last = stop;
    while (last > start &&
           (buf[last - 1] == '\r' || buf[last - 1] == ' ' || buf[last - 1] == '\t')) {
      --last;
    }
    std::size_t first = start;
    while (first < last && (buf[first] == ' ' || buf[first] == '\t')) ++first;
    if (first < last) {
      constexpr std::size_t kMaxLine = 300;
      const std::size_t size = text::Utf8CutLength(buf + first, last - first, kMaxLine);
      return text::Utf8ToUtf16(buf + first, size);
    }
    start = stop + 1;
  }
  return {};
}

void EndWatch(LaunchWatch* watch) {
  if (watch->errors >= 0) close(watch->errors);
  watch->errors = -1;
  if (watch->watcher < 0) return;
  close(watch->control);
  while (waitpid(static_cast<pid_t>(watch->watcher), nullptr, 0) < 0 && errno == EINTR) {
  }
  close(watch->report);
  *watch = LaunchWatch{};
}

}  // namespace zk5::os
