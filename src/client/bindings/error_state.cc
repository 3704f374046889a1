#include "bindings/error_state.h"
#include "bindings/function_table.h"
#include "bindings/serial.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <thread>

#include "base/text.h"

namespace zk5 {

namespace {

struct ErrorState {
  std::int32_t code = 0;
  bool set = false;
  char message[kErrorMessageSize] = {};
};

// The thread that imported the module: before its first call it reports
// code 0 with no message; any other thread that has made no call reports
// success.
std::thread::id g_loader;

// Each thread has its own: with the interpreter lock released during calls,
// a shared one would show another thread's outcome.
thread_local ErrorState g_error;

void StoreMessage(const char* text, std::size_t len) {
  g_error.set = true;
  // Cut at a character boundary so that last_error() can always decode it.
  const std::size_t n = text::Utf8CutLength(text, len, kErrorMessageSize - 1);
  std::memcpy(g_error.message, text, n);
  g_error.message[n] = '\0';
}

}  // namespace

const char* MessageForCode(std::int32_t code) {
  switch (code) {
    case kSuccess:
      return "Success";
    case kInvalidParams:
      return "Terminal: Invalid params";
    case kOutOfMemory:
      return "Terminal: Out of memory";
    case kNotFound:
      return "Terminal: Not found";
    case kIncompatibleVersion:
      return "Terminal: Incompatible versions, please install the latest version of "
             "Terminal and Python module";
    case kAuthorizationFailed:
      return "Terminal: Authorization failed";
    case kUnsupported:
      return "Terminal: Unsupported function";
    case kTerminalBusy:
      return "Terminal: Busy, too many connections";
    case kIpcCallFailed:
      return "IPC call failed";
    case kIpcSendFailed:
      return "IPC send failed";
    case kIpcRecvFailed:
      return "IPC recv failed";
    case kIpcInitializeFailed:
      return "IPC initialize failed, ";
    case kNoIpcConnection:
      return "No IPC connection";
    case kIpcTimeout:
      return "IPC timeout";
    default:
      return "Terminal: Call failed";
  }
}

void MarkLoaderThread() { g_loader = std::this_thread::get_id(); }

void ResetError() {
  g_error.set = true;
  g_error.code = kSuccess;
  std::memcpy(g_error.message, "Success", sizeof "Success");
}

void SetError(std::int32_t code, const char* message) {
  g_error.code = code;
  if (message != nullptr) {
    StoreMessage(message, std::strlen(message));
  } else {
    const char* table = MessageForCode(code);
    StoreMessage(table, std::strlen(table));
  }
}

PyObject* FailNone(std::int32_t code, const char* message) {
  SetError(code, message);
  Py_RETURN_NONE;
}

PyObject* FailFalse(std::int32_t code, const char* message) {
  SetError(code, message);
  Py_RETURN_FALSE;
}

PyObject* FailConnect(std::int32_t code, const std::u16string& reason) {
  if (code != kIpcInitializeFailed) return FailFalse(code);
  // The reason ends at its first NUL, as a message does.
  const std::size_t units = std::min(reason.size(), reason.find(u'\0'));
  const std::string text =
      std::string(MessageForCode(code)) + text::Utf16ToUtf8(reason.data(), units);
  SetError(code, text.c_str());
  Py_RETURN_FALSE;
}

namespace {

PyObject* ValueOrCallFailed(PyObject* value) {
  if (value != nullptr) return value;
  PyErr_Clear();
  return FailNone(kCallFailed);
}

}  // namespace

PyObject* CountResult(std::int32_t result, std::uint32_t count) {
  if (result < 0) return FailNone(result);
  return ValueOrCallFailed(PyLong_FromUnsignedLong(count));
}

PyObject* FloatResult(std::int32_t result, double value) {
  if (result < 0) return FailNone(result);
  return ValueOrCallFailed(PyFloat_FromDouble(value));
}

std::int32_t LastErrorCode() { return g_error.code; }
const char* LastErrorMessage() { return g_error.message; }

PyObject* PyLastError(PyObject*, PyObject*) {
  if (!g_error.set && std::this_thread::get_id() != g_loader) {
    return Py_BuildValue("(is)", static_cast<int>(kSuccess), MessageForCode(kSuccess));
  }
  return Py_BuildValue("(is)", static_cast<int>(g_error.code), g_error.message);
}

// This file's functions in the module's method table (module.cc puts the
// groups in order).
const FunctionGroup kErrorFunctions = {{
    {"last_error", Serial<PyLastError>, METH_NOARGS,
     ZK5_DOC("last_error()", "last_error()", "Return last error code and description")},

}};

}  // namespace zk5
