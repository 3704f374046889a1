// One request in, one reply out: the command catalogue of the terminal.
//
// A request whose arguments do not parse exactly (too short, bytes left
// over, a count that runs past the end) is answered with status -2 and no
// payload; an unknown command with -1. Nothing a client sends can make the
// terminal fail otherwise.
#ifndef ZK5_TERMINAL_SERVER_DISPATCH_H_
#define ZK5_TERMINAL_SERVER_DISPATCH_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "server/context.h"

namespace zk5::term {

// Reads a request's arguments in order; any read past the end fails and
// every later read fails too.
class ArgReader {
 public:
  ArgReader(const std::uint8_t* data, std::size_t size) : p_(data), left_(size) {}
  bool U8(std::uint8_t* v) { return Raw(v, 1); }
  bool U32(std::uint32_t* v) { return Raw(v, 4); }
  bool I32(std::int32_t* v) { return Raw(v, 4); }
  bool U64(std::uint64_t* v) { return Raw(v, 8); }
  bool I64(std::int64_t* v) { return Raw(v, 8); }
  bool F64(double* v) { return Raw(v, 8); }
  bool String(std::u16string* v);
  bool Record(std::size_t size, const std::uint8_t** rec);
  // True when every read succeeded and nothing is left.
  bool Done() const { return ok_ && left_ == 0; }

 private:
  bool Raw(void* dest, std::size_t n);
  const std::uint8_t* p_;
  std::size_t left_;
  bool ok_ = true;
};

// Where a long reply's payload goes, piece by piece.
using PayloadSink = std::function<bool(const void* data, std::size_t size)>;

struct Reply {
  std::int32_t status = kSuccess;
  std::string payload;  // after the status; nothing for a failure
  // Long replies: `stream_size` more bytes after `payload`, produced into
  // the sink. Returns false when the sink failed.
  std::uint64_t stream_size = 0;
  std::function<bool(const PayloadSink&)> stream;

  static Reply Fail(std::int32_t status) {
    Reply r;
    r.status = status;
    return r;
  }
  Reply& U32(std::uint32_t v) { return Raw(&v, 4); }
  Reply& F64(double v) { return Raw(&v, 8); }
  Reply& String(const std::u16string& s);
  Reply& Bytes(const std::uint8_t* data, std::size_t n) { return Raw(data, n); }
  Reply& Raw(const void* data, std::size_t n) {
    payload.append(static_cast<const char*>(data), n);
    return *this;
  }
};

// Answers one request (`args` are the bytes after the command id).
Reply Dispatch(Terminal& t, Session* s, std::uint32_t command, const std::uint8_t* args,
               std::size_t size);

// The command groups (market_commands.cc, trade_commands.cc); each returns
// false when it does not know the command.
bool DispatchMarket(Terminal& t, Session* s, std::uint32_t command, ArgReader& args, Reply* out);
bool DispatchTrade(Terminal& t, Session* s, std::uint32_t command, ArgReader& args, Reply* out);

}  // namespace zk5::term

#endif  // ZK5_TERMINAL_SERVER_DISPATCH_H_
