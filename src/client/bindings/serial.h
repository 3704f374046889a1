// One module call at a time, with the interpreter lock released while a
// call waits for the terminal.
//
// Every function of the module table and `_asdict` runs through Serial /
// SerialKw: the call first takes the module lock, waiting for it without
// holding the interpreter lock, so it guards the client, its one pipe and
// the error state. A thread that calls functions one after the other sees
// exactly one exchange per call and its own outcome in last_error(); threads
// calling at once are served one call after the other, each reply matched to
// its own request. While a call waits on the pipe, for a started terminal or
// for readiness (os::BlockingScope), other Python threads run.
//
// Interrupts: every wait asks Python's signal handlers at least every
// os::kWakeMs. When one raises (Ctrl-C: KeyboardInterrupt), the wait ends,
// the call fails the step it was in (-10001 sending, -10002 receiving,
// -10003 connecting, -10005 waiting for readiness), the pipe is closed, and
// the handler's exception propagates from the call: the one exception the
// module lets through. In a thread other than the main one, where no signal
// handler runs, an exception sent to the thread with
// PyThreadState_SetAsyncExc interrupts the wait the same way.
#ifndef ZK5_CLIENT_BINDINGS_SERIAL_H_
#define ZK5_CLIENT_BINDINGS_SERIAL_H_

#include <Python.h>

namespace zk5 {

// Installs the wait hooks of os/ (module start-up).
void InstallWaitHooks();

// Takes the module lock (re-entrant for the thread that holds it). False,
// with the exception pending, when a signal handler raised while waiting.
bool EnterCall();
// Gives the lock back and returns `result`; after an interrupt it drops
// `result`, closes the pipe and returns null with the handler's exception.
PyObject* LeaveCall(PyObject* result);

template <PyObject* (*F)(PyObject*, PyObject*)>
PyObject* Serial(PyObject* self, PyObject* args) {
  if (!EnterCall()) return nullptr;
  return LeaveCall(F(self, args));
}

template <PyObject* (*F)(PyObject*, PyObject*, PyObject*)>
PyObject* SerialKw(PyObject* self, PyObject* args, PyObject* kwargs) {
  if (!EnterCall()) return nullptr;
  return LeaveCall(F(self, args, kwargs));
}

}  // namespace zk5

#endif  // ZK5_CLIENT_BINDINGS_SERIAL_H_
