// Reading and writing wire records by field name, through the shared layout
// tables of ipc/records.h: the terminal never spells out an offset itself.
//
// The terminal names fields through FieldWriter and FieldReader, which look
// each name up in the record's table while compiling: a name the table
// lacks, or a value of another kind than the field's (a real into an integer
// field, a text into a number), does not compile. What is left to run time
// is a value out of the field's range (a negative number into a u32): the
// writer turns ok() false, and the request being answered fails (Dispatch
// checks RefusedFieldAccesses), so no reply carries a record built only in
// part. RecordWriter and RecordReader take names at run time and refuse an
// unknown one the same way; config_test.cc checks the refusals.
#ifndef ZK5_TERMINAL_ACCOUNTS_RECORD_IO_H_
#define ZK5_TERMINAL_ACCOUNTS_RECORD_IO_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "ipc/records.h"

namespace zk5::term {

class RecordWriter {
 public:
  // Writes into `record`, which holds def.size bytes; zeroes it first.
  RecordWriter(const records::RecordDef& def, std::uint8_t* record);

  // Integers go into any integer or flag field (checked for range), doubles
  // into f64 fields, texts into text fields (cut to leave the NUL).
  RecordWriter& Int(const char* name, std::int64_t value);
  RecordWriter& UInt(const char* name, std::uint64_t value);
  RecordWriter& Flag(const char* name, bool value);
  RecordWriter& Real(const char* name, double value);
  RecordWriter& Text(const char* name, const std::u16string& value);

  // The same by the field's table entry.
  RecordWriter& Int(const records::FieldDef& f, std::int64_t value);
  RecordWriter& UInt(const records::FieldDef& f, std::uint64_t value);
  RecordWriter& Flag(const records::FieldDef& f, bool value);
  RecordWriter& Real(const records::FieldDef& f, double value);
  RecordWriter& Text(const records::FieldDef& f, const std::u16string& value);

  // False once any setter was given an unknown name or a value that does
  // not fit its field.
  bool ok() const { return ok_; }

 private:
  const records::FieldDef* Find(const char* name);
  void Refuse();

  const records::RecordDef& def_;
  std::uint8_t* record_;
  bool ok_ = true;
};

class RecordReader {
 public:
  RecordReader(const records::RecordDef& def, const std::uint8_t* record);

  std::int64_t Int(const char* name) const;
  std::uint64_t UInt(const char* name) const;
  double Real(const char* name) const;
  std::u16string Text(const char* name) const;

  // The same by the field's table entry.
  std::int64_t Int(const records::FieldDef& f) const;
  std::uint64_t UInt(const records::FieldDef& f) const;
  double Real(const records::FieldDef& f) const;
  std::u16string Text(const records::FieldDef& f) const;

  bool ok() const { return ok_; }

 private:
  const records::FieldDef* Find(const char* name, bool text) const;
  void Refuse() const;

  const records::RecordDef& def_;
  const std::uint8_t* record_;
  mutable bool ok_ = true;
};

namespace detail {

constexpr bool IsNumber(records::WireType t) {
  return t == records::WireType::kBool8 || t == records::WireType::kU8 ||
         t == records::WireType::kU32 || t == records::WireType::kI32 ||
         t == records::WireType::kU64 || t == records::WireType::kI64;
}

}  // namespace detail

// A writer of records of type R whose fields are named while compiling:
//   using W = FieldWriter<records::kAccountInfo>;
//   W(rec).UInt<W::Field("login")>(acc.login).Real<W::Field("balance")>(b);
template <const records::RecordDef& R>
class FieldWriter {
 public:
  // The field's position in R's table; a name R lacks does not compile.
  static constexpr std::uint16_t Field(std::string_view name) {
    return records::FieldIndex(R, name);
  }

  explicit FieldWriter(std::uint8_t* record) : w_(R, record) {}

  template <std::uint16_t F>
  FieldWriter& Int(std::int64_t value) {
    static_assert(detail::IsNumber(R.fields[F].type), "an integer goes into an integer field");
    w_.Int(R.fields[F], value);
    return *this;
  }
  template <std::uint16_t F>
  FieldWriter& UInt(std::uint64_t value) {
    static_assert(detail::IsNumber(R.fields[F].type), "an integer goes into an integer field");
    w_.UInt(R.fields[F], value);
    return *this;
  }
  template <std::uint16_t F>
  FieldWriter& Flag(bool value) {
    static_assert(
        R.fields[F].type == records::WireType::kBool8 || R.fields[F].type == records::WireType::kU8,
        "a flag goes into a one-byte field");
    w_.Flag(R.fields[F], value);
    return *this;
  }
  template <std::uint16_t F>
  FieldWriter& Real(double value) {
    static_assert(R.fields[F].type == records::WireType::kF64, "a real goes into an f64 field");
    w_.Real(R.fields[F], value);
    return *this;
  }
  template <std::uint16_t F>
  FieldWriter& Text(const std::u16string& value) {
    static_assert(R.fields[F].type == records::WireType::kText, "a text goes into a text field");
    w_.Text(R.fields[F], value);
    return *this;
  }

  bool ok() const { return w_.ok(); }

 private:
  RecordWriter w_;
};

// A reader of records of type R whose fields are named while compiling.
template <const records::RecordDef& R>
class FieldReader {
 public:
  static constexpr std::uint16_t Field(std::string_view name) {
    return records::FieldIndex(R, name);
  }

  explicit FieldReader(const std::uint8_t* record) : r_(R, record) {}

  template <std::uint16_t F>
  std::int64_t Int() const {
    static_assert(detail::IsNumber(R.fields[F].type), "an integer comes from an integer field");
    return r_.Int(R.fields[F]);
  }
  template <std::uint16_t F>
  std::uint64_t UInt() const {
    static_assert(detail::IsNumber(R.fields[F].type), "an integer comes from an integer field");
    return r_.UInt(R.fields[F]);
  }
  template <std::uint16_t F>
  double Real() const {
    static_assert(R.fields[F].type == records::WireType::kF64, "a real comes from an f64 field");
    return r_.Real(R.fields[F]);
  }
  template <std::uint16_t F>
  std::u16string Text() const {
    static_assert(R.fields[F].type == records::WireType::kText, "a text comes from a text field");
    return r_.Text(R.fields[F]);
  }

  bool ok() const { return r_.ok(); }

 private:
  RecordReader r_;
};

// The byte offset of a field, while compiling, for the hot loops that write
// millions of records.
constexpr std::uint32_t FieldOffsetOf(const records::RecordDef& def, std::string_view name) {
  return def.fields[records::FieldIndex(def, name)].offset;
}

// How many field accesses writers and readers on this thread have refused so
// far; a count that moved while a request was answered means the reply is
// not what the tables describe.
std::uint64_t RefusedFieldAccesses();

// Offset of a field, for the hot loops that write millions of records; the
// field must exist (checked once at start-up by the callers' tests).
std::uint32_t FieldOffset(const records::RecordDef& def, const char* name);

}  // namespace zk5::term

#endif  // ZK5_TERMINAL_ACCOUNTS_RECORD_IO_H_
