// terminal64.exe: the bundled simulated terminal.
//
//   terminal64.exe [/portable] [/reset-account:LOGIN] [/import[:FILE]...]
//                  [/import-columns:ROLE=NAME,...] [/import-timezone:ZONE]
//                  [/import-dates:dmy|mdy]
//   terminal64.exe [/portable] /data-path | /socket-path | /lock-path ...
//   terminal64.exe [/portable] /check-settings:FILE
//
// Serves the pipe named after its own path until it is stopped (SIGTERM,
// SIGINT, SIGHUP) or has had no client for the configured idle time. A
// second instance for the same installation, or for the same data folder
// whatever its socket folder, exits at once with status 1
// (kExitAnotherTerminal); with status 4 (kExitSocketReturning) when the
// terminal holding the data folder serves this same socket, removed for
// the moment (a cleaned socket folder): it makes it again within a second.
// With /reset-account it does not serve: it puts that account back to its
// first state and exits (0, or 2 for an unknown login).
// With /import it does not serve: it copies each FILE into <data>/import/,
// imports what is there and exits (0, or 3 when a file was rejected); the
// /import-... options say how to read those FILEs (see ImportOptions).
// With /data-path, /socket-path and /lock-path it prints, each on a line of
// its own in the order asked and as UTF-8, the data folder it uses (or will
// use at its first start), the socket (the pipe's name on Windows) it serves
// in this environment and the file whose lock it holds in the data folder
// while it runs, and exits: tools ask it rather than repeat how these are
// named, and find the running terminal through what it holds.
// With /check-settings:FILE it reads FILE as it would read
// config/terminal.ini at its start and exits with 0 when it would start
// with those settings, else with 2 and its reason on standard error (the
// message a start would give), so that a tool checks settings before it
// writes them.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "base/text.h"
#include "ipc/pipe_name.h"
#include "market/bars.h"
#include "market/import.h"
#include "market/market.h"
#include "market/prices.h"
#include "os/os.h"
#include "os/pipe_server.h"
#include "os/service.h"
#include "server/context.h"
#include "server/installation.h"
#include "server/server.h"

