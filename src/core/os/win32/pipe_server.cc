// The serving end of a named pipe on Windows.
//
// Each instance of the pipe carries one client at a time. An instance whose
// client was released is disconnected and kept, so the name never vanishes
// while we serve it: a client arriving in between finds every instance busy
// and waits, instead of finding no server.
#include "os/pipe_server.h"

#include <algorithm>
#include <string>
#include <vector>

#include "os/win32/win32_util.h"

namespace zk5::os {

struct PipeServer::State {
  std::wstring name;
  unsigned instances = 0;
  std::vector<HANDLE> idle;       // created, not connected
  std::vector<HANDLE> connected;  // handed out by Accept
};

namespace {

constexpr DWORD kBufferBytes = 65536;

HANDLE CreateInstance(const std::wstring& name, unsigned instances, bool first) {
  const DWORD open_mode = PIPE_ACCESS_DUPLEX | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0);
  const DWORD max = std::min<unsigned>(instances, PIPE_UNLIMITED_INSTANCES - 1);
  return CreateNamedPipeW(name.c_str(), open_mode,
                          PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT |
                              PIPE_REJECT_REMOTE_CLIENTS,
                          max, kBufferBytes, kBufferBytes, 0, nullptr);
}

}  // namespace

std::u16string SelfImage() {
  std::vector<wchar_t> buffer(MAX_PATH);
  for (;;) {
    const DWORD n = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (n == 0) return {};
    if (n < buffer.size()) return win32::FromWide(buffer.data(), n);
    if (buffer.size() >= 32768) return {};
    buffer.resize(buffer.size() * 2);  // cut: ask again with more room
  }
}

PipeServer::PipeServer() : state_(new State) {}

PipeServer::~PipeServer() { Close(); }

std::uint32_t PipeServer::Listen(const std::u16string& name, unsigned instances) {
  Close();
  if (instances == 0) return ERROR_INVALID_PARAMETER;
  const std::wstring wide = win32::Wide(name);
  // The first instance claims the name: if anyone else holds it, we fail.
  HANDLE first = CreateInstance(wide, instances, true);
  if (first == INVALID_HANDLE_VALUE) return GetLastError();
  state_->name = wide;
  state_->instances = instances;
  state_->idle.push_back(first);
  return 0;
}

std::uint32_t PipeServer::Accept(PipeHandle* client) {
  State& s = *state_;
  if (s.name.empty()) return ERROR_INVALID_HANDLE;
  HANDLE h;
  if (!s.idle.empty()) {
    h = s.idle.back();
    s.idle.pop_back();
  } else if (s.connected.size() < s.instances) {
    h = CreateInstance(s.name, s.instances, false);
    if (h == INVALID_HANDLE_VALUE) return GetLastError();
  } else {
    return ERROR_PIPE_BUSY;
  }
  for (;;) {
    if (ConnectNamedPipe(h, nullptr)) break;
    const DWORD err = GetLastError();
    if (err == ERROR_PIPE_CONNECTED) break;  // arrived before we asked
    if (err == ERROR_NO_DATA && DisconnectNamedPipe(h)) continue;  // came and went
    s.idle.push_back(h);
    return err;
  }
  s.connected.push_back(h);
  *client = win32::FromHandle(h);
  return 0;
}

void PipeServer::Release(PipeHandle client) {
  State& s = *state_;
  HANDLE h = win32::AsHandle(client);
  const auto it = std::find(s.connected.begin(), s.connected.end(), h);
  if (it == s.connected.end()) return;
  s.connected.erase(it);
  DisconnectNamedPipe(h);
  s.idle.push_back(h);
}

void PipeServer::Close() {
  State& s = *state_;
  for (HANDLE h : s.connected) CloseHandle(h);
  for (HANDLE h : s.idle) CloseHandle(h);
  s.connected.clear();
  s.idle.clear();
  s.name.clear();
  s.instances = 0;
}

}  // namespace zk5::os
