// order_check, order_send, order_calc_margin, order_calc_profit.
//
// A trade request travels as the fixed TradeRequest record, filled from the
// request dictionary key by key in the record's field order. The module
// checks types and lengths only; every trading decision is the terminal's.
#include <cstring>
#include <string>

#include "bindings/convert.h"
#include "bindings/error_state.h"
#include "bindings/function_table.h"
#include "bindings/record_types.h"
#include "bindings/serial.h"
#include "connection/calls.h"
#include "ipc/commands.h"
#include "ipc/records.h"
#include "ipc/wire.h"

namespace zk5 {

namespace {

using calls::CommandId;
using records::FieldDef;
using records::WireType;

constexpr char kMsgAutoTradingDisabled[] = "Auto-Trading using Python API disabled in Terminal";

// The largest record a trade request exchanges (the OrderSendResult).
constexpr std::uint32_t kMaxTradeRecord =
    records::MaxSize(records::kOrderCheckResultSize, records::kOrderSendResultSize);

// Stores one request value in its field, with the strict conversion of the
// field's wire type. False when the value is refused.
bool StoreField(PyObject* value, const FieldDef& field, std::uint8_t* record) {
  std::uint8_t* at = record + field.offset;
  switch (field.type) {
    case WireType::kU32: {
      std::uint32_t v = 0;
      if (!read_uint32_value(value, &v)) return false;
      wire::Store(at, v);
      return true;
    }
    case WireType::kU64: {
      std::uint64_t v = 0;
      if (!read_uint64_value(value, &v)) return false;
      wire::Store(at, v);
      return true;
    }
    case WireType::kI64: {
      std::int64_t v = 0;
      if (!read_int64_value(value, &v)) return false;
      wire::Store(at, v);
      return true;
    }
    case WireType::kF64: {
      double v = 0.0;
      if (!read_float_value(value, &v)) return false;
      wire::Store(at, v);
      return true;
    }
    case WireType::kText: {
      char16_t text[kSymbolUnits];
      if (field.text_units != kSymbolUnits || !read_text32_value(value, text)) return false;
      for (std::size_t i = 0; i < kSymbolUnits; ++i) {
        wire::Store<std::uint16_t>(at + 2 * i, text[i]);
      }
      return true;
    }
    default:
      // The request record has no other kinds of field.
      return false;
  }
}

// Fills the zeroed request record from `request`. The first present key
// whose value is refused stops the parse with that key's message.
bool BuildRequest(PyObject* request, std::uint8_t* record) {
  const records::RecordDef& def = records::kTradeRequest;
  std::memset(record, 0, def.size);
  for (std::uint16_t i = 0; i < def.count; ++i) {
    const FieldDef& field = def.fields[i];
    PyObject* value = KwItem(request, field.name);
    if (value == nullptr) continue;
    if (!StoreField(value, field, record)) {
      SetError(kInvalidParams, InvalidNamedArgument(field.name).c_str());
      return false;
    }
  }
  return true;
}

// The request object of order_check/order_send: the keywords themselves when
// there are any, else the one positional argument. Null with the error state
// set when the call is malformed.
PyObject* RequestObject(PyObject* args, PyObject* kwargs) {
  const Py_ssize_t positional = args != nullptr ? PyTuple_GET_SIZE(args) : 0;
  PyObject* request = nullptr;
  if (kwargs != nullptr && PyDict_Check(kwargs) && PyDict_GET_SIZE(kwargs) > 0) {
    if (positional > 0) {
      SetError(kInvalidParams, kMsgUnnamedNotAllowed);
      return nullptr;
    }
    request = kwargs;
  } else {
    if (positional != 1) {
      SetError(kInvalidParams, kMsgInvalidArgumentCount);
      return nullptr;
    }
    request = PyTuple_GET_ITEM(args, 0);
  }
  // A TradeRequest record is refused too: only a dictionary names its keys.
  if (!PyDict_Check(request)) {
    SetError(kInvalidParams, kMsgInvalidArguments);
    return nullptr;
  }
  return request;
}

struct TradeCall {
  const char* name;
  calls::TradeCommand command;
  RecordType result_type;
  const records::RecordDef* result_def;
};

PyObject* SendRequest(const TradeCall& call, PyObject* args, PyObject* kwargs) {
  ResetError();
  PyObject* request = RequestObject(args, kwargs);
  if (request == nullptr) Py_RETURN_NONE;
  if (!WarnUnknownRequestKeys(request, call.name)) return nullptr;
  std::uint8_t record[records::kTradeRequestSize];
  if (records::kTradeRequest.size != sizeof record) return FailNone(kCallFailed);
  if (!BuildRequest(request, record)) Py_RETURN_NONE;

  std::uint8_t reply[kMaxTradeRecord] = {};
  if (call.result_def->size > sizeof reply) return FailNone(kCallFailed);
  const std::int32_t result =
      calls::TradeRequest(call.command, record, sizeof record, reply, call.result_def->size);
  if (result < 0) {
    if (call.command.id == CommandId::ORDER_SEND && result == kAutoTradingDisabled) {
      return FailNone(result, kMsgAutoTradingDisabled);
    }
    return FailNone(result);
  }

  // The request field shows what was sent, not what the terminal echoes.
  PyObject* sent = RecordToPython(RecordType::kTradeRequest, records::kTradeRequest, record);
  if (sent == nullptr) return FailNone(kCallFailed);
  PyObject* out = RecordToPython(call.result_type, *call.result_def, reply, sent);
  Py_DECREF(sent);
  if (out == nullptr) return FailNone(kCallFailed);
  return out;
}

const TradeCall kOrderCheck = {"order_check", calls::kCommand<CommandId::ORDER_CHECK>,
                               RecordType::kOrderCheckResult, &records::kOrderCheckResult};
const TradeCall kOrderSend = {"order_send", calls::kCommand<CommandId::ORDER_SEND>,
                              RecordType::kOrderSendResult, &records::kOrderSendResult};

// The leading action and symbol of the calc functions, after the tuple
// parser: the action is taken modulo 2^32, the symbol by the symbol rule.
bool ReadActionSymbol(unsigned long action, PyObject* symbol_obj, std::uint32_t* out_action,
                      char16_t* symbol) {
  if (!read_symbol_arg(symbol_obj, symbol)) return false;
  *out_action = static_cast<std::uint32_t>(action);
  return true;
}

}  // namespace

PyObject* PyOrderCheck(PyObject*, PyObject* args, PyObject* kwargs) {
  return SendRequest(kOrderCheck, args, kwargs);
}

PyObject* PyOrderSend(PyObject*, PyObject* args, PyObject* kwargs) {
  return SendRequest(kOrderSend, args, kwargs);
}

PyObject* PyOrderCalcMargin(PyObject*, PyObject* args) {
  ResetError();
  unsigned long action = 0;
  PyObject* symbol_obj = nullptr;
  double volume = 0.0;
  double price = 0.0;
  std::uint32_t wire_action = 0;
  char16_t symbol[kSymbolUnits];
  if (args == nullptr || PyTuple_GET_SIZE(args) != 4 ||
      !PyArg_ParseTuple(args, "kOdd", &action, &symbol_obj, &volume, &price) ||
      !ReadActionSymbol(action, symbol_obj, &wire_action, symbol)) {
    PyErr_Clear();
    return FailNone(kInvalidParams, kMsgInvalidArguments);
  }
  double margin = 0.0;
  const std::int32_t result =
      calls::CalcMargin(wire_action, ipc::TextOf(symbol), volume, price, &margin);
  return FloatResult(result, margin);
}

PyObject* PyOrderCalcProfit(PyObject*, PyObject* args) {
  ResetError();
  unsigned long action = 0;
  PyObject* symbol_obj = nullptr;
  double volume = 0.0;
  double price_open = 0.0;
  double price_close = 0.0;
  std::uint32_t wire_action = 0;
  char16_t symbol[kSymbolUnits];
  if (args == nullptr || PyTuple_GET_SIZE(args) != 5 ||
      !PyArg_ParseTuple(args, "kOddd", &action, &symbol_obj, &volume, &price_open, &price_close) ||
      !ReadActionSymbol(action, symbol_obj, &wire_action, symbol)) {
    PyErr_Clear();
    return FailNone(kInvalidParams, kMsgInvalidArguments);
  }
  double profit = 0.0;
  const std::int32_t result =
      calls::CalcProfit(wire_action, ipc::TextOf(symbol), volume, price_open, price_close, &profit);
  return FloatResult(result, profit);
}

// This file's functions in the module's method table (module.cc puts the
// groups in order).
const FunctionGroup kRequestsFunctions = {{
    {"order_check", ZK5_KW(SerialKw<PyOrderCheck>), METH_VARARGS | METH_KEYWORDS,
     ZK5_DOC("order_check(request=..., /, **keys)", "order_check(request)",
             "Check if there are enough funds to execute required trading operation")},
    {"order_send", ZK5_KW(SerialKw<PyOrderSend>), METH_VARARGS | METH_KEYWORDS,
     ZK5_DOC("order_send(request=..., /, **keys)", "order_send(request)",
             "Send trading requests to server")},
    {"order_calc_margin", Serial<PyOrderCalcMargin>, METH_VARARGS,
     ZK5_DOC("order_calc_margin(action, symbol, volume, price, /)",
             "order_calc_margin(action, symbol, volume, price,)",
             "Calculate margin required for specified order")},
    {"order_calc_profit", Serial<PyOrderCalcProfit>, METH_VARARGS,
     ZK5_DOC("order_calc_profit(action, symbol, volume, price_open, price_close, /)",
             "order_calc_profit(action, symbol, volume, price_open, price_close)",
             "Calculate profit for the current account in the current market conditions based "
             "on parameters passed")},
}};

}  // namespace zk5