namespace {

// The text after "/word" (or "-word"), the word in any letter case; null
// when `arg` is another argument.
const char* FlagRest(const char* arg, const char* word) {
  if (arg[0] != '/' && arg[0] != '-') return nullptr;
  std::size_t i = 0;
  for (; word[i] != '\0'; ++i) {
    const char c = arg[1 + i];
    if (c == '\0' || (c | 0x20) != word[i]) return nullptr;
  }
  return arg + 1 + i;
}

bool IsPortableFlag(const char* arg) {
  const char* rest = FlagRest(arg, "portable");
  return rest != nullptr && *rest == '\0';
}

// "/reset-account:LOGIN": true with the login, which must be a positive
// decimal number.
bool ResetAccountFlag(const char* arg, std::uint64_t* login) {
  const char* rest = FlagRest(arg, "reset-account:");
  if (rest == nullptr || *rest < '1' || *rest > '9') return false;
  return zk5::text::ParseDecimal(rest, login);
}

// "/import" or "/import:FILE": true, with FILE (empty without one).
bool ImportFlag(const char* arg, std::string* file) {
  const char* rest = FlagRest(arg, "import");
  if (rest == nullptr) return false;
  if (*rest == '\0') return true;
  if (*rest != ':' || rest[1] == '\0') return false;
  *file = rest + 1;
  return true;
}

int ExistingDigits(const std::u16string& name) {
  const int sym = zk5::term::FindSymbol(name);
  return sym < 0 ? -1
                 : static_cast<int>(zk5::term::Symbols()[static_cast<std::size_t>(sym)].digits);
}

void LogOutcome(const zk5::term::ImportOutcome& o) {
  using zk5::term::SegmentKind;
  if (!o.ok) return;  // the importer says why
  const std::string name = zk5::text::Utf16ToUtf8(o.file.data(), o.file.size());
  const char* tf = zk5::term::TimeframeName(o.bar_minutes);
  std::fprintf(stderr, "terminal64.exe: imported %s: %llu rows of %s%s\n", name.c_str(),
               static_cast<unsigned long long>(o.rows),
               o.kind == SegmentKind::kTicks ? "ticks"
               : tf != nullptr               ? tf
                                             : "?",
               o.kind == SegmentKind::kTicks ? "" : " bars");
}

// Adds the custom symbols the store names that are not known yet, and
// binds the store to the symbols.
void AddCustomSymbols(zk5::term::HistoryStore* store) {
  using namespace zk5::term;
  for (const std::u16string& name : store->SymbolNames()) {
    if (FindSymbol(name) >= 0) continue;
    AddCustomSymbol(name, store->Digits(name),
                    static_cast<std::int32_t>(store->TypicalSpread(name)), store->HasTrades(name));
  }
  store->Bind();
}

// Loads all stored history and adds the custom symbols it names.
void LoadStored(const zk5::term::Installation& inst, zk5::term::HistoryStore* store) {
  store->Load(zk5::term::HistoryFolder(inst.data));
  AddCustomSymbols(store);
}

// Imports the files waiting in <data>/import/, then (with a store) loads
// all stored history and adds the custom symbols it names. False when a
// file was rejected.
bool LoadHistory(
    const zk5::term::Installation& inst, zk5::term::HistoryStore* store,
    const std::vector<std::pair<std::u16string, zk5::term::ImportOptions>>* options = nullptr) {
  using namespace zk5::term;
  bool all = true;
  for (const ImportOutcome& o : ImportFolder(inst.data, &ExistingDigits, options)) {
    LogOutcome(o);
    all = all && o.ok;
  }
  if (store != nullptr) LoadStored(inst, store);
  return all;
}

// <data>/import-progress.txt: how far the import running beside the
// serving is, for the tools (terminal status).
std::u16string ProgressFile(const zk5::term::Installation& inst) {
  return inst.data + zk5::os::kPathSeparator + u"import-progress.txt";
}

// Imports the files waiting in <data>/import/ on a thread of its own while
// the terminal serves. Each file joins the served history whole once it is
// stored: a request sees the history before it or after it, never part of
// it. The progress file is rewritten at every tenth of a percent.
void ImportBeside(const zk5::term::Installation& inst, zk5::term::Terminal* terminal,
                  zk5::term::HistoryStore* store) {
  using namespace zk5;
  const std::u16string progress_file = ProgressFile(inst);
  terminal->SetImporting(true);
  std::thread([inst, terminal, store, progress_file] {
    std::uint64_t imported = 0, rejected = 0, postponed = 0;
    std::int64_t shown = -1;
    std::size_t shown_file = 0;
    auto write = [&](const term::ImportProgress& p, const char* state) {
      auto line = [](const char* key, std::uint64_t n) {
        return std::string(key) + "=" + std::to_string(n) + "\n";
      };
      const std::string text = std::string("state=") + state +
                               "\nfile=" + zk5::text::Utf16ToUtf8(p.file.data(), p.file.size()) +
                               "\n" + line("file_number", p.file_number) + line("files", p.files) +
                               line("bytes_done", p.bytes_done) +
                               line("bytes_total", p.bytes_total) + line("imported", imported) +
                               line("rejected", rejected) + line("postponed", postponed);
      os::WriteFileAtomic(progress_file, text, false);
    };
    term::ImportProgress last;
    const std::u16string history = term::HistoryFolder(inst.data);
    term::ImportFolder(inst.data, &ExistingDigits, nullptr, [&](const term::ImportProgress& p) {
      last = p;
      last.outcome = nullptr;
      if (p.outcome != nullptr) {
        LogOutcome(*p.outcome);
        ++(p.outcome->ok ? imported : p.outcome->postponed ? postponed : rejected);
        if (!p.stored.empty()) {
          // Read before the requests are held: they wait only for the swap.
          std::string bytes;
          term::SegmentHeader h;
          std::size_t at = 0;
          if (term::ReadSegmentFile(history + os::kPathSeparator + p.stored, &bytes, &h, &at)) {
            terminal->ChangeMarket([&] {
              store->Add(p.stored, std::move(h), std::move(bytes), at);
              AddCustomSymbols(store);
            });
          }
        }
      }
      const std::int64_t permille =
          p.bytes_total == 0 ? 0
                             : static_cast<std::int64_t>(std::min(p.bytes_done, p.bytes_total) *
                                                         1000 / p.bytes_total);
      if (p.outcome != nullptr || permille != shown || p.file_number != shown_file) {
        shown = permille;
        shown_file = p.file_number;
        write(p, "importing");
      }
    });
    if (last.files != 0) write(last, "done");
    terminal->SetImporting(false);
  }).detach();
}

// A replay's accounts start afresh: the replay folder is emptied.
void ClearFolder(const std::u16string& folder) {
  std::vector<zk5::os::DirEntry> entries;
  if (zk5::os::ListDirectory(folder, &entries)) {
    for (const zk5::os::DirEntry& e : entries) {
      if (!e.is_directory) zk5::os::RemoveFile(folder + zk5::os::kPathSeparator + e.name);
    }
  }
  zk5::os::MakeDirectories(folder);
}

// "YYYY-MM-DD HH:MM" of UTC milliseconds since 1970.
// Where a replay without To ends: where the imported history that goes on
// after From ends (the latest of its symbols), never later than now; with
// none, now, the moment it starts.
std::int64_t ReplayEnd(const zk5::term::HistoryStore& history, const zk5::term::Settings& s,
                       std::int64_t now) {
  std::int64_t end = 0;
  for (std::size_t sym = 0; sym < zk5::term::Symbols().size(); ++sym) {
    std::int64_t first = 0, last = 0;
    if (history.Span(static_cast<int>(sym), &first, &last) && (last + 1) * 60000 > s.replay_from_ms)
      end = std::max(end, (last + 1) * 60000);
  }
  return end == 0 ? now : std::min(end, now);
}

std::string FormatUtc(std::int64_t ms) {
  const std::int64_t minutes = zk5::term::FloorDiv(ms, 60000);
  const std::int64_t days = zk5::term::FloorDiv(minutes, 1440);
  std::int64_t y;
  unsigned m, d;
  zk5::term::CivilFromDays(days, &y, &m, &d);
  const std::int64_t of_day = minutes - days * 1440;
  char text[48];
  std::snprintf(text, sizeof text, "%04lld-%02u-%02u %02lld:%02lld", static_cast<long long>(y), m,
                d, static_cast<long long>(of_day / 60), static_cast<long long>(of_day % 60));
  return text;
}

int Fail(const char* what) {
  std::fprintf(stderr, "terminal64.exe: %s\n", what);
  return 2;
}

std::string Narrow(const std::u16string& s) { return zk5::text::Utf16ToUtf8(s.data(), s.size()); }

// A path as the bytes the system names it by (a name that is not UTF-8
// stays the bytes it was), for tools that use it.
std::string PathBytes(const std::u16string& path) {
  std::string bytes;
  return zk5::text::FsEncode(path.data(), path.size(), &bytes) ? bytes : Narrow(path);
}

// Why the settings cannot start the terminal with this history, or empty. A
// replay runs inside the data: from the first minute any symbol has up to
// now.
std::string SettingsProblem(const zk5::term::Settings& settings,
                            const zk5::term::HistoryStore& history) {
  using namespace zk5;
  if (!settings.replay_error.empty()) return settings.replay_error;
  if (!settings.replay) return {};
  std::int64_t first = term::kHistoryStartMinute;
  for (std::size_t sym = 0; sym < term::Symbols().size(); ++sym) {
    std::int64_t f = 0, l = 0;
    if (history.Span(static_cast<int>(sym), &f, &l)) first = std::min(first, f);
  }
  const std::int64_t now = os::NowMs();
  if (settings.replay_from_ms < first * 60000 || settings.replay_from_ms > now) {
    return "[Replay] From=" + FormatUtc(settings.replay_from_ms) +
           " is outside the price history, which covers " + FormatUtc(first * 60000) + " to now (" +
           FormatUtc(now) + " UTC)";
  }
  if (settings.replay_to_ms > now) {
    return "[Replay] To=" + FormatUtc(settings.replay_to_ms) + " is after now (" + FormatUtc(now) +
           " UTC): a replay ends in the past";
  }
  return {};
}

// What /data-path, /socket-path and /lock-path ask for.
enum class Asked { kDataPath, kSocketPath, kLockPath };

// Prints the paths asked, one a line. 0, or 2 when one cannot be told.
int PrintPaths(const zk5::term::Installation& inst, const std::vector<Asked>& asked) {
  using namespace zk5;
  std::string out;
  for (const Asked a : asked) {
    std::u16string path;
    if (a == Asked::kDataPath) {
      path = inst.data;
    } else if (a == Asked::kLockPath) {
      path = inst.LockFile();
    } else {
      std::uint8_t digest[32];
      if (!PathHash(inst.exe, digest)) return Fail("cannot compute the pipe name");
      if (const std::uint32_t err = os::PipeAddress(PipeNameFromHash(digest), &path)) {
        const std::string why = "cannot tell the socket in " + Narrow(os::SocketFolderName()) +
                                ": " + os::ErrorText(err);
        return Fail(why.c_str());
      }
    }
    out += PathBytes(path) + "\n";
  }
  std::fputs(out.c_str(), stdout);
  return std::fflush(stdout) == 0 ? 0 : 2;
}

// /check-settings:FILE: 0 when the terminal would start with FILE as its
// terminal.ini, else 2 with the reason. Reads the stored history, as a
// start does, but writes nothing.
int CheckSettings(const zk5::term::Installation& inst, const std::string& file) {
  using namespace zk5;
  std::string ini;
  if (!os::ReadWholeFile(text::FsDecode(file.data(), file.size()), &ini)) {
    const std::string why = "cannot read " + file;
    return Fail(why.c_str());
  }
  const term::Settings settings = term::ParseSettings(ini);
  term::HistoryStore history;
  if (settings.replay_error.empty() && settings.replay) LoadStored(inst, &history);
  const std::string problem = SettingsProblem(settings, history);
  return problem.empty() ? 0 : Fail(problem.c_str());
}

std::u16string Join(const std::u16string& dir, const char16_t* name) {
  return dir + zk5::os::kPathSeparator + name;
}

// "<name>.tmp<digits>": what an atomic write leaves when the process dies
// in the middle of it.
bool IsTempFile(const std::u16string& name) {
  const std::size_t at = name.rfind(u".tmp");
  if (at == std::u16string::npos || at == 0 || at + 4 == name.size()) return false;
  for (std::size_t i = at + 4; i < name.size(); ++i) {
    if (name[i] < u'0' || name[i] > u'9') return false;
  }
  return true;
}

// The data folder and everything in it private to this user; temporary
// files of a terminal that was killed removed. Only the owner of the data
// folder's lock does this.
void TidyDataFolder(const zk5::term::Installation& inst) {
  using namespace zk5;
  // Every folder the terminal writes into.
  const std::u16string import = Join(inst.data, u"import");
  std::vector<std::u16string> folders = {
      Join(inst.data, u"config"),  Join(inst.data, u"bases"),  Join(inst.data, u"ZSL5"),
      Join(inst.data, u"history"), Join(inst.data, u"replay"), import,
      Join(import, u"done"),       Join(import, u"failed"),    inst.data};
  if (!inst.registration.empty() && inst.registration != inst.data) {
    folders.push_back(inst.registration);
  }
  for (const std::u16string& dir : folders) {
    std::vector<os::DirEntry> entries;
    // Never through a link: only what is inside the data folder is tidied.
    if (os::KindOfPath(dir) != os::FileKind::kFolder || !os::ListDirectory(dir, &entries)) continue;
    // A portable installation's folder is the user's own: only the files
    // the terminal keeps there are made private.
    const bool own = dir != inst.install;
    if (own) os::RestrictToOwner(dir);
    for (const os::DirEntry& e : entries) {
      if (e.is_directory) continue;
      const std::u16string path = Join(dir, e.name.c_str());
      if (IsTempFile(e.name) && os::KindOfPath(path) == os::FileKind::kRegular) {
        os::RemoveFile(path);
      } else if (own || e.name == u"terminal.lock" || e.name == u"origin.txt" ||
                 e.name == u"portable.txt") {
        os::RestrictToOwner(path);
      }
    }
  }
}

// A stopped terminal leaves its account store as one file, so that a
// copy of that file is a whole backup.
void CloseStore(zk5::term::Terminal* terminal) {
  if (!terminal->Close()) {
    std::fprintf(stderr,
                 "terminal64.exe: cannot fold the log of the account store into its file: the "
                 "store is kept with its -wal file\n");
  }
}

}  // namespace

