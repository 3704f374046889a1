// The eleven result record types (struct sequences with `_asdict`) and the
// table-driven conversion of a wire record into one of them.
#ifndef ZK5_CLIENT_BINDINGS_RECORD_TYPES_H_
#define ZK5_CLIENT_BINDINGS_RECORD_TYPES_H_

#include <Python.h>

#include <cstdint>

#include "ipc/records.h"

namespace zk5 {

enum class RecordType {
  kTradePosition,
  kTradeOrder,
  kTradeDeal,
  kTradeRequest,
  kOrderSendResult,
  kOrderCheckResult,
  kTick,
  kTerminalInfo,
  kSymbolInfo,
  kAccountInfo,
  kBookInfo,
};

// The type object, or null when it could not be created at start-up.
PyTypeObject* TypeOf(RecordType type);

// Converts one wire record (laid out by `def`, `def.size` bytes at `record`)
// into a new instance of `type`, every field set from the table. A kNested
// field takes `nested` (a new reference is taken; it must be non-null when
// the table has one). Returns a new reference, or null with no Python error
// pending when the object cannot be built (the caller reports code -1).
PyObject* RecordToPython(RecordType type, const records::RecordDef& def, const std::uint8_t* record,
                         PyObject* nested = nullptr);

// Converts `count` consecutive records of a block into a tuple of records.
// Null (no Python error pending) on failure.
PyObject* RecordsToTuple(RecordType type, const records::RecordDef& def, const std::uint8_t* block,
                         std::uint32_t count);

// The outcome of an array exchange (`result`, and the block and count it
// delivered) as a tuple of records. A negative result, or a tuple that
// cannot be built (code -1), gives None with the error state set. The block
// is released (ipc::HeapFree) on every path.
PyObject* ArrayResultToTuple(std::int32_t result, RecordType type, const records::RecordDef& def,
                             void* block, std::uint32_t count);

// bindings/record_dtypes.cc: the NumPy record type (a PyArray_Descr) of
// kRates or kTick, built at start-up by BuildNumpyRecordTypes; null for other
// records or when building failed. A borrowed reference.
PyObject* RecordDtype(const records::RecordDef& def);

// Start-up: builds the NumPy types of bars and ticks (record_dtypes.cc;
// failure is not fatal), and creates and registers the eleven record types.
void BuildNumpyRecordTypes();
void RegisterRecordTypes(PyObject* module);

}  // namespace zk5

#endif  // ZK5_CLIENT_BINDINGS_RECORD_TYPES_H_
