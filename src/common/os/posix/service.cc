// Hosting the terminal on POSIX.
#include "os/service.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <string>

#include "os/posix/names.h"
#include "os/posix/stop_signal.h"

namespace zk5::os {

namespace {

// The self-pipe that turns a stop signal into a readable descriptor.
int g_stop_pipe[2] = {-1, -1};
std::atomic<bool> g_stop{false};

void OnStopSignal(int) {
  g_stop.store(true);
  const int saved = errno;
  const char byte = 1;
  const ssize_t ignored = write(g_stop_pipe[1], &byte, 1);
  static_cast<void>(ignored);
  errno = saved;
}

bool WriteWhole(int fd, const char* data, std::size_t n) {
  while (n != 0) {
    const ssize_t put = write(fd, data, n);
    if (put > 0) {
      data += put;
      n -= static_cast<std::size_t>(put);
    } else if (put < 0 && errno != EINTR) {
      return false;
    }
  }
  return true;
}

std::string Parent(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

bool InstallStopSignals() {
  if (g_stop_pipe[0] < 0 && pipe2(g_stop_pipe, O_CLOEXEC | O_NONBLOCK) != 0) return false;
  struct sigaction sa {};
  sa.sa_handler = OnStopSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  struct sigaction ign {};
  ign.sa_handler = SIG_IGN;
  sigemptyset(&ign.sa_mask);
  return sigaction(SIGTERM, &sa, nullptr) == 0 && sigaction(SIGINT, &sa, nullptr) == 0 &&
         sigaction(SIGHUP, &sa, nullptr) == 0 && sigaction(SIGPIPE, &ign, nullptr) == 0;
}

bool StopRequested() { return g_stop.load(); }

int StopSignalDescriptor() { return g_stop_pipe[0]; }

bool MakeDirectories(const std::u16string& path) {
  const std::string native = NativePath(path);
  if (native.empty()) return false;
  for (std::size_t at = 1; at <= native.size(); ++at) {
    if (at != native.size() && native[at] != '/') continue;
    const std::string prefix = native.substr(0, at);
    if (mkdir(prefix.c_str(), 0755) != 0 && errno != EEXIST) return false;
  }
  struct stat st;
  return stat(native.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool WriteFileAtomic(const std::u16string& path, const std::string& bytes, bool flush) {
  const std::string target = NativePath(path);
  if (target.empty()) return false;
  // Writers of one file are serialised by the caller; the pid keeps two
  // processes apart.
  const std::string temp = target + ".tmp" + std::to_string(getpid());
  // A fresh file: whatever a killed writer left there (a link, even) is
  // removed, never written through.
  unlink(temp.c_str());
  const int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  bool ok = WriteWhole(fd, bytes.data(), bytes.size()) && (!flush || fsync(fd) == 0);
  ok = close(fd) == 0 && ok;
  if (!ok || rename(temp.c_str(), target.c_str()) != 0) {
    unlink(temp.c_str());
    return false;
  }
  if (!flush) return true;
  // The rename itself is durable only once the folder is.
  const int dir = open(Parent(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    fsync(dir);
    close(dir);
  }
  return true;
}

bool ReadWholeFile(const std::u16string& path, std::string* out) {
  out->clear();
  const int fd = open(NativePath(path).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  // Read straight into a block of the file's size (large files: no
  // regrowing); a file that grows meanwhile is read to its end all the same.
  struct stat st;
  std::size_t used = 0;
  out->resize(fstat(fd, &st) == 0 && st.st_size > 0 ? static_cast<std::size_t>(st.st_size) + 1
                                                    : 65536);
  bool ok = true;
  for (;;) {
    if (used == out->size()) out->resize(out->size() * 2);
    const ssize_t n = read(fd, &(*out)[used], out->size() - used);
    if (n > 0) {
      used += static_cast<std::size_t>(n);
    } else if (n == 0) {
      break;
    } else if (errno != EINTR) {
      ok = false;
      break;
    }
  }
  close(fd);
  out->resize(ok ? used : 0);
  return ok;
}

bool CopyFileAtomic(const std::u16string& from, const std::u16string& to) {
  const std::string target = NativePath(to);
  if (target.empty()) return false;
  // O_NONBLOCK: a FIFO named by mistake does not hold the open up.
  const int in = open(NativePath(from).c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (in < 0) return false;
  struct stat st;
  if (fstat(in, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(in);
    return false;
  }
  fcntl(in, F_SETFL, fcntl(in, F_GETFL) & ~O_NONBLOCK);
  const std::string temp = target + ".tmp" + std::to_string(getpid());
  unlink(temp.c_str());
  const int out = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (out < 0) {
    close(in);
    return false;
  }
  std::string piece(1 << 20, '\0');
  bool ok = true;
  for (;;) {
    const ssize_t n = read(in, &piece[0], piece.size());
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      ok = false;
      break;
    }
    if (!WriteWhole(out, piece.data(), static_cast<std::size_t>(n))) {
      ok = false;
      break;
    }
  }
  close(in);
  ok = fsync(out) == 0 && ok;
  ok = close(out) == 0 && ok;
  if (!ok || rename(temp.c_str(), target.c_str()) != 0) {
    unlink(temp.c_str());
    return false;
  }
  return true;
}

bool RemoveFile(const std::u16string& path) {
  return unlink(NativePath(path).c_str()) == 0 || errno == ENOENT;
}

bool RenameFile(const std::u16string& from, const std::u16string& to) {
  return rename(NativePath(from).c_str(), NativePath(to).c_str()) == 0;
}

namespace {

FileKind KindOfMode(mode_t mode) {
  if (S_ISREG(mode)) return FileKind::kRegular;
  if (S_ISDIR(mode)) return FileKind::kFolder;
  if (S_ISLNK(mode)) return FileKind::kLink;
  return FileKind::kOther;
}

}  // namespace

FileKind KindOfPath(const std::u16string& path) {
  struct stat st;
  if (lstat(NativePath(path).c_str(), &st) != 0)
    return errno == ENOENT ? FileKind::kMissing : FileKind::kError;
  return KindOfMode(st.st_mode);
}

FileKind OpenRegularFile(const std::u16string& path, FileHandle* out, std::uint64_t* size) {
  *out = kInvalidFile;
  *size = 0;
  // O_NOFOLLOW: a link fails with ELOOP; O_NONBLOCK: a FIFO without a
  // writer does not hold the open up. Only the kind is asked of anything
  // that is not a regular file.
  const int fd =
      open(NativePath(path).c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ELOOP) return FileKind::kLink;
    const FileKind kind = KindOfPath(path);
    return kind == FileKind::kRegular ? FileKind::kError : kind;
  }
  struct stat st;
  if (fstat(fd, &st) != 0) {
    close(fd);
    return FileKind::kError;
  }
  const FileKind kind = KindOfMode(st.st_mode);
  if (kind != FileKind::kRegular) {
    close(fd);
    return kind;
  }
  // Reads of a regular file never wait anyway; back to the usual mode.
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  *size = static_cast<std::uint64_t>(st.st_size);
  *out = fd;
  return FileKind::kRegular;
}

bool WaitForWriters(FileHandle h, std::uint64_t* size) {
  const int fd = static_cast<int>(h);
  // A file system without locks imports the file as it is.
  while (flock(fd, LOCK_SH) != 0 && errno == EINTR) {
  }
  struct stat st;
  if (fstat(fd, &st) != 0) return false;
  *size = static_cast<std::uint64_t>(st.st_size);
  return true;
}

bool ReadFromFile(FileHandle h, void* buf, std::size_t n, std::size_t* got) {
  *got = 0;
  for (;;) {
    const ssize_t r = read(static_cast<int>(h), buf, n);
    if (r >= 0) {
      *got = static_cast<std::size_t>(r);
      return true;
    }
    if (errno != EINTR) return false;
  }
}

void CloseFile(FileHandle h) {
  if (h != kInvalidFile) close(static_cast<int>(h));
}

bool MakeRealFolder(const std::u16string& path) {
  const std::string native = NativePath(path);
  if (native.empty()) return false;
  if (mkdir(native.c_str(), 0700) != 0 && errno != EEXIST) return false;
  struct stat st;
  return lstat(native.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool FlushToDisk(const std::u16string& path) {
  const int fd = open(NativePath(path).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st;
  // A file's data and what reading it needs (its size), without its times;
  // a folder whole.
  const bool ok = fstat(fd, &st) == 0 && (S_ISDIR(st.st_mode) ? fsync(fd) : fdatasync(fd)) == 0;
  close(fd);
  return ok;
}

std::int64_t NowMs() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void MakeCreatedFilesPrivate() { umask(077); }

bool RestrictToOwner(const std::u16string& path) {
  struct stat st;
  const std::string native = NativePath(path);
  if (lstat(native.c_str(), &st) != 0) return errno == ENOENT;
  if (S_ISLNK(st.st_mode)) return true;  // the mode of a link means nothing
  if ((st.st_mode & 077) == 0) return true;
  return chmod(native.c_str(), st.st_mode & 0700) == 0;
}

LockStatus LockForLife(const std::u16string& path, const std::string& note, std::int64_t* holder,
                       std::string* holder_note, std::uint32_t* error) {
  *holder = 0;
  holder_note->clear();
  std::uint32_t unused = 0;
  if (error == nullptr) error = &unused;
  const std::string native = NativePath(path);
  const int fd = open(native.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) {
    *error = static_cast<std::uint32_t>(errno);
    return LockStatus::kError;
  }
  struct flock lk {};
  lk.l_type = F_WRLCK;
  lk.l_whence = SEEK_SET;
  if (fcntl(fd, F_SETLK, &lk) != 0) {
    const int err = errno;
    struct flock who {};
    who.l_type = F_WRLCK;
    who.l_whence = SEEK_SET;
    if (fcntl(fd, F_GETLK, &who) == 0 && who.l_type != F_UNLCK) *holder = who.l_pid;
    char text[4096];
    const ssize_t got = pread(fd, text, sizeof text, 0);
    if (got > 0) *holder_note = LockNote(std::string(text, static_cast<std::size_t>(got)));
    close(fd);
    *error = static_cast<std::uint32_t>(err);
    return err == EACCES || err == EAGAIN ? LockStatus::kHeld : LockStatus::kError;
  }
  // For people and programs looking at the folder; the lock itself is what
  // counts.
  const std::string text = std::to_string(getpid()) + "\n" + note + "\n";
  if (ftruncate(fd, 0) == 0) {
    const ssize_t put = pwrite(fd, text.data(), text.size(), 0);
    static_cast<void>(put);
  }
  // The descriptor stays open: closing it would drop the lock.
  return LockStatus::kLocked;
}

bool LockHeld(const std::u16string& path, std::int64_t* holder, std::string* holder_note) {
  *holder = 0;
  holder_note->clear();
  const int fd = open(NativePath(path).c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) return false;
  struct flock who {};
  who.l_type = F_WRLCK;
  who.l_whence = SEEK_SET;
  const bool held = fcntl(fd, F_GETLK, &who) == 0 && who.l_type != F_UNLCK;
  if (held) {
    *holder = who.l_pid;
    char text[4096];
    const ssize_t got = pread(fd, text, sizeof text, 0);
    if (got > 0) *holder_note = LockNote(std::string(text, static_cast<std::size_t>(got)));
  }
  close(fd);
  return held;
}

std::u16string SocketFolderName() {
  const char* xdg = std::getenv("XDG_RUNTIME_DIR");
  const std::string dir =
      xdg != nullptr && xdg[0] != '\0' ? std::string(xdg) : "/tmp/zk5-" + std::to_string(geteuid());
  return text::Utf8ToUtf16(dir.data(), dir.size());
}

}  // namespace zk5::os
