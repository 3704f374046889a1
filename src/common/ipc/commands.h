// The commands the terminal understands: their numbers, the one table of
// what each request carries and each reply holds, the request encoder
// checked against that table, one reply decoder per payload shape, and the
// rule that turns one exchange into a signed result.
//
// Result convention: negative is a failure code (a terminal status, or one of
// the client's own kIpc* codes of ipc/status.h), zero or positive is the reply's status.
#ifndef ZK5_COMMON_IPC_COMMANDS_H_
#define ZK5_COMMON_IPC_COMMANDS_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <type_traits>
#include <utility>

#include "ipc/records.h"
#include "ipc/status.h"
#include "ipc/stream.h"
#include "os/os.h"

namespace zk5::ipc {

enum class CommandId : std::uint32_t {
  VERSION = 1,
  HELLO = 4,
  LOGIN = 5,
  TICKS_FROM = 104,
  TICKS_RANGE = 105,
  RATES_FROM = 106,
  RATES_RANGE = 107,
  RATES_FROM_POS = 108,
  TERMINAL_STATE = 109,
  POSITIONS_TOTAL = 120,
  POSITIONS_ALL = 121,
  POSITIONS_BY_SYMBOL = 122,
  POSITION_BY_TICKET = 123,
  ORDERS_TOTAL = 130,
  ORDERS_ALL = 131,
  ORDERS_BY_SYMBOL = 132,
  ORDER_BY_TICKET = 133,
  HISTORY_ORDERS_TOTAL = 140,
  HISTORY_ORDERS_RANGE = 141,
  HISTORY_ORDERS_BY_POSITION = 142,
  HISTORY_ORDER_BY_TICKET = 143,
  HISTORY_DEALS_TOTAL = 150,
  HISTORY_DEALS_RANGE = 151,
  HISTORY_DEALS_BY_POSITION = 152,
  HISTORY_DEAL_BY_TICKET = 153,
  ORDER_CHECK = 160,
  ORDER_SEND = 161,
  ORDER_CALC_MARGIN = 162,
  ORDER_CALC_PROFIT = 163,
  SYMBOL_INFO = 170,
  SYMBOL_SELECT = 171,
  SYMBOL_INFO_TICK = 172,
  SYMBOLS_TOTAL = 173,
  SYMBOLS_ALL = 174,
  SYMBOLS_BY_GROUP = 175,
  TERMINAL_INFO = 180,
  ACCOUNT_INFO = 190,
  BOOK_ADD = 191,
  BOOK_RELEASE = 192,
  BOOK_GET = 193,
  // The bundled terminal's own commands, far from the range above: a
  // replay's clock, asked for and moved by the script that runs in it.
  // REPLAY_STATE: no arguments; u32 mode (0 live, 1 timed, 2 a step per
  // request, 3 held), i64 now_ms, from_ms, speed, step_ms, end_ms (where
  // the replay's clock stops; 0 live).
  REPLAY_STATE = 9001,
  // REPLAY_ADVANCE: i64 ms >= 0; i64 now_ms, no later than the end. A held
  // clock only (else -7).
  REPLAY_ADVANCE = 9002,
  // REPLAY_NEXT_BAR: symbol, i32 timeframe; i64 now_ms, i64 the bar's
  // opening time: the clock moved to the close of the first bar that closes
  // after now and on to the first tick after it (or to the end, inside the
  // bar); -4 for an unknown symbol, -1 at the end or when no bar opens
  // within 40 days (the end of the data), -7 unless the clock is held.
  REPLAY_NEXT_BAR = 9003,
};

// ---- The command table: what each request carries after its id, and what
// its reply holds after the status. The client's encoder is checked against
// it while compiling, the terminal decodes requests by it, and the Python
// tests' stand-in terminal reads it (scripts/gen_commands.py writes it out,
// CI checks the copy is current). A new command is its id above and its
// entry here.

// A request argument: a number of that width, a text (u32 unit count, then
// the UTF-16 units), or a fixed record of the entry's `arg_record` type.
enum class Arg : std::uint8_t { kU8, kU32, kI32, kU64, kI64, kF64, kText, kRecord };

// What a reply of non-negative status holds after the status: nothing, one
// number, one record of the entry's `reply_record` type, an array (u32
// count, then the records), VERSION's two numbers and a text, or the fixed
// numbers a command of the terminal's own lists beside its id (kFixed). A
// refusal (negative status) holds nothing, whatever the command.
enum class Reply : std::uint8_t { kStatus, kU32, kF64, kRecord, kArray, kVersion, kFixed };

constexpr std::size_t kMaxArgs = 6;

// The argument kinds of one request, in order.
struct ArgList {
  Arg kinds[kMaxArgs] = {};
  std::uint8_t count = 0;
  constexpr ArgList() = default;
  constexpr ArgList(std::initializer_list<Arg> list) {
    for (Arg a : list) kinds[count++] = a;  // more than kMaxArgs does not compile
  }
};

struct CommandEntry {
  CommandId id;
  ArgList args;
  Reply reply;
  const records::RecordDef* arg_record;    // the type of a kRecord argument
  const records::RecordDef* reply_record;  // a kRecord reply, a kArray's elements
};

// Ticks and bars: the symbol, then the command's numbers (times already in
// the command's unit). SYMBOL_INFO's record is the short one (without the
// name) from terminals of build 2363 or lower.
// clang-format off
inline constexpr CommandEntry kCommands[] = {
    {CommandId::VERSION, {Arg::kU32}, Reply::kVersion, nullptr, nullptr},
    {CommandId::HELLO, {Arg::kU32, Arg::kText}, Reply::kU32, nullptr, nullptr},
    {CommandId::LOGIN, {Arg::kU32, Arg::kU64, Arg::kText, Arg::kText}, Reply::kStatus, nullptr, nullptr},
    {CommandId::TICKS_FROM, {Arg::kText, Arg::kI64, Arg::kI32, Arg::kI32}, Reply::kArray, nullptr, &records::kTick},
    {CommandId::TICKS_RANGE, {Arg::kText, Arg::kI64, Arg::kI64, Arg::kI32}, Reply::kArray, nullptr, &records::kTick},
    {CommandId::RATES_FROM, {Arg::kText, Arg::kI32, Arg::kI64, Arg::kI32}, Reply::kArray, nullptr, &records::kRates},
    {CommandId::RATES_RANGE, {Arg::kText, Arg::kI32, Arg::kI64, Arg::kI64}, Reply::kArray, nullptr, &records::kRates},
    {CommandId::RATES_FROM_POS, {Arg::kText, Arg::kI32, Arg::kI32, Arg::kI32}, Reply::kArray, nullptr, &records::kRates},
    {CommandId::TERMINAL_STATE, {}, Reply::kU32, nullptr, nullptr},
    {CommandId::POSITIONS_TOTAL, {}, Reply::kU32, nullptr, nullptr},
    {CommandId::POSITIONS_ALL, {}, Reply::kArray, nullptr, &records::kTradePosition},
    {CommandId::POSITIONS_BY_SYMBOL, {Arg::kText}, Reply::kArray, nullptr, &records::kTradePosition},
    {CommandId::POSITION_BY_TICKET, {Arg::kU64}, Reply::kRecord, nullptr, &records::kTradePosition},
    {CommandId::ORDERS_TOTAL, {}, Reply::kU32, nullptr, nullptr},
    {CommandId::ORDERS_ALL, {}, Reply::kArray, nullptr, &records::kTradeOrder},
    {CommandId::ORDERS_BY_SYMBOL, {Arg::kText}, Reply::kArray, nullptr, &records::kTradeOrder},
    {CommandId::ORDER_BY_TICKET, {Arg::kU64}, Reply::kRecord, nullptr, &records::kTradeOrder},
    {CommandId::HISTORY_ORDERS_TOTAL, {Arg::kI64, Arg::kI64}, Reply::kU32, nullptr, nullptr},
    {CommandId::HISTORY_ORDERS_RANGE, {Arg::kI64, Arg::kI64}, Reply::kArray, nullptr, &records::kTradeOrder},
    {CommandId::HISTORY_ORDERS_BY_POSITION, {Arg::kU64}, Reply::kArray, nullptr, &records::kTradeOrder},
    {CommandId::HISTORY_ORDER_BY_TICKET, {Arg::kU64}, Reply::kRecord, nullptr, &records::kTradeOrder},
    {CommandId::HISTORY_DEALS_TOTAL, {Arg::kI64, Arg::kI64}, Reply::kU32, nullptr, nullptr},
    {CommandId::HISTORY_DEALS_RANGE, {Arg::kI64, Arg::kI64}, Reply::kArray, nullptr, &records::kTradeDeal},
    {CommandId::HISTORY_DEALS_BY_POSITION, {Arg::kU64}, Reply::kArray, nullptr, &records::kTradeDeal},
    {CommandId::HISTORY_DEAL_BY_TICKET, {Arg::kU64}, Reply::kRecord, nullptr, &records::kTradeDeal},
    {CommandId::ORDER_CHECK, {Arg::kRecord}, Reply::kRecord, &records::kTradeRequest, &records::kOrderCheckResult},
    {CommandId::ORDER_SEND, {Arg::kRecord}, Reply::kRecord, &records::kTradeRequest, &records::kOrderSendResult},
    {CommandId::ORDER_CALC_MARGIN, {Arg::kU32, Arg::kText, Arg::kF64, Arg::kF64}, Reply::kF64, nullptr, nullptr},
    {CommandId::ORDER_CALC_PROFIT, {Arg::kU32, Arg::kText, Arg::kF64, Arg::kF64, Arg::kF64}, Reply::kF64, nullptr, nullptr},
    {CommandId::SYMBOL_INFO, {Arg::kText}, Reply::kRecord, nullptr, &records::kSymbolInfo},
    {CommandId::SYMBOL_SELECT, {Arg::kText, Arg::kU8}, Reply::kStatus, nullptr, nullptr},
    {CommandId::SYMBOL_INFO_TICK, {Arg::kText}, Reply::kRecord, nullptr, &records::kTick},
    {CommandId::SYMBOLS_TOTAL, {}, Reply::kU32, nullptr, nullptr},
    {CommandId::SYMBOLS_ALL, {}, Reply::kArray, nullptr, &records::kSymbolInfo},
    {CommandId::SYMBOLS_BY_GROUP, {Arg::kText}, Reply::kArray, nullptr, &records::kSymbolInfo},
    {CommandId::TERMINAL_INFO, {}, Reply::kRecord, nullptr, &records::kTerminalInfo},
    {CommandId::ACCOUNT_INFO, {}, Reply::kRecord, nullptr, &records::kAccountInfo},
    {CommandId::BOOK_ADD, {Arg::kText}, Reply::kStatus, nullptr, nullptr},
    {CommandId::BOOK_RELEASE, {Arg::kText}, Reply::kStatus, nullptr, nullptr},
    {CommandId::BOOK_GET, {Arg::kText}, Reply::kArray, nullptr, &records::kBookInfo},
    {CommandId::REPLAY_STATE, {}, Reply::kFixed, nullptr, nullptr},
    {CommandId::REPLAY_ADVANCE, {Arg::kI64}, Reply::kFixed, nullptr, nullptr},
    {CommandId::REPLAY_NEXT_BAR, {Arg::kText, Arg::kI32}, Reply::kFixed, nullptr, nullptr},
};
// clang-format on

// The entry of `id`; null for a number that names no command.
constexpr const CommandEntry* FindCommand(std::uint32_t id) {
  for (const CommandEntry& c : kCommands) {
    if (static_cast<std::uint32_t>(c.id) == id) return &c;
  }
  return nullptr;
}

namespace table {

// No two entries for one command, and at most one record argument (its type
// is the entry's arg_record). That a record type stands exactly where a
// record does is checked by scripts/gen_commands.py, since a pointer
// compared with null is not a constant in every build.
constexpr bool WellFormed() {
  constexpr std::size_t n = sizeof kCommands / sizeof kCommands[0];
  for (std::size_t i = 0; i < n; ++i) {
    const CommandEntry& c = kCommands[i];
    for (std::size_t j = 0; j < i; ++j) {
      if (kCommands[j].id == c.id) return false;
    }
    int records = 0;
    for (std::size_t k = 0; k < c.args.count; ++k) records += c.args.kinds[k] == Arg::kRecord;
    if (records > 1) return false;
  }
  return true;
}
static_assert(WellFormed(), "one entry per command, with at most one record argument");

// The entry of a command named at compile time (no entry: does not compile).
constexpr const CommandEntry& Entry(CommandId id) {
  for (const CommandEntry& c : kCommands) {
    if (c.id == id) return c;
  }
  throw "a command without an entry in kCommands";
}

}  // namespace table

// A command together with its request's argument kinds and its reply's
// shape, as a type: the client's operations take the shape they handle, so
// a command of another shape, or arguments that do not fit it, fail to
// compile. Made from the table by kCommand<id>.
template <Reply R, Arg... A>
struct Command {
  CommandId id;
};

namespace table {

template <CommandId Id, std::size_t... I>
constexpr Command<Entry(Id).reply, Entry(Id).args.kinds[I]...> Typed(std::index_sequence<I...>) {
  return {Id};
}

}  // namespace table

template <CommandId Id>
inline constexpr auto kCommand =
    table::Typed<Id>(std::make_index_sequence<table::Entry(Id).args.count>{});

// A text argument: the units of a NUL-terminated buffer before its first NUL.
struct Text {
  const char16_t* units = nullptr;
  std::uint32_t size = 0;
};
Text TextOf(const char16_t* nul_terminated);

// A fixed record argument: its bytes as they are.
struct Bytes {
  const std::uint8_t* data = nullptr;
  std::uint32_t size = 0;
};

// ---- The request encoder. A request is its arguments in order: numbers as
// their little-endian bytes (the width of the argument's type), a Text as
// u32 unit count then the units, Bytes as they are. The length field is
// computed from the arguments, so each call states only what it sends.
namespace encode {

template <typename T>
constexpr std::uint32_t Size(T) {
  static_assert(std::is_arithmetic_v<T> && !std::is_same_v<T, bool>,
                "a request argument is a number, a Text or Bytes");
  return sizeof(T);
}
inline std::uint32_t Size(Text s) { return 4 + 2 * s.size; }
inline std::uint32_t Size(Bytes b) { return b.size; }

template <typename T>
bool Put(PipeWriter& w, T v) {
  return w.put(&v, sizeof v);
}
inline bool Put(PipeWriter& w, Text s) { return w.put_string(s.units, s.size); }
inline bool Put(PipeWriter& w, Bytes b) { return w.put(b.data, b.size); }

}  // namespace encode

// Whether an argument of C++ type T goes out as kind `a`: each kind has
// exactly one type, so that a number never changes width on its way out.
template <typename T>
constexpr bool Fits(Arg a) {
  switch (a) {
    case Arg::kU8:
      return std::is_same_v<T, std::uint8_t>;
    case Arg::kU32:
      return std::is_same_v<T, std::uint32_t>;
    case Arg::kI32:
      return std::is_same_v<T, std::int32_t>;
    case Arg::kU64:
      return std::is_same_v<T, std::uint64_t>;
    case Arg::kI64:
      return std::is_same_v<T, std::int64_t>;
    case Arg::kF64:
      return std::is_same_v<T, double>;
    case Arg::kText:
      return std::is_same_v<T, Text>;
    case Arg::kRecord:
      return std::is_same_v<T, Bytes>;
  }
  return false;
}

template <typename... Args, std::size_t N, std::size_t... I>
constexpr bool FitAll(const std::array<Arg, N>& kinds, std::index_sequence<I...>) {
  return (Fits<Args>(kinds[I]) && ...);
}

template <typename... Args, std::size_t N>
constexpr bool FitAll(const std::array<Arg, N>& kinds) {
  if constexpr (N != sizeof...(Args)) {
    return false;
  } else {
    return FitAll<Args...>(kinds, std::index_sequence_for<Args...>{});
  }
}

// Writes one whole request of `command`; false as soon as a step fails.
// The arguments must be those of the command's table entry, in its order.
template <Reply R, Arg... A, typename... Args>
bool Encode(os::PipeHandle& pipe, Command<R, A...> command, const Args&... args) {
  static_assert(FitAll<Args...>(std::array<Arg, sizeof...(A)>{A...}),
                "the arguments are not those of the command's entry in kCommands");
  constexpr std::uint32_t kIdBytes = 4;
  PipeWriter w(pipe, (kIdBytes + ... + encode::Size(args)), static_cast<std::uint32_t>(command.id));
  return (encode::Put(w, args) && ...) && w.flush();
}

// ---- Reply decoders, one per payload shape. Each takes the reply header
// (echo, status) and its payload, and succeeds only when every field was
// read and the reply was consumed exactly. Payload destinations are written
// only as far as the reply went.
struct Header {
  std::uint32_t echo = 0;
  std::int32_t status = 0;
  bool have_echo = false;
  bool have_status = false;
};
bool DecodeStatusOnly(PipeReader& r, Header* h);
// The frame of a reply that ends after its status (a refusal), as bytes.
constexpr std::size_t kStatusOnlyFrameSize = 12;
std::array<std::uint8_t, kStatusOnlyFrameSize> StatusOnlyFrame(CommandId id, std::int32_t status);
bool DecodeU32(PipeReader& r, Header* h, std::uint32_t* v);
bool DecodeF64(PipeReader& r, Header* h, double* v);
bool DecodeU32U32String(PipeReader& r, Header* h, std::uint32_t* a, std::uint32_t* b,
                        const ArrayOut& text);
bool DecodeRecord(PipeReader& r, Header* h, std::uint8_t* record, std::uint32_t size);
bool DecodeArray(PipeReader& r, Header* h, std::uint32_t element_size, const ArrayOut& out);

// The result of one exchange, from whether the decoder succeeded and the
// header it read. A reply for another command is -10000 whatever its status;
// a decoder failure after a negative status is that status (a terminal that
// refuses a call sends only the header); any other failure is -10002.
std::int32_t ExchangeResult(bool decoded, const Header& h, CommandId sent);

// Bytes of a reply's frame after its length field that every reply has:
// the echo and the status.
constexpr std::uint32_t kReplyHeaderBytes = 8;

// Ends the reception of a reply after its decoder ran: the result by
// ExchangeResult, and the stream kept in step. A frame whose payload
// disagrees with what its decoder expected (too short, too long, a count
// the frame cannot hold, a refusal followed by bytes) is skipped by its
// length field, so the next reply is read from its start. Where the frame
// itself cannot be trusted the pipe is closed: a failed, stalled or
// interrupted read, a wrong echo, a length field too short for the echo
// and the status. A stalled read is -10005 and an interrupted one -10002,
// whatever was read.
std::int32_t FinishReply(PipeReader& reader, bool decoded, const Header& h, CommandId sent);

// Before a request is written: bytes already waiting on the pipe are a frame
// nobody asked for, so the stream is out of step (-10000), and a peer that
// has gone fails the send (-10001); both close the pipe. 0 when the pipe is
// ready for the request.
std::int32_t CheckBeforeSend(os::PipeHandle& pipe);

// Reads and judges the reply to `id` (the part of an exchange after the
// request went out).
// Each read gives up when the terminal sends nothing for `stall_ms`.
template <typename Decode>
std::int32_t Receive(os::PipeHandle& pipe, CommandId id, Decode&& decode,
                     std::int64_t stall_ms = os::kNoDeadline) {
  PipeReader reader(pipe, stall_ms);
  Header header;
  const bool decoded = decode(reader, &header);
  return FinishReply(reader, decoded, header, id);
}

// Runs one exchange on `pipe`: -10004 when not connected, CheckBeforeSend,
// -10001 when the request cannot be written, else the reply's outcome by
// FinishReply. The thread blocks (os::BlockingScope) for the whole of it.
// A reply that makes no progress for `stall_ms` fails with -10005 (Receive).
template <typename Encode, typename Decode>
std::int32_t Exchange(os::PipeHandle& pipe, CommandId id, Encode&& encode, Decode&& decode,
                      std::int64_t stall_ms = os::kNoDeadline) {
  if (pipe == os::kInvalidPipe) return kNoIpcConnection;
  os::BlockingScope blocking;
  if (const std::int32_t refused = CheckBeforeSend(pipe)) return refused;
  if (!encode()) return kIpcSendFailed;
  return Receive(pipe, id, decode, stall_ms);
}

}  // namespace zk5::ipc

#endif  // ZK5_COMMON_IPC_COMMANDS_H_
