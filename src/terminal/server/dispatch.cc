#include "server/dispatch.h"

#include <cstring>

#include "accounts/record_io.h"
#include "ipc/commands.h"

namespace zk5::term {

bool ArgReader::Raw(void* dest, std::size_t n) {
  if (!ok_ || n > left_) {
    ok_ = false;
    return false;
  }
  std::memcpy(dest, p_, n);
  p_ += n;
  left_ -= n;
  return true;
}

bool ArgReader::String(std::u16string* v) {
  std::uint32_t n = 0;
  if (!U32(&n)) return false;
  if (std::uint64_t{n} * 2 > left_) {
    ok_ = false;
    return false;
  }
  v->resize(n);
  for (std::uint32_t i = 0; i < n; ++i) {
    std::uint16_t unit;
    std::memcpy(&unit, p_ + 2 * i, 2);
    (*v)[i] = static_cast<char16_t>(unit);
  }
  p_ += 2 * std::size_t{n};
  left_ -= 2 * std::size_t{n};
  return true;
}

bool ArgReader::Record(std::size_t size, const std::uint8_t** rec) {
  if (!ok_ || size > left_) {
    ok_ = false;
    return false;
  }
  *rec = p_;
  p_ += size;
  left_ -= size;
  return true;
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
  ArgReader reader(args, size);
  Reply reply;
  const std::uint64_t refused = RefusedFieldAccesses();
  if (!DispatchMarket(t, s, command, reader, &reply) &&
      !DispatchTrade(t, s, command, reader, &reply)) {
    reply = Reply::Fail(kCallFailed);
  } else if (RefusedFieldAccesses() != refused) {
    // A record built or read with a refused field is never sent.
    reply = Reply::Fail(kCallFailed);
  }
  // The replay's own commands move the clock as they say, not by a step.
  if (command < static_cast<std::uint32_t>(ipc::CommandId::REPLAY_STATE)) t.Answered();
  return reply;
}

}  // namespace zk5::term
