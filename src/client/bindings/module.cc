// The module frame: start-up, the method table and the client reset at
// unload and exit.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <datetime.h>

#define PY_ARRAY_UNIQUE_SYMBOL ZK5_ARRAY_API
#include <numpy/arrayobject.h>

#include <cstdlib>
#include <vector>

#include "bindings/error_state.h"
#include "bindings/function_table.h"
#include "bindings/record_types.h"
#include "bindings/serial.h"
#include "connection/client.h"

namespace zk5 {

// The datetime C interface; null when its capsule could not be imported.
PyDateTime_CAPI* g_datetime_api = nullptr;
// The running NumPy's feature version, for building the record dtypes.
unsigned int g_numpy_feature_version = 0;

namespace {

// The C API version the module is created with: CPython's
// PYTHON_API_VERSION, 1013 since 3.x began.
constexpr int kPythonApiVersion = 1013;

// The method table: each file's group, in the module's order. Built at
// start-up, after every file's group has been initialised.
std::vector<PyMethodDef> MethodTable() {
  std::vector<PyMethodDef> table;
  for (const FunctionGroup* group : {&kSessionFunctions, &kAccountFunctions, &kBarsFunctions,
                                     &kOrdersFunctions, &kHistoryFunctions, &kRequestsFunctions,
                                     &kSymbolsFunctions, &kBookFunctions, &kErrorFunctions}) {
    for (const PyMethodDef& def : group->methods) {
      if (def.ml_name != nullptr) table.push_back(def);
    }
  }
  table.push_back({nullptr, nullptr, 0, nullptr});
  return table;
}

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT,
    "_core",
    "API Connector to Zelkor 5 Terminal",
    -1,
    nullptr,  // the method table, set at start-up
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
  static std::vector<PyMethodDef> methods = MethodTable();
  kModule.m_methods = methods.data();
  SetMethodTable(methods.data());
  PyObject* module = PyModule_Create2(&kModule, kPythonApiVersion);
  if (module == nullptr) return nullptr;
  RegisterRecordTypes(module);
  if (!RegisterInterpreterExit()) {
    Py_DECREF(module);
    return nullptr;
  }
  // The process-wide client is reset at exit, closing an open pipe that no
  // call still holds.
  static bool at_exit_registered = false;
  if (!at_exit_registered) {
    std::atexit(ResetClientAtExit);
    at_exit_registered = true;
  }
  return module;
}
