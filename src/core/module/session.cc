// Session functions: initialize, login, version, shutdown.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string>

#include "connection/calls.h"
#include "connection/client.h"
#include "base/text.h"
#include "module/convert.h"
#include "module/error_state.h"
#include "module/functions.h"

namespace zk5 {

namespace {

constexpr std::uint32_t kDefaultReadyTimeoutMs = CInterClient::kDefaultTimeoutMs;
constexpr std::uint32_t kReadyPollMs = 100;
constexpr std::size_t kVersionTextBytes = 127;
constexpr char kOtpMessage[] =
    "Unsupported authorization mode, OTP or certificate password needed";

// Credentials of one call. The buffers are wiped when the call returns, on
// every path, so the module keeps no password after it.
struct Credentials {
  std::uint64_t login = 0;
  char16_t server[kCredentialUnits] = {};
  char16_t password[kCredentialUnits] = {};
  std::uint32_t timeout = 0;

  Credentials() = default;
  Credentials(const Credentials&) = delete;
  Credentials& operator=(const Credentials&) = delete;
  ~Credentials() {
    WipeText(password, kCredentialUnits);
    WipeText(server, kCredentialUnits);
  }
};

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
         Keyword(kwargs, "timeout",
                 [&](PyObject* v) { return read_uint32_value(v, &c->timeout); });
}

// Polls the terminal's readiness: 1 when ready, else a failure code. An
// interrupt anywhere in the wait is the wait's own failure, -10005.
std::int32_t WaitReady(std::uint32_t timeout_ms) {
  if (timeout_ms == 0) timeout_ms = kDefaultReadyTimeoutMs;
  // Only the sleeps count against the timeout, not the exchanges.
  for (std::uint32_t elapsed = 0; elapsed < timeout_ms; elapsed += kReadyPollMs) {
    if (!g_client.connected()) return kNoIpcConnection;
    std::uint32_t state = 0;
    const std::int32_t result = calls::Count(ipc::CommandId::TERMINAL_STATE, &state);
    if (result < 0) return os::InterruptPending() ? kIpcTimeout : result;
    if (state == kStateReady) return 1;
    if (state == kStateAuthorizationFailed) return kAuthorizationFailed;
    if (!os::SleepMs(kReadyPollMs)) return kIpcTimeout;
  }
  return kIpcTimeout;
}

std::int32_t SendLogin(const Credentials& c) {
  if (!g_client.connected()) return kNoIpcConnection;
  return calls::Login(c.login, ipc::TextOf(c.password), ipc::TextOf(c.server));
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

  if (c.login != 0 || c.server[0] != 0 || c.password[0] != 0) {
    const std::int32_t result = SendLogin(c);
    if (result < 0) {
      g_client.Reset();
      SetLoginError(result);
      Py_RETURN_FALSE;
    }
  }
  const std::int32_t ready = WaitReady(c.timeout);
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
  const std::int32_t result = SendLogin(c);
  if (result < 0) {
    SetLoginError(result);
    Py_RETURN_FALSE;
  }
  const std::int32_t ready = WaitReady(c.timeout);
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
  return Py_BuildValue("(IIs#)", first, second, text.data(),
                       static_cast<Py_ssize_t>(text.size()));
}

PyObject* PyShutdown(PyObject*, PyObject*) {
  ResetError();
  g_client.Reset();
  Py_RETURN_TRUE;
}

}  // namespace zk5
