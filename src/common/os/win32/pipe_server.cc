// The serving end of a named pipe on Windows.
//
// Each instance of the pipe carries one client at a time. An instance whose
// client was released is disconnected and kept, so the name never vanishes
// while we serve it: a client arriving in between finds every instance busy
// and waits, instead of finding no server.
//
// Instances are opened for overlapped transfers, so that the wait for a
// client can have a time limit and can stay pending from one Accept to the
// next; ReadExact and WriteAll wait for such transfers themselves. No stop
// signal ends a wait.
//
// A named mutex held while the name is served decides who serves it, as the
// lock file does on POSIX: the system drops it when its holder dies. The
// first instance claims the name as well, but wine, which runs our Windows
// tests, lets a second first instance through.
#include "os/pipe_server.h"

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "os/win32/win32_util.h"

namespace zk5::os {

struct PipeServer::State {
  HANDLE claim = nullptr;  // the mutex that says we serve `name`
  std::wstring name;
  unsigned instances = 0;
  std::vector<HANDLE> idle;               // created, not connected
  HANDLE waiting = INVALID_HANDLE_VALUE;  // waiting for a client
  bool arrived = false;                   // its client came before we asked
  OVERLAPPED connect{};                   // of `waiting`, unless `arrived`
  std::vector<HANDLE> connected;          // handed out, not handed over

  // Starts waiting for a client on an idle or a new instance. 0, or the
  // error; `arrived` tells a client already there.
  DWORD StartWaiting();
  // Puts the waiting instance back among the idle ones, its wait ended.
  void StopWaiting();
};

namespace {

using Clock = std::chrono::steady_clock;

constexpr DWORD kBufferBytes = 65536;

// Every instance allows as many as the system does: `instances` is counted
// here, so that a connection handed over frees its place as on POSIX.
HANDLE CreateInstance(const std::wstring& name, bool first) {
  const DWORD open_mode =
      PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0);
  return CreateNamedPipeW(
      name.c_str(), open_mode,
      PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
      PIPE_UNLIMITED_INSTANCES, kBufferBytes, kBufferBytes, 0, nullptr);
}

bool Forget(std::vector<HANDLE>* handles, HANDLE h) {
  const auto it = std::find(handles->begin(), handles->end(), h);
  if (it == handles->end()) return false;
  handles->erase(it);
  return true;
}

// Creates the mutex that stands for serving `name`: its name is the pipe's,
// with the backslashes a mutex name cannot have turned into slashes. Null
// when it exists already (ERROR_ALREADY_EXISTS) or cannot be made.
HANDLE Claim(const std::wstring& name) {
  std::wstring mutex = L"Global\\ZK5.PipeServer." + name;
  std::replace(mutex.begin() + 7, mutex.end(), L'\\', L'/');
  HANDLE h = CreateMutexW(nullptr, FALSE, mutex.c_str());
  if (h != nullptr && GetLastError() == ERROR_ALREADY_EXISTS) {
    CloseHandle(h);
    SetLastError(ERROR_ALREADY_EXISTS);
    return nullptr;
  }
  return h;
}

bool HeldByAnother(DWORD err) {
  return err == ERROR_ALREADY_EXISTS || err == ERROR_ACCESS_DENIED || err == ERROR_PIPE_BUSY;
}

}  // namespace

DWORD PipeServer::State::StartWaiting() {
  HANDLE h;
  if (!idle.empty()) {
    h = idle.back();
    idle.pop_back();
  } else {
    h = CreateInstance(name, false);
    if (h == INVALID_HANDLE_VALUE) return GetLastError();
  }
  for (;;) {
    ResetEvent(connect.hEvent);
    if (ConnectNamedPipe(h, &connect)) break;
    const DWORD err = GetLastError();
    if (err == ERROR_IO_PENDING) {
      waiting = h;
      arrived = false;
      return 0;
    }
    if (err == ERROR_PIPE_CONNECTED) break;
    if (err == ERROR_NO_DATA && DisconnectNamedPipe(h)) continue;  // came and went
    idle.push_back(h);
    return err;
  }
  waiting = h;
  arrived = true;
  return 0;
}

void PipeServer::State::StopWaiting() {
  if (waiting == INVALID_HANDLE_VALUE) return;
  if (!arrived) {
    DWORD unused = 0;
    CancelIoEx(waiting, &connect);
    GetOverlappedResult(waiting, &connect, &unused, TRUE);
  }
  DisconnectNamedPipe(waiting);
  idle.push_back(waiting);
  waiting = INVALID_HANDLE_VALUE;
}

std::u16string ExecutablePath() {
  std::vector<wchar_t> buffer(MAX_PATH);
  for (;;) {
    const DWORD n = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (n == 0) return {};
    if (n < buffer.size()) return win32::FromWide(buffer.data(), n);
    if (buffer.size() >= 32768) return {};
    buffer.resize(buffer.size() * 2);  // cut: ask again with more room
  }
}

