#include "connection/client.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace zk5 {

CInterClient g_client;

namespace {

constexpr std::uint32_t kHelloVersion = 3;
constexpr char16_t kHelloClient[] = u"Python";

// Replaces the first occurrence of `placeholder` in `format` by `value`.
std::u16string Format(const char16_t* format, const char16_t* placeholder,
                      const std::u16string& value) {
  std::u16string text(format);
  const std::size_t at = text.find(placeholder);
  if (at != std::u16string::npos) text.replace(at, 2, value);
  return text;
}

}  // namespace

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
    return kIpcInitializeFailed;
  }
  if (!ConnectToTerminal(path, portable) && !(path.empty() && FindTerminal())) {
    return kIpcInitializeFailed;
  }
  return Hello();
}

}  // namespace zk5
