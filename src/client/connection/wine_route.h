// How a POSIX client reaches a Windows terminal that runs under Wine.
//
// A terminal path whose file is a Windows program is reached through Wine:
// its prefix is the folder above drive_c in the resolved path (else the
// default prefix, os::DefaultWinePrefix), its Windows path comes from the
// prefix's drives (the dosdevices links, as `winepath -w` finds them), and
// its pipe name is derived from the final path the terminal sees for
// itself under Wine ("\\?\C:\..."), exactly as on Windows. POSIX only.
#ifndef ZK5_CLIENT_CONNECTION_WINE_ROUTE_H_
#define ZK5_CLIENT_CONNECTION_WINE_ROUTE_H_

#include <cstdint>
#include <string>

#include "os/wine.h"

namespace zk5 {

// Whether the file at `path` is a Windows program (an "MZ" image whose
// header points at a "PE\0\0" signature).
bool IsWindowsProgram(const std::u16string& path);

// The prefix of a program at the resolved path `host_path`: the folder
// above its last "drive_c" component, else the default prefix.
std::u16string WinePrefixOf(const std::u16string& host_path);

// The Windows path ("C:\dir\file") of the resolved `host_path` through the
// drive of `prefix` whose folder holds it most closely; empty when no drive
// holds it.
std::u16string WindowsPathIn(const std::u16string& prefix, const std::u16string& host_path);

// The path of this system for `windows_path` ("C:\dir") in `prefix`, or
// empty when it names no drive.
std::u16string HostPathIn(const std::u16string& prefix, const std::u16string& windows_path);

// Whether `prefix` is a Wine prefix that has been set up (its drive links
// exist).
bool IsWinePrefix(const std::u16string& prefix);

struct WineRoute {
  os::WineSetup setup;
  std::uint8_t digest[32] = {};
  std::u16string pipe_name;  // as the terminal under Wine derives it
};

// Plans the way to the Windows terminal at `path`, with `relay` as the relay
// program. Empty on success, else the reason it cannot be reached.
std::u16string PlanWineRoute(const std::u16string& path, const std::u16string& relay,
                             WineRoute* route);

// The folder holding the data folders of terminals run by the default
// prefix's user (drive_c/users/<user>/AppData/Roaming/Brundel/Terminal/),
// with the prefix. False when there is no such prefix.
bool WineDataFoldersBase(std::u16string* base, std::u16string* prefix);

}  // namespace zk5

#endif  // ZK5_CLIENT_CONNECTION_WINE_ROUTE_H_
