// Import of the user's price history: CSV files dropped into
// <data>/import/ are read at start, checked whole, and stored in binary
// under <data>/history/ (see history_store.h). An imported file moves to
// import/done/; a rejected one to import/failed/ with <file>.err beside it
// naming the line and the reason, and nothing of it is kept.
//
//   <SYMBOL>.M1.csv     time,open,high,low,close,tick_volume[,spread[,real_volume]]
//   <SYMBOL>.ticks.csv  time_msc,bid,ask[,last[,volume[,flags]]]
//
// `time` is UTC seconds since 1970 or "YYYY-MM-DD HH:MM[:SS]" (whole
// minutes); `time_msc` milliseconds since 1970 or
// "YYYY-MM-DD HH:MM:SS[.fff]". Bars strictly increase in time, ticks do not
// go back.
#ifndef ZK5_TERMINAL_MARKET_IMPORT_H_
#define ZK5_TERMINAL_MARKET_IMPORT_H_

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "market/history_store.h"

namespace zk5::term {

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
// cannot hold, no "..".
bool IsSymbolName(const std::u16string& name);

// Whether `file_name` names an import file: its symbol and kind.
bool ImportFileName(const std::u16string& file_name, std::u16string* symbol, SegmentKind* kind);

// Parses a whole CSV text (the terminal reads files piece by piece the
// same way: memory grows with the rows, not with the text). `digits` < 0: a new symbol, whose
// digits the data decides; else prices are rounded to that many digits.
ParsedHistory ParseHistoryCsv(const std::string& text, SegmentKind kind,
                              const std::u16string& symbol, int digits);

struct ImportOutcome {
  std::u16string file;
  bool ok = false;
  std::string error;  // "line N: reason" when rejected
  std::uint64_t rows = 0;
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
// `observer`, when given, hears how far it is.
std::vector<ImportOutcome> ImportFolder(const std::u16string& data,
                                        int (*existing_digits)(const std::u16string&),
                                        const ImportObserver& observer = nullptr);

// <data>/history/
std::u16string HistoryFolder(const std::u16string& data);

}  // namespace zk5::term

#endif  // ZK5_TERMINAL_MARKET_IMPORT_H_
