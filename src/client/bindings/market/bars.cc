// copy_rates_from, copy_rates_from_pos, copy_rates_range, copy_ticks_from,
// copy_ticks_range: price history as NumPy structured arrays.
//
// A reply's records are read from the pipe straight into the data block of
// the result array; no record is copied or converted one by one. The array
// is created, and its block allocated by NumPy's data allocator, as soon as
// the reply's count is known, so NumPy owns the block from the start and
// frees it through the same memory handler whatever handler is installed.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#define NO_IMPORT_ARRAY
#define PY_ARRAY_UNIQUE_SYMBOL ZK5_ARRAY_API
#include <numpy/arrayobject.h>

#include <cstdint>

#include "bindings/convert.h"
#include "bindings/error_state.h"
#include "bindings/function_table.h"
#include "bindings/record_types.h"
#include "bindings/serial.h"
#include "connection/calls.h"
#include "ipc/records.h"
#include "os/os.h"

namespace zk5 {

namespace {

using ipc::CommandId;

constexpr char kMsgNoMemory[] = "No memory";
constexpr std::int64_t kMsPerSecond = 1000;
// Blocks this large always get a mapping of their own from the usual
// allocators (glibc's mmap threshold never rises above 32 MiB), so the
// huge-page advice ends with the block. Smaller replies fault in quickly
// anyway.
constexpr std::uint64_t kHugePageAdviceMin = std::uint64_t{32} << 20;

// The result array a reply is being received into: the ArrayOut's
// allocator creates it, reaching this object through the ArrayOut's context.
class Receiver {
 public:
  Receiver(PyArray_Descr* type, std::uint32_t record_size)
      : type_(type), record_size_(record_size) {}
  ~Receiver() { Py_XDECREF(array_); }
  Receiver(const Receiver&) = delete;
  Receiver& operator=(const Receiver&) = delete;

  ipc::ArrayOut Out() { return {&block_, &count_, &Allocate, &Release, this}; }

  // The received array, read-only from now on; the caller owns it.
  PyObject* Take() {
    PyObject* array = array_;
    array_ = nullptr;
    if (array != nullptr) {
      PyArray_CLEARFLAGS(reinterpret_cast<PyArrayObject*>(array), NPY_ARRAY_WRITEABLE);
    }
    return array;
  }

 private:
  // A one-dimensional array of size / record_size records, C-contiguous so
  // its stride is the record size. NumPy allocates its block (without
  // touching it) and marks the array as owning it.
  // Called while the exchange blocks, with the interpreter lock released:
  // it takes the lock for the moment it needs it.
  static void* Allocate(void* context, std::uint64_t size) {
    const InterpreterMoment holding;
    return static_cast<Receiver*>(context)->AllocateHoldingLock(size);
  }

  void* AllocateHoldingLock(std::uint64_t size) {
    if (array_ != nullptr || size % record_size_ != 0) return nullptr;
    npy_intp count = static_cast<npy_intp>(size / record_size_);
    Py_INCREF(type_);  // taken over by the array, also on failure
    PyObject* array =
        PyArray_NewFromDescr(&PyArray_Type, type_, 1, &count, nullptr, nullptr, 0, nullptr);
    if (array == nullptr) {
      PyErr_Clear();
      return nullptr;
    }
    void* data = PyArray_DATA(reinterpret_cast<PyArrayObject*>(array));
    // First-touch page faults dominate the cost of receiving a large
    // reply; with huge pages there is one per 2 MiB instead of per 4 KiB.
    if (size >= kHugePageAdviceMin) os::AdviseHugePages(data, static_cast<std::size_t>(size));
    array_ = array;
    return data;
  }

  static void Release(void* context, void*) {
    const InterpreterMoment holding;
    Py_CLEAR(static_cast<Receiver*>(context)->array_);
  }

