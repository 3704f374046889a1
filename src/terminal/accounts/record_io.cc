#include "accounts/record_io.h"

#include <cmath>
#include <cstring>
#include <limits>

#include "ipc/wire.h"

namespace zk5::term {

using records::FieldDef;
using records::WireType;

namespace {

// Refused field accesses on this thread (each connection is served on its
// own thread).
thread_local std::uint64_t t_refused = 0;

}  // namespace

std::uint64_t RefusedFieldAccesses() { return t_refused; }

void RecordWriter::Refuse() {
  ok_ = false;
  ++t_refused;
}

void RecordReader::Refuse() const {
  ok_ = false;
  ++t_refused;
}

RecordWriter::RecordWriter(const records::RecordDef& def, std::uint8_t* record)
    : def_(def), record_(record) {
  std::memset(record_, 0, def_.size);
}

const FieldDef* RecordWriter::Find(const char* name) {
  const FieldDef* f = records::FindField(def_, name);
  if (f == nullptr || f->type == WireType::kNested) Refuse();
  return ok_ ? f : nullptr;
}

RecordWriter& RecordWriter::Int(const char* name, std::int64_t value) {
  const FieldDef* f = Find(name);
  return f == nullptr ? *this : Int(*f, value);
}

RecordWriter& RecordWriter::Int(const FieldDef& field, std::int64_t value) {
  const FieldDef* f = &field;
  std::uint8_t* p = record_ + f->offset;
  switch (f->type) {
    case WireType::kBool8:
    case WireType::kU8:
      if (value < 0 || value > 0xFF)
        Refuse();
      else
        *p = static_cast<std::uint8_t>(value);
      break;
    case WireType::kU32:
      if (value < 0 || value > 0xFFFFFFFFLL)
        Refuse();
      else
        wire::Store(p, static_cast<std::uint32_t>(value));
      break;
    case WireType::kI32:
      if (value < std::numeric_limits<std::int32_t>::min() ||
          value > std::numeric_limits<std::int32_t>::max()) {
        Refuse();
      } else {
        wire::Store(p, static_cast<std::int32_t>(value));
      }
      break;
    case WireType::kU64:
      if (value < 0)
        Refuse();
      else
        wire::Store(p, static_cast<std::uint64_t>(value));
      break;
    case WireType::kI64:
      wire::Store(p, value);
      break;
    default:
      Refuse();
  }
  return *this;
}

RecordWriter& RecordWriter::UInt(const char* name, std::uint64_t value) {
  const FieldDef* f = Find(name);
  return f == nullptr ? *this : UInt(*f, value);
}

RecordWriter& RecordWriter::UInt(const FieldDef& field, std::uint64_t value) {
  const FieldDef* f = &field;
  if (f->type == WireType::kU64) {
    wire::Store(record_ + f->offset, value);
  } else if (value > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
    Refuse();
  } else {
    Int(field, static_cast<std::int64_t>(value));
  }
  return *this;
}

RecordWriter& RecordWriter::Flag(const char* name, bool value) {
  const FieldDef* f = Find(name);
  return f == nullptr ? *this : Flag(*f, value);
}

RecordWriter& RecordWriter::Flag(const FieldDef& field, bool value) {
  const FieldDef* f = &field;
  if (f->type != WireType::kBool8 && f->type != WireType::kU8) {
    Refuse();
  } else {
    record_[f->offset] = value ? 1 : 0;
  }
  return *this;
}

RecordWriter& RecordWriter::Real(const char* name, double value) {
  const FieldDef* f = Find(name);
  return f == nullptr ? *this : Real(*f, value);
}

RecordWriter& RecordWriter::Real(const FieldDef& field, double value) {
  const FieldDef* f = &field;
  if (f->type != WireType::kF64)
    Refuse();
  else
    wire::Store(record_ + f->offset, value);
  return *this;
}

RecordWriter& RecordWriter::Text(const char* name, const std::u16string& value) {
  const FieldDef* f = Find(name);
  return f == nullptr ? *this : Text(*f, value);
}

RecordWriter& RecordWriter::Text(const FieldDef& field, const std::u16string& value) {
  const FieldDef* f = &field;
  if (f->type != WireType::kText || f->text_units == 0) {
    Refuse();
    return *this;
  }
  std::size_t n = value.size();
  if (n > f->text_units - 1u) n = f->text_units - 1u;
  std::uint8_t* p = record_ + f->offset;
  for (std::size_t i = 0; i < n; ++i) wire::Store(p + 2 * i, static_cast<std::uint16_t>(value[i]));
  // The rest of the field is already zero, the terminator included.
  return *this;
}

RecordReader::RecordReader(const records::RecordDef& def, const std::uint8_t* record)
    : def_(def), record_(record) {}

const FieldDef* RecordReader::Find(const char* name, bool text) const {
  const FieldDef* f = records::FindField(def_, name);
  if (f == nullptr || f->type == WireType::kNested || (f->type == WireType::kText) != text) {
    Refuse();
    return nullptr;
  }
  return f;
}

std::int64_t RecordReader::Int(const char* name) const {
  const FieldDef* f = Find(name, false);
  return f == nullptr ? 0 : Int(*f);
}

std::int64_t RecordReader::Int(const FieldDef& field) const {
  const FieldDef* f = &field;
  const std::uint8_t* p = record_ + f->offset;
  switch (f->type) {
    case WireType::kBool8:
    case WireType::kU8:
      return *p;
    case WireType::kU32:
      return wire::LoadU32(p);
    case WireType::kI32:
      return wire::LoadI32(p);
    case WireType::kU64:
      return static_cast<std::int64_t>(wire::LoadU64(p));
    case WireType::kI64:
      return wire::LoadI64(p);
    case WireType::kF64:
      return static_cast<std::int64_t>(wire::LoadF64(p));
    default:
      Refuse();
      return 0;
  }
}

std::uint64_t RecordReader::UInt(const char* name) const {
  const FieldDef* f = Find(name, false);
  return f == nullptr ? 0 : UInt(*f);
}

std::uint64_t RecordReader::UInt(const FieldDef& f) const {
  if (f.type == WireType::kU64) return wire::LoadU64(record_ + f.offset);
  return static_cast<std::uint64_t>(Int(f));
}

double RecordReader::Real(const char* name) const {
  const FieldDef* f = Find(name, false);
  return f == nullptr ? 0 : Real(*f);
}

double RecordReader::Real(const FieldDef& field) const {
  const FieldDef* f = &field;
  if (f->type != WireType::kF64) {
    Refuse();
    return 0;
  }
  return wire::LoadF64(record_ + f->offset);
}

std::u16string RecordReader::Text(const char* name) const {
  const FieldDef* f = Find(name, true);
  return f == nullptr ? std::u16string() : Text(*f);
}

std::u16string RecordReader::Text(const FieldDef& field) const {
  const FieldDef* f = &field;
  if (f->type != WireType::kText) {
    Refuse();
    return {};
  }
  const std::uint8_t* p = record_ + f->offset;
  const std::size_t n = wire::TextLength(p, f->text_units);
  std::u16string out(n, u'\0');
  for (std::size_t i = 0; i < n; ++i)
    out[i] = static_cast<char16_t>(wire::Load<std::uint16_t>(p + 2 * i));
  return out;
}

std::uint32_t FieldOffset(const records::RecordDef& def, const char* name) {
  const FieldDef* f = records::FindField(def, name);
  return f == nullptr ? 0 : f->offset;
}

}  // namespace zk5::term
