// Starting the terminal and naming our parent process on Windows.
#include "os/win32/win32_util.h"

#include <tlhelp32.h>

#include <algorithm>
#include <string>

#include "os/os.h"

namespace zk5::os {

namespace {

// Image names are asked into this many units; the canonical form is cut to
// one less, the room the search keeps for it.
constexpr DWORD kImageUnits = 260;
constexpr DWORD kCanonicalImageUnits = 259;
// The command line of a portable start is cut to this many units.
constexpr std::size_t kCommandLineUnits = 259;
// Enough to ask for a process's image name and nothing more.
constexpr DWORD kQueryLimitedInformation = 0x1000;

bool ParentProcessId(DWORD* parent) {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return false;
  const DWORD self = GetCurrentProcessId();
  PROCESSENTRY32W entry;
  entry.dwSize = sizeof entry;
  bool found = false;
  for (BOOL more = Process32FirstW(snapshot, &entry); more;
       more = Process32NextW(snapshot, &entry)) {
    if (entry.th32ProcessID == self) {
      *parent = entry.th32ParentProcessID;
      found = true;
      break;
    }
  }
  CloseHandle(snapshot);
  return found;
}

}  // namespace

std::u16string ParentProcessImage() {
  DWORD parent = 0;
  if (!ParentProcessId(&parent)) return {};
  HANDLE process = OpenProcess(kQueryLimitedInformation, FALSE, parent);
  if (process == nullptr) return {};
  wchar_t image[kImageUnits];
  DWORD size = kImageUnits;
  const BOOL ok = QueryFullProcessImageNameW(process, 0, image, &size);
  CloseHandle(process);
  if (!ok || size == 0) return {};
  std::u16string canonical;
  if (win32::FinalPathOfFile(image, kCanonicalImageUnits, &canonical)) return canonical;
  return win32::FromWide(image, std::min(size, kCanonicalImageUnits));
}

bool LaunchProcess(const std::u16string& path, const std::vector<std::u16string>& args) {
  if (path.empty() || path.find(u'\0') != std::u16string::npos) return false;
  const std::wstring application = win32::Wide(path);
  // Without arguments the system makes the command line from the name.
  std::wstring command_line;
  if (!args.empty()) {
    command_line = L"\"" + application + L"\"";
    for (const std::u16string& arg : args) command_line += L" " + win32::Wide(arg);
    if (command_line.size() > kCommandLineUnits) command_line.resize(kCommandLineUnits);
  }
  // The terminal gets none of our console handles: all three standard
  // handles are set, each to the invalid value.
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = INVALID_HANDLE_VALUE;
  startup.hStdOutput = INVALID_HANDLE_VALUE;
  startup.hStdError = INVALID_HANDLE_VALUE;
  PROCESS_INFORMATION info{};
  if (!CreateProcessW(application.c_str(), args.empty() ? nullptr : &command_line[0], nullptr,
                      nullptr, FALSE, 0, nullptr, nullptr, &startup, &info)) {
    return false;
  }
  // We never wait for or watch the terminal.
  CloseHandle(info.hProcess);
  CloseHandle(info.hThread);
  return true;
}

void OnForkChild(void (*)()) {}

void AbandonPipe(PipeHandle h) { ClosePipe(h); }

}  // namespace zk5::os
