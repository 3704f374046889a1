// Import of the user's price history: CSV files dropped into
// <data>/import/ are read at start, checked whole, and stored in binary
// under <data>/history/ (see history_store.h). An imported file moves to
// import/done/; a rejected one to import/failed/ with <file>.err beside it
// naming the line and the reason, and nothing of it is kept.
//
//   <SYMBOL>.<TF>.csv   bars of that timeframe (M1 .. M30, H1 .. H12, D1)
//   <SYMBOL>.ticks.csv  ticks
//   <SYMBOL>.csv        bars or ticks as the header says, bars of the
//                       timeframe their times are spaced by
//
// The header names the columns, in any order and letter case, by their
// usual names (time, datetime, date + time, timestamp, "gmt time", open,
// high, low, close, volume or tick_volume, spread, real_volume; time_msc,
// bid, ask, last, volume, flags; the <DATE>\t<TIME>... layout trading
// terminals export); ImportOptions names the others. Comma, semicolon or tab
// parts the fields. Times are seconds or milliseconds since 1970, or a date
// (2024-03-04, 2024.03.04, 2024/03/04, 20240304; day and month first only
// when told which) with a time of day [HH:MM[:SS[.fff]]] and an ISO 8601
// zone; without a zone they are UTC, or local to ImportOptions::zone. The
// text is UTF-8 (a byte-order mark is skipped) or UTF-16 with a byte-order
// mark. Bars strictly increase in time and open on their timeframe's
// boundary, ticks do not go back.
#ifndef ZK5_TERMINAL_MARKET_IMPORT_H_
#define ZK5_TERMINAL_MARKET_IMPORT_H_

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "market/history_store.h"

namespace zk5::term {

// How to read a file beyond what its header and name say.
struct ImportOptions {
  // Column names for roles ("time", "date", "open", ..., "volume"), as
  // role=name pairs; with them, columns of no known role are ignored.
  std::vector<std::pair<std::string, std::string>> columns;
  // Times without a zone are local: from `zone[i].first` (UTC ms) on, the
  // offset east of UTC is zone[i].second seconds (zone[0] from the start
  // of time). Empty: they are UTC.
  std::vector<std::pair<std::int64_t, std::int32_t>> zone;
  // 'd' or 'm': dates like 03/04/2024 give the day or the month first;
  // 0: such dates are refused as ambiguous.
  char date_order = 0;
};

// Reads the command-line forms: "role=name,role=name", the zone as
// "OFFSET" or "OFFSET;FROM_MS:OFFSET;..." (seconds east of UTC), "dmy" or
// "mdy". False with the reason when one is malformed.
bool ParseImportColumns(const std::string& text, ImportOptions* o, std::string* error);
bool ParseImportZone(const std::string& text, ImportOptions* o, std::string* error);
bool ParseImportDateOrder(const std::string& text, ImportOptions* o, std::string* error);

// The standard timeframes bars may be imported in, in minutes; and their
// names ("M1", "H4", "D1"); 0 / null for others.
int TimeframeMinutes(const std::u16string& name);
const char* TimeframeName(std::int64_t minutes);

// A parsed file, ready to be stored; or the first fault found in it.
struct ParsedHistory {
  bool ok = false;
  std::uint64_t line = 0;  // of the fault; 0 when it is the file as a whole
  std::string error;
  SegmentHeader header;
  std::string records;  // in the stored layout
};

// "YYYY-MM-DD HH:MM[:SS[.fff]]" (a 'T' may part date and time; up to nine
// fraction digits, those past the millisecond dropped), then optionally
// "Z" or an offset "+HH:MM" / "-HHMM" / "+HH" (the time is then local to it),
// as UTC milliseconds since 1970; `*seconds` and `*fraction` tell what was
// given.
bool ParseDateTime(const char* begin, const char* end, std::int64_t* ms, bool* seconds,
                   bool* fraction);

// The longest symbol name (UTF-16 units) a client can send.
constexpr std::size_t kMaxSymbolUnits = 29;
// The largest file imported (4 GiB), and the longest line in one.
constexpr std::uint64_t kMaxImportBytes = std::uint64_t{4} << 30;
constexpr std::size_t kMaxImportLineBytes = 4096;

// Whether `name` can be a symbol's name: 1 to kMaxSymbolUnits units, no
// control characters, no path separators or other characters file names
// cannot hold, no "..", not ".".
bool IsSymbolName(const std::u16string& name);

// What an import file's name says: its kind, and for bars their
// timeframe in minutes; `known` false when the header is to tell the kind
// and the times the timeframe (a plain <SYMBOL>.csv).
struct ImportKind {
  bool known = true;
  SegmentKind kind = SegmentKind::kBars;
  int bar_minutes = 1;
};

// Whether `file_name` names an import file: its symbol and kind.
bool ImportFileName(const std::u16string& file_name, std::u16string* symbol, ImportKind* kind);

// Parses a whole CSV text (the terminal reads files piece by piece the
// same way: memory grows with the rows, not with the text). `digits` < 0: a new symbol, whose
// digits the data decides; else prices are rounded to that many digits.
ParsedHistory ParseHistoryCsv(const std::string& text, const ImportKind& kind,
                              const std::u16string& symbol, int digits,
                              const ImportOptions& options = ImportOptions());

// `text` as messages show it: control characters (NUL among them) and
// bytes that are not UTF-8 as \xNN, a backslash as \\.
std::string ShownText(const char* begin, const char* end);

struct ImportOutcome {
  std::u16string file;
  bool ok = false;
  std::string error;  // "line N: reason" when rejected
  std::uint64_t rows = 0;
  SegmentKind kind = SegmentKind::kBars;
  std::int64_t bar_minutes = 1;
  bool postponed = false;  // good, but it could not be stored: tried again at the next start
};

// Where an import stands, told as it reads (at least after every piece
// of a file, and once more when the file is done, with `outcome` set).
struct ImportProgress {
  std::size_t file_number = 0;  // 1 for the first file, of `files`
  std::size_t files = 0;
  std::u16string file;
  std::uint64_t bytes_done = 0;  // of all the files
  std::uint64_t bytes_total = 0;
  const ImportOutcome* outcome = nullptr;
  std::u16string stored;  // the history file the file became (with `outcome`)
};
using ImportObserver = std::function<void(const ImportProgress&)>;

// Imports every CSV file of <data>/import/ in name order into
// <data>/history/; `existing_digits(name)` gives a known symbol's digits
// or -1. Only regular files are read, never through a link, and import/,
// its done/ and failed/, and history/ must be real folders (else nothing
// is imported, and the reason is logged). Anything else named like an
// import file (a link, a FIFO, a device, a folder), a bad name, a file
// over kMaxImportBytes or a malformed one goes to import/failed/ with
// <file>.err; a good file that cannot be stored (a full disk) stays in
// import/ for the next start. A file whose writer holds a write lock on it
// is read once the writer lets go (os::WaitForWriters).
// `options` (may be null) holds the options of files by name; others are
// read with none. `observer`, when given, hears how far it is.
std::vector<ImportOutcome> ImportFolder(
    const std::u16string& data, int (*existing_digits)(const std::u16string&),
    const std::vector<std::pair<std::u16string, ImportOptions>>* options = nullptr,
    const ImportObserver& observer = nullptr);

// <data>/history/
std::u16string HistoryFolder(const std::u16string& data);

}  // namespace zk5::term

#endif  // ZK5_TERMINAL_MARKET_IMPORT_H_
