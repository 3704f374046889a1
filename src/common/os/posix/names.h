// File names between the UTF-16 the layers above use and the bytes POSIX
// calls take: UTF-8 with surrogate escapes, as Python's os.fsencode and
// os.fsdecode do, so a name that is not UTF-8 (a byte 0xFF shows as
// '\udcff' in Python) reaches the OS as the bytes it was.
#ifndef ZK5_COMMON_OS_POSIX_NAMES_H_
#define ZK5_COMMON_OS_POSIX_NAMES_H_

#include <string>

#include "base/text.h"

namespace zk5::os {

// The bytes of a name; empty when it holds a lone surrogate that stands for
// no byte. An empty name names no file, so every call fails on it.
inline std::string NativePath(const std::u16string& path) {
  std::string bytes;
  if (!text::FsEncode(path.data(), path.size(), &bytes)) bytes.clear();
  return bytes;
}

inline std::u16string WidePath(const std::string& path) {
  return text::FsDecode(path.data(), path.size());
}

}  // namespace zk5::os

#endif  // ZK5_COMMON_OS_POSIX_NAMES_H_
