// Hosting the terminal on Windows.
//
// No stop signal is caught: Ctrl-C or closing the console ends the process
// the system's way, which loses nothing, since every confirmed change is on
// disk before its reply is sent.
#include "os/service.h"

#include <cstdlib>
#include <string>
#include <vector>

#include <aclapi.h>

#include "os/win32/win32_util.h"

namespace zk5::os {

namespace {

using win32::Wide;

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

bool IsDirectory(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool WriteWhole(HANDLE h, const char* data, std::size_t n) {
  while (n != 0) {
    const DWORD ask = static_cast<DWORD>(n < 0x40000000 ? n : 0x40000000);
    DWORD put = 0;
    if (!WriteFile(h, data, ask, &put, nullptr) || put == 0) return false;
    data += put;
    n -= put;
  }
  return true;
}

}  // namespace

bool InstallStopSignals() { return true; }

bool StopRequested() { return false; }

bool MakeDirectories(const std::u16string& path) {
  const std::wstring wide = Wide(path);
  if (wide.empty()) return false;
  // Each parent in turn; those that exist (or cannot be made, such as a
  // drive's root) are passed over, and the last one decides.
  for (std::size_t at = 1; at <= wide.size(); ++at) {
    if (at != wide.size() && !IsSeparator(wide[at])) continue;
    const std::wstring prefix = wide.substr(0, at);
    if (!IsDirectory(prefix)) CreateDirectoryW(prefix.c_str(), nullptr);
  }
  return IsDirectory(wide);
}

bool WriteFileAtomic(const std::u16string& path, const std::string& bytes, bool flush) {
  const std::wstring target = Wide(path);
  if (target.empty()) return false;
  // Writers of one file are serialised by the caller; the process id keeps
  // two processes apart.
  const std::wstring temp = target + L".tmp" + std::to_wstring(GetCurrentProcessId());
  win32::FileHandle file(CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                     FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.ok()) return false;
  bool ok = WriteWhole(file.get(), bytes.data(), bytes.size()) &&
            (!flush || FlushFileBuffers(file.get()));
  ok = file.Close() && ok;
  const DWORD move = MOVEFILE_REPLACE_EXISTING | (flush ? MOVEFILE_WRITE_THROUGH : 0);
  if (!ok || !MoveFileExW(temp.c_str(), target.c_str(), move)) {
    DeleteFileW(temp.c_str());
    return false;
  }
  return true;
}

bool ReadWholeFile(const std::u16string& path, std::string* out) {
  out->clear();
  win32::FileHandle file(CreateFileW(Wide(path).c_str(), GENERIC_READ,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                     FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.ok()) return false;
  char buf[65536];
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(file.get(), buf, sizeof buf, &got, nullptr)) return false;
    if (got == 0) return true;
    out->append(buf, got);
  }
}

bool CopyFileAtomic(const std::u16string& from, const std::u16string& to) {
  const std::wstring target = Wide(to);
  if (target.empty()) return false;
  const DWORD attributes = GetFileAttributesW(Wide(from).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
    return false;
  const std::wstring temp = target + L".tmp" + std::to_wstring(GetCurrentProcessId());
  // The system copies a piece at a time.
  if (!CopyFileW(Wide(from).c_str(), temp.c_str(), FALSE) ||
      !MoveFileExW(temp.c_str(), target.c_str(),
                   MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    DeleteFileW(temp.c_str());
    return false;
  }
  return true;
}

bool RemoveFile(const std::u16string& path) {
  if (DeleteFileW(Wide(path).c_str())) return true;
  const DWORD err = GetLastError();
  return err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND;
}

bool RenameFile(const std::u16string& from, const std::u16string& to) {
  return MoveFileExW(Wide(from).c_str(), Wide(to).c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}

namespace {

FileKind KindOfAttributes(DWORD attributes) {
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return FileKind::kLink;
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return FileKind::kFolder;
  return FileKind::kRegular;
}

}  // namespace

FileKind KindOfPath(const std::u16string& path) {
  const DWORD attributes = GetFileAttributesW(Wide(path).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD err = GetLastError();
    return err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND ? FileKind::kMissing
                                                                      : FileKind::kError;
  }
  return KindOfAttributes(attributes);
}

FileKind OpenRegularFile(const std::u16string& path, FileHandle* out, std::uint64_t* size) {
  *out = kInvalidFile;
  *size = 0;
  const FileKind named = KindOfPath(path);
  if (named != FileKind::kRegular) return named;
  // The reparse point itself, never what it leads to.
  HANDLE h = CreateFileW(Wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                         FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (h == INVALID_HANDLE_VALUE) return FileKind::kError;
  BY_HANDLE_FILE_INFORMATION info;
  if (GetFileType(h) != FILE_TYPE_DISK) {
    CloseHandle(h);
    return FileKind::kOther;
  }
  if (!GetFileInformationByHandle(h, &info)) {
    CloseHandle(h);
    return FileKind::kError;
  }
  const FileKind kind = KindOfAttributes(info.dwFileAttributes);
  if (kind != FileKind::kRegular) {
    CloseHandle(h);
    return kind;
  }
  *size = (static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  *out = reinterpret_cast<FileHandle>(h);
  return FileKind::kRegular;
}

bool WaitForWriters(FileHandle h, std::uint64_t* size) {
  const HANDLE file = reinterpret_cast<HANDLE>(h);
  OVERLAPPED at{};
  // A file system without locks imports the file as it is.
  LockFileEx(file, 0, 0, MAXDWORD, MAXDWORD, &at);
  LARGE_INTEGER n;
  if (!GetFileSizeEx(file, &n)) return false;
  *size = static_cast<std::uint64_t>(n.QuadPart);
  return true;
}

bool ReadFromFile(FileHandle h, void* buf, std::size_t n, std::size_t* got) {
  DWORD read = 0;
  const DWORD ask = static_cast<DWORD>(n < 0x40000000 ? n : 0x40000000);
  const bool ok = ::ReadFile(reinterpret_cast<HANDLE>(h), buf, ask, &read, nullptr) != 0;
  *got = ok ? read : 0;
  return ok;
}

void CloseFile(FileHandle h) {
  if (h != kInvalidFile) CloseHandle(reinterpret_cast<HANDLE>(h));
}

bool MakeRealFolder(const std::u16string& path) {
  const std::wstring wide = Wide(path);
  if (wide.empty()) return false;
  CreateDirectoryW(wide.c_str(), nullptr);
  return KindOfPath(path) == FileKind::kFolder;
}

bool FlushToDisk(const std::u16string& path) {
  // Folders need no flush here: the file system journals its names.
  if (KindOfPath(path) == FileKind::kFolder) return true;
  HANDLE h = CreateFileW(Wide(path).c_str(), GENERIC_WRITE,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  const bool ok = FlushFileBuffers(h) != 0;
  CloseHandle(h);
  return ok;
}

std::int64_t NowMs() {
  // 100-ns intervals since 1601.
  constexpr std::int64_t kEpochDifferenceMs = 11644473600000LL;
  FILETIME ft;
  GetSystemTimeAsFileTime(&ft);
  const std::uint64_t ticks =
      (static_cast<std::uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
  return static_cast<std::int64_t>(ticks / 10000) - kEpochDifferenceMs;
}

void MakeCreatedFilesPrivate() {
  // Files and folders inherit the access list of the folder they are made
  // in; the user's profile (AppData) is private to the user already.
}

bool RestrictToOwner(const std::u16string& path) {
  // An access list with the owner alone, not inherited from above.
  const std::wstring wide = Wide(path);
  if (GetFileAttributesW(wide.c_str()) == INVALID_FILE_ATTRIBUTES) {
    const DWORD err = GetLastError();
    return err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND;
  }
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
  DWORD size = 0;
  GetTokenInformation(token, TokenUser, nullptr, 0, &size);
  std::vector<unsigned char> user(size);
  bool ok = size != 0 && GetTokenInformation(token, TokenUser, user.data(), size, &size);
  CloseHandle(token);
  if (!ok) return false;
  EXPLICIT_ACCESSW access{};
  access.grfAccessPermissions = GENERIC_ALL;
  access.grfAccessMode = SET_ACCESS;
  access.grfInheritance = SUB_CONTAINERS_AND_OBJECTS_INHERIT;
  access.Trustee.TrusteeForm = TRUSTEE_IS_SID;
  access.Trustee.TrusteeType = TRUSTEE_IS_USER;
  access.Trustee.ptstrName =
      static_cast<LPWSTR>(reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid);
  PACL acl = nullptr;
  if (SetEntriesInAclW(1, &access, nullptr, &acl) != ERROR_SUCCESS) return false;
  ok = SetNamedSecurityInfoW(const_cast<wchar_t*>(wide.c_str()), SE_FILE_OBJECT,
                             DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                             nullptr, nullptr, acl, nullptr) == ERROR_SUCCESS;
  LocalFree(acl);
  return ok;
}

LockStatus LockForLife(const std::u16string& path, const std::string& note, std::int64_t* holder,
                       std::string* holder_note, std::uint32_t* error) {
  *holder = 0;
  holder_note->clear();
  std::uint32_t unused = 0;
  if (error == nullptr) error = &unused;
  // Others may read the process id at the start; the lock is on a byte far
  // beyond it, so that reading is never blocked.
  HANDLE file = CreateFileW(Wide(path).c_str(), GENERIC_READ | GENERIC_WRITE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    *error = GetLastError();
    return LockStatus::kError;
  }
  OVERLAPPED at{};
  at.OffsetHigh = 0x100;
  if (!LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
    const DWORD err = GetLastError();
    std::vector<char> text(4096);
    DWORD got = 0;
    if (ReadFile(file, text.data(), static_cast<DWORD>(text.size() - 1), &got, nullptr)) {
      *holder = std::atoll(text.data());
      *holder_note = LockNote(std::string(text.data(), got));
    }
    CloseHandle(file);
    *error = err;
    return err == ERROR_LOCK_VIOLATION || err == ERROR_IO_PENDING ? LockStatus::kHeld
                                                                  : LockStatus::kError;
  }
  // For people and programs looking at the folder; the lock itself is what
  // counts.
  const std::string text = std::to_string(GetCurrentProcessId()) + "\r\n" + note + "\r\n";
  DWORD put = 0;
  if (SetEndOfFile(file))
    WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &put, nullptr);
  // The handle stays open: closing it would drop the lock.
  return LockStatus::kLocked;
}

bool LockHeld(const std::u16string& path, std::int64_t* holder, std::string* holder_note) {
  *holder = 0;
  holder_note->clear();
  HANDLE file = CreateFileW(Wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  // The byte LockForLife locks: taken and given back at once when free.
  OVERLAPPED at{};
  at.OffsetHigh = 0x100;
  const bool held =
      !LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at);
  if (!held) {
    UnlockFileEx(file, 0, 1, 0, &at);
  } else {
    std::vector<char> text(4096);
    DWORD got = 0;
    if (ReadFile(file, text.data(), static_cast<DWORD>(text.size() - 1), &got, nullptr)) {
      *holder = std::atoll(text.data());
      *holder_note = LockNote(std::string(text.data(), got));
    }
  }
  CloseHandle(file);
  return held;
}

std::u16string SocketFolderName() { return u"\\\\.\\pipe"; }

}  // namespace zk5::os
