#include "ipc/commands.h"

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

constexpr std::uint32_t kId = 4;

std::uint32_t Sz(Text s) { return 4 + 2 * s.size; }

}  // namespace

// PipeWriter is neither copyable nor movable, so each encoder constructs it
// in place.
#define ZK5_WRITER(w, args) PipeWriter w(pipe, kId + (args), static_cast<std::uint32_t>(id))

bool EncodeNone(os::PipeHandle& pipe, CommandId id) {
  ZK5_WRITER(w, 0);
  return w.flush();
}

bool EncodeU32(os::PipeHandle& pipe, CommandId id, std::uint32_t a) {
  ZK5_WRITER(w, 4);
  return w.put_u32(a) && w.flush();
}

bool EncodeU64(os::PipeHandle& pipe, CommandId id, std::uint64_t a) {
  ZK5_WRITER(w, 8);
  return w.put_u64(a) && w.flush();
}

bool EncodeI64I64(os::PipeHandle& pipe, CommandId id, std::int64_t a, std::int64_t b) {
  ZK5_WRITER(w, 16);
  return w.put_i64(a) && w.put_i64(b) && w.flush();
}

bool EncodeRecord(os::PipeHandle& pipe, CommandId id, const std::uint8_t* record,
                  std::uint32_t size) {
  ZK5_WRITER(w, size);
  return w.put(record, size) && w.flush();
}

bool EncodeString(os::PipeHandle& pipe, CommandId id, Text s) {
  ZK5_WRITER(w, Sz(s));
  return w.put_string(s.units, s.size) && w.flush();
}

bool EncodeStringU8(os::PipeHandle& pipe, CommandId id, Text s, std::uint8_t b) {
  ZK5_WRITER(w, Sz(s) + 1);
  return w.put_string(s.units, s.size) && w.put_u8(b) && w.flush();
}

bool EncodeU32String(os::PipeHandle& pipe, CommandId id, std::uint32_t a, Text s) {
  ZK5_WRITER(w, 4 + Sz(s));
  return w.put_u32(a) && w.put_string(s.units, s.size) && w.flush();
}

bool EncodeStringI64I32I32(os::PipeHandle& pipe, CommandId id, Text s, std::int64_t a,
                           std::int32_t b, std::int32_t c) {
  ZK5_WRITER(w, Sz(s) + 16);
  return w.put_string(s.units, s.size) && w.put_i64(a) && w.put_i32(b) && w.put_i32(c) &&
         w.flush();
}

bool EncodeStringI64I64I32(os::PipeHandle& pipe, CommandId id, Text s, std::int64_t a,
                           std::int64_t b, std::int32_t c) {
  ZK5_WRITER(w, Sz(s) + 20);
  return w.put_string(s.units, s.size) && w.put_i64(a) && w.put_i64(b) && w.put_i32(c) &&
         w.flush();
}

bool EncodeStringI32I64I32(os::PipeHandle& pipe, CommandId id, Text s, std::int32_t a,
                           std::int64_t b, std::int32_t c) {
  ZK5_WRITER(w, Sz(s) + 16);
  return w.put_string(s.units, s.size) && w.put_i32(a) && w.put_i64(b) && w.put_i32(c) &&
         w.flush();
}

bool EncodeStringI32I64I64(os::PipeHandle& pipe, CommandId id, Text s, std::int32_t a,
                           std::int64_t b, std::int64_t c) {
  ZK5_WRITER(w, Sz(s) + 20);
  return w.put_string(s.units, s.size) && w.put_i32(a) && w.put_i64(b) && w.put_i64(c) &&
         w.flush();
}

bool EncodeStringI32I32I32(os::PipeHandle& pipe, CommandId id, Text s, std::int32_t a,
                           std::int32_t b, std::int32_t c) {
  ZK5_WRITER(w, Sz(s) + 12);
  return w.put_string(s.units, s.size) && w.put_i32(a) && w.put_i32(b) && w.put_i32(c) &&
         w.flush();
}

bool EncodeU32StringF64F64(os::PipeHandle& pipe, CommandId id, std::uint32_t a, Text s,
                           double b, double c) {
  ZK5_WRITER(w, 4 + Sz(s) + 16);
  return w.put_u32(a) && w.put_string(s.units, s.size) && w.put_f64(b) && w.put_f64(c) &&
         w.flush();
}

bool EncodeU32StringF64F64F64(os::PipeHandle& pipe, CommandId id, std::uint32_t a,
                              Text s, double b, double c, double d) {
  ZK5_WRITER(w, 4 + Sz(s) + 24);
  return w.put_u32(a) && w.put_string(s.units, s.size) && w.put_f64(b) && w.put_f64(c) &&
         w.put_f64(d) && w.flush();
}

bool EncodeU32U64StringString(os::PipeHandle& pipe, CommandId id, std::uint32_t a,
                              std::uint64_t b, Text s, Text t) {
  ZK5_WRITER(w, 12 + Sz(s) + Sz(t));
  return w.put_u32(a) && w.put_u64(b) && w.put_string(s.units, s.size) &&
         w.put_string(t.units, t.size) && w.flush();
}

#undef ZK5_WRITER

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

bool DecodeStatusOnly(PipeReader& r, Header* h) {
  return ReadHeader(r, h) && r.finished();
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
  text.release(*text.block);
  *text.block = nullptr;
  *text.count = 0;
  return false;
}

bool DecodeRecord(PipeReader& r, Header* h, std::uint8_t* record, std::uint32_t size) {
  return ReadHeader(r, h) && r.get(record, size) && r.finished();
}

bool DecodeArray(PipeReader& r, Header* h, std::uint32_t element_size,
                 const ArrayOut& out) {
  if (!(ReadHeader(r, h) && r.get_array(element_size, out))) return false;
  if (r.finished()) return true;
  // Extra bytes after the elements: the reply is not what we asked for.
  out.release(*out.block);
  *out.block = nullptr;
  *out.count = 0;
  return false;
}

std::int32_t ExchangeResult(bool decoded, const Header& h, CommandId sent) {
  if (h.have_echo && h.echo != static_cast<std::uint32_t>(sent)) {
    return kIpcCallFailed;
  }
  if (!decoded) return (h.have_status && h.status < 0) ? h.status : kIpcRecvFailed;
  return h.status;
}

}  // namespace zk5::ipc
