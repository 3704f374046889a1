#include "connection/search.h"

#include <string>
#include <vector>

#include "ipc/pipe_name.h"
#include "os/os.h"

#ifndef _WIN32
#include "connection/wine_route.h"
#endif

namespace zk5 {

namespace {

// Buffer sizes of the Windows client, less the terminator: paths are cut to
// these lengths the same way on every platform.
constexpr std::size_t kMaxBaseUnits = 260;
constexpr std::size_t kMaxDataFolderUnits = 259;
// The byte-order mark and 258 UTF-16 units.
constexpr std::size_t kOriginMaxBytes = 518;
constexpr std::size_t kOriginMinBytes = 8;

const std::u16string kSep(1, os::kPathSeparator);

std::u16string Cut(std::u16string s, std::size_t units) {
  if (s.size() > units) s.resize(units);
  return s;
}

// The installation folder named by origin.txt: UTF-16LE after the FF FE
// mark, every whole unit read, used exactly as written (line ends included).
// It ends at a NUL unit, as the text does when formatted into a path.
bool OriginText(const std::string& bytes, std::u16string* text) {
  if (bytes.size() < kOriginMinBytes || static_cast<unsigned char>(bytes[0]) != 0xFF ||
      static_cast<unsigned char>(bytes[1]) != 0xFE) {
    return false;
  }
  text->clear();
  for (std::size_t i = 2; i + 1 < bytes.size(); i += 2) {
    const char16_t unit = static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                                static_cast<unsigned char>(bytes[i + 1]) << 8);
    if (unit == 0) break;
    text->push_back(unit);
  }
  return true;
}

}  // namespace

bool InspectDataFolder(const std::u16string& folder, TerminalCandidate* candidate,
                       std::u16string* reason, const std::u16string* wine_prefix) {
  const auto fail = [&](const char16_t* text) {
    if (reason != nullptr) *reason = text + folder + u"'";
    return false;
  };
  *candidate = TerminalCandidate{};
  std::uint64_t time = 0;
  if (os::LastWriteTime(folder + kSep + u"portable.txt", &time)) {
    candidate->portable = true;
    candidate->last_write_time = time;
  } else {
    if (!os::PathExists(folder + kSep + u"ZSL5")) {
      return fail(u"No ZSL5 folder in '");
    }
    const std::u16string config = folder + kSep + u"config" + kSep;
    if (os::LastWriteTime(config + u"accounts.dat", &time)) candidate->last_write_time = time;
    if (os::LastWriteTime(config + u"terminal.ini", &time) && time > candidate->last_write_time) {
      candidate->last_write_time = time;
    }
  }

  std::string bytes;
  if (!os::ReadFilePrefix(folder + kSep + u"origin.txt", kOriginMaxBytes, &bytes)) {
    return fail(u"No origin.txt in '");
  }
  std::u16string install;
  if (!OriginText(bytes, &install)) return false;
#ifndef _WIN32
  if (wine_prefix != nullptr) install = HostPathIn(*wine_prefix, install);
#else
  static_cast<void>(wine_prefix);
#endif
  std::u16string exe = Cut(install + kSep + u"terminal64.exe", kMaxTerminalPath);
  if (!os::PathExists(exe)) return false;
  candidate->exe_path = std::move(exe);
  return true;
}

bool DataFoldersBase(std::u16string* base) {
  std::u16string roaming;
  if (!os::RoamingFolder(&roaming) || roaming.empty()) return false;
  *base = Cut(roaming + kSep + kDataVendorFolder + kSep + kDataProductFolder + kSep, kMaxBaseUnits);
  return true;
}

bool ChooseTerminal(const std::u16string& base, TerminalCandidate* best,
                    const std::u16string* wine_prefix) {
  *best = TerminalCandidate{};
  std::vector<os::DirEntry> entries;
  if (!os::ListDirectory(base, &entries)) return false;
  // The terminal that started us is the one the user means, whatever the
  // times say.
  const std::u16string parent = os::ParentProcessImage();
  for (const os::DirEntry& entry : entries) {
    if (!entry.is_directory || entry.name.empty() || entry.name[0] == u'.') continue;
    TerminalCandidate current;
    const std::u16string folder = Cut(base + kSep + entry.name, kMaxDataFolderUnits);
    if (!InspectDataFolder(folder, &current, nullptr, wine_prefix)) continue;
    if (!parent.empty() && CanonicalPath(current.exe_path) == parent) {
      *best = std::move(current);
      break;
    }
    if (best->exe_path.empty() || best->last_write_time < current.last_write_time) {
      *best = std::move(current);
    }
  }
  return !best->exe_path.empty();
}

}  // namespace zk5
