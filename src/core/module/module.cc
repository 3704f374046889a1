// The module frame: start-up, the method table and the client reset at
// unload and exit.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <datetime.h>

#define PY_ARRAY_UNIQUE_SYMBOL ZK5_ARRAY_API
#include <numpy/arrayobject.h>

#include <cstdlib>

#include "connection/client.h"
#include "module/error_state.h"
#include "module/functions.h"
#include "module/serial.h"

namespace zk5 {

// The datetime C interface; null when its capsule could not be imported.
PyDateTime_CAPI* g_datetime_api = nullptr;
// The running NumPy's feature version, for building the record dtypes.
unsigned int g_numpy_feature_version = 0;

namespace {

// The C API version the module is created with: CPython's
// PYTHON_API_VERSION, 1013 since 3.x began.
constexpr int kPythonApiVersion = 1013;

#define ZK5_DOC(sig, desc) sig "\n\n" desc
// Functions taking keywords go through the table as plain PyCFunction.
#define ZK5_KW(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn))

PyMethodDef kMethods[] = {
    {"initialize", ZK5_KW(SerialKw<PyInitialize>),
     METH_VARARGS | METH_KEYWORDS,
     ZK5_DOC("initialize([path],[server=\"SERVER\"],[login=LOGIN],[password=\"PASSWORD\"])",
             "Establish connection to Zelkor 5 terminal")},
    {"shutdown", Serial<PyShutdown>, METH_NOARGS,
     ZK5_DOC("shutdown()", "Disconnect from Zelkor 5 terminal")},
    {"login", ZK5_KW(SerialKw<PyLogin>),
     METH_VARARGS | METH_KEYWORDS,
     ZK5_DOC("login(login,[server=\"SERVER\"],[password=\"PASSWORD\"])",
             "Log in to specific account")},
    {"version", Serial<PyVersion>, METH_NOARGS, ZK5_DOC("version()", "Get Zelkor 5 terminal version")},
    {"terminal_info", Serial<PyTerminalInfo>, METH_NOARGS,
     ZK5_DOC("terminal_info()", "Get parameters of Zelkor 5 terminal")},
    {"account_info", Serial<PyAccountInfo>, METH_NOARGS,
     ZK5_DOC("account_info()", "Return information on the current account")},
    {"copy_ticks_from", Serial<PyCopyTicksFrom>, METH_VARARGS,
     ZK5_DOC("copy_ticks_from(symbol, date_from, count, flags)",
             "Get ticks starting from specific date")},
    {"copy_ticks_range", Serial<PyCopyTicksRange>, METH_VARARGS,
     ZK5_DOC("copy_ticks_range(symbol, date_from, date_to, flags)",
             "Get ticks from specified period")},
    {"copy_rates_from", Serial<PyCopyRatesFrom>, METH_VARARGS,
     ZK5_DOC("copy_rates_from(symbol, timeframe, date_from, count)",
             "Get bars starting from specific date")},
    {"copy_rates_from_pos", Serial<PyCopyRatesFromPos>, METH_VARARGS,
     ZK5_DOC("copy_rates_from_pos(symbol, timeframe, start_pos, count)",
             "Get bars starting from specified position")},
    {"copy_rates_range", Serial<PyCopyRatesRange>, METH_VARARGS,
     ZK5_DOC("copy_rates_range(symbol, timeframe, date_from, date_to)",
             "Get bars from specified period")},
    {"positions_total", Serial<PyPositionsTotal>, METH_NOARGS,
     ZK5_DOC("positions_total()", "Return the number of open positions")},
    {"positions_get", ZK5_KW(SerialKw<PyPositionsGet>), METH_VARARGS | METH_KEYWORDS,
     ZK5_DOC("positions_get([symbol=\"SYMBOL\"],[ticket=TICKET],[group=\"GROUP\"])",
             "Return all open positions, can be filtered by symbol, group or ticket")},
    {"orders_total", Serial<PyOrdersTotal>, METH_NOARGS,
     ZK5_DOC("orders_total()", "Return the number of orders")},
    {"orders_get", ZK5_KW(SerialKw<PyOrdersGet>), METH_VARARGS | METH_KEYWORDS,
     ZK5_DOC("orders_get([symbol=\"SYMBOL\"],[ticket=TICKET],[group=\"GROUP\"])",
             "Return all orders, can be filtered by symbol, group or ticket")},
    {"history_orders_total", Serial<PyHistoryOrdersTotal>, METH_VARARGS,
     ZK5_DOC("history_orders_total(date_from, date_to)",
             "Return the number of orders in selected range from history")},
    {"history_orders_get", ZK5_KW(SerialKw<PyHistoryOrdersGet>), METH_VARARGS | METH_KEYWORDS,
     ZK5_DOC("history_orders_get([date_from, date_to, [group=\"GROUP\"]],[position=POSITION],"
             "[ticket=TICKET])",
             "Return orders in selected range from history or filtered by position id, ticket")},
    {"history_deals_total", Serial<PyHistoryDealsTotal>, METH_VARARGS,
     ZK5_DOC("history_deals_total(date_from, date_to)",
             "Return the number of deals in selected range from history")},
    {"history_deals_get", ZK5_KW(SerialKw<PyHistoryDealsGet>), METH_VARARGS | METH_KEYWORDS,
     ZK5_DOC("history_deals_get([date_from, date_to, [group=\"GROUP\"]],[position=POSITION],"
             "[ticket=TICKET])",
             "Return deals in selected range from history or filtered by position id, ticket")},
    {"order_check", ZK5_KW(SerialKw<PyOrderCheck>), METH_VARARGS | METH_KEYWORDS,
     ZK5_DOC("order_check(request)",
             "Check if there are enough funds to execute required trading operation")},
    {"order_send", ZK5_KW(SerialKw<PyOrderSend>), METH_VARARGS | METH_KEYWORDS,
     ZK5_DOC("order_send(request)", "Send trading requests to server")},
    {"order_calc_margin", Serial<PyOrderCalcMargin>, METH_VARARGS,
     ZK5_DOC("order_calc_margin(action, symbol, volume, price,)",
             "Calculate margin required for specified order")},
    {"order_calc_profit", Serial<PyOrderCalcProfit>, METH_VARARGS,
     ZK5_DOC("order_calc_profit(action, symbol, volume, price_open, price_close)",
             "Calculate profit for the current account in the current market conditions based "
             "on parameters passed")},
    {"symbol_info", Serial<PySymbolInfo>, METH_VARARGS,
     ZK5_DOC("symbol_info(symbol)", "Return full information for specified symbol")},
    {"symbol_info_tick", Serial<PySymbolInfoTick>, METH_VARARGS,
     ZK5_DOC("symbol_info_tick(symbol)", "Return current prices of specified symbol")},
    {"symbol_select", Serial<PySymbolSelect>, METH_VARARGS,
     ZK5_DOC("symbol_select(symbol,[enable])",
             "Select symbol in Market Watch window or remove symbol from the window")},
    {"symbols_total", Serial<PySymbolsTotal>, METH_NOARGS,
     ZK5_DOC("symbols_total()", "Return the number of all available symbols")},
    {"symbols_get", ZK5_KW(SerialKw<PySymbolsGet>), METH_VARARGS | METH_KEYWORDS,
     ZK5_DOC("symbols_get([group=\"GROUP\"])", "Return all available symbols or filtred by group")},
    {"market_book_add", Serial<PyMarketBookAdd>, METH_VARARGS,
     ZK5_DOC("market_book_add(symbol)", "Opens Depth of Market for a selected symbol")},
    {"market_book_release", Serial<PyMarketBookRelease>, METH_VARARGS,
     ZK5_DOC("market_book_release(symbol)", "Closes Depth of Market for a selected symbol")},
    {"market_book_get", Serial<PyMarketBookGet>, METH_VARARGS,
     ZK5_DOC("market_book_get(symbol)", "Returns Depth of Market structures of a specified symbol")},
    {"last_error", Serial<PyLastError>, METH_NOARGS,
     ZK5_DOC("last_error()", "Return last error code and description")},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT,
    "_core",
    "API Connector to Zelkor 5 Terminal",
    -1,
    kMethods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

void ResetClientAtExit() { ResetClientIfIdle(); }

// NumPy's own import procedure; on failure it prints the cause and raises
// ImportError "numpy._core.multiarray failed to import".
int ImportNumpy() {
  import_array1(-1);
  return 0;
}

}  // namespace

}  // namespace zk5

extern "C" PyMODINIT_FUNC PyInit__core(void) {
  using namespace zk5;
  g_datetime_api = static_cast<PyDateTime_CAPI*>(PyCapsule_Import(PyDateTime_CAPSULE_NAME, 0));
  if (g_datetime_api == nullptr) PyErr_Clear();
  if (ImportNumpy() < 0) return nullptr;
  g_numpy_feature_version = PyArray_GetNDArrayCFeatureVersion();
  BuildNumpyRecordTypes();
  InstallWaitHooks();
  MarkLoaderThread();
  SetMethodTable(kMethods);
  PyObject* module = PyModule_Create2(&kModule, kPythonApiVersion);
  if (module == nullptr) return nullptr;
  RegisterRecordTypes(module);
  if (!RegisterInterpreterExit()) {
    Py_DECREF(module);
    return nullptr;
  }
  // The process-wide client is reset at exit, closing an open pipe.
  static bool at_exit_registered = false;
  if (!at_exit_registered) {
    std::atexit(ResetClientAtExit);
    at_exit_registered = true;
  }
  return module;
}
