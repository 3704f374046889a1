// The commands the terminal understands: their numbers, one request encoder
// per argument shape, one reply decoder per payload shape, and the rule that
// turns one exchange into a signed result.
//
// Result convention: negative is a failure code (a terminal status, or one of
// the client's own kIpc* codes of ipc/status.h), zero or positive is the reply's status.
#ifndef ZK5_COMMON_IPC_COMMANDS_H_
#define ZK5_COMMON_IPC_COMMANDS_H_

#include <cstdint>
#include <type_traits>

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
  // request, 3 held), i64 now_ms, from_ms, speed, step_ms.
  REPLAY_STATE = 9001,
  // REPLAY_ADVANCE: i64 ms >= 0; i64 now_ms. A held clock only (else -7).
  REPLAY_ADVANCE = 9002,
  // REPLAY_NEXT_BAR: symbol, i32 timeframe; i64 now_ms, i64 the bar's
  // opening time: the clock moved to the close of the first bar that closes
  // after now; -4 for an unknown symbol, -1 when no bar opens within 40
  // days (the end of the data), -7 unless the clock is held.
  REPLAY_NEXT_BAR = 9003,
};

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
bool Put(PipeWriter& w, T v) { return w.put(&v, sizeof v); }
inline bool Put(PipeWriter& w, Text s) { return w.put_string(s.units, s.size); }
inline bool Put(PipeWriter& w, Bytes b) { return w.put(b.data, b.size); }

}  // namespace encode

// Writes one whole request; false as soon as a step fails.
template <typename... Args>
bool Encode(os::PipeHandle& pipe, CommandId id, const Args&... args) {
  constexpr std::uint32_t kIdBytes = 4;
  PipeWriter w(pipe, (kIdBytes + ... + encode::Size(args)), static_cast<std::uint32_t>(id));
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

// Ends the reception of a reply after its decoder ran: the result by
// ExchangeResult, and the stream kept in step. The unread rest of a refusal
// (a negative status) is skipped by its length field; every other fault
// that leaves the position in the stream uncertain closes the pipe: a
// failed or interrupted read, a wrong echo, and a reply of a non-negative
// status whose length disagrees with the shape asked for. An interrupted
// read is -10002 whatever was read.
std::int32_t FinishReply(PipeReader& reader, bool decoded, const Header& h, CommandId sent);

// Before a request is written: bytes already waiting on the pipe are a frame
// nobody asked for, so the stream is out of step (-10000), and a peer that
// has gone fails the send (-10001); both close the pipe. 0 when the pipe is
// ready for the request.
std::int32_t CheckBeforeSend(os::PipeHandle& pipe);

// Reads and judges the reply to `id` (the part of an exchange after the
// request went out).
template <typename Decode>
std::int32_t Receive(os::PipeHandle& pipe, CommandId id, Decode&& decode) {
  PipeReader reader(pipe);
  Header header;
  const bool decoded = decode(reader, &header);
  return FinishReply(reader, decoded, header, id);
}

// Runs one exchange on `pipe`: -10004 when not connected, CheckBeforeSend,
// -10001 when the request cannot be written, else the reply's outcome by
// FinishReply. The thread blocks (os::BlockingScope) for the whole of it.
template <typename Encode, typename Decode>
std::int32_t Exchange(os::PipeHandle& pipe, CommandId id, Encode&& encode,
                      Decode&& decode) {
  if (pipe == os::kInvalidPipe) return kNoIpcConnection;
  os::BlockingScope blocking;
  if (const std::int32_t refused = CheckBeforeSend(pipe)) return refused;
  if (!encode()) return kIpcSendFailed;
  return Receive(pipe, id, decode);
}

}  // namespace zk5::ipc

#endif  // ZK5_COMMON_IPC_COMMANDS_H_
