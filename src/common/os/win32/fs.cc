// File queries, final paths, lower-casing and the roaming data folder on
// Windows.
#include "os/win32/win32_util.h"

#include <objbase.h>
#include <shlobj.h>

#include <algorithm>
#include <string>
#include <vector>

#include "os/os.h"

namespace zk5::os {

namespace {

using win32::FromWide;
using win32::Wide;

// The user's roaming application-data folder.
constexpr GUID kRoamingAppData = {
    0x3EB685DB, 0x65F9, 0x4CF6, {0xA0, 0x3A, 0xE3, 0xEF, 0x65, 0x72, 0x9F, 0x3D}};

// The final path of a terminal path is asked into this many units, as the
// terminal does when it names its own pipe.
constexpr DWORD kFinalPathUnits = 260;

HANDLE OpenForReading(const wchar_t* path) {
  return CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                     0, nullptr);
}

}  // namespace

namespace win32 {

bool FinalPathOfFile(const wchar_t* path, DWORD units, std::u16string* out) {
  const win32::FileHandle file(OpenForReading(path));
  if (!file.ok()) return false;
  std::vector<wchar_t> buffer(units);
  const DWORD n = GetFinalPathNameByHandleW(file.get(), buffer.data(), units, 0);
  // A result that does not fit comes back as the size it would need.
  if (n == 0 || n >= units) return false;
  *out = FromWide(buffer.data(), n);
  return true;
}

}  // namespace win32

std::u16string FinalPath(const std::u16string& path) {
  if (path.empty()) return {};
  std::u16string result;
  if (!win32::FinalPathOfFile(Wide(path).c_str(), kFinalPathUnits, &result)) return {};
  return result;
}

void LowerCaseInPlace(char16_t* text, std::size_t units) {
  auto* p = reinterpret_cast<wchar_t*>(text);
  while (units != 0) {
    const DWORD n = static_cast<DWORD>(std::min<std::size_t>(units, 0x40000000));
    CharLowerBuffW(p, n);
    p += n;
    units -= n;
  }
}

bool RoamingFolder(std::u16string* folder) {
  PWSTR path = nullptr;
  const HRESULT hr = SHGetKnownFolderPath(kRoamingAppData, 0, nullptr, &path);
  bool ok = false;
  if (SUCCEEDED(hr) && path != nullptr && path[0] != L'\0') {
    std::u16string result = FromWide(path, wcslen(path));
    while (result.size() > 1 && result.back() == u'\\') result.pop_back();
    *folder = std::move(result);
    ok = true;
  }
  CoTaskMemFree(path);  // accepts null
  return ok;
}

bool ListDirectory(const std::u16string& dir, std::vector<DirEntry>* entries) {
  entries->clear();
  if (dir.empty()) return false;
  std::wstring pattern = Wide(dir);
  if (pattern.back() != L'\\' && pattern.back() != L'/') pattern.push_back(L'\\');
  pattern.push_back(L'*');
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW(pattern.c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return false;
  do {
    entries->push_back(DirEntry{FromWide(data.cFileName, wcslen(data.cFileName)),
                                (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0});
  } while (FindNextFileW(find, &data));
  const bool ok = GetLastError() == ERROR_NO_MORE_FILES;
  FindClose(find);
  return ok;
}

bool PathExists(const std::u16string& path) {
  return !path.empty() && GetFileAttributesW(Wide(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool LastWriteTime(const std::u16string& path, std::uint64_t* time) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (path.empty() || !GetFileAttributesExW(Wide(path).c_str(), GetFileExInfoStandard, &data)) {
    return false;
  }
  *time =
      std::uint64_t{data.ftLastWriteTime.dwHighDateTime} << 32 | data.ftLastWriteTime.dwLowDateTime;
  return true;
}

bool ReadFilePrefix(const std::u16string& path, std::size_t max, std::string* out) {
  out->clear();
  if (path.empty()) return false;
  const win32::FileHandle file(OpenForReading(Wide(path).c_str()));
  if (!file.ok()) return false;
  out->resize(max);
  std::size_t got = 0;
  bool ok = true;
  while (got < max) {
    DWORD n = 0;
    const DWORD ask = static_cast<DWORD>(std::min<std::size_t>(max - got, 0x40000000));
    if (!ReadFile(file.get(), &(*out)[got], ask, &n, nullptr)) {
      ok = false;
      break;
    }
    if (n == 0) break;  // end of file
    got += n;
  }
  out->resize(ok ? got : 0);
  return ok;
}

}  // namespace zk5::os
