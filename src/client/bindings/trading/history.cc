// history_orders_total, history_orders_get, history_deals_total,
// history_deals_get.
//
// A get has three forms: two positional dates (optionally narrowed by a
// `group` mask, other keywords ignored), or no positional argument and a
// `ticket` or, failing that, a `position` keyword.
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

struct HistoryFamily {
  const char* name;  // of the get function
  calls::CountRangeCommand total;
  calls::ListByRangeCommand range;
  calls::ListByNumberCommand by_position;
  calls::RecordByNumberCommand by_ticket;
  const trading::RecordKind* kind;
};

const HistoryFamily kHistoryOrders = {"history_orders_get",
                                      kCommand<CommandId::HISTORY_ORDERS_TOTAL>,
                                      kCommand<CommandId::HISTORY_ORDERS_RANGE>,
                                      kCommand<CommandId::HISTORY_ORDERS_BY_POSITION>,
                                      kCommand<CommandId::HISTORY_ORDER_BY_TICKET>,
                                      &trading::kOrderKind};
const HistoryFamily kHistoryDeals = {"history_deals_get",
                                     kCommand<CommandId::HISTORY_DEALS_TOTAL>,
                                     kCommand<CommandId::HISTORY_DEALS_RANGE>,
                                     kCommand<CommandId::HISTORY_DEALS_BY_POSITION>,
                                     kCommand<CommandId::HISTORY_DEAL_BY_TICKET>,
                                     &trading::kDealKind};

Py_ssize_t PositionalCount(PyObject* args) { return args != nullptr ? PyTuple_GET_SIZE(args) : 0; }

// The two positional dates, widened to the wire's 64 bits by sign extension.
bool ReadRange(PyObject* args, calls::Range* range) {
  std::int32_t from = 0;
  std::int32_t to = 0;
  if (!read_date_arg(PyTuple_GET_ITEM(args, 0), &from) ||
      !read_date_arg(PyTuple_GET_ITEM(args, 1), &to)) {
    return false;
  }
  range->from = from;
  range->to = to;
  return true;
}

PyObject* Total(const HistoryFamily& family, PyObject* args) {
  ResetError();
  calls::Range range{};
  if (PositionalCount(args) != 2 || !ReadRange(args, &range)) {
    return FailNone(kInvalidParams, kMsgInvalidArguments);
  }
  std::uint32_t count = 0;
  const std::int32_t result = calls::CountRange(family.total, range.from, range.to, &count);
  return CountResult(result, count);
}

PyObject* GetRange(const HistoryFamily& family, PyObject* args, PyObject* kwargs) {
  const trading::RecordKind& kind = *family.kind;
  calls::Range range{};
  if (!ReadRange(args, &range)) return FailNone(kInvalidParams, kMsgInvalidArguments);

  if (PyObject* value = KwItem(kwargs, "group")) {
    char16_t mask[kMaskUnits];
    if (!read_mask_arg(value, mask)) {
      return FailNone(kInvalidParams, InvalidNamedArgument("group").c_str());
    }
    return trading::GroupTuple(family.range, range, mask, kind);
  }

  void* block = nullptr;
  std::uint32_t count = 0;
  const std::int32_t result =
      calls::ListByRange(family.range, range.from, range.to, kind.def->size, {&block, &count});
  return trading::ListTuple(result, block, count, kind);
}

PyObject* Get(const HistoryFamily& family, PyObject* args, PyObject* kwargs) {
  if (!WarnUnknownKeys(kwargs, family.name, "keyword argument", {"group", "ticket", "position"})) {
    return nullptr;
  }
  ResetError();
  const Py_ssize_t positional = PositionalCount(args);
  if (positional == 2) return GetRange(family, args, kwargs);

  const trading::RecordKind& kind = *family.kind;
  if (PyObject* value = KwItem(kwargs, "ticket")) {
    if (positional > 0) return FailNone(kInvalidParams, kMsgUnnamedNotAllowed);
    std::uint64_t ticket = 0;
    if (!read_uint64_value(value, &ticket)) {
      return FailNone(kInvalidParams, InvalidNamedArgument("ticket").c_str());
    }
    return trading::TicketTuple(family.by_ticket, kind, ticket);
  }

  if (PyObject* value = KwItem(kwargs, "position")) {
    if (positional > 0) return FailNone(kInvalidParams, kMsgUnnamedNotAllowed);
    std::uint64_t position = 0;
    if (!read_uint64_value(value, &position)) {
      return FailNone(kInvalidParams, InvalidNamedArgument("position").c_str());
    }
    void* block = nullptr;
    std::uint32_t count = 0;
    const std::int32_t result =
        calls::ListByNumber(family.by_position, position, kind.def->size, {&block, &count});
    return trading::ListTuple(result, block, count, kind);
  }

  // No keywords, or none that selects a form (a group alone is honoured only
  // with two dates).
  return FailNone(kInvalidParams, kMsgInvalidArguments);
}

}  // namespace

PyObject* PyHistoryOrdersTotal(PyObject*, PyObject* args) { return Total(kHistoryOrders, args); }

PyObject* PyHistoryOrdersGet(PyObject*, PyObject* args, PyObject* kwargs) {
  return Get(kHistoryOrders, args, kwargs);
}

PyObject* PyHistoryDealsTotal(PyObject*, PyObject* args) { return Total(kHistoryDeals, args); }

PyObject* PyHistoryDealsGet(PyObject*, PyObject* args, PyObject* kwargs) {
  return Get(kHistoryDeals, args, kwargs);
}

// This file's functions in the module's method table (module.cc puts the
// groups in order).
const FunctionGroup kHistoryFunctions = {{
    {"history_orders_total", Serial<PyHistoryOrdersTotal>, METH_VARARGS,
     ZK5_DOC("history_orders_total(date_from, date_to, /)",
             "history_orders_total(date_from, date_to)",
             "Return the number of orders in selected range from history")},
    {"history_orders_get", ZK5_KW(SerialKw<PyHistoryOrdersGet>), METH_VARARGS | METH_KEYWORDS,
     ZK5_DOC("history_orders_get(date_from=..., date_to=..., /, *, group=..., position=..., "
             "ticket=...)",
             "history_orders_get([date_from, date_to, [group=\"GROUP\"]],[position=POSITION],"
             "[ticket=TICKET])",
             "Return orders in selected range from history or filtered by position id, ticket")},
    {"history_deals_total", Serial<PyHistoryDealsTotal>, METH_VARARGS,
     ZK5_DOC("history_deals_total(date_from, date_to, /)",
             "history_deals_total(date_from, date_to)",
             "Return the number of deals in selected range from history")},
    {"history_deals_get", ZK5_KW(SerialKw<PyHistoryDealsGet>), METH_VARARGS | METH_KEYWORDS,
     ZK5_DOC("history_deals_get(date_from=..., date_to=..., /, *, group=..., position=..., "
             "ticket=...)",
             "history_deals_get([date_from, date_to, [group=\"GROUP\"]],[position=POSITION],"
             "[ticket=TICKET])",
             "Return deals in selected range from history or filtered by position id, ticket")},
}};

}  // namespace zk5
