// Helpers shared by the Windows implementation of os/: text at the API edge
// and the final path of a file. Only files in os/win32 include this.
#ifndef ZK5_COMMON_OS_WIN32_WIN32_UTIL_H_
#define ZK5_COMMON_OS_WIN32_WIN32_UTIL_H_

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <cstddef>
#include <string>

#include "os/os.h"

namespace zk5::os::win32 {

// On Windows wchar_t holds the same UTF-16 units as char16_t; only the type
// differs, so conversion is a unit-by-unit copy.
static_assert(sizeof(wchar_t) == sizeof(char16_t), "wchar_t must be UTF-16");

inline std::wstring Wide(const std::u16string& s) { return std::wstring(s.begin(), s.end()); }

inline std::u16string FromWide(const wchar_t* s, std::size_t n) { return std::u16string(s, s + n); }

// A file handle closed when it goes out of scope (or by Close, which tells
// whether closing succeeded: for a file written, whether it was kept).
class FileHandle {
 public:
  explicit FileHandle(HANDLE h) : h_(h) {}
  ~FileHandle() {
    if (h_ != INVALID_HANDLE_VALUE) CloseHandle(h_);
  }
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;
  HANDLE get() const { return h_; }
  bool ok() const { return h_ != INVALID_HANDLE_VALUE; }
  bool Close() {
    const bool closed = CloseHandle(h_) != 0;
    h_ = INVALID_HANDLE_VALUE;
    return closed;
  }

 private:
  HANDLE h_;
};

inline HANDLE AsHandle(PipeHandle h) { return reinterpret_cast<HANDLE>(h); }

inline PipeHandle FromHandle(HANDLE h) { return reinterpret_cast<PipeHandle>(h); }

// The final path of an existing file in drive-letter form ("\\?\C:\..."),
// when it fits a buffer of `units` units with its terminator. The file is
// opened for reading with read and write sharing, so a running program's
// image can be resolved too.
bool FinalPathOfFile(const wchar_t* path, DWORD units, std::u16string* out);

}  // namespace zk5::os::win32

#endif  // ZK5_COMMON_OS_WIN32_WIN32_UTIL_H_
