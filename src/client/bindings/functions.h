// The module functions, one declaration each, implemented in the file of
// their subsystem. module.cc puts them in the method table in its order.
#ifndef ZK5_CLIENT_BINDINGS_FUNCTIONS_H_
#define ZK5_CLIENT_BINDINGS_FUNCTIONS_H_

#include <Python.h>

namespace zk5 {

// Signatures by calling convention.
using NoArgs = PyObject* (*)(PyObject* self, PyObject* unused);
using ArgsOnly = PyObject* (*)(PyObject* self, PyObject* args);
using ArgsKw = PyObject* (*)(PyObject* self, PyObject* args, PyObject* kwargs);

// module/session.cc
PyObject* PyInitialize(PyObject*, PyObject* args, PyObject* kwargs);
PyObject* PyShutdown(PyObject*, PyObject*);
PyObject* PyLogin(PyObject*, PyObject* args, PyObject* kwargs);
PyObject* PyVersion(PyObject*, PyObject*);

// trading/account.cc
PyObject* PyTerminalInfo(PyObject*, PyObject*);
PyObject* PyAccountInfo(PyObject*, PyObject*);

// market/bars.cc
PyObject* PyCopyTicksFrom(PyObject*, PyObject* args);
PyObject* PyCopyTicksRange(PyObject*, PyObject* args);
PyObject* PyCopyRatesFrom(PyObject*, PyObject* args);
PyObject* PyCopyRatesFromPos(PyObject*, PyObject* args);
PyObject* PyCopyRatesRange(PyObject*, PyObject* args);

// trading/orders.cc
PyObject* PyPositionsTotal(PyObject*, PyObject*);
PyObject* PyPositionsGet(PyObject*, PyObject* args, PyObject* kwargs);
PyObject* PyOrdersTotal(PyObject*, PyObject*);
PyObject* PyOrdersGet(PyObject*, PyObject* args, PyObject* kwargs);

// trading/history.cc
PyObject* PyHistoryOrdersTotal(PyObject*, PyObject* args);
PyObject* PyHistoryOrdersGet(PyObject*, PyObject* args, PyObject* kwargs);
PyObject* PyHistoryDealsTotal(PyObject*, PyObject* args);
PyObject* PyHistoryDealsGet(PyObject*, PyObject* args, PyObject* kwargs);

// trading/requests.cc
PyObject* PyOrderCheck(PyObject*, PyObject* args, PyObject* kwargs);
PyObject* PyOrderSend(PyObject*, PyObject* args, PyObject* kwargs);
PyObject* PyOrderCalcMargin(PyObject*, PyObject* args);
PyObject* PyOrderCalcProfit(PyObject*, PyObject* args);

// market/symbols.cc
PyObject* PySymbolInfo(PyObject*, PyObject* args);
PyObject* PySymbolInfoTick(PyObject*, PyObject* args);
PyObject* PySymbolSelect(PyObject*, PyObject* args);
PyObject* PySymbolsTotal(PyObject*, PyObject*);
PyObject* PySymbolsGet(PyObject*, PyObject* args, PyObject* kwargs);

// market/book.cc
PyObject* PyMarketBookAdd(PyObject*, PyObject* args);
PyObject* PyMarketBookRelease(PyObject*, PyObject* args);
PyObject* PyMarketBookGet(PyObject*, PyObject* args);

// module/error_state.cc: PyLastError (declared in error_state.h)

// Start-up pieces of other subsystems.
// module/record_dtypes.cc: builds the NumPy types of bars and ticks;
// failure is not fatal.
void BuildNumpyRecordTypes();
// module/record_types.cc: creates and registers the eleven record types.
void RegisterRecordTypes(PyObject* module);

}  // namespace zk5

#endif  // ZK5_CLIENT_BINDINGS_FUNCTIONS_H_
