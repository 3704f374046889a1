// Finding an installed terminal through its data folders.
//
// Every installed terminal keeps a data folder of its own under the user's
// roaming folder, in Brundel/Terminal/, whose origin.txt names the
// installation folder. The search picks the terminal that started us, else
// the one whose data was written last. Connecting to the chosen terminal is
// the client's (CInterClient::ConnectToFoundTerminal).
#ifndef ZK5_CLIENT_CONNECTION_SEARCH_H_
#define ZK5_CLIENT_CONNECTION_SEARCH_H_

#include <cstdint>
#include <string>

namespace zk5 {

struct TerminalCandidate {
  std::u16string exe_path;  // empty: not a candidate
  std::uint64_t last_write_time = 0;
  bool portable = false;
};

// Checks data folder `folder` and fills *candidate. True when the
// installation's terminal64.exe exists. A missing ZSL5 or origin.txt writes
// its reason to *reason when given; other outcomes leave it alone. With
// `wine_prefix`, the data folder belongs to a Windows terminal under Wine,
// whose origin.txt names a Windows folder of that prefix.
bool InspectDataFolder(const std::u16string& folder, TerminalCandidate* candidate,
                       std::u16string* reason = nullptr,
                       const std::u16string* wine_prefix = nullptr);

// The folder holding the data folders, ending in a separator. False when the
// user has no roaming folder.
bool DataFoldersBase(std::u16string* base);

// Examines the data folders in `base` in the order the system lists them
// and puts the chosen one in *best. False when none is a candidate.
bool ChooseTerminal(const std::u16string& base, TerminalCandidate* best,
                    const std::u16string* wine_prefix = nullptr);

}  // namespace zk5

#endif  // ZK5_CLIENT_CONNECTION_SEARCH_H_
