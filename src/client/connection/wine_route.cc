#include "connection/wine_route.h"

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "ipc/pipe_name.h"
#include "os/os.h"

namespace zk5 {

namespace {

// The image header's offset sits at 0x3C; real headers are near the start.
constexpr std::size_t kPeProbeBytes = 4096;
constexpr std::size_t kPeOffsetField = 0x3C;
constexpr char16_t kDriveC[] = u"/drive_c";

std::uint32_t U32At(const std::string& b, std::size_t at) {
  return static_cast<std::uint32_t>(static_cast<unsigned char>(b[at])) |
         static_cast<std::uint32_t>(static_cast<unsigned char>(b[at + 1])) << 8 |
         static_cast<std::uint32_t>(static_cast<unsigned char>(b[at + 2])) << 16 |
         static_cast<std::uint32_t>(static_cast<unsigned char>(b[at + 3])) << 24;
}

bool IsDriveLink(const std::u16string& name) {
  return name.size() == 2 && name[1] == u':' &&
         ((name[0] >= u'a' && name[0] <= u'z') || (name[0] >= u'A' && name[0] <= u'Z'));
}

char16_t Upper(char16_t c) { return c >= u'a' && c <= u'z' ? c - u'a' + u'A' : c; }
char16_t Lower(char16_t c) { return c >= u'A' && c <= u'Z' ? c - u'A' + u'a' : c; }

std::u16string Replaced(std::u16string s, char16_t from, char16_t to) {
  std::replace(s.begin(), s.end(), from, to);
  return s;
}

}  // namespace

bool IsWindowsProgram(const std::u16string& path) {
  std::string head;
  if (!os::ReadFilePrefix(path, kPeProbeBytes, &head) || head.size() < kPeOffsetField + 4 ||
      head[0] != 'M' || head[1] != 'Z') {
    return false;
  }
  const std::uint32_t pe = U32At(head, kPeOffsetField);
  return pe <= head.size() - 4 && head.compare(pe, 4, std::string("PE\0\0", 4)) == 0;
}

std::u16string WinePrefixOf(const std::u16string& host_path) {
  // The last drive_c that is a whole component and not the file itself.
  for (std::size_t at = host_path.rfind(kDriveC); at != std::u16string::npos && at != 0;
       at = host_path.rfind(kDriveC, at - 1)) {
    const std::size_t end = at + 8;
    if (end < host_path.size() && host_path[end] == u'/') return host_path.substr(0, at);
  }
  return os::DefaultWinePrefix();
}

std::u16string WindowsPathIn(const std::u16string& prefix, const std::u16string& host_path) {
  std::vector<os::DirEntry> entries;
  if (!os::ListDirectory(prefix + u"/dosdevices", &entries)) return {};
  std::sort(entries.begin(), entries.end(),
            [](const os::DirEntry& a, const os::DirEntry& b) { return a.name < b.name; });
  std::u16string best_root;
  char16_t best_letter = 0;
  for (const os::DirEntry& e : entries) {
    if (!IsDriveLink(e.name)) continue;
    const std::u16string root = os::FinalPath(prefix + u"/dosdevices/" + e.name);
    if (root.empty()) continue;
    const bool holds = root == u"/" ? host_path.size() > 1 && host_path[0] == u'/'
                                    : host_path.size() > root.size() + 1 &&
                                          host_path.compare(0, root.size(), root) == 0 &&
                                          host_path[root.size()] == u'/';
    if (holds && (best_letter == 0 || root.size() > best_root.size())) {
      best_root = root;
      best_letter = Upper(e.name[0]);
    }
  }
  if (best_letter == 0) return {};
  const std::size_t skip = best_root == u"/" ? 1 : best_root.size() + 1;
  return std::u16string{best_letter, u':', u'\\'} + Replaced(host_path.substr(skip), u'/', u'\\');
}

std::u16string HostPathIn(const std::u16string& prefix, const std::u16string& windows_path) {
  if (windows_path.size() < 2 || !IsDriveLink(windows_path.substr(0, 2))) return {};
  std::u16string rest = Replaced(windows_path.substr(2), u'\\', u'/');
  while (!rest.empty() && rest.back() == u'/') rest.pop_back();
  const std::u16string drive{Lower(windows_path[0]), u':'};
  return prefix + u"/dosdevices/" + drive + (rest.empty() || rest[0] == u'/' ? rest : u"/" + rest);
}

bool IsWinePrefix(const std::u16string& prefix) {
  // Not system.reg: a new prefix's server writes it only when it ends, and
  // the prefix serves well before that.
  return !prefix.empty() && os::PathExists(prefix + u"/dosdevices");
}

std::u16string PlanWineRoute(const std::u16string& path, const std::u16string& relay,
                             WineRoute* route) {
  const std::u16string host_path = CanonicalPath(path);
  route->setup.prefix = WinePrefixOf(host_path);
  route->setup.wine = os::FindProgram(u"wine");
  route->setup.relay = relay;
  if (route->setup.wine.empty()) {
    return u"Wine is needed to run '" + path + u"', but no wine program is in PATH";
  }
  if (!IsWinePrefix(route->setup.prefix)) {
    return u"No Wine prefix at '" + route->setup.prefix + u"' for '" + path + u"'";
  }
  if (relay.empty() || !os::PathExists(relay)) {
    return u"The relay to Wine is not installed: '" + relay + u"'";
  }
  const std::u16string windows_path = WindowsPathIn(route->setup.prefix, host_path);
  if (windows_path.empty()) {
    return u"No drive of Wine prefix '" + route->setup.prefix + u"' holds '" + path + u"'";
  }
  // Under Wine the terminal finds its own final path in this form.
  if (!CanonicalPathHash(u"\\\\?\\" + windows_path, route->digest)) {
    return u"Hash calculation failed";
  }
  route->pipe_name = PipeNameFromHash(route->digest);
  return {};
}

bool WineDataFoldersBase(std::u16string* base, std::u16string* prefix) {
  *prefix = os::DefaultWinePrefix();
  const std::u16string user = os::UserName();
  if (!IsWinePrefix(*prefix) || user.empty()) return false;
  *base = *prefix + u"/drive_c/users/" + user + u"/AppData/Roaming/" + kDataVendorFolder + u"/" +
          kDataProductFolder + u"/";
  return true;
}

}  // namespace zk5
