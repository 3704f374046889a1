// Reading and writing wire records by field name, through the shared layout
// tables of ipc/records.h: the terminal never spells out an offset itself.
//
// A name that the record does not have, or a value of the wrong kind for the
// field, is a programming error: the writer or reader turns ok() false, and
// the request being answered fails (Dispatch checks RefusedFieldAccesses),
// so no reply carries a record built only in part. config_test.cc checks
// the refusals; the terminal tests build every record the terminal sends.
#ifndef ZK5_TERMINAL_ACCOUNTS_RECORD_IO_H_
#define ZK5_TERMINAL_ACCOUNTS_RECORD_IO_H_

#include <cstdint>
#include <string>
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
  bool ok() const { return ok_; }

 private:
  const records::FieldDef* Find(const char* name, bool text) const;
  void Refuse() const;

  const records::RecordDef& def_;
  const std::uint8_t* record_;
  mutable bool ok_ = true;
};

// How many field accesses writers and readers on this thread have refused so
// far; a count that moved while a request was answered means the reply is
// not what the tables describe.
std::uint64_t RefusedFieldAccesses();

// Offset of a field, for the hot loops that write millions of records; the
// field must exist (checked once at start-up by the callers' tests).
std::uint32_t FieldOffset(const records::RecordDef& def, const char* name);

}  // namespace zk5::term

#endif  // ZK5_TERMINAL_ACCOUNTS_RECORD_IO_H_
