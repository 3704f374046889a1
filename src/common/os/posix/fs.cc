// File queries, final paths and the roaming data folder on POSIX.
//
// Paths arrive as UTF-16 and go to the OS as bytes (os/posix/names.h). Every query follows
// symbolic links: what matters is the file a link leads to.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <string>
#include <vector>

#include "base/text.h"
#include "os/os.h"
#include "os/posix/names.h"

namespace zk5::os {

namespace {

// Absolute, non-empty values only: a relative one would depend on the
// current folder.
bool AbsoluteEnv(const char* name, std::string* value) {
  const char* v = std::getenv(name);
  if (v == nullptr || v[0] != '/') return false;
  *value = v;
  return true;
}

}  // namespace

std::u16string FinalPath(const std::u16string& path) {
  if (path.empty()) return {};
  char* resolved = realpath(NativePath(path).c_str(), nullptr);
  if (resolved == nullptr) return {};
  std::u16string result = WidePath(resolved);
  std::free(resolved);
  return result;
}

void LowerCaseInPlace(char16_t* units, std::size_t count) { text::LowerInPlace(units, count); }

bool RoamingFolder(std::u16string* folder) {
  std::string dir;
  if (!AbsoluteEnv("XDG_DATA_HOME", &dir)) {
    if (!AbsoluteEnv("HOME", &dir)) return false;
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    dir += dir.back() == '/' ? ".local/share" : "/.local/share";
  }
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  *folder = WidePath(dir);
  return true;
}

bool ListDirectory(const std::u16string& dir, std::vector<DirEntry>* entries) {
  entries->clear();
  DIR* d = opendir(NativePath(dir).c_str());  // opened close-on-exec by the C library
  if (d == nullptr) return false;
  const int fd = dirfd(d);
  bool ok = true;
  for (;;) {
    errno = 0;
    const dirent* e = readdir(d);
    if (e == nullptr) {
      ok = errno == 0;
      break;
    }
    bool is_dir = e->d_type == DT_DIR;
    if (e->d_type == DT_LNK || e->d_type == DT_UNKNOWN) {
      struct stat st;
      is_dir = fstatat(fd, e->d_name, &st, 0) == 0 && S_ISDIR(st.st_mode);
    }
    const std::string name = e->d_name;
    entries->push_back(DirEntry{WidePath(name), is_dir});
  }
  closedir(d);
  return ok;
}

bool PathExists(const std::u16string& path) {
  struct stat st;
  return !path.empty() && stat(NativePath(path).c_str(), &st) == 0;
}

bool LastWriteTime(const std::u16string& path, std::uint64_t* time) {
  struct stat st;
  if (path.empty() || stat(NativePath(path).c_str(), &st) != 0) return false;
  // Nanoseconds since 1970; files dated before that all count as oldest.
  if (st.st_mtim.tv_sec < 0) {
    *time = 0;
  } else {
    *time = static_cast<std::uint64_t>(st.st_mtim.tv_sec) * 1000000000u +
            static_cast<std::uint64_t>(st.st_mtim.tv_nsec);
  }
  return true;
}

bool ReadFilePrefix(const std::u16string& path, std::size_t max, std::string* out) {
  out->clear();
  if (path.empty()) return false;
  const int fd = open(NativePath(path).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  out->resize(max);
  std::size_t got = 0;
  bool ok = true;
  while (got < max) {
    const ssize_t n = read(fd, &(*out)[got], max - got);
    if (n > 0) {
      got += static_cast<std::size_t>(n);
    } else if (n == 0) {
      break;
    } else if (errno != EINTR) {
      ok = false;
      break;
    }
  }
  close(fd);
  out->resize(ok ? got : 0);
  return ok;
}

}  // namespace zk5::os
