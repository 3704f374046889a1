// symbols_total, symbols_get, symbol_info, symbol_info_tick, symbol_select.
//
// The symbol-list commands exist only from terminal build 2364 on; the
// client refuses them (-5) before looking at the connection. Older terminals
// answer symbol_info with a record that lacks the name, which the client
// fills in from the request.
#include "bindings/convert.h"
#include "bindings/error_state.h"
#include "bindings/function_table.h"
#include "bindings/record_types.h"
#include "bindings/serial.h"
#include "connection/calls.h"
#include "ipc/commands.h"
#include "ipc/records.h"

namespace zk5 {

namespace {

using calls::CommandId;

// The one positional symbol of symbol_info and symbol_info_tick.
bool OneSymbol(PyObject* args, char16_t* symbol) {
  return args != nullptr && PyTuple_GET_SIZE(args) == 1 &&
         read_symbol_arg(PyTuple_GET_ITEM(args, 0), symbol);
}

}  // namespace

PyObject* PySymbolsTotal(PyObject*, PyObject*) {
  ResetError();
  std::uint32_t count = 0;
  const std::int32_t result = calls::Count(calls::kCommand<CommandId::SYMBOLS_TOTAL>, &count);
  return CountResult(result, count);
}

PyObject* PySymbolsGet(PyObject*, PyObject* args, PyObject* kwargs) {
  if (!WarnUnknownKeys(kwargs, "symbols_get", "keyword argument", {"group"})) return nullptr;
  char16_t mask[kMaskUnits] = {};
  ResetError();
  // Argument errors answer False, everything after them None.
  const Py_ssize_t positional = args != nullptr ? PyTuple_GET_SIZE(args) : 0;
  if (positional > 1) return FailFalse(kInvalidParams, kMsgInvalidArgumentCount);
  if (positional == 1 && !read_mask_arg(PyTuple_GET_ITEM(args, 0), mask)) {
    return FailFalse(kInvalidParams, kMsgInvalidUnnamed1);
  }
  if (PyObject* group = KwItem(kwargs, "group")) {
    if (!read_mask_arg(group, mask)) {
      return FailFalse(kInvalidParams, InvalidNamedArgument("group").c_str());
    }
  }
  void* block = nullptr;
  std::uint32_t count = 0;
  const ipc::ArrayOut out{&block, &count};
  // An empty mask, given or not, asks for every symbol; a mask is matched by
  // the terminal.
  const std::int32_t result =
      mask[0] == 0
          ? calls::List(calls::kCommand<CommandId::SYMBOLS_ALL>, records::kSymbolInfoSize, out)
          : calls::ListByText(calls::kCommand<CommandId::SYMBOLS_BY_GROUP>, ipc::TextOf(mask),
                              records::kSymbolInfoSize, out);
  return ArrayResultToTuple(result, RecordType::kSymbolInfo, records::kSymbolInfo, block, count);
}

PyObject* PySymbolInfo(PyObject*, PyObject* args) {
  ResetError();
  char16_t symbol[kSymbolUnits];
  if (!OneSymbol(args, symbol)) return FailNone(kInvalidParams, kMsgInvalidArguments);
  std::uint8_t record[records::kSymbolInfoSize] = {};
  const std::int32_t result = calls::SymbolInfo(ipc::TextOf(symbol), record);
  if (result < 0) return FailNone(result);
  PyObject* info = RecordToPython(RecordType::kSymbolInfo, records::kSymbolInfo, record);
  if (info == nullptr) return FailNone(kCallFailed);
  return info;
}

PyObject* PySymbolInfoTick(PyObject*, PyObject* args) {
  ResetError();
  char16_t symbol[kSymbolUnits];
  if (!OneSymbol(args, symbol)) return FailNone(kInvalidParams, kMsgInvalidArguments);
  std::uint8_t record[records::kTickSize] = {};
  const std::int32_t result = calls::RecordByText(calls::kCommand<CommandId::SYMBOL_INFO_TICK>,
                                                  ipc::TextOf(symbol), record, records::kTickSize);
  if (result < 0) return FailNone(result);
  PyObject* tick = RecordToPython(RecordType::kTick, records::kTick, record);
  if (tick == nullptr) return FailNone(kCallFailed);
  return tick;
}

PyObject* PySymbolSelect(PyObject*, PyObject* args) {
  ResetError();
  const Py_ssize_t n = args != nullptr ? PyTuple_GET_SIZE(args) : 0;
  PyObject* object = nullptr;
  int enable = 1;
  if (n == 1) {
    object = PyTuple_GET_ITEM(args, 0);
  } else if (n == 2) {
    // The second argument counts by its truth value; one whose truth test
    // raises is refused.
    if (!PyArg_ParseTuple(args, "Op", &object, &enable)) {
      PyErr_Clear();
      return FailFalse(kInvalidParams, kMsgInvalidArguments);
    }
  } else {
    return FailFalse(kInvalidParams, kMsgInvalidArguments);
  }
  char16_t symbol[kSymbolUnits];
  if (!read_symbol_arg(object, symbol)) return FailFalse(kInvalidParams, kMsgInvalidArguments);
  const std::int32_t result =
      calls::SymbolSelect(ipc::TextOf(symbol), enable ? std::uint8_t{1} : std::uint8_t{0});
  if (result < 0) return FailFalse(result);
  Py_RETURN_TRUE;
}

// This file's functions in the module's method table (module.cc puts the
// groups in order).
const FunctionGroup kSymbolsFunctions = {{
    {"symbol_info", Serial<PySymbolInfo>, METH_VARARGS,
     ZK5_DOC("symbol_info(symbol, /)", "symbol_info(symbol)",
             "Return full information for specified symbol")},
    {"symbol_info_tick", Serial<PySymbolInfoTick>, METH_VARARGS,
     ZK5_DOC("symbol_info_tick(symbol, /)", "symbol_info_tick(symbol)",
             "Return current prices of specified symbol")},
    {"symbol_select", Serial<PySymbolSelect>, METH_VARARGS,
     ZK5_DOC("symbol_select(symbol, enable=True, /)", "symbol_select(symbol,[enable])",
             "Select symbol in Market Watch window or remove symbol from the window")},
    {"symbols_total", Serial<PySymbolsTotal>, METH_NOARGS,
     ZK5_DOC("symbols_total()", "symbols_total()", "Return the number of all available symbols")},
    {"symbols_get", ZK5_KW(SerialKw<PySymbolsGet>), METH_VARARGS | METH_KEYWORDS,
     ZK5_DOC("symbols_get(group='')", "symbols_get([group=\"GROUP\"])",
             "Return all available symbols or filtred by group")},
}};

}  // namespace zk5
