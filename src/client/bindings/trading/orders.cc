// orders_total, orders_get, positions_total, positions_get.
//
// The two pairs differ only in their commands and record type. A get takes
// at most one filter, chosen by the first of `ticket`, `symbol`, `group`
// present; the others are not even looked at.
#include "bindings/convert.h"
#include "bindings/error_state.h"
#include "bindings/function_table.h"
#include "bindings/serial.h"
#include "bindings/trading/lists.h"
#include "connection/calls.h"
#include "ipc/commands.h"

namespace zk5 {

namespace {

using calls::CommandId;

using calls::kCommand;

struct OpenFamily {
  const char* name;  // of the get function
  calls::CountCommand total;
  calls::ListCommand all;
  calls::ListByTextCommand by_symbol;
  calls::RecordByNumberCommand by_ticket;
  const trading::RecordKind* kind;
};

const OpenFamily kPositions = {"positions_get",
                               kCommand<CommandId::POSITIONS_TOTAL>,
                               kCommand<CommandId::POSITIONS_ALL>,
                               kCommand<CommandId::POSITIONS_BY_SYMBOL>,
                               kCommand<CommandId::POSITION_BY_TICKET>,
                               &trading::kPositionKind};
const OpenFamily kOrders = {"orders_get",
                            kCommand<CommandId::ORDERS_TOTAL>,
                            kCommand<CommandId::ORDERS_ALL>,
                            kCommand<CommandId::ORDERS_BY_SYMBOL>,
                            kCommand<CommandId::ORDER_BY_TICKET>,
                            &trading::kOrderKind};

PyObject* Total(const OpenFamily& family) {
  ResetError();
  std::uint32_t count = 0;
  const std::int32_t result = calls::Count(family.total, &count);
  return CountResult(result, count);
}

PyObject* Get(const OpenFamily& family, PyObject* args, PyObject* kwargs) {
  if (!WarnUnknownKeys(kwargs, family.name, "keyword argument", {"symbol", "group", "ticket"})) {
    return nullptr;
  }
  ResetError();
  if (args != nullptr && PyTuple_GET_SIZE(args) > 0) {
    return FailNone(kInvalidParams, kMsgUnnamedNotAllowed);
  }
  const trading::RecordKind& kind = *family.kind;

  if (PyObject* value = KwItem(kwargs, "ticket")) {
    std::uint64_t ticket = 0;
    if (!read_uint64_value(value, &ticket)) {
      return FailNone(kInvalidParams, InvalidNamedArgument("ticket").c_str());
    }
    return trading::TicketTuple(family.by_ticket, kind, ticket);
  }

  if (PyObject* value = KwItem(kwargs, "symbol")) {
    char16_t symbol[kSymbolUnits];
    if (!read_symbol_arg(value, symbol)) {
      return FailNone(kInvalidParams, InvalidNamedArgument("symbol").c_str());
    }
    void* block = nullptr;
    std::uint32_t count = 0;
    const std::int32_t result =
        calls::ListByText(family.by_symbol, ipc::TextOf(symbol), kind.def->size, {&block, &count});
    return trading::ListTuple(result, block, count, kind);
  }

  if (PyObject* value = KwItem(kwargs, "group")) {
    char16_t mask[kMaskUnits];
    if (!read_mask_arg(value, mask)) {
      return FailNone(kInvalidParams, InvalidNamedArgument("group").c_str());
    }
    return trading::GroupTuple(family.all, mask, kind);
  }

  void* block = nullptr;
  std::uint32_t count = 0;
  const std::int32_t result = calls::List(family.all, kind.def->size, {&block, &count});
  return trading::ListTuple(result, block, count, kind);
}

}  // namespace

PyObject* PyPositionsTotal(PyObject*, PyObject*) { return Total(kPositions); }

PyObject* PyPositionsGet(PyObject*, PyObject* args, PyObject* kwargs) {
  return Get(kPositions, args, kwargs);
}

PyObject* PyOrdersTotal(PyObject*, PyObject*) { return Total(kOrders); }

PyObject* PyOrdersGet(PyObject*, PyObject* args, PyObject* kwargs) {
  return Get(kOrders, args, kwargs);
}

// This file's functions in the module's method table (module.cc puts the
// groups in order).
const FunctionGroup kOrdersFunctions = {{
    {"positions_total", Serial<PyPositionsTotal>, METH_NOARGS,
     ZK5_DOC("positions_total()", "positions_total()", "Return the number of open positions")},
    {"positions_get", ZK5_KW(SerialKw<PyPositionsGet>), METH_VARARGS | METH_KEYWORDS,
     ZK5_DOC("positions_get(*, symbol=..., ticket=..., group=...)",
             "positions_get([symbol=\"SYMBOL\"],[ticket=TICKET],[group=\"GROUP\"])",
             "Return all open positions, can be filtered by symbol, group or ticket")},
    {"orders_total", Serial<PyOrdersTotal>, METH_NOARGS,
     ZK5_DOC("orders_total()", "orders_total()", "Return the number of orders")},
    {"orders_get", ZK5_KW(SerialKw<PyOrdersGet>), METH_VARARGS | METH_KEYWORDS,
     ZK5_DOC("orders_get(*, symbol=..., ticket=..., group=...)",
             "orders_get([symbol=\"SYMBOL\"],[ticket=TICKET],[group=\"GROUP\"])",
             "Return all orders, can be filtered by symbol, group or ticket")},
}};

}  // namespace zk5
