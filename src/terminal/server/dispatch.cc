#include "server/dispatch.h"

#include <cstring>

#include "accounts/record_io.h"
#include "ipc/commands.h"
#include "ipc/wire.h"

namespace zk5::term {

bool Args::Decode(const ipc::CommandEntry& entry, const std::uint8_t* data, std::size_t size) {
  entry_ = &entry;
  std::size_t at = 0;
  auto take = [&](std::size_t n) {
    if (n > size - at) return false;
    at += n;
    return true;
  };
  for (std::size_t i = 0; i < entry.args.count; ++i) {
    const std::size_t start = at;
    switch (entry.args.kinds[i]) {
      case ipc::Arg::kU8:
        if (!take(1)) return false;
        break;
      case ipc::Arg::kU32:
      case ipc::Arg::kI32:
        if (!take(4)) return false;
        break;
      case ipc::Arg::kU64:
      case ipc::Arg::kI64:
      case ipc::Arg::kF64:
        if (!take(8)) return false;
        break;
      case ipc::Arg::kText: {
        if (!take(4)) return false;
        const std::uint32_t units = wire::LoadU32(data + start);
        if (std::uint64_t{units} * 2 > size - at) return false;
        texts_[i].resize(units);
        for (std::uint32_t u = 0; u < units; ++u) {
          texts_[i][u] = static_cast<char16_t>(wire::Load<std::uint16_t>(data + at + 2 * u));
        }
        at += 2 * std::size_t{units};
        continue;
      }
      case ipc::Arg::kRecord:
        if (!take(entry.arg_record->size)) return false;
        records_[i] = data + start;
        continue;
    }
    std::memcpy(&numbers_[i], data + start, at - start);
  }
  return at == size;
}

bool Args::Is(std::size_t i, ipc::Arg kind) const {
  if (entry_ != nullptr && i < entry_->args.count && entry_->args.kinds[i] == kind) return true;
  misread_ = true;
  return false;
}

std::uint64_t Args::Number(std::size_t i, ipc::Arg kind) const {
  return Is(i, kind) ? numbers_[i] : 0;
}

std::int32_t Args::I32(std::size_t i) const {
  const auto bits = static_cast<std::uint32_t>(Number(i, ipc::Arg::kI32));
  std::int32_t v;
  std::memcpy(&v, &bits, 4);
  return v;
}

std::int64_t Args::I64(std::size_t i) const {
  const std::uint64_t bits = Number(i, ipc::Arg::kI64);
  std::int64_t v;
  std::memcpy(&v, &bits, 8);
  return v;
}

double Args::F64(std::size_t i) const {
  const std::uint64_t bits = Number(i, ipc::Arg::kF64);
  double v;
  std::memcpy(&v, &bits, 8);
  return v;
}

const std::u16string& Args::Text(std::size_t i) const {
  static const std::u16string kNone;
  return Is(i, ipc::Arg::kText) ? texts_[i] : kNone;
}

const std::uint8_t* Args::Record(std::size_t i) const {
  return Is(i, ipc::Arg::kRecord) ? records_[i] : nullptr;
}

Reply& Reply::String(const std::u16string& s) {
  U32(static_cast<std::uint32_t>(s.size()));
  for (char16_t u : s) {
    const auto unit = static_cast<std::uint16_t>(u);
    Raw(&unit, 2);
  }
  return *this;
}

Reply Dispatch(Terminal& t, Session* s, std::uint32_t command, const std::uint8_t* args,
               std::size_t size) {
  const auto market = t.ReadMarket();
  Reply reply;
  const ipc::CommandEntry* entry = ipc::FindCommand(command);
  Args decoded;
  const std::uint64_t refused = RefusedFieldAccesses();
  if (entry == nullptr) {
    reply = Reply::Fail(kCallFailed);
  } else if (!decoded.Decode(*entry, args, size)) {
    reply = Reply::Fail(kInvalidParams);
  } else if (!DispatchMarket(t, s, entry->id, decoded, &reply) &&
             !DispatchTrade(t, s, entry->id, decoded, &reply)) {
    reply = Reply::Fail(kCallFailed);
  } else if (RefusedFieldAccesses() != refused || decoded.misread()) {
    // A record built or read with a refused field is never sent, nor a
    // reply to arguments read other than the table lists them.
    reply = Reply::Fail(kCallFailed);
  }
  // The replay's own commands move the clock as they say, not by a step.
  if (command < static_cast<std::uint32_t>(ipc::CommandId::REPLAY_STATE)) t.Answered();
  return reply;
}

}  // namespace zk5::term
