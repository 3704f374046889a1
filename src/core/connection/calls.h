// The client's call operations: one exchange each, pairing a request
// encoder with a reply decoder on g_client's pipe.
//
// Every operation, in this order: the build gate of the symbol-list
// commands (-5, nothing sent); a missing out-parameter (-10000, nothing
// sent); no pipe (-10004); the exchange and its result rule. Array blocks
// come from the ArrayOut's allocator and belong to the caller afterwards,
// also when a later step of the caller fails.
#ifndef ZK5_CONNECTION_CALLS_H_
#define ZK5_CONNECTION_CALLS_H_

#include <cstdint>

#include "ipc/commands.h"
#include "ipc/stream.h"

namespace zk5::calls {

using ipc::ArrayOut;
using ipc::CommandId;
using ipc::Text;

// VERSION: two numbers and a text block of `units` UTF-16 units (HeapFree).
std::int32_t Version(std::uint32_t* a, std::uint32_t* b, char16_t** text,
                     std::uint32_t* units);
// LOGIN: password before server.
std::int32_t Login(std::uint64_t login, Text password, Text server);
// Commands answered with one u32: TERMINAL_STATE, POSITIONS_TOTAL,
// ORDERS_TOTAL, SYMBOLS_TOTAL.
std::int32_t Count(CommandId id, std::uint32_t* value);
// HISTORY_ORDERS_TOTAL, HISTORY_DEALS_TOTAL.
std::int32_t CountRange(CommandId id, std::int64_t from, std::int64_t to,
                        std::uint32_t* value);

// Bars and ticks (times already in the command's unit).
std::int32_t TicksFrom(Text symbol, std::int64_t from, std::int32_t count,
                       std::int32_t flags, const ArrayOut& out);
std::int32_t TicksRange(Text symbol, std::int64_t from, std::int64_t to,
                        std::int32_t flags, const ArrayOut& out);
std::int32_t RatesFrom(Text symbol, std::int32_t timeframe, std::int64_t from,
                       std::int32_t count, const ArrayOut& out);
std::int32_t RatesRange(Text symbol, std::int32_t timeframe, std::int64_t from,
                        std::int64_t to, const ArrayOut& out);
std::int32_t RatesFromPos(Text symbol, std::int32_t timeframe, std::int32_t start,
                          std::int32_t count, const ArrayOut& out);

// Arrays of `size`-byte records.
// POSITIONS_ALL, ORDERS_ALL, SYMBOLS_ALL.
std::int32_t List(CommandId id, std::uint32_t size, const ArrayOut& out);
// POSITIONS_BY_SYMBOL, ORDERS_BY_SYMBOL, SYMBOLS_BY_GROUP, BOOK_GET.
std::int32_t ListByText(CommandId id, Text text, std::uint32_t size, const ArrayOut& out);
// HISTORY_ORDERS_RANGE, HISTORY_DEALS_RANGE.
std::int32_t ListByRange(CommandId id, std::int64_t from, std::int64_t to,
                         std::uint32_t size, const ArrayOut& out);
// HISTORY_ORDERS_BY_POSITION, HISTORY_DEALS_BY_POSITION.
std::int32_t ListByNumber(CommandId id, std::uint64_t number, std::uint32_t size,
                          const ArrayOut& out);
// The group operations: the unfiltered list (POSITIONS_ALL, ORDERS_ALL, or a
// history range when `range` is given), then the group filter on the symbol
// at `symbol_offset`. Returns the filter's result on success. The block
// comes from HeapAlloc.
struct Range {
  std::int64_t from;
  std::int64_t to;
};
std::int32_t ListByGroup(CommandId id, const Range* range, const char16_t* mask,
                         std::uint32_t size, std::uint32_t symbol_offset, void** block,
                         std::uint32_t* count);

// One fixed record of `size` bytes.
// TERMINAL_INFO, ACCOUNT_INFO.
std::int32_t Record(CommandId id, std::uint8_t* record, std::uint32_t size);
// SYMBOL_INFO_TICK.
std::int32_t RecordByText(CommandId id, Text text, std::uint8_t* record, std::uint32_t size);
// POSITION_BY_TICKET, ORDER_BY_TICKET, HISTORY_ORDER_BY_TICKET,
// HISTORY_DEAL_BY_TICKET.
std::int32_t RecordByNumber(CommandId id, std::uint64_t number, std::uint8_t* record,
                            std::uint32_t size);
// SYMBOL_INFO into a full-size record: from terminals that send the short
// record, the requested name is written into the missing name field.
std::int32_t SymbolInfo(Text symbol, std::uint8_t* record);
// ORDER_CHECK, ORDER_SEND: the request record in, the result record out.
std::int32_t TradeRequest(CommandId id, const std::uint8_t* request,
                          std::uint32_t request_size, std::uint8_t* result,
                          std::uint32_t result_size);

// Status-only replies: SYMBOL_SELECT, BOOK_ADD, BOOK_RELEASE.
std::int32_t SymbolSelect(Text symbol, std::uint8_t enable);
std::int32_t StatusByText(CommandId id, Text text);

// ORDER_CALC_MARGIN, ORDER_CALC_PROFIT (price_close used by profit only).
std::int32_t CalcMargin(std::uint32_t action, Text symbol, double volume, double price,
                        double* margin);
std::int32_t CalcProfit(std::uint32_t action, Text symbol, double volume, double price_open,
                        double price_close, double* profit);

}  // namespace zk5::calls

#endif  // ZK5_CONNECTION_CALLS_H_
