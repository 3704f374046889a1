// Helpers for native tests that build small file trees on POSIX: a private
// temporary folder removed afterwards, files with given contents, modes and
// times, and environment variables restored on scope exit.
#ifndef ZK5_OS_POSIX_TEST_SUPPORT_H_
#define ZK5_OS_POSIX_TEST_SUPPORT_H_

#include <fcntl.h>
#include <ftw.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include "base/text.h"

namespace zk5::test {

inline std::u16string U16(const std::string& s) { return text::Utf8ToUtf16(s.data(), s.size()); }
inline std::string U8(const std::u16string& s) { return text::Utf16ToUtf8(s.data(), s.size()); }

// A fresh folder, given by its resolved path, removed with its contents.
class TempDir {
 public:
  TempDir() {
    const char* base = getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && base[0] == '/' ? base : "/tmp") +
                          "/zk5-test-XXXXXX";
    if (mkdtemp(&pattern[0]) != nullptr) {
      char* real = realpath(pattern.c_str(), nullptr);
      if (real != nullptr) {
        path_ = real;
        free(real);
      }
    }
  }
  ~TempDir() {
    if (!path_.empty()) {
      nftw(path_.c_str(), [](const char* p, const struct stat*, int, FTW*) { return remove(p); },
           16, FTW_DEPTH | FTW_PHYS);
    }
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  bool ok() const { return !path_.empty(); }
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& rel) const { return path_ + "/" + rel; }

 private:
  std::string path_;
};

inline bool WriteFile(const std::string& path, const std::string& bytes, mode_t mode = 0644) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
  if (fd < 0) return false;
  const bool ok = write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
  return close(fd) == 0 && ok && chmod(path.c_str(), mode) == 0;
}

inline bool MakeDir(const std::string& path) { return mkdir(path.c_str(), 0755) == 0; }

// Sets the modification (and access) time of `path` itself.
inline bool SetMtime(const std::string& path, time_t sec, long nsec) {
  const timespec times[2] = {{sec, nsec}, {sec, nsec}};
  return utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW) == 0;
}

// Sets (or, with nullptr, removes) an environment variable for one scope.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    const char* old = getenv(name);
    had_ = old != nullptr;
    if (had_) old_ = old;
    if (value != nullptr) {
      setenv(name, value, 1);
    } else {
      unsetenv(name);
    }
  }
  ~ScopedEnv() {
    if (had_) {
      setenv(name_.c_str(), old_.c_str(), 1);
    } else {
      unsetenv(name_.c_str());
    }
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::string old_;
  bool had_ = false;
};

}  // namespace zk5::test

#endif  // ZK5_OS_POSIX_TEST_SUPPORT_H_
