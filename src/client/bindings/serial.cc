#include "bindings/serial.h"

#include <chrono>
#include <mutex>

#include "connection/client.h"
#include "os/os.h"

namespace zk5 {

namespace {

std::recursive_timed_mutex g_call_lock;

// Per thread: how deep in module calls it is, its thread state while a
// blocking scope has the interpreter lock released, and the exception a
// signal handler raised during its call.
thread_local int t_depth = 0;
thread_local PyThreadState* t_released = nullptr;
thread_local PyObject* t_exc_type = nullptr;
thread_local PyObject* t_exc_value = nullptr;
thread_local PyObject* t_exc_traceback = nullptr;

void ReleaseInterpreter() { t_released = PyEval_SaveThread(); }

void ReacquireInterpreter() {
  PyThreadState* state = t_released;
  t_released = nullptr;
  PyEval_RestoreThread(state);
}

// Takes the exception another thread asked this one to raise with
// PyThreadState_SetAsyncExc, as the interpreter would at its next
// instruction. Signal handlers run only in the main thread: this is how a
// call waiting in another thread is interrupted (the package's asyncio
// worker, when its task is cancelled).
bool TakeAsyncException() {
  PyThreadState* state = PyThreadState_Get();
  PyObject* exc = state->async_exc;
  if (exc == nullptr) return false;
  state->async_exc = nullptr;
  if (PyExceptionClass_Check(exc)) {
    PyErr_SetNone(exc);
  } else {
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc)), exc);
  }
  Py_DECREF(exc);
  return true;
}

// Runs the signal handlers (which Python does only in the main thread), or
// takes an exception another thread sent this one. An exception either
// raises is kept for LeaveCall, so that the rest of the call runs without
// one pending.
bool SignalRaised() {
  const bool released = t_released != nullptr;
  if (released) ReacquireInterpreter();
  bool raised = false;
  if (PyErr_CheckSignals() < 0 || TakeAsyncException()) {
    if (t_exc_type == nullptr) {
      PyErr_Fetch(&t_exc_type, &t_exc_value, &t_exc_traceback);
    } else {
      PyErr_Clear();  // the first one wins
    }
    raised = true;
  }
  if (released) ReleaseInterpreter();
  return raised;
}

}  // namespace

void InstallWaitHooks() {
  os::WaitHooks hooks;
  hooks.release = ReleaseInterpreter;
  hooks.reacquire = ReacquireInterpreter;
  hooks.interrupted = SignalRaised;
  os::SetWaitHooks(hooks);
}

bool EnterCall() {
  if (!g_call_lock.try_lock()) {
    for (;;) {
      bool taken;
      Py_BEGIN_ALLOW_THREADS
      taken = g_call_lock.try_lock_for(std::chrono::milliseconds(os::kWakeMs));
      Py_END_ALLOW_THREADS
      if (taken) break;
      if (PyErr_CheckSignals() < 0 || TakeAsyncException()) return false;
    }
  }
  if (t_depth++ == 0) os::ClearInterrupt();
  return true;
}

PyObject* LeaveCall(PyObject* result) {
  if (t_exc_type != nullptr) {
    // The exchange was abandoned half-way: the stream is out of step.
    g_client.Reset();
    Py_XDECREF(result);
    PyErr_Restore(t_exc_type, t_exc_value, t_exc_traceback);
    t_exc_type = t_exc_value = t_exc_traceback = nullptr;
    result = nullptr;
  }
  --t_depth;
  g_call_lock.unlock();
  return result;
}

}  // namespace zk5
