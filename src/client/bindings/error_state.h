// The process-wide error state that every module function reports through.
//
// Module functions never raise for a terminal or protocol failure: they set
// a code and a message here and return None or False. Each thread has its
// own state, so last_error() tells the outcome of the calling thread's own
// last call whatever other threads do meanwhile.
#ifndef ZK5_CLIENT_BINDINGS_ERROR_STATE_H_
#define ZK5_CLIENT_BINDINGS_ERROR_STATE_H_

#include <Python.h>

#include <cstdint>
#include <string>

#include "ipc/status.h"

namespace zk5 {

// Size of the message buffer, terminator included.
constexpr std::size_t kErrorMessageSize = 2048;

// Remembers the importing thread (module start-up), whose state reads
// (0, "") before its first call; other threads' read (1, "Success").
void MarkLoaderThread();

// code := 1, message := "Success".
void ResetError();

// Stores `code` and `message` (UTF-8, cut to 2047 bytes at a character
// boundary). A null message takes the table message of the code.
void SetError(std::int32_t code, const char* message = nullptr);

// SetError, then a new reference to None / False.
PyObject* FailNone(std::int32_t code, const char* message = nullptr);
PyObject* FailFalse(std::int32_t code, const char* message = nullptr);

// FailFalse for the outcome of connecting: kIpcInitializeFailed takes the
// reason after its table message, any other code its table message.
PyObject* FailConnect(std::int32_t code, const std::u16string& reason);

// The Python value of a count or float reply: an int / a float, or None
// with the error state set when `result` is a failure.
PyObject* CountResult(std::int32_t result, std::uint32_t count);
PyObject* FloatResult(std::int32_t result, double value);

// The table message of a code ("Terminal: Call failed" for codes without a
// row). -10003 is completed by FailConnect with the connection's reason.
const char* MessageForCode(std::int32_t code);

std::int32_t LastErrorCode();
const char* LastErrorMessage();

// last_error() of the module.
PyObject* PyLastError(PyObject* self, PyObject* unused);

}  // namespace zk5

#endif  // ZK5_CLIENT_BINDINGS_ERROR_STATE_H_
