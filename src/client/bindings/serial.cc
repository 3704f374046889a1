#include "bindings/serial.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>
#include <thread>

#include "bindings/convert.h"
#include "bindings/error_state.h"
#include "connection/client.h"
#include "os/os.h"

namespace zk5 {

namespace {

std::recursive_timed_mutex g_call_lock;
const PyMethodDef* g_methods = nullptr;

const PyMethodDef* MethodOf(void (*entry)()) {
  for (const PyMethodDef* m = g_methods; m != nullptr && m->ml_name != nullptr; ++m) {
    if (reinterpret_cast<void (*)()>(m->ml_meth) == entry) return m;
  }
  return nullptr;
}

// Per thread: how deep in module calls it is, its thread state while a
// blocking scope has the interpreter lock released, and the exception a
// signal handler raised during its call.
thread_local int t_depth = 0;
thread_local PyThreadState* t_released = nullptr;
thread_local PyObject* t_exc_type = nullptr;
thread_local PyObject* t_exc_value = nullptr;
thread_local PyObject* t_exc_traceback = nullptr;

// The interpreter's exit. Once it has begun, a thread that comes back from
// a wait must not take the interpreter lock again: a finalising interpreter
// ends such a thread from inside that call, unwinding through frames that
// cannot be unwound. It waits instead, holding nothing of Python's, until
// the process is gone. `g_returning` counts the threads between the check
// and the lock, so that the exit lets them through before it goes on.
std::mutex g_exit_mutex;
std::condition_variable g_exit_changed;
bool g_exiting = false;
int g_returning = 0;
// The thread that runs the exit: its own calls (a late atexit function's)
// go on as usual.
std::thread::id g_exit_thread;

[[noreturn]] void WaitForProcessEnd() {
  for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
}

bool InterpreterFinalizing() {
#if PY_VERSION_HEX >= 0x030D0000
  return Py_IsFinalizing() != 0;
#else
  return _Py_IsFinalizing() != 0;
#endif
}

void ReleaseInterpreter() { t_released = PyEval_SaveThread(); }

void ReacquireInterpreter() {
  {
    std::unique_lock<std::mutex> lock(g_exit_mutex);
    if ((g_exiting || InterpreterFinalizing()) && std::this_thread::get_id() != g_exit_thread) {
      // The module lock stays with this thread; the process ends anyway.
      lock.unlock();
      WaitForProcessEnd();
    }
    ++g_returning;
  }
  PyThreadState* state = t_released;
  t_released = nullptr;
  PyEval_RestoreThread(state);
  std::lock_guard<std::mutex> lock(g_exit_mutex);
  --g_returning;
  g_exit_changed.notify_all();
}

// Runs at the interpreter's exit (its atexit hooks), with the interpreter
// still whole: from here on no waiting thread comes back into Python.
PyObject* AtInterpreterExit(PyObject*, PyObject*) {
  std::unique_lock<std::mutex> lock(g_exit_mutex);
  g_exiting = true;
  g_exit_thread = std::this_thread::get_id();
  if (g_returning != 0) {
    // They wait for the interpreter lock, which this thread holds.
    Py_BEGIN_ALLOW_THREADS g_exit_changed.wait(lock, [] { return g_returning == 0; });
    Py_END_ALLOW_THREADS
  }
  Py_RETURN_NONE;
}

PyMethodDef g_at_exit_def = {"_zelkor5_at_exit", AtInterpreterExit, METH_NOARGS, nullptr};

// In the child of a fork: the connection belongs to the parent, and the
// lock may have been held by a thread the child does not have.
void AfterForkInChild() {
  new (&g_call_lock) std::recursive_timed_mutex;
  new (&g_exit_mutex) std::mutex;
  new (&g_exit_changed) std::condition_variable;
  g_returning = 0;
  g_client.AbandonAfterFork();
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

InterpreterMoment::InterpreterMoment() : taken_(t_released != nullptr) {
  if (taken_) ReacquireInterpreter();
}

InterpreterMoment::~InterpreterMoment() {
  if (taken_) ReleaseInterpreter();
}

void InstallWaitHooks() {
  os::WaitHooks hooks;
  hooks.release = ReleaseInterpreter;
  hooks.reacquire = ReacquireInterpreter;
  hooks.interrupted = SignalRaised;
  os::SetWaitHooks(hooks);
  static bool installed = false;
  if (installed) return;
  installed = true;
  os::OnForkChild(AfterForkInChild);
}

bool RegisterInterpreterExit() {
  PyObject* atexit = PyImport_ImportModule("atexit");
  if (atexit == nullptr) return false;
  PyObject* hook = PyCFunction_New(&g_at_exit_def, nullptr);
  PyObject* done = hook == nullptr ? nullptr : PyObject_CallMethod(atexit, "register", "O", hook);
  Py_XDECREF(hook);
  Py_DECREF(atexit);
  Py_XDECREF(done);
  return done != nullptr;
}

void SetMethodTable(const PyMethodDef* table) { g_methods = table; }

bool EnterCall() {
  if (!g_call_lock.try_lock()) {
    for (;;) {
      ReleaseInterpreter();
      const bool taken = g_call_lock.try_lock_for(std::chrono::milliseconds(os::kWakeMs));
      ReacquireInterpreter();
      if (taken) break;
      if (PyErr_CheckSignals() < 0 || TakeAsyncException()) return false;
    }
  }
  if (t_depth++ == 0) {
    os::ClearInterrupt();
    ClearTypeHint();
  }
  return true;
}

PyObject* LeaveCall(PyObject* result, void (*entry)(), PyObject* args, PyObject* kwargs) {
  if (result != nullptr && t_depth == 1 && LastErrorCode() == kInvalidParams) {
    const PyMethodDef* method = MethodOf(entry);
    if (method != nullptr &&
        !WarnTypeHint(method->ml_name, method->ml_doc, LastErrorMessage(), args, kwargs)) {
      Py_DECREF(result);
      result = nullptr;
    }
  }
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

void ResetClientIfIdle() {
  // A call still in flight (a thread that waits for the process to end)
  // keeps its pipe: the system closes it with the process.
  if (!g_call_lock.try_lock()) return;
  g_client.Reset();
  g_call_lock.unlock();
}

}  // namespace zk5
