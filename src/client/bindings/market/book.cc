// market_book_add, market_book_release, market_book_get.
//
// Each takes exactly one positional symbol. A failure after the argument
// check is recorded in the error state like any other call's, so that
// last_error() explains a False from add or release.
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

bool OneSymbol(PyObject* args, char16_t* symbol) {
  return args != nullptr && PyTuple_GET_SIZE(args) == 1 &&
         read_symbol_arg(PyTuple_GET_ITEM(args, 0), symbol);
}

// add and release: None for argument errors, False with the error state set
// for any later failure, True on success.
PyObject* Subscription(calls::StatusByTextCommand command, PyObject* args) {
  ResetError();
  char16_t symbol[kSymbolUnits];
  if (!OneSymbol(args, symbol)) return FailNone(kInvalidParams, kMsgInvalidArguments);
  const std::int32_t result = calls::StatusByText(command, ipc::TextOf(symbol));
  if (result < 0) return FailFalse(result);
  Py_RETURN_TRUE;
}

}  // namespace

PyObject* PyMarketBookAdd(PyObject*, PyObject* args) {
  return Subscription(calls::kCommand<CommandId::BOOK_ADD>, args);
}

PyObject* PyMarketBookRelease(PyObject*, PyObject* args) {
  return Subscription(calls::kCommand<CommandId::BOOK_RELEASE>, args);
}

PyObject* PyMarketBookGet(PyObject*, PyObject* args) {
  ResetError();
  char16_t symbol[kSymbolUnits];
  if (!OneSymbol(args, symbol)) return FailNone(kInvalidParams, kMsgInvalidArguments);
  void* block = nullptr;
  std::uint32_t count = 0;
  const std::int32_t result =
      calls::ListByText(calls::kCommand<CommandId::BOOK_GET>, ipc::TextOf(symbol),
                        records::kBookInfoSize, {&block, &count});
  return ArrayResultToTuple(result, RecordType::kBookInfo, records::kBookInfo, block, count);
}

// This file's functions in the module's method table (module.cc puts the
// groups in order).
const FunctionGroup kBookFunctions = {{
    {"market_book_add", Serial<PyMarketBookAdd>, METH_VARARGS,
     ZK5_DOC("market_book_add(symbol, /)", "market_book_add(symbol)",
             "Opens Depth of Market for a selected symbol")},
    {"market_book_release", Serial<PyMarketBookRelease>, METH_VARARGS,
     ZK5_DOC("market_book_release(symbol, /)", "market_book_release(symbol)",
             "Closes Depth of Market for a selected symbol")},
    {"market_book_get", Serial<PyMarketBookGet>, METH_VARARGS,
     ZK5_DOC("market_book_get(symbol, /)", "market_book_get(symbol)",
             "Returns Depth of Market structures of a specified symbol")},
}};

}  // namespace zk5
