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
// os::kWakeMs, also while a reply keeps arriving. When one raises (Ctrl-C:
// KeyboardInterrupt), the wait ends, the call fails the step it was in
// (-10001 sending, -10002 receiving, -10003 connecting, -10005 waiting for
// readiness), the pipe is closed, and the handler's exception propagates
// from the call: the one exception the module lets through. In a thread
// other than the main one, where no signal handler runs, an exception sent
// to the thread with PyThreadState_SetAsyncExc interrupts the wait the same
// way.
//
// Exit and fork: once the interpreter has begun to exit, a call that comes
// back from a wait never touches Python again; its thread waits for the
// process to end. In the child of a fork the lock is new and the inherited
// pipe is let go (the parent's connection goes on): calls there report
// "no connection" until the child connects itself.
#ifndef ZK5_CLIENT_BINDINGS_SERIAL_H_
#define ZK5_CLIENT_BINDINGS_SERIAL_H_

#include <Python.h>

namespace zk5 {

// Installs the wait hooks of os/ and the fork handler (module start-up).
void InstallWaitHooks();
// Registers the hook that tells waiting calls the interpreter exits (an
// atexit function of Python's). False with an exception when it cannot.
bool RegisterInterpreterExit();
// Closes the pipe at process exit unless a call still holds the lock.
void ResetClientIfIdle();

// Holds the interpreter lock for a moment inside a wait (an allocator that
// needs Python while a reply arrives), taken through the same gate as every
// return from a wait: at the interpreter's exit the thread waits for the
// process to end instead. Does nothing where the lock is held already.
class InterpreterMoment {
 public:
  InterpreterMoment();
  ~InterpreterMoment();
  InterpreterMoment(const InterpreterMoment&) = delete;
  InterpreterMoment& operator=(const InterpreterMoment&) = delete;

 private:
  bool taken_;
};

// The module's function table, where a call finds its name and signature
// for the hints beside an argument refusal (module start-up).
void SetMethodTable(const PyMethodDef* table);

// Takes the module lock (re-entrant for the thread that holds it). False,
// with the exception pending, when a signal handler raised while waiting.
bool EnterCall();
// Gives the lock back and returns `result`; after an interrupt it drops
// `result`, closes the pipe and returns null with the handler's exception.
// After an argument error it issues the conversion's hint (WarnTypeHint)
// for the table entry whose function is `entry`.
PyObject* LeaveCall(PyObject* result, void (*entry)() = nullptr, PyObject* args = nullptr,
                    PyObject* kwargs = nullptr);

template <PyObject* (*F)(PyObject*, PyObject*)>
PyObject* Serial(PyObject* self, PyObject* args) {
  if (!EnterCall()) return nullptr;
  return LeaveCall(F(self, args), reinterpret_cast<void (*)()>(&Serial<F>), args);
}

template <PyObject* (*F)(PyObject*, PyObject*, PyObject*)>
PyObject* SerialKw(PyObject* self, PyObject* args, PyObject* kwargs) {
  if (!EnterCall()) return nullptr;
  return LeaveCall(F(self, args, kwargs), reinterpret_cast<void (*)()>(&SerialKw<F>), args, kwargs);
}

}  // namespace zk5

#endif  // ZK5_CLIENT_BINDINGS_SERIAL_H_
