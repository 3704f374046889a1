// What the list functions of orders.cc and history.cc share: the count
// reply, the ticket look-up with its not-found rule, and turning a received
// record block (filtered or not) into a tuple of records.
#ifndef ZK5_CLIENT_BINDINGS_TRADING_LISTS_H_
#define ZK5_CLIENT_BINDINGS_TRADING_LISTS_H_

#include <Python.h>

#include <cstdint>

#include "bindings/record_types.h"
#include "connection/calls.h"
#include "ipc/records.h"

namespace zk5::trading {

// One family of records: its named-tuple type, its wire layout and where the
// group filter finds its symbol.
struct RecordKind {
  RecordType type;
  const records::RecordDef* def;
  std::uint32_t symbol_offset;
};

extern const RecordKind kPositionKind;
extern const RecordKind kOrderKind;
extern const RecordKind kDealKind;

// A look-up by ticket (POSITION_BY_TICKET and the like). Not found (-4) and
// status 0 give an empty tuple and leave the error state alone, a positive
// status a tuple of the one record, anything else None.
PyObject* TicketTuple(calls::RecordByNumberCommand command, const RecordKind& kind,
                      std::uint64_t ticket);

// The outcome of an array exchange: a tuple of the `count` records in
// `block`, or None with the error state set. Releases the block (HeapFree)
// on every path.
PyObject* ListTuple(std::int32_t result, void* block, std::uint32_t count, const RecordKind& kind);

// The unfiltered list of `command` (over `range`) narrowed to the records
// whose symbol `mask` selects, in the terminal's order.
PyObject* GroupTuple(calls::ListCommand command, const char16_t* mask, const RecordKind& kind);
PyObject* GroupTuple(calls::ListByRangeCommand command, const calls::Range& range,
                     const char16_t* mask, const RecordKind& kind);

}  // namespace zk5::trading

#endif  // ZK5_CLIENT_BINDINGS_TRADING_LISTS_H_