  PyArray_Descr* type_;
  std::uint32_t record_size_;
  PyObject* array_ = nullptr;
  void* block_ = nullptr;
  std::uint32_t count_ = 0;
};

// Runs `exchange` (a call operation taking an ArrayOut) and returns its
// records as an array of `type`, or None with the error state set.
template <typename Exchange>
PyObject* ReceiveRecords(const records::RecordDef& def, Exchange&& exchange) {
  auto* type = reinterpret_cast<PyArray_Descr*>(RecordDtype(def));
  if (type == nullptr) {
    // Without the type there is nothing to build, but the exchange still
    // decides the outcome first.
    void* block = nullptr;
    std::uint32_t count = 0;
    const std::int32_t result = exchange(ipc::ArrayOut{&block, &count});
    if (result < 0) return FailNone(result);
    ipc::HeapFree(block);
    return FailNone(kOutOfMemory, kMsgNoMemory);
  }
  Receiver receiver(type, def.size);
  const std::int32_t result = exchange(receiver.Out());
  if (result < 0) return FailNone(result);
  PyObject* array = receiver.Take();
  if (array == nullptr) return FailNone(kOutOfMemory, kMsgNoMemory);
  return array;
}

// Exactly four positional arguments accepted by the tuple parser.
template <typename... Out>
bool ParseFour(PyObject* args, const char* format, Out*... out) {
  if (args == nullptr || !PyTuple_Check(args) || PyTuple_GET_SIZE(args) != 4) return false;
  if (!PyArg_ParseTuple(args, format, out...)) {
    PyErr_Clear();
    return false;
  }
  return true;
}

// A date in seconds, widened with its sign and scaled to the command's unit.
bool ReadDate(PyObject* obj, std::int64_t unit, std::int64_t* out) {
  std::int32_t seconds = 0;
  if (!read_date_arg(obj, &seconds)) return false;
  *out = std::int64_t{seconds} * unit;
  return true;
}

PyObject* InvalidArguments() { return FailNone(kInvalidParams, kMsgInvalidArguments); }

}  // namespace

PyObject* PyCopyTicksFrom(PyObject*, PyObject* args) {
  ResetError();
  PyObject *symbol_arg, *from_arg;
  int count, flags;
  char16_t symbol[kSymbolUnits] = {};
  std::int64_t from = 0;
  if (!ParseFour(args, "OOii", &symbol_arg, &from_arg, &count, &flags) ||
      !read_symbol_arg(symbol_arg, symbol) || !ReadDate(from_arg, kMsPerSecond, &from)) {
    return InvalidArguments();
  }
  return ReceiveRecords(records::kTick, [&](const ipc::ArrayOut& out) {
    return calls::History(calls::kCommand<CommandId::TICKS_FROM>, records::kTickSize, out,
                          ipc::TextOf(symbol), from, count, flags);
  });
}

PyObject* PyCopyTicksRange(PyObject*, PyObject* args) {
  ResetError();
  PyObject *symbol_arg, *from_arg, *to_arg;
  int flags;
  char16_t symbol[kSymbolUnits] = {};
  std::int64_t from = 0, to = 0;
  if (!ParseFour(args, "OOOi", &symbol_arg, &from_arg, &to_arg, &flags) ||
      !read_symbol_arg(symbol_arg, symbol) || !ReadDate(from_arg, kMsPerSecond, &from) ||
      !ReadDate(to_arg, kMsPerSecond, &to)) {
    return InvalidArguments();
  }
  return ReceiveRecords(records::kTick, [&](const ipc::ArrayOut& out) {
    return calls::History(calls::kCommand<CommandId::TICKS_RANGE>, records::kTickSize, out,
                          ipc::TextOf(symbol), from, to, flags);
  });
}

PyObject* PyCopyRatesFrom(PyObject*, PyObject* args) {
  ResetError();
  PyObject *symbol_arg, *from_arg;
  int timeframe, count;
  char16_t symbol[kSymbolUnits] = {};
  std::int64_t from = 0;
  if (!ParseFour(args, "OiOi", &symbol_arg, &timeframe, &from_arg, &count) ||
      !read_symbol_arg(symbol_arg, symbol) || !ReadDate(from_arg, 1, &from)) {
    return InvalidArguments();
  }
  return ReceiveRecords(records::kRates, [&](const ipc::ArrayOut& out) {
    return calls::History(calls::kCommand<CommandId::RATES_FROM>, records::kRatesSize, out,
                          ipc::TextOf(symbol), timeframe, from, count);
  });
}

PyObject* PyCopyRatesFromPos(PyObject*, PyObject* args) {
  ResetError();
  PyObject* symbol_arg;
  int timeframe, start, count;
  char16_t symbol[kSymbolUnits] = {};
  if (!ParseFour(args, "Oiii", &symbol_arg, &timeframe, &start, &count) ||
      !read_symbol_arg(symbol_arg, symbol)) {
    return InvalidArguments();
  }
  return ReceiveRecords(records::kRates, [&](const ipc::ArrayOut& out) {
    return calls::History(calls::kCommand<CommandId::RATES_FROM_POS>, records::kRatesSize, out,
                          ipc::TextOf(symbol), timeframe, start, count);
  });
}

PyObject* PyCopyRatesRange(PyObject*, PyObject* args) {
  ResetError();
  PyObject *symbol_arg, *from_arg, *to_arg;
  int timeframe;
  char16_t symbol[kSymbolUnits] = {};
  std::int64_t from = 0, to = 0;
  if (!ParseFour(args, "OiOO", &symbol_arg, &timeframe, &from_arg, &to_arg) ||
      !read_symbol_arg(symbol_arg, symbol) || !ReadDate(from_arg, 1, &from) ||
      !ReadDate(to_arg, 1, &to)) {
    return InvalidArguments();
  }
  return ReceiveRecords(records::kRates, [&](const ipc::ArrayOut& out) {
    return calls::History(calls::kCommand<CommandId::RATES_RANGE>, records::kRatesSize, out,
                          ipc::TextOf(symbol), timeframe, from, to);
  });
}

// This file's functions in the module's method table (module.cc puts the
// groups in order).
const FunctionGroup kBarsFunctions = {{
    {"copy_ticks_from", Serial<PyCopyTicksFrom>, METH_VARARGS,
     ZK5_DOC("copy_ticks_from(symbol, date_from, count, flags, /)",
             "copy_ticks_from(symbol, date_from, count, flags)",
             "Get ticks starting from specific date")},
    {"copy_ticks_range", Serial<PyCopyTicksRange>, METH_VARARGS,
     ZK5_DOC("copy_ticks_range(symbol, date_from, date_to, flags, /)",
             "copy_ticks_range(symbol, date_from, date_to, flags)",
             "Get ticks from specified period")},
    {"copy_rates_from", Serial<PyCopyRatesFrom>, METH_VARARGS,
     ZK5_DOC("copy_rates_from(symbol, timeframe, date_from, count, /)",
             "copy_rates_from(symbol, timeframe, date_from, count)",
             "Get bars starting from specific date")},
    {"copy_rates_from_pos", Serial<PyCopyRatesFromPos>, METH_VARARGS,
     ZK5_DOC("copy_rates_from_pos(symbol, timeframe, start_pos, count, /)",
             "copy_rates_from_pos(symbol, timeframe, start_pos, count)",
             "Get bars starting from specified position")},
    {"copy_rates_range", Serial<PyCopyRatesRange>, METH_VARARGS,
     ZK5_DOC("copy_rates_range(symbol, timeframe, date_from, date_to, /)",
             "copy_rates_range(symbol, timeframe, date_from, date_to)",
             "Get bars from specified period")},
}};

}  // namespace zk5
