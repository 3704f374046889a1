// Reading and writing wire records by field name, through the shared layout
// tables of ipc/records.h: the terminal never spells out an offset itself.
//
// A name that the record does not have, or a value of the wrong kind for the
// field, is a programming error: the setter reports it by returning false
// and tests catch it (every record the terminal builds is checked against
// the tables by record_io_test.cc).
#ifndef ZK5_TERMINAL_RECORD_IO_H_
#define ZK5_TERMINAL_RECORD_IO_H_

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

  const records::RecordDef& def_;
  const std::uint8_t* record_;
  mutable bool ok_ = true;
};

// Offset of a field, for the hot loops that write millions of records; the
// field must exist (checked once at start-up by the callers' tests).
std::uint32_t FieldOffset(const records::RecordDef& def, const char* name);

}  // namespace zk5::term

#endif  // ZK5_TERMINAL_RECORD_IO_H_
