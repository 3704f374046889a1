// Files, folders and environment for the native tests, through the standard
// library, so that one test source builds and runs on every platform. The
// one kit of helpers for every native test.
#ifndef ZK5_TESTS_NATIVE_TEST_FILES_H_
#define ZK5_TESTS_NATIVE_TEST_FILES_H_

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>
#endif

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>

#include "base/text.h"
#include "test_terminal.h"

namespace zk5::test {

namespace fs = std::filesystem;

inline std::u16string U16(const fs::path& p) { return p.u16string(); }
inline std::u16string U16(const std::string& s) { return text::Utf8ToUtf16(s.data(), s.size()); }
inline std::u16string U16(const char* s) { return U16(std::string(s)); }
inline std::string U8(const std::u16string& s) { return text::Utf16ToUtf8(s.data(), s.size()); }

// A fresh folder under the system's temporary folder, removed with its
// contents afterwards.
class TempFolder {
 public:
  TempFolder() {
    static std::atomic<unsigned> counter{0};
    std::random_device random;
    const auto now = std::chrono::steady_clock::now().time_since_epoch().count();
    char name[64];
    // Short, so that socket paths under it stay within the socket address.
    const auto mix =
        static_cast<unsigned>(random()) ^ static_cast<unsigned>(now) ^
        static_cast<unsigned>(static_cast<unsigned long long>(now) >> 32) * 2654435761u;
    std::snprintf(name, sizeof name, "zk5-%08x-%u", mix, counter++);
    std::error_code ec;
    path_ = fs::temp_directory_path(ec) / name;
    if (ec || !fs::create_directories(path_, ec)) path_.clear();
#ifndef _WIN32
    // Private, as mkdtemp makes it: the pipes' socket folder must be.
    if (!path_.empty()) fs::permissions(path_, fs::perms::owner_all, ec);
#endif
  }
  // A program started from the folder may still be running for a moment
  // (and on Windows its file cannot be removed until it ends).
  ~TempFolder() {
    if (path_.empty()) return;
    for (int attempt = 0; attempt < 60; ++attempt) {
      std::error_code ec;
      fs::remove_all(path_, ec);
      if (!ec) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  bool ok() const { return !path_.empty(); }
  const fs::path& path() const { return path_; }
  fs::path operator/(const fs::path& rel) const { return path_ / rel; }

 private:
  fs::path path_;
};

// A TempFolder whose path is its resolved text, for tests that build paths
// as strings (and compare them with final paths).
class TempDir {
 public:
  TempDir() {
    std::error_code ec;
    if (folder_.ok()) path_ = fs::canonical(folder_.path(), ec).string();
    if (ec) path_.clear();
  }

  bool ok() const { return !path_.empty(); }
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& rel) const { return path_ + "/" + rel; }

 private:
  TempFolder folder_;
  std::string path_;
};

inline bool MakeDir(const fs::path& p) {
  std::error_code ec;
  return fs::create_directory(p, ec) && !ec;
}

// Sets (or, with nullptr, removes) an environment variable for one scope.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    const char* old = std::getenv(name);
    had_ = old != nullptr;
    if (had_) old_ = old;
    Set(value);
  }
  ~ScopedEnv() { Set(had_ ? old_.c_str() : nullptr); }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  void Set(const char* value) {
#ifdef _WIN32
    _putenv_s(name_.c_str(), value != nullptr ? value : "");
#else
    if (value != nullptr) {
      setenv(name_.c_str(), value, 1);
    } else {
      unsetenv(name_.c_str());
    }
#endif
  }

  std::string name_;
  std::string old_;
  bool had_ = false;
};

inline bool WriteBytes(const fs::path& p, const std::string& bytes) {
  std::ofstream f(p, std::ios::binary | std::ios::trunc);
  f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  f.close();
  return static_cast<bool>(f);
}

// UTF-16LE text after the FF FE mark, as the terminal writes origin.txt.
inline std::string Utf16File(const std::u16string& text) {
  std::string bytes = "\xFF\xFE";
  for (char16_t u : text) {
    bytes.push_back(static_cast<char>(u & 0xFF));
    bytes.push_back(static_cast<char>(u >> 8));
  }
  return bytes;
}

// A copy of the test terminal at `dest`; each copy serves a pipe of its own.
inline bool CopyTerminal(const fs::path& dest) {
  std::error_code ec;
  fs::create_directories(dest.parent_path(), ec);
  return fs::copy_file(fs::path(test_terminal::BuiltTerminal()), dest,
                       fs::copy_options::overwrite_existing, ec) &&
         !ec;
}

// Sets the last-write time of `p` to `offset` from now.
inline bool SetAge(const fs::path& p, std::chrono::hours offset) {
  std::error_code ec;
  fs::last_write_time(p, fs::file_time_type::clock::now() + offset, ec);
  return !ec;
}

// Writes a file; `mode` is its POSIX permission bits (ignored on Windows).
inline bool WriteFile(const std::string& path, const std::string& bytes, int mode = 0644) {
#ifdef _WIN32
  (void)mode;
  return WriteBytes(path, bytes);
#else
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
  if (fd < 0) return false;
  const bool ok = write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
  return close(fd) == 0 && ok && chmod(path.c_str(), static_cast<mode_t>(mode)) == 0;
#endif
}

// The value LastWriteTime gives for `sec` seconds and `nsec` nanoseconds
// after 1970: nanoseconds on POSIX, 100 ns steps since 1601 on Windows.
inline std::uint64_t WriteTime(std::uint64_t sec, std::uint64_t nsec) {
#ifdef _WIN32
  return sec * 10000000u + nsec / 100 + 116444736000000000u;
#else
  return sec * 1000000000u + nsec;
#endif
}

// Sets the modification (and access) time of the file `path` itself.
inline bool SetMtime(const std::string& path, std::int64_t sec, long nsec) {
#ifdef _WIN32
  const std::uint64_t t =
      WriteTime(static_cast<std::uint64_t>(sec), static_cast<std::uint64_t>(nsec));
  FILETIME ft;
  ft.dwLowDateTime = static_cast<DWORD>(t & 0xFFFFFFFFu);
  ft.dwHighDateTime = static_cast<DWORD>(t >> 32);
  HANDLE h = CreateFileW(fs::path(path).wstring().c_str(), FILE_WRITE_ATTRIBUTES,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  const bool ok = SetFileTime(h, nullptr, &ft, &ft) != 0;
  CloseHandle(h);
  return ok;
#else
  const timespec times[2] = {{static_cast<time_t>(sec), nsec}, {static_cast<time_t>(sec), nsec}};
  return utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW) == 0;
#endif
}

}  // namespace zk5::test

#endif  // ZK5_TESTS_NATIVE_TEST_FILES_H_
