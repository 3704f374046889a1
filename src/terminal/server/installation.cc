#include "server/installation.h"

#include <cstdint>

#include "accounts/config.h"
#include "base/text.h"
#include "ipc/pipe_name.h"
#include "os/os.h"
#include "os/service.h"

namespace zk5::term {

namespace {

constexpr char16_t kSep = os::kPathSeparator;

std::u16string Join(const std::u16string& a, const std::u16string& b) {
  if (a.empty()) return b;
  return a.back() == kSep ? a + b : a + kSep + b;
}

bool WriteIfMissing(const std::u16string& path, const std::string& bytes) {
  return os::PathExists(path) || os::WriteFileAtomic(path, bytes);
}

}  // namespace

std::u16string Installation::ConfigFile(const char16_t* name) const {
  return Join(Join(data, u"config"), name);
}

// A replay keeps its accounts apart from the ordinary ones.
std::u16string Installation::BasesFolder() const {
  return Join(data, replay ? u"replay" : u"bases");
}

std::u16string Installation::StoreFile() const { return Join(BasesFolder(), u"accounts.sqlite"); }

std::u16string Installation::LockFile() const { return Join(data, u"terminal.lock"); }

std::string Utf16LeWithBom(const std::u16string& text) {
  std::string out = "\xFF\xFE";
  for (char16_t u : text) {
    out.push_back(static_cast<char>(u & 0xFF));
    out.push_back(static_cast<char>(u >> 8));
  }
  return out;
}

std::u16string DataFolderId(const std::u16string& install) {
  std::uint8_t digest[32];
  if (!PathHash(install, digest)) return u"0";
  static const char16_t kHex[] = u"0123456789ABCDEF";
  std::u16string id;
  for (int i = 0; i < 16; ++i) {
    id.push_back(kHex[digest[i] >> 4]);
    id.push_back(kHex[digest[i] & 0x0F]);
  }
  return id;
}

bool LocateInstallation(const std::u16string& exe, bool portable, Installation* out) {
  const std::size_t slash = exe.find_last_of(kSep);
  if (slash == std::u16string::npos) return false;
  Installation inst;
  inst.exe = exe;
  inst.install = slash == 0 ? exe.substr(0, 1) : exe.substr(0, slash);
  inst.portable = portable;
  std::u16string roaming;
  if (os::RoamingFolder(&roaming)) {
    const std::u16string base =
        Join(Join(Join(roaming, kDataVendorFolder), kDataProductFolder), u"");
    inst.registration = Join(base, DataFolderId(inst.install));
    inst.common = Join(base, u"Common");
  }
  inst.data = portable || inst.registration.empty() ? inst.install : inst.registration;
  *out = inst;
  return true;
}

bool RegisterInstallation(const Installation& inst) {
  bool ok = os::MakeDirectories(Join(inst.data, u"ZSL5")) &&
            os::MakeDirectories(Join(inst.data, u"config")) &&
            os::MakeDirectories(Join(inst.data, u"bases"));
  ok = ok && WriteIfMissing(inst.ConfigFile(u"terminal.ini"), DefaultSettingsText());
  if (ok && !os::PathExists(inst.ConfigFile(u"accounts.dat"))) {
    AccountsFile accounts = DefaultAccounts();
    ok = HashClearPasswords(&accounts) &&
         os::WriteFileAtomic(inst.ConfigFile(u"accounts.dat"), FormatAccounts(accounts));
  }
  if (inst.registration.empty()) return ok;
  ok = ok && os::MakeDirectories(inst.registration) && os::MakeDirectories(inst.common);
  ok = ok &&
       os::WriteFileAtomic(Join(inst.registration, u"origin.txt"), Utf16LeWithBom(inst.install));
  const std::u16string marker = Join(inst.registration, u"portable.txt");
  if (inst.portable) {
    ok = ok && os::WriteFileAtomic(marker, "portable\r\n");
  } else {
    ok = ok && os::RemoveFile(marker);
  }
  return ok;
}

}  // namespace zk5::term
