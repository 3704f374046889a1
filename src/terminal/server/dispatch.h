// One request in, one reply out: the command catalogue of the terminal.
//
// A request is decoded by its command's entry in ipc::kCommands before any
// handler sees it. One whose arguments do not fit the entry exactly (too
// short, bytes left over, a count that runs past the end) is answered with
// status -2 and no payload; an unknown command with -1. Nothing a client
// sends can make the terminal fail otherwise.
#ifndef ZK5_TERMINAL_SERVER_DISPATCH_H_
#define ZK5_TERMINAL_SERVER_DISPATCH_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "ipc/commands.h"
#include "server/context.h"

namespace zk5::term {

// The arguments of one request, decoded by its command's table entry; each
// is read by its position in the entry. Reading one as another kind than
// the entry's is a programming error: it yields zero and the request is
// answered with -1 (Dispatch checks misread()).
class Args {
 public:
  // False unless `data` holds exactly the arguments `entry` lists.
  bool Decode(const ipc::CommandEntry& entry, const std::uint8_t* data, std::size_t size);

  std::uint8_t U8(std::size_t i) const {
    return static_cast<std::uint8_t>(Number(i, ipc::Arg::kU8));
  }
  std::uint32_t U32(std::size_t i) const {
    return static_cast<std::uint32_t>(Number(i, ipc::Arg::kU32));
  }
  std::int32_t I32(std::size_t i) const;
  std::uint64_t U64(std::size_t i) const { return Number(i, ipc::Arg::kU64); }
  std::int64_t I64(std::size_t i) const;
  double F64(std::size_t i) const;
  const std::u16string& Text(std::size_t i) const;
  // The bytes of a record argument (arg_record->size of them, inside the
  // request); null when misread.
  const std::uint8_t* Record(std::size_t i) const;

  bool misread() const { return misread_; }

 private:
  bool Is(std::size_t i, ipc::Arg kind) const;
  // The argument's bytes, zero-extended to 64 bits.
  std::uint64_t Number(std::size_t i, ipc::Arg kind) const;

  const ipc::CommandEntry* entry_ = nullptr;
  std::uint64_t numbers_[ipc::kMaxArgs] = {};
  std::u16string texts_[ipc::kMaxArgs];
  const std::uint8_t* records_[ipc::kMaxArgs] = {};
  mutable bool misread_ = false;
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

// The command groups (market_commands.cc, trade_commands.cc), given a
// request whose arguments fit its entry; each returns false when it does
// not know the command.
bool DispatchMarket(Terminal& t, Session* s, ipc::CommandId command, const Args& args, Reply* out);
bool DispatchTrade(Terminal& t, Session* s, ipc::CommandId command, const Args& args, Reply* out);

}  // namespace zk5::term

#endif  // ZK5_TERMINAL_SERVER_DISPATCH_H_
