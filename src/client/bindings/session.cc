// Session functions: initialize, login, version, shutdown.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string>

#include "base/text.h"
#include "bindings/convert.h"
#include "bindings/error_state.h"
#include "bindings/function_table.h"
#include "bindings/serial.h"
#include "connection/calls.h"
#include "connection/client.h"
#include "connection/session.h"

namespace zk5 {

namespace {

constexpr std::size_t kVersionTextBytes = 127;
constexpr char kOtpMessage[] = "Unsupported authorization mode, OTP or certificate password needed";

using session::Credentials;
using session::kCredentialUnits;

// Reads one keyword when present. False (with the error state set) when its
// value does not convert.
template <typename Read>
bool Keyword(PyObject* kwargs, const char* name, Read&& read) {
  PyObject* value = KwItem(kwargs, name);
  if (value == nullptr || read(value)) return true;
  SetError(kInvalidParams, InvalidNamedArgument(name).c_str());
  return false;
}

// The keywords both initialize and login take, in their order of checking.
bool ReadCredentialKeywords(PyObject* kwargs, Credentials* c) {
  return Keyword(kwargs, "login", [&](PyObject* v) { return read_uint64_value(v, &c->login); }) &&
         Keyword(kwargs, "server",
                 [&](PyObject* v) { return ReadText(v, c->server, kCredentialUnits); }) &&
         Keyword(kwargs, "password",
                 [&](PyObject* v) { return ReadText(v, c->password, kCredentialUnits); }) &&
         Keyword(kwargs, "timeout", [&](PyObject* v) { return read_uint32_value(v, &c->timeout); });
}

void SetLoginError(std::int32_t result) {
  SetError(result, result == kUnsupported ? kOtpMessage : nullptr);
}

}  // namespace

PyObject* PyInitialize(PyObject*, PyObject* args, PyObject* kwargs) {
  if (!WarnUnknownKeys(kwargs, "initialize", "keyword argument",
                       {"path", "login", "password", "server", "timeout", "portable"})) {
    return nullptr;
  }
  ResetError();
  // A previous connection is closed before anything else, also when the
  // arguments turn out to be wrong.
  g_client.Reset();
  Credentials c;
  char16_t path[kPathUnits] = {};
  bool portable = false;

  const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  if (nargs > 1) return FailFalse(kInvalidParams, kMsgInvalidArgumentCount);
  if (nargs == 1 && !ReadText(PyTuple_GET_ITEM(args, 0), path, kPathUnits)) {
    return FailFalse(kInvalidParams, kMsgInvalidUnnamed1);
  }
  if (kwargs != nullptr) {
    // The keyword readers have set the error state when they fail.
    if (!ReadCredentialKeywords(kwargs, &c) ||
        !Keyword(kwargs, "path", [&](PyObject* v) { return ReadText(v, path, kPathUnits); })) {
      Py_RETURN_FALSE;
    }
    if (PyObject* flag = KwItem(kwargs, "portable")) {
      const int truth = PyObject_IsTrue(flag);
      if (truth < 0) PyErr_Clear();
      portable = truth > 0;
    }
  }

  // Connect and greet; after a failed hello the pipe stays open. The
  // timeout also bounds how long any reply of this connection may stall.
  g_client.set_timeout_ms(c.timeout);
  const ConnectOutcome connected = g_client.Initialize(path, portable);
  if (!connected) return FailConnect(connected.code, connected.error);

  if (c.any()) {
    const std::int32_t result = session::SendLogin(c);
    if (result < 0) {
      g_client.Reset();
      SetLoginError(result);
      Py_RETURN_FALSE;
    }
  }
  const std::int32_t ready = session::WaitReady(c.timeout);
  if (ready < 0) {
    g_client.Reset();
    return FailFalse(ready);
  }
  Py_RETURN_TRUE;
}

PyObject* PyLogin(PyObject*, PyObject* args, PyObject* kwargs) {
  if (!WarnUnknownKeys(kwargs, "login", "keyword argument",
                       {"login", "password", "server", "timeout"})) {
    return nullptr;
  }
  ResetError();
  Credentials c;
  const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  if (nargs >= 4) return FailFalse(kInvalidParams, kMsgInvalidArgumentCount);
  if (nargs >= 1 && !read_uint64_value(PyTuple_GET_ITEM(args, 0), &c.login)) {
    return FailFalse(kInvalidParams, kMsgInvalidUnnamed1);
  }
  if (nargs >= 2 && !ReadText(PyTuple_GET_ITEM(args, 1), c.password, kCredentialUnits)) {
    return FailFalse(kInvalidParams, kMsgInvalidUnnamed2);
  }
  if (nargs >= 3 && !ReadText(PyTuple_GET_ITEM(args, 2), c.server, kCredentialUnits)) {
    return FailFalse(kInvalidParams, kMsgInvalidUnnamed3);
  }
  if (kwargs != nullptr && !ReadCredentialKeywords(kwargs, &c)) Py_RETURN_FALSE;
  if (c.login == 0) return FailFalse(kInvalidParams, InvalidNamedArgument("login").c_str());
  const std::int32_t result = session::SendLogin(c);
  if (result < 0) {
    SetLoginError(result);
    Py_RETURN_FALSE;
  }
  const std::int32_t ready = session::WaitReady(c.timeout);
  if (ready < 0) return FailFalse(ready);
  Py_RETURN_TRUE;
}

PyObject* PyVersion(PyObject*, PyObject*) {
  ResetError();
  std::uint32_t first = 0;
  std::uint32_t second = 0;
  char16_t* units = nullptr;
  std::uint32_t count = 0;
  std::string text;
  std::uint32_t a = 0;
  std::uint32_t b = 0;
  const std::int32_t result = calls::Version(&a, &b, &units, &count);
  if (result > 0) {
    first = a;
    second = b;
    text = text::Utf16ToUtf8(units, count);
    // The terminal's text is at most 127 bytes of UTF-8; a longer one is
    // dropped rather than cut.
    if (text.size() > kVersionTextBytes) text.clear();
  } else if (result < 0) {
    SetError(result);
  }
  ipc::HeapFree(units);
  return Py_BuildValue("(IIs#)", first, second, text.data(), static_cast<Py_ssize_t>(text.size()));
}

PyObject* PyShutdown(PyObject*, PyObject*) {
  ResetError();
  g_client.Reset();
  Py_RETURN_TRUE;
}

// This file's functions in the module's method table (module.cc puts the
// groups in order).
const FunctionGroup kSessionFunctions = {{
    {"initialize", ZK5_KW(SerialKw<PyInitialize>), METH_VARARGS | METH_KEYWORDS,
     ZK5_DOC("initialize(path='', *, login=0, password='', server='', timeout=0, portable=False)",
             "initialize([path],[server=\"SERVER\"],[login=LOGIN],[password=\"PASSWORD\"])",
             "Establish connection to Zelkor 5 terminal")},
    {"shutdown", Serial<PyShutdown>, METH_NOARGS,
     ZK5_DOC("shutdown()", "shutdown()", "Disconnect from Zelkor 5 terminal")},
    {"login", ZK5_KW(SerialKw<PyLogin>), METH_VARARGS | METH_KEYWORDS,
     ZK5_DOC("login(login, password='', server='', *, timeout=0)",
             "login(login,[server=\"SERVER\"],[password=\"PASSWORD\"])",
             "Log in to specific account")},
    {"version", Serial<PyVersion>, METH_NOARGS,
     ZK5_DOC("version()", "version()", "Get Zelkor 5 terminal version")},
}};

}  // namespace zk5
