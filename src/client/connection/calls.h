// The client's call operations: one exchange each, pairing a request
// encoder with a reply decoder on g_client's pipe.
//
// Each operation handles one shape of the command table (ipc/commands.h)
// and takes its command as ipc::kCommand<id>, typed by that shape: a command
// of another shape does not compile, nor do arguments its entry does not
// list.
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

using ipc::Arg;
using ipc::ArrayOut;
using ipc::CommandId;
using ipc::kCommand;
using ipc::Reply;
using ipc::Text;

// The shapes the operations below handle.
using CountCommand = ipc::Command<Reply::kU32>;
using CountRangeCommand = ipc::Command<Reply::kU32, Arg::kI64, Arg::kI64>;
using ListCommand = ipc::Command<Reply::kArray>;
using ListByTextCommand = ipc::Command<Reply::kArray, Arg::kText>;
using ListByRangeCommand = ipc::Command<Reply::kArray, Arg::kI64, Arg::kI64>;
using ListByNumberCommand = ipc::Command<Reply::kArray, Arg::kU64>;
using RecordCommand = ipc::Command<Reply::kRecord>;
using RecordByTextCommand = ipc::Command<Reply::kRecord, Arg::kText>;
using RecordByNumberCommand = ipc::Command<Reply::kRecord, Arg::kU64>;
using TradeCommand = ipc::Command<Reply::kRecord, Arg::kRecord>;
using StatusByTextCommand = ipc::Command<Reply::kStatus, Arg::kText>;

// VERSION: two numbers and a text block of `units` UTF-16 units (HeapFree).
std::int32_t Version(std::uint32_t* a, std::uint32_t* b, char16_t** text, std::uint32_t* units);
// LOGIN: password before server.
std::int32_t Login(std::uint64_t login, Text password, Text server);
// Commands answered with one u32: TERMINAL_STATE, POSITIONS_TOTAL,
// ORDERS_TOTAL, SYMBOLS_TOTAL.
std::int32_t Count(CountCommand command, std::uint32_t* value);
// HISTORY_ORDERS_TOTAL, HISTORY_DEALS_TOTAL.
std::int32_t CountRange(CountRangeCommand command, std::int64_t from, std::int64_t to,
                        std::uint32_t* value);

namespace detail {

// The steps before any traffic: the build gate, then missing outputs. 0 to
// go on, else the result.
std::int32_t Precheck(CommandId id, bool outputs_present);
// g_client's pipe, and how long its replies may stall.
os::PipeHandle& Pipe();
std::int64_t StallMs();

// One exchange of `command` with `args` as its request, after Precheck.
template <Reply R, Arg... A, typename Decode, typename... Args>
std::int32_t Call(ipc::Command<R, A...> command, bool outputs_present, Decode&& decode,
                  const Args&... args) {
  if (std::int32_t gate = Precheck(command.id, outputs_present)) return gate;
  os::PipeHandle& pipe = Pipe();
  return ipc::Exchange(
      pipe, command.id, [&] { return ipc::Encode(pipe, command, args...); }, decode, StallMs());
}

inline bool Present(const ArrayOut& out) { return out.block != nullptr && out.count != nullptr; }

inline auto ArrayDecoder(std::uint32_t size, const ArrayOut& out) {
  return [size, &out](ipc::PipeReader& r, ipc::Header* h) {
    return ipc::DecodeArray(r, h, size, out);
  };
}

}  // namespace detail

// Bars and ticks (TICKS_FROM, TICKS_RANGE, RATES_FROM, RATES_RANGE,
// RATES_FROM_POS): an array of `record_size`-byte records for `symbol` and
// the numbers its table entry lists after the symbol.
template <Arg... A, typename... Numbers>
std::int32_t History(ipc::Command<Reply::kArray, Arg::kText, A...> command,
                     std::uint32_t record_size, const ArrayOut& out, Text symbol,
                     Numbers... numbers) {
  return detail::Call(command, symbol.units && detail::Present(out),
                      detail::ArrayDecoder(record_size, out), symbol, numbers...);
}

// Arrays of `size`-byte records.
// POSITIONS_ALL, ORDERS_ALL, SYMBOLS_ALL.
std::int32_t List(ListCommand command, std::uint32_t size, const ArrayOut& out);
// POSITIONS_BY_SYMBOL, ORDERS_BY_SYMBOL, SYMBOLS_BY_GROUP, BOOK_GET.
std::int32_t ListByText(ListByTextCommand command, Text text, std::uint32_t size,
                        const ArrayOut& out);
// HISTORY_ORDERS_RANGE, HISTORY_DEALS_RANGE.
std::int32_t ListByRange(ListByRangeCommand command, std::int64_t from, std::int64_t to,
                         std::uint32_t size, const ArrayOut& out);
// HISTORY_ORDERS_BY_POSITION, HISTORY_DEALS_BY_POSITION.
std::int32_t ListByNumber(ListByNumberCommand command, std::uint64_t number, std::uint32_t size,
                          const ArrayOut& out);
// The group operations: the unfiltered list (POSITIONS_ALL, ORDERS_ALL, or a
// history range), then the group filter on the symbol at `symbol_offset`.
// Returns the filter's result on success. The block comes from HeapAlloc.
struct Range {
  std::int64_t from;
  std::int64_t to;
};
std::int32_t ListByGroup(ListCommand command, const char16_t* mask, std::uint32_t size,
                         std::uint32_t symbol_offset, void** block, std::uint32_t* count);
std::int32_t ListByGroup(ListByRangeCommand command, const Range& range, const char16_t* mask,
                         std::uint32_t size, std::uint32_t symbol_offset, void** block,
                         std::uint32_t* count);

// One fixed record of `size` bytes.
// TERMINAL_INFO, ACCOUNT_INFO.
std::int32_t Record(RecordCommand command, std::uint8_t* record, std::uint32_t size);
// SYMBOL_INFO_TICK.
std::int32_t RecordByText(RecordByTextCommand command, Text text, std::uint8_t* record,
                          std::uint32_t size);
// POSITION_BY_TICKET, ORDER_BY_TICKET, HISTORY_ORDER_BY_TICKET,
// HISTORY_DEAL_BY_TICKET.
std::int32_t RecordByNumber(RecordByNumberCommand command, std::uint64_t number,
                            std::uint8_t* record, std::uint32_t size);
// SYMBOL_INFO into a full-size record: from terminals that send the short
// record, the requested name is written into the missing name field.
std::int32_t SymbolInfo(Text symbol, std::uint8_t* record);
// ORDER_CHECK, ORDER_SEND: the request record in, the result record out.
std::int32_t TradeRequest(TradeCommand command, const std::uint8_t* request,
                          std::uint32_t request_size, std::uint8_t* result,
                          std::uint32_t result_size);

// Status-only replies: SYMBOL_SELECT, BOOK_ADD, BOOK_RELEASE.
std::int32_t SymbolSelect(Text symbol, std::uint8_t enable);
std::int32_t StatusByText(StatusByTextCommand command, Text text);

// ORDER_CALC_MARGIN, ORDER_CALC_PROFIT (price_close used by profit only).
std::int32_t CalcMargin(std::uint32_t action, Text symbol, double volume, double price,
                        double* margin);
std::int32_t CalcProfit(std::uint32_t action, Text symbol, double volume, double price_open,
                        double price_close, double* profit);

}  // namespace zk5::calls

#endif  // ZK5_CLIENT_CONNECTION_CALLS_H_
