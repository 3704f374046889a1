#include "connection/client.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace zk5 {

CInterClient g_client;

namespace {

constexpr char16_t kPipeNamePrefix[] = u"\\\\.\\pipe\\ZK5.Terminal.";
constexpr std::uint32_t kHelloVersion = 3;
constexpr char16_t kHelloClient[] = u"Python";

std::u16string Cut(const std::u16string& s, std::size_t units) {
  return s.size() <= units ? s : s.substr(0, units);
}

// Replaces the first occurrence of `placeholder` in `format` by `value`.
std::u16string Format(const char16_t* format, const char16_t* placeholder,
                      const std::u16string& value) {
  std::u16string text(format);
  const std::size_t at = text.find(placeholder);
  if (at != std::u16string::npos) text.replace(at, 2, value);
  return text;
}

}  // namespace

std::u16string CanonicalPath(const std::u16string& path) {
  std::u16string final_path = os::FinalPath(path);
  if (!final_path.empty() && final_path.size() <= kMaxTerminalPath) return final_path;
  return Cut(path, kMaxTerminalPath);
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
  std::u16string canonical = CanonicalPath(path);
  os::LowerCaseInPlace(canonical.data(), canonical.size());
  // The digest covers the UTF-16LE units, two bytes each, no terminator.
  std::string bytes(canonical.size() * 2, '\0');
  for (std::size_t i = 0; i < canonical.size(); ++i) {
    bytes[2 * i] = static_cast<char>(canonical[i] & 0xFF);
    bytes[2 * i + 1] = static_cast<char>(canonical[i] >> 8);
  }
  return os::Sha256(bytes.data(), bytes.size(), digest);
}

void CInterClient::Reset() {
  if (m_pipe != os::kInvalidPipe) {
    os::ClosePipe(m_pipe);
    m_pipe = os::kInvalidPipe;
  }
  std::memset(m_path_hash, 0, sizeof m_path_hash);
  m_init_error[0] = 0;
}

void CInterClient::SetInitError(const std::u16string& text) {
  const std::size_t n = std::min(text.size(), kInitErrorUnits - 1);
  std::copy_n(text.data(), n, m_init_error);
  m_init_error[n] = 0;
}

void CInterClient::SetInitErrorPath(const char16_t* format, const std::u16string& path) {
  SetInitError(Format(format, u"%s", path));
}

void CInterClient::SetInitErrorNumber(const char16_t* format, std::uint32_t number) {
  const std::string digits = std::to_string(number);
  SetInitError(Format(format, u"%u", std::u16string(digits.begin(), digits.end())));
}

bool CInterClient::OpenPipe(const std::u16string& name) {
  os::PipeHandle handle = os::kInvalidPipe;
  const std::uint32_t err = os::OpenPipe(name, &handle);
  if (err == 0) {
    m_pipe = handle;
    return true;
  }
  SetInitErrorNumber(u"CreateFile failed [%u]", err);
  return false;
}

bool CInterClient::ConnectToTerminal(const std::u16string& path, bool portable) {
  if (path.empty()) return false;
  if (path.size() > kMaxTerminalPath) {
    SetInitError(u"Path too long");
    return false;
  }
  if (!PathHash(path, m_path_hash)) {
    SetInitError(u"Hash calculation failed");
    return false;
  }
  const std::u16string name = PipeNameFromHash(m_path_hash);
  if (OpenPipe(name)) return true;
  if (!LaunchTerminal(path, portable)) return false;
  for (std::uint32_t attempt = 0; attempt < launch_poll_attempts_; ++attempt) {
    if (OpenPipe(name)) return true;
    os::SleepMs(launch_poll_interval_ms_);
  }
  // One last look after the final sleep, as the poll ends on a sleep.
  if (OpenPipe(name)) return true;
  SetInitErrorNumber(u"Pipe server didn't answer in %u sec",
                     launch_poll_attempts_ * launch_poll_interval_ms_ / 1000);
  return false;
}

std::int32_t CInterClient::Hello() {
  const ipc::Text client{kHelloClient, 6};
  // The build is kept as soon as it has been read, whatever follows it.
  auto* build = reinterpret_cast<std::uint32_t*>(&m_terminal_build);
  return ipc::Exchange(
      m_pipe, ipc::CommandId::HELLO,
      [&] { return ipc::EncodeU32String(m_pipe, ipc::CommandId::HELLO, kHelloVersion, client); },
      [&](ipc::PipeReader& r, ipc::Header* h) { return ipc::DecodeU32(r, h, build); });
}

std::int32_t CInterClient::Initialize(const std::u16string& path, bool portable) {
  if (m_pipe != os::kInvalidPipe) {
    SetInitError(u"CInterClient already initialized");
    return -10003;
  }
  if (!ConnectToTerminal(path, portable) && !(path.empty() && FindTerminal())) {
    return -10003;
  }
  return Hello();
}

}  // namespace zk5
