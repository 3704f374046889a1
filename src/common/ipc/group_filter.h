// The client-side group mask filter of positions_get, orders_get,
// history_orders_get and history_deals_get.
//
// The terminal answers those calls with the whole list; the module keeps the
// records whose symbol matches the caller's mask.
//
// Mask syntax: a comma-separated list of patterns. Spaces (U+0020 only)
// before and after a pattern are ignored; inner spaces belong to it. A
// pattern that begins with `!` (any number of them) excludes what it
// matches. `*` matches any run of code units, including none; every other
// code unit matches only itself (case-sensitive, no folding). A symbol is
// selected when at least one positive pattern matches it and no negative
// pattern does, so an empty mask, or one of negative patterns only, selects
// nothing. A pattern is at most 255 code units: a longer one is cut there,
// the code unit after the cut is dropped and scanning goes on after it as if
// a new pattern began.
//
// Matching uses no heap memory and its work is bounded by the product of
// the pattern and symbol lengths.
#ifndef ZK5_COMMON_IPC_GROUP_FILTER_H_
#define ZK5_COMMON_IPC_GROUP_FILTER_H_

#include <cstddef>
#include <cstdint>

#include "ipc/status.h"

namespace zk5::ipc {

// The result of FilterByGroup on failure; the module reports it as its IPC
// call failure.
constexpr std::int32_t kGroupFilterFailed = kIpcCallFailed;

// Longest pattern of a mask, in code units.
constexpr std::size_t kMaxPatternUnits = 255;

// Units of the symbol text field of a record (wchar[32]).
constexpr std::size_t kSymbolFieldUnits = 32;

// True when `symbol` is selected by `mask`. Both are NUL-terminated UTF-16
// texts; either null gives false.
bool MatchGroup(const char16_t* mask, const char16_t* symbol);

// True when one pattern matches the whole of `symbol`. Leading `!`s of the
// pattern are skipped (the negation belongs to MatchGroup); a pattern that
// is empty after them matches every symbol. Either null gives false.
bool MatchPattern(const char16_t* pattern, const char16_t* symbol);

// Replaces the array in *block (*count records of record_size bytes each)
// by the records whose symbol field, the wchar[32] text at symbol_offset,
// is selected by `mask`, kept in their received order.
//
// Ownership: *block must come from ::operator new(size, std::nothrow), as
// every array reply block does, and the caller releases the block left in
// *block with ::operator delete. The new block is one allocation of
// *count x record_size bytes (not shrunk to the records kept).
//
// Returns 1 on success. A count of 0 returns 1 and leaves the block as it
// is. Returns kGroupFilterFailed and changes nothing when mask, block or
// count is null, *block is null while *count is not 0, or the symbol field
// does not lie inside the record. When the new block cannot be allocated
// the old one is still released, *block becomes null, *count 0, and the
// result is kGroupFilterFailed.
std::int32_t FilterByGroup(const char16_t* mask, void** block, std::uint32_t* count,
                           std::size_t record_size, std::size_t symbol_offset);

}  // namespace zk5::ipc

#endif  // ZK5_COMMON_IPC_GROUP_FILTER_H_
