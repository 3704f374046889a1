// The module's functions, in groups: each file that implements functions
// owns its group (the name, the call wrapper, the flags and the docstring of
// each), and module.cc puts the groups in the module's order.
#ifndef ZK5_CLIENT_BINDINGS_FUNCTION_TABLE_H_
#define ZK5_CLIENT_BINDINGS_FUNCTION_TABLE_H_

#include <Python.h>

namespace zk5 {

// The most functions one file implements; unused entries stay null.
constexpr int kMaxGroupFunctions = 8;

struct FunctionGroup {
  PyMethodDef methods[kMaxGroupFunctions];
};

// A docstring: the text signature that inspect.signature() reads, which
// CPython strips from __doc__ at the "--" line, then the documented
// signature line, a blank line and the description: __doc__ keeps exactly
// those two. In a text signature "..." stands for an argument whose absence
// is what counts (a filter, a form of the call).
#define ZK5_DOC(text_signature, sig, desc) text_signature "\n--\n\n" sig "\n\n" desc
// Functions taking keywords go through the table as plain PyCFunction.
#define ZK5_KW(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn))

extern const FunctionGroup kSessionFunctions;   // session.cc
extern const FunctionGroup kAccountFunctions;   // trading/account.cc
extern const FunctionGroup kBarsFunctions;      // market/bars.cc
extern const FunctionGroup kOrdersFunctions;    // trading/orders.cc
extern const FunctionGroup kHistoryFunctions;   // trading/history.cc
extern const FunctionGroup kRequestsFunctions;  // trading/requests.cc
extern const FunctionGroup kSymbolsFunctions;   // market/symbols.cc
extern const FunctionGroup kBookFunctions;      // market/book.cc
extern const FunctionGroup kErrorFunctions;     // error_state.cc

}  // namespace zk5

#endif  // ZK5_CLIENT_BINDINGS_FUNCTION_TABLE_H_
