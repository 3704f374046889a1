// The pipe name of a terminal, derived from its executable path.
//
// The name is the SHA-256 digest of the lower-cased canonical path. The
// client connects by it and the bundled terminal listens on it, so both use
// this one unit, and the folder where terminals keep their data folders.
#ifndef ZK5_COMMON_IPC_PIPE_NAME_H_
#define ZK5_COMMON_IPC_PIPE_NAME_H_

#include <cstddef>
#include <cstdint>
#include <string>

namespace zk5 {

// Where terminals keep their data folders, one per installation: these two
// folders, one inside the other, in the user's roaming folder.
constexpr char16_t kDataVendorFolder[] = u"Brundel";
constexpr char16_t kDataProductFolder[] = u"Terminal";

// Exit statuses of a terminal that leaves as it starts because another
// terminal is in its way: one serves its pipe, or holds its data folder
// while serving another pipe (kExitAnotherTerminal); or the one that holds
// its data folder serves this very pipe, but its socket is missing (its
// folder was cleaned), and makes it again within a second
// (kExitSocketReturning): a client that launched it waits for the pipe.
constexpr int kExitAnotherTerminal = 1;
constexpr int kExitSocketReturning = 4;

// Paths longer than this many units are refused ("Path too long").
constexpr std::size_t kMaxTerminalPath = 260;

// The canonical form of a path: its final path when the file exists, else
// the path as given cut to 260 units.
std::u16string CanonicalPath(const std::u16string& path);
// "\\.\pipe\ZK5.Terminal." and the digest in upper-case hexadecimal.
std::u16string PipeNameFromHash(const std::uint8_t digest[32]);
// SHA-256 of the lower-cased canonical path, as UTF-16LE units. False when
// the digest cannot be computed.
bool PathHash(const std::u16string& path, std::uint8_t digest[32]);
// The same digest of a path already in canonical form, such as the final
// path a Windows terminal under Wine sees for itself.
bool CanonicalPathHash(std::u16string canonical, std::uint8_t digest[32]);

}  // namespace zk5

#endif  // ZK5_COMMON_IPC_PIPE_NAME_H_