int main(int argc, char** argv) {
  using namespace zk5;
  bool portable = false;
  std::uint64_t reset_login = 0;
  bool import_only = false;
  std::vector<Asked> asked;
  bool check_settings = false;
  std::string settings_file;
  std::vector<std::string> import_files;
  term::ImportOptions import_options;
  for (int i = 1; i < argc; ++i) {
    std::string file;
    std::string bad;
    if (const char* cols = FlagRest(argv[i], "import-columns:"); cols != nullptr) {
      if (!term::ParseImportColumns(cols, &import_options, &bad)) return Fail(bad.c_str());
    } else if (const char* zone = FlagRest(argv[i], "import-timezone:"); zone != nullptr) {
      if (!term::ParseImportZone(zone, &import_options, &bad)) return Fail(bad.c_str());
    } else if (const char* order = FlagRest(argv[i], "import-dates:"); order != nullptr) {
      if (!term::ParseImportDateOrder(order, &import_options, &bad)) return Fail(bad.c_str());
    } else if (IsPortableFlag(argv[i])) {
      portable = true;
    } else if (const char* data = FlagRest(argv[i], "data-path"); data && *data == '\0') {
      asked.push_back(Asked::kDataPath);
    } else if (const char* sock = FlagRest(argv[i], "socket-path"); sock && *sock == '\0') {
      asked.push_back(Asked::kSocketPath);
    } else if (const char* lock = FlagRest(argv[i], "lock-path"); lock && *lock == '\0') {
      asked.push_back(Asked::kLockPath);
    } else if (const char* ini = FlagRest(argv[i], "check-settings")) {
      if (ini[0] != ':' || ini[1] == '\0') return Fail("/check-settings:FILE names no file");
      check_settings = true;
      settings_file = ini + 1;
    } else if (FlagRest(argv[i], "reset-account") != nullptr &&
               !ResetAccountFlag(argv[i], &reset_login)) {
      return Fail("the login of /reset-account:LOGIN must be a positive number");
    } else if (ImportFlag(argv[i], &file)) {
      import_only = true;
      if (!file.empty()) import_files.push_back(file);
    }
  }

  const std::u16string exe = os::ExecutablePath();
  term::Installation inst;
  if (exe.empty() || !term::LocateInstallation(exe, portable, &inst)) {
    return Fail("cannot tell where the executable is");
  }
  if (!asked.empty()) return PrintPaths(inst, asked);
  if (check_settings) return CheckSettings(inst, settings_file);
  std::uint8_t digest[32];
  if (!PathHash(exe, digest)) return Fail("cannot compute the pipe name");
  if (!os::InstallStopSignals()) return Fail("cannot install the signal handlers");
  // Account data is for this user alone.
  os::MakeCreatedFilesPrivate();

  // The lock file of the data folder notes the socket its holder serves.
  std::u16string address;
  os::PipeAddress(PipeNameFromHash(digest), &address);
  std::int64_t holder = 0;
  std::string holder_note;
  const auto returning = [&] {
    std::fprintf(stderr,
                 "terminal64.exe: the data folder %s is in use by the terminal serving this "
                 "installation (pid %lld), whose socket %s is missing: it makes it again\n",
                 Narrow(inst.data).c_str(), static_cast<long long>(holder),
                 Narrow(address).c_str());
    return kExitSocketReturning;
  };
#ifndef _WIN32
  // This very socket's terminal, its socket file removed for the moment:
  // claiming the name meanwhile could make it give up its socket.
  if (!address.empty() && os::LockHeld(inst.LockFile(), &holder, &holder_note) &&
      holder_note == PathBytes(address) && !os::PathExists(address)) {
    return returning();
  }
#endif

  // Claim the name first, so a second instance leaves everything untouched.
  os::PipeServer server;
  std::uint32_t err = 0;
  switch (server.Listen(PipeNameFromHash(digest), os::PipeServer::kManyInstances, &err)) {
    case os::ListenStatus::kAlreadyServed:
      std::fprintf(stderr, "terminal64.exe: this installation is already running\n");
      return kExitAnotherTerminal;
    case os::ListenStatus::kUnsafeFolder: {
      // Someone else's folder, or one open to others, would let another
      // user put a fake terminal in the clients' way.
      const std::string dir = Narrow(os::SocketFolderName());
      std::fprintf(stderr,
                   "terminal64.exe: cannot serve the pipe: the socket folder %s is not private "
                   "to this user (another user created it, or others may write to it). Remove "
                   "it if it is yours, or set XDG_RUNTIME_DIR to a folder of your own with "
                   "mode 0700 (such as /run/user/<uid>) and start again.\n",
                   dir.c_str());
      return 2;
    }
    case os::ListenStatus::kError:
      std::fprintf(stderr, "terminal64.exe: cannot serve the pipe: %s\n",
                   os::ErrorText(err).c_str());
      return 2;
    case os::ListenStatus::kOk:
      break;
  }
  // One owner per data folder, whichever socket folder it serves: the lock
  // lives in the data folder itself.
  if (!os::MakeDirectories(inst.data)) {
    std::fprintf(stderr, "terminal64.exe: cannot create the data folder %s\n",
                 Narrow(inst.data).c_str());
    return 2;
  }
  // The lock file notes the socket served, so that a terminal started for
  // the same pipe while this one's socket is missing knows it comes back.
  std::uint32_t lock_error = 0;
  switch (
      os::LockForLife(inst.LockFile(), PathBytes(address), &holder, &holder_note, &lock_error)) {
    case os::LockStatus::kHeld:
      if (!address.empty() && holder_note == PathBytes(address)) return returning();
      std::fprintf(stderr,
                   "terminal64.exe: the data folder %s is in use by another terminal "
                   "(pid %lld)\n",
                   Narrow(inst.data).c_str(), static_cast<long long>(holder));
      return kExitAnotherTerminal;
    case os::LockStatus::kError:
      std::fprintf(stderr, "terminal64.exe: cannot lock the data folder %s: %s\n",
                   Narrow(inst.data).c_str(), os::ErrorText(lock_error).c_str());
      return 2;
    case os::LockStatus::kLocked:
      break;
  }
  TidyDataFolder(inst);
  if (!term::RegisterInstallation(inst)) {
    std::fprintf(stderr, "terminal64.exe: cannot write the data folder %s\n",
                 Narrow(inst.data).c_str());
  }
  std::string ini;
  os::ReadWholeFile(inst.ConfigFile(u"terminal.ini"), &ini);
  term::Settings settings = term::ParseSettings(ini);
  if (!settings.replay_error.empty()) {
    // Before anything is served or written: a replay on other terms, or
    // none, must not trade in its place.
    std::fprintf(stderr, "terminal64.exe: %s; fix it in %s\n", settings.replay_error.c_str(),
                 Narrow(inst.ConfigFile(u"terminal.ini")).c_str());
    server.Close();
    return 2;
  }

  if (import_only) {
    // The pipe is claimed: no running instance reads the folders meanwhile.
    bool copied = true;
    std::vector<std::pair<std::u16string, term::ImportOptions>> options;
    const std::u16string folder = inst.data + os::kPathSeparator + u"import";
    // Copies go into the import folder itself, never through a link.
    if (!import_files.empty() && !os::MakeRealFolder(folder)) {
      std::fprintf(stderr,
                   "terminal64.exe: cannot import: %s is not a folder inside the data folder\n",
                   Narrow(folder).c_str());
      import_files.clear();
      copied = false;
    }
    for (const std::string& file : import_files) {
      const std::u16string from = text::Utf8ToUtf16(file.data(), file.size());
      const std::size_t slash = from.find_last_of(u"/\\");
      const std::u16string name = slash == std::u16string::npos ? from : from.substr(slash + 1);
      std::u16string symbol;
      term::ImportKind kind;
      // Only a name of an import file goes into the folder: nothing lands
      // outside it or in its place.
      if (!term::ImportFileName(name, &symbol, &kind)) {
        std::fprintf(stderr,
                     "terminal64.exe: cannot import %s: the file name is not <SYMBOL>.csv, "
                     "<SYMBOL>.<TIMEFRAME>.csv or <SYMBOL>.ticks.csv with a symbol name\n",
                     file.c_str());
        copied = false;
        continue;
      }
      options.emplace_back(name, import_options);
      const std::u16string to = folder + os::kPathSeparator + name;
      if (!os::CopyFileAtomic(from, to)) {
        std::fprintf(stderr, "terminal64.exe: cannot copy %s into the import folder\n",
                     file.c_str());
        copied = false;
      }
    }
    const bool imported = LoadHistory(inst, nullptr, &options);
    server.Close();
    std::fflush(nullptr);
    std::_Exit(copied && imported ? 0 : 3);
  }

  // Price history the user dropped into import/, and what was stored
  // before; lives until the process ends, as the terminal does.
  auto* history = new term::HistoryStore();
  // A replay begins inside the history, and a reset does not serve: both
  // import first. Otherwise the terminal serves the history stored so far
  // at once, and imports beside it.
  const bool beside = !settings.replay && reset_login == 0;
  os::RemoveFile(ProgressFile(inst));  // an earlier run's
  if (beside) {
    LoadStored(inst, history);
  } else {
    LoadHistory(inst, history);
  }
  if (settings.replay) {
    const std::string problem = SettingsProblem(settings, *history);
    if (!problem.empty()) {
      std::fprintf(stderr, "terminal64.exe: %s; fix it in %s\n", problem.c_str(),
                   Narrow(inst.ConfigFile(u"terminal.ini")).c_str());
      server.Close();
      return 2;
    }
    if (settings.replay_to_ms == 0)
      settings.replay_to_ms = ReplayEnd(*history, settings, os::NowMs());
    inst.replay = true;
    ClearFolder(inst.BasesFolder());
  }

  // Lives until the process ends: connection threads may still hold it.
  auto* terminal = new term::Terminal(inst, settings, history);
  std::string problem;
  if (!terminal->Load(&problem, settings.durable)) {
    std::fprintf(stderr, "terminal64.exe: %s\n", problem.c_str());
    return 2;
  }
  if (!problem.empty()) std::fprintf(stderr, "terminal64.exe: %s\n", problem.c_str());
  if (reset_login != 0) {
    // The data folder is locked, so no running instance holds the account.
    const bool reset = terminal->ResetAccount(reset_login);
    if (!reset) {
      std::fprintf(stderr,
                   "terminal64.exe: cannot reset account %llu: no such account or "
                   "its data cannot be written\n",
                   static_cast<unsigned long long>(reset_login));
    }
    CloseStore(terminal);
    server.Close();
    std::fflush(nullptr);
    std::_Exit(reset ? 0 : 2);
  }
  // The market went on while the terminal was not running.
  terminal->CatchUp();
  if (beside) ImportBeside(inst, terminal, history);
  const term::ExitReason why = term::Serve(*terminal, server, settings.idle_exit_sec * 1000);
  {
    // Not while an import adds symbols.
    const auto market = terminal->ReadMarket();
    terminal->SaveState();
    CloseStore(terminal);
  }
  if (why == term::ExitReason::kNameLost) {
    // Unreachable, it would only hold the data folder's lock: leave.
    std::fprintf(
        stderr,
        "terminal64.exe: the socket folder %s was removed or replaced and the socket cannot be "
        "made again there: stopping\n",
        Narrow(os::SocketFolderName()).c_str());
    server.Close();
    std::fflush(nullptr);
    std::_Exit(1);
  }
  server.Close();
  std::fflush(nullptr);
  // Connection threads may still be running: leave without running static
  // destructors under them. Every confirmed change is already on disk, and
  // the store is one file.
  std::_Exit(0);
}
