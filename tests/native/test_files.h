// Files and folders for the native tests, through the standard library, so
// that one test source builds and runs on every platform.
#ifndef ZK5_TESTS_NATIVE_TEST_FILES_H_
#define ZK5_TESTS_NATIVE_TEST_FILES_H_

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>

#include "test_terminal.h"

namespace zk5::test {

namespace fs = std::filesystem;

inline std::u16string U16(const fs::path& p) { return p.u16string(); }

// A fresh folder under the system's temporary folder, removed with its
// contents afterwards.
class TempFolder {
 public:
  TempFolder() {
    static std::atomic<unsigned> counter{0};
    std::random_device random;
    const auto now = std::chrono::steady_clock::now().time_since_epoch().count();
    char name[64];
    std::snprintf(name, sizeof name, "zk5-%08x-%012llx-%u", static_cast<unsigned>(random()),
                  static_cast<unsigned long long>(now) & 0xFFFFFFFFFFFFull, counter++);
    std::error_code ec;
    path_ = fs::temp_directory_path(ec) / name;
    if (ec || !fs::create_directories(path_, ec)) path_.clear();
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

}  // namespace zk5::test

#endif  // ZK5_TESTS_NATIVE_TEST_FILES_H_
