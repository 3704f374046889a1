#include "ipc/pipe_name.h"

#include <string>

#include "os/os.h"

namespace zk5 {

namespace {

constexpr char16_t kPipeNamePrefix[] = u"\\\\.\\pipe\\ZK5.Terminal.";

}  // namespace

std::u16string CanonicalPath(const std::u16string& path) {
  std::u16string final_path = os::FinalPath(path);
  if (!final_path.empty() && final_path.size() <= kMaxTerminalPath) return final_path;
  return path.size() <= kMaxTerminalPath ? path : path.substr(0, kMaxTerminalPath);
}

std::u16string PipeNameFromHash(const std::uint8_t digest[32]) {
  static const char16_t kHex[] = u"0123456789ABCDEF";
  std::u16string name(kPipeNamePrefix);
  for (int i = 0; i < 32; ++i) {
    name.push_back(kHex[digest[i] >> 4]);
    name.push_back(kHex[digest[i] & 0x0F]);
  }
  return name;
}

bool PathHash(const std::u16string& path, std::uint8_t digest[32]) {
  return CanonicalPathHash(CanonicalPath(path), digest);
}

bool CanonicalPathHash(std::u16string canonical, std::uint8_t digest[32]) {
  os::LowerCaseInPlace(canonical.data(), canonical.size());
  // The digest covers the UTF-16LE units, two bytes each, no terminator.
  std::string bytes(canonical.size() * 2, '\0');
  for (std::size_t i = 0; i < canonical.size(); ++i) {
    bytes[2 * i] = static_cast<char>(canonical[i] & 0xFF);
    bytes[2 * i + 1] = static_cast<char>(canonical[i] >> 8);
  }
  return os::Sha256(bytes.data(), bytes.size(), digest);
}

}  // namespace zk5
