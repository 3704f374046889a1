#include "bindings/trading/lists.h"

#include "bindings/error_state.h"

namespace zk5::trading {

const RecordKind kPositionKind = {RecordType::kTradePosition, &records::kTradePosition,
                                  records::kTradePositionSymbolOffset};
const RecordKind kOrderKind = {RecordType::kTradeOrder, &records::kTradeOrder,
                               records::kTradeOrderSymbolOffset};
const RecordKind kDealKind = {RecordType::kTradeDeal, &records::kTradeDeal,
                              records::kTradeDealSymbolOffset};

namespace {

// The largest record a ticket look-up receives (a TradeOrder).
constexpr std::uint32_t kMaxTicketRecord = records::MaxSize(
    records::kTradeOrderSize, records::kTradePositionSize, records::kTradeDealSize);

}  // namespace

PyObject* TicketTuple(calls::RecordByNumberCommand command, const RecordKind& kind,
                      std::uint64_t ticket) {
  std::uint8_t record[kMaxTicketRecord] = {};
  if (kind.def->size > sizeof record) return FailNone(kIpcCallFailed);
  const std::int32_t result = calls::RecordByNumber(command, ticket, record, kind.def->size);
  // The terminal's not-found is an empty answer, not a failure.
  if (result == kNotFound || result == 0) return PyTuple_New(0);
  if (result < 0) return FailNone(result);
  PyObject* tuple = RecordsToTuple(kind.type, *kind.def, record, 1);
  if (tuple == nullptr) return FailNone(kCallFailed);
  return tuple;
}

PyObject* ListTuple(std::int32_t result, void* block, std::uint32_t count, const RecordKind& kind) {
  return ArrayResultToTuple(result, kind.type, *kind.def, block, count);
}

PyObject* GroupTuple(calls::ListCommand command, const char16_t* mask, const RecordKind& kind) {
  void* block = nullptr;
  std::uint32_t count = 0;
  const std::int32_t result =
      calls::ListByGroup(command, mask, kind.def->size, kind.symbol_offset, &block, &count);
  return ListTuple(result, block, count, kind);
}

PyObject* GroupTuple(calls::ListByRangeCommand command, const calls::Range& range,
                     const char16_t* mask, const RecordKind& kind) {
  void* block = nullptr;
  std::uint32_t count = 0;
  const std::int32_t result =
      calls::ListByGroup(command, range, mask, kind.def->size, kind.symbol_offset, &block, &count);
  return ListTuple(result, block, count, kind);
}

}  // namespace zk5::trading