std::uint32_t PipeAddress(const std::u16string& name, std::u16string* address) {
  *address = name;
  return 0;
}

PipeServer::PipeServer() : state_(new State) {}

PipeServer::~PipeServer() { Close(); }

PipeServer::NameStatus PipeServer::CheckName() { return NameStatus::kServed; }

ListenStatus PipeServer::Listen(const std::u16string& name, unsigned instances,
                                std::uint32_t* error) {
  Close();
  std::uint32_t unused = 0;
  if (error == nullptr) error = &unused;
  *error = 0;
  if (instances == 0) {
    *error = ERROR_INVALID_PARAMETER;
    return ListenStatus::kError;
  }
  const std::wstring wide = win32::Wide(name);
  // The first instance claims the name too: if anyone else holds it, we fail.
  HANDLE claim = Claim(wide);
  HANDLE first = INVALID_HANDLE_VALUE;
  HANDLE event = nullptr;
  if (claim != nullptr) first = CreateInstance(wide, true);
  if (first != INVALID_HANDLE_VALUE) event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (event == nullptr) {
    const DWORD err = GetLastError();
    if (first != INVALID_HANDLE_VALUE) CloseHandle(first);
    if (claim != nullptr) CloseHandle(claim);
    if (HeldByAnother(err)) return ListenStatus::kAlreadyServed;
    *error = err;
    return ListenStatus::kError;
  }
  State& s = *state_;
  s.claim = claim;
  s.name = wide;
  s.instances = instances;
  s.idle.push_back(first);
  s.connect = OVERLAPPED{};
  s.connect.hEvent = event;
  return ListenStatus::kOk;
}

AcceptStatus PipeServer::Accept(int timeout_ms, PipeHandle* client, std::uint32_t* error) {
  std::uint32_t unused = 0;
  if (error == nullptr) error = &unused;
  *error = 0;
  State& s = *state_;
  if (s.name.empty()) {
    *error = ERROR_INVALID_HANDLE;
    return AcceptStatus::kError;
  }
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    if (s.waiting == INVALID_HANDLE_VALUE) {
      if (s.connected.size() >= s.instances) {
        *error = ERROR_PIPE_BUSY;
        return AcceptStatus::kError;
      }
      if (const DWORD err = s.StartWaiting()) {
        *error = err;
        return AcceptStatus::kError;
      }
    }
    if (!s.arrived) {
      DWORD wait = INFINITE;
      if (timeout_ms >= 0) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        wait = static_cast<DWORD>(std::max<std::chrono::milliseconds::rep>(left.count(), 0));
      }
      // Left pending on a timeout: a client coming before the next Accept
      // is connected then.
      const DWORD waited = WaitForSingleObject(s.connect.hEvent, wait);
      if (waited == WAIT_TIMEOUT) return AcceptStatus::kTimeout;
      if (waited != WAIT_OBJECT_0) {
        *error = GetLastError();
        return AcceptStatus::kError;
      }
      DWORD ignored = 0;
      if (!GetOverlappedResult(s.waiting, &s.connect, &ignored, FALSE)) {
        const DWORD err = GetLastError();
        s.arrived = true;  // nothing pending any more
        s.StopWaiting();
        if (err == ERROR_NO_DATA || err == ERROR_BROKEN_PIPE || err == ERROR_PIPE_NOT_CONNECTED) {
          continue;  // a client that came and went: wait on
        }
        *error = err;
        return AcceptStatus::kError;
      }
    }
    HANDLE h = s.waiting;
    s.waiting = INVALID_HANDLE_VALUE;
    s.connected.push_back(h);
    // Wait on at once where there is room, so that the name stays served
    // whatever becomes of the connections; a failure shows at the next
    // Accept.
    if (s.connected.size() < s.instances) s.StartWaiting();
    *client = win32::FromHandle(h);
    return AcceptStatus::kClient;
  }
}

void PipeServer::Release(PipeHandle client) {
  State& s = *state_;
  HANDLE h = win32::AsHandle(client);
  if (!Forget(&s.connected, h)) return;
  DisconnectNamedPipe(h);
  s.idle.push_back(h);
}

void PipeServer::HandOver(PipeHandle client) {
  Forget(&state_->connected, win32::AsHandle(client));
}

void PipeServer::Close() {
  State& s = *state_;
  s.StopWaiting();
  for (HANDLE h : s.connected) CloseHandle(h);
  for (HANDLE h : s.idle) CloseHandle(h);
  if (s.connect.hEvent != nullptr) CloseHandle(s.connect.hEvent);
  if (s.claim != nullptr) CloseHandle(s.claim);
  s.claim = nullptr;
  s.connect = OVERLAPPED{};
  s.connected.clear();
  s.idle.clear();
  s.name.clear();
  s.instances = 0;
}

}  // namespace zk5::os
