// Where the terminal keeps its files, and how clients find it.
//
// An installation is the folder holding terminal64.exe. Its data folder is
// <roaming>/Brundel/Terminal/<ID>/, ID being the upper-case hexadecimal of
// the first 16 bytes of the installation folder's path digest (the same
// digest as the pipe name's, so equivalent spellings of a path agree). It
// holds origin.txt (the installation folder, UTF-16LE with byte-order
// mark), ZSL5/, config/terminal.ini, config/accounts.dat, config/symbols.dat
// (the market watch), bases/accounts.sqlite (the account store) and
// terminal.lock (held by the terminal that owns the data folder).
//
// A portable installation keeps all of that beside the executable and
// registers a data folder holding only portable.txt and origin.txt, so the
// client's search still finds it (and starts it with /portable).
#ifndef ZK5_TERMINAL_SERVER_INSTALLATION_H_
#define ZK5_TERMINAL_SERVER_INSTALLATION_H_

#include <string>

namespace zk5::term {

struct Installation {
  std::u16string exe;           // canonical path of terminal64.exe
  std::u16string install;       // the folder holding it
  std::u16string data;          // config/, ZSL5/, bases/ live here
  std::u16string registration;  // the folder under the roaming folder; empty without one
  std::u16string common;        // <roaming>/Brundel/Terminal/Common; empty without one
  bool portable = false;
  bool replay = false;  // the account store lives in data/replay/, not data/bases/

  std::u16string ConfigFile(const char16_t* name) const;  // data/config/name
  std::u16string BasesFolder() const;                     // data/bases, or data/replay in a replay
  std::u16string StoreFile() const;                       // data/bases/accounts.sqlite
  std::u16string LockFile() const;                        // data/terminal.lock
};

// The data-folder ID of an installation folder.
std::u16string DataFolderId(const std::u16string& install);

// Works out the folders for the executable at `exe`. False when the path
// has no folder part.
bool LocateInstallation(const std::u16string& exe, bool portable, Installation* out);

// Creates the folders and the registration files, and the default
// terminal.ini and accounts.dat when they are missing. Refreshes origin.txt
// (and portable.txt) so the registration reads as recently used.
bool RegisterInstallation(const Installation& inst);

// UTF-16LE bytes with the byte-order mark FF FE, as origin.txt holds them.
std::string Utf16LeWithBom(const std::u16string& text);

}  // namespace zk5::term

#endif  // ZK5_TERMINAL_SERVER_INSTALLATION_H_
