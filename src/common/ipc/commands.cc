#include "ipc/commands.h"

#include <cstring>

namespace zk5::ipc {

Text TextOf(const char16_t* nul_terminated) {
  Text t;
  t.units = nul_terminated;
  if (nul_terminated != nullptr) {
    while (nul_terminated[t.size] != 0) ++t.size;
  }
  return t;
}

namespace {

bool ReadHeader(PipeReader& r, Header* h) {
  if (!r.begin()) return false;
  if (!r.get_u32(&h->echo)) return false;
  h->have_echo = true;
  if (!r.get_i32(&h->status)) return false;
  h->have_status = true;
  return true;
}

}  // namespace

bool DecodeStatusOnly(PipeReader& r, Header* h) { return ReadHeader(r, h) && r.finished(); }

std::array<std::uint8_t, kStatusOnlyFrameSize> StatusOnlyFrame(CommandId id, std::int32_t status) {
  std::array<std::uint8_t, kStatusOnlyFrameSize> frame{};
  PutFrameHeader(frame.data(), kStatusOnlyFrameSize - 4, static_cast<std::uint32_t>(id));
  std::memcpy(frame.data() + kFrameHeaderSize, &status, 4);
  return frame;
}

bool DecodeU32(PipeReader& r, Header* h, std::uint32_t* v) {
  return ReadHeader(r, h) && r.get_u32(v) && r.finished();
}

bool DecodeF64(PipeReader& r, Header* h, double* v) {
  return ReadHeader(r, h) && r.get_f64(v) && r.finished();
}

bool DecodeU32U32String(PipeReader& r, Header* h, std::uint32_t* a, std::uint32_t* b,
                        const ArrayOut& text) {
  if (!(ReadHeader(r, h) && r.get_u32(a) && r.get_u32(b) && r.get_array(2, text))) {
    return false;
  }
  if (r.finished()) return true;
  text.Release(*text.block);
  *text.block = nullptr;
  *text.count = 0;
  return false;
}

bool DecodeRecord(PipeReader& r, Header* h, std::uint8_t* record, std::uint32_t size) {
  return ReadHeader(r, h) && r.get(record, size) && r.finished();
}

bool DecodeArray(PipeReader& r, Header* h, std::uint32_t element_size, const ArrayOut& out) {
  if (!(ReadHeader(r, h) && r.get_array(element_size, out))) return false;
  if (r.finished()) return true;
  // Extra bytes after the elements: the reply is not what we asked for.
  out.Release(*out.block);
  *out.block = nullptr;
  *out.count = 0;
  return false;
}

std::int32_t FinishReply(PipeReader& reader, bool decoded, const Header& h, CommandId sent) {
  if (!reader.io_failed()) {
    if (h.have_echo && h.echo != static_cast<std::uint32_t>(sent)) {
      reader.drop();
    } else if (reader.length() < kReplyHeaderBytes) {
      // Not even an echo and a status: not a frame of this protocol.
      reader.drop();
    } else if (!decoded || !reader.finished()) {
      // The frame is whole as far as its length goes, whatever its payload
      // holds: the next reply starts right after it.
      reader.skip_rest();
    }
  }
  if (reader.io_failed()) {
    // The stream closed the pipe already.
    if (os::InterruptPending()) return kIpcRecvFailed;
    if (reader.timed_out()) return kIpcTimeout;
  }
  return ExchangeResult(decoded, h, sent);
}

std::int32_t CheckBeforeSend(os::PipeHandle& pipe) {
  const os::Pending pending = os::PendingInput(pipe);
  if (pending == os::Pending::kNothing) return 0;
  os::ClosePipe(pipe);
  pipe = os::kInvalidPipe;
  return pending == os::Pending::kData ? kIpcCallFailed : kIpcSendFailed;
}

std::int32_t ExchangeResult(bool decoded, const Header& h, CommandId sent) {
  if (h.have_echo && h.echo != static_cast<std::uint32_t>(sent)) {
    return kIpcCallFailed;
  }
  if (!decoded) return (h.have_status && h.status < 0) ? h.status : kIpcRecvFailed;
  return h.status;
}

}  // namespace zk5::ipc
