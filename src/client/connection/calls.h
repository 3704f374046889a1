// The client's call operations: one exchange each, pairing a request
// encoder with a reply decoder on g_client's pipe.
//
// Every operation, in this order: the build gate of the symbol-list
// commands (-5, nothing sent); a missing out-parameter (-10000, nothing
// sent); no pipe (-10004); the exchange and its result rule. Array blocks
// come from the ArrayOut's allocator and belong to the caller afterwards,
// also when a later step of the caller fails.
#ifndef ZK5_CLIENT_CONNECTION_CALLS_H_
#define ZK5_CLIENT_CONNECTION_CALLS_H_

#include <cstdint>
#include <type_traits>

#include "ipc/commands.h"
#include "ipc/stream.h"
#include "os/os.h"

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

namespace detail {

// The steps before any traffic: the build gate, then missing outputs. 0 to
// go on, else the result.
std::int32_t Precheck(CommandId id, bool outputs_present);
// g_client's pipe, and how long its replies may stall.
os::PipeHandle& Pipe();
std::int64_t StallMs();

// One exchange of command `id` with `args` as its request, after Precheck.
template <typename Decode, typename... Args>
std::int32_t Call(CommandId id, bool outputs_present, Decode&& decode, const Args&... args) {
  if (std::int32_t gate = Precheck(id, outputs_present)) return gate;
  os::PipeHandle& pipe = Pipe();
  return ipc::Exchange(
      pipe, id, [&] { return ipc::Encode(pipe, id, args...); }, decode, StallMs());
}

inline bool Present(const ArrayOut& out) { return out.block != nullptr && out.count != nullptr; }

inline auto ArrayDecoder(std::uint32_t size, const ArrayOut& out) {
  return [size, &out](ipc::PipeReader& r, ipc::Header* h) {
    return ipc::DecodeArray(r, h, size, out);
  };
}

}  // namespace detail

// Bars and ticks: an array of `record_size`-byte records for `symbol` and
// the command's numbers, which go out after the symbol with the width of
// their types (times already in the command's unit):
//   TICKS_FROM      i64 from, i32 count, i32 flags
//   TICKS_RANGE     i64 from, i64 to, i32 flags
//   RATES_FROM      i32 timeframe, i64 from, i32 count
//   RATES_RANGE     i32 timeframe, i64 from, i64 to
//   RATES_FROM_POS  i32 timeframe, i32 start, i32 count
template <typename... Numbers>
std::int32_t History(CommandId id, std::uint32_t record_size, const ArrayOut& out, Text symbol,
                     Numbers... numbers) {
  static_assert(((std::is_same_v<Numbers, std::int32_t> ||
                  std::is_same_v<Numbers, std::int64_t>) && ...),
                "bar and tick requests carry i32 and i64 numbers only");
  return detail::Call(id, symbol.units && detail::Present(out),
                      detail::ArrayDecoder(record_size, out), symbol, numbers...);
}

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

#endif  // ZK5_CLIENT_CONNECTION_CALLS_H_
