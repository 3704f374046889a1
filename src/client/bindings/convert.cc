#include "bindings/convert.h"

#include <frameobject.h>

#include <cctype>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "ipc/records.h"

namespace zk5 {

namespace {

// The conversions report by return value only; an error the interpreter
// raised on the way must not leak into the caller's frame.
bool Refuse() {
  PyErr_Clear();
  return false;
}

constexpr std::int32_t kEarliest = std::numeric_limits<std::int32_t>::min();
constexpr std::int32_t kLatest = std::numeric_limits<std::int32_t>::max();

// Truncates toward zero and clamps to the signed 32-bit range, infinities
// included; NaN names no time and is refused.
bool TruncateToInt32(double v, std::int32_t* out) {
  if (std::isnan(v)) return false;
  // Both bounds are exact in a double.
  if (v <= -2147483649.0) {
    *out = kEarliest;
  } else if (v >= 2147483648.0) {
    *out = kLatest;
  } else {
    *out = static_cast<std::int32_t>(v);
  }
  return true;
}

// What a refused value could have been passed as, kept for the calling
// thread until its call ends (WarnTypeHint). The value is compared by
// identity only: it is borrowed from the call's arguments, which outlive it.
struct TypeHint {
  PyObject* value = nullptr;
  std::string advice;
};
thread_local TypeHint t_hint;

// A number type that is not int but converts to one losslessly (NumPy's
// integers): it offers __index__.
bool IsOtherInteger(PyObject* obj) {
  return !PyLong_Check(obj) && !PyBool_Check(obj) && PyIndex_Check(obj);
}

// A number that is not float but offers __float__ (NumPy's float32, a
// Decimal); strings and ints are not.
bool IsOtherFloat(PyObject* obj) {
  return !PyFloat_Check(obj) && !PyLong_Check(obj) && !PyIndex_Check(obj) &&
         Py_TYPE(obj)->tp_as_number != nullptr && Py_TYPE(obj)->tp_as_number->nb_float != nullptr;
}

void Hint(PyObject* obj, std::string advice) {
  if (t_hint.value != nullptr) return;  // the first refusal of a call is the one reported
  t_hint.value = obj;
  t_hint.advice = std::move(advice);
}

// Why an int-typed argument was refused, when the value would do as an int.
void HintForInt(PyObject* obj) {
  if (IsOtherInteger(obj)) Hint(obj, "int(value)");
}

// The same for a float: an int shows the float to pass ("1.0").
void HintForFloat(PyObject* obj) {
  if (PyLong_Check(obj) && !PyBool_Check(obj)) {
    PyObject* as_float = PyNumber_Float(obj);
    PyObject* repr = as_float == nullptr ? nullptr : PyObject_Repr(as_float);
    const char* text = repr == nullptr ? nullptr : PyUnicode_AsUTF8(repr);
    Hint(obj, text != nullptr ? text : "float(value)");
    Py_XDECREF(repr);
    Py_XDECREF(as_float);
    PyErr_Clear();
  } else if (IsOtherInteger(obj) || IsOtherFloat(obj)) {
    Hint(obj, "float(value)");
  }
}

bool IsDateTime(PyObject* obj) {
  if (g_datetime_api == nullptr) return false;
  const int r = PyObject_IsInstance(obj, reinterpret_cast<PyObject*>(g_datetime_api->DateTimeType));
  if (r < 0) PyErr_Clear();
  return r == 1;
}

// A datetime.date that is not a datetime (a datetime is a date too).
bool IsDate(PyObject* obj) {
  if (g_datetime_api == nullptr || IsDateTime(obj)) return false;
  const int r = PyObject_IsInstance(obj, reinterpret_cast<PyObject*>(g_datetime_api->DateType));
  if (r < 0) PyErr_Clear();
  return r == 1;
}

}  // namespace

bool ReadText(PyObject* obj, char16_t* buf, std::size_t units) {
  if (obj == nullptr || buf == nullptr || units < 2) return false;
  if (!PyUnicode_Check(obj)) return false;
  const Py_ssize_t length = PyUnicode_GetLength(obj);
  if (length < 0) return Refuse();
  // The text plus its terminator must stay below units - 1.
  const std::size_t limit = units - 1;
  // Each code point takes at least one unit: refuse long texts unread.
  if (static_cast<std::size_t>(length) + 1 >= limit) return false;

  // Measure first, so that a refused text leaves the buffer untouched.
  std::size_t needed = 1;
  for (Py_ssize_t i = 0; i < length; ++i) {
    const Py_UCS4 cp = PyUnicode_ReadChar(obj, i);
    if (cp == static_cast<Py_UCS4>(-1) && PyErr_Occurred()) return Refuse();
    needed += cp > 0xFFFF ? 2 : 1;
    if (needed >= limit) return false;
  }

  // Encoded by hand: the codec refuses lone surrogates, which a str may
  // hold and which pass to the terminal as the units they are.
  std::size_t n = 0;
  for (Py_ssize_t i = 0; i < length; ++i) {
    const Py_UCS4 cp = PyUnicode_ReadChar(obj, i);
    if (cp > 0xFFFF) {
      const Py_UCS4 v = cp - 0x10000;
      buf[n++] = static_cast<char16_t>(0xD800 + (v >> 10));
      buf[n++] = static_cast<char16_t>(0xDC00 + (v & 0x3FF));
    } else {
      buf[n++] = static_cast<char16_t>(cp);
    }
  }
  for (; n < units; ++n) buf[n] = 0;
  buf[units - 1] = 0;
  return true;
}

bool read_symbol_arg(PyObject* obj, char16_t* buf) { return ReadText(obj, buf, kSymbolUnits); }

bool read_text32_value(PyObject* obj, char16_t* field) {
  return ReadText(obj, field, kSymbolUnits);
}

bool read_mask_arg(PyObject* obj, char16_t* buf) { return ReadText(obj, buf, kMaskUnits); }

bool read_date_arg(PyObject* obj, std::int32_t* out) {
  if (obj == nullptr || out == nullptr) return false;
  if (PyLong_Check(obj)) {
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
    if (v == -1 && PyErr_Occurred()) return Refuse();
    if (overflow < 0 || v < kEarliest) {
      *out = kEarliest;
    } else if (overflow > 0 || v > kLatest) {
      *out = kLatest;
    } else {
      *out = static_cast<std::int32_t>(v);
    }
    return true;
  }
  if (PyFloat_Check(obj)) {
    const double v = PyFloat_AsDouble(obj);
    if (v == -1.0 && PyErr_Occurred()) return Refuse();
    return TruncateToInt32(v, out);
  }
  if (IsDateTime(obj)) {
    PyObject* stamp = PyObject_CallMethod(obj, "timestamp", nullptr);
    if (stamp == nullptr) return Refuse();
    const double v = PyFloat_AsDouble(stamp);
    Py_DECREF(stamp);
    if (v == -1.0 && PyErr_Occurred()) return Refuse();
    return TruncateToInt32(v, out);
  }
  if (IsDate(obj) || std::strcmp(Py_TYPE(obj)->tp_name, "numpy.datetime64") == 0) {
    Hint(obj, "a datetime.datetime, or an int of seconds since 1970");
  } else if (IsOtherInteger(obj)) {
    Hint(obj, "int(value)");
  } else if (IsOtherFloat(obj)) {
    Hint(obj, "float(value)");
  }
  return false;
}

bool read_float_value(PyObject* obj, double* out) {
  if (obj == nullptr || out == nullptr) return false;
  if (!PyFloat_Check(obj)) {
    HintForFloat(obj);
    return false;
  }
  const double v = PyFloat_AsDouble(obj);
  if (v == -1.0 && PyErr_Occurred()) return Refuse();
  *out = v;
  return true;
}

bool read_int64_value(PyObject* obj, std::int64_t* out) {
  if (obj == nullptr || out == nullptr) return false;
  if (!PyLong_Check(obj)) {
    HintForInt(obj);
    return false;
  }
  const long long v = PyLong_AsLongLong(obj);
  if (v == -1 && PyErr_Occurred()) return Refuse();
  *out = static_cast<std::int64_t>(v);
  return true;
}

bool read_uint64_value(PyObject* obj, std::uint64_t* out) {
  if (obj == nullptr || out == nullptr) return false;
  if (!PyLong_Check(obj)) {
    HintForInt(obj);
    return false;
  }
  // Raises OverflowError for negative values as well as for too large ones.
  const unsigned long long v = PyLong_AsUnsignedLongLong(obj);
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return Refuse();
  *out = static_cast<std::uint64_t>(v);
  return true;
}

bool read_uint32_value(PyObject* obj, std::uint32_t* out) {
  // The interpreter has no 32-bit unsigned conversion with a range check
  // (unsigned long is 64-bit on LP64), so narrow from 64 bits here.
  std::uint64_t v = 0;
  if (out == nullptr || !read_uint64_value(obj, &v)) return false;
  if (v > std::numeric_limits<std::uint32_t>::max()) return false;
  *out = static_cast<std::uint32_t>(v);
  return true;
}

PyObject* KwItem(PyObject* dict, const char* name) {
  if (dict == nullptr || name == nullptr || !PyDict_Check(dict)) return nullptr;
  // Not PyDict_GetItemString: newer interpreters report the errors it
  // swallows (a key whose __eq__ raises) on stderr.
  PyObject* key = PyUnicode_FromString(name);
  if (key == nullptr) {
    PyErr_Clear();
    return nullptr;
  }
  PyObject* item = PyDict_GetItemWithError(dict, key);
  Py_DECREF(key);
  if (item == nullptr) PyErr_Clear();
  return item;
}

namespace {

// Calls warn(key) for each key of `dict` for which known(key) is false.
template <typename Known>
bool WarnUnknown(PyObject* dict, const char* function, const char* kind, Known&& known) {
  if (dict == nullptr || !PyDict_Check(dict)) return true;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  Py_ssize_t pos = 0;
  while (PyDict_Next(dict, &pos, &key, &value)) {
    const char* name = PyUnicode_Check(key) ? PyUnicode_AsUTF8(key) : nullptr;
    if (name == nullptr) PyErr_Clear();  // not text, or not encodable: not a name we know
    if (name != nullptr && known(name)) continue;
    // The key is borrowed from the dictionary, which a warning handler could
    // change: hold it while warning.
    Py_INCREF(key);
    const int failed =
        PyErr_WarnFormat(PyExc_UserWarning, 1, "%s() ignores unknown %s %R", function, kind, key);
    Py_DECREF(key);
    if (failed != 0) return false;
  }
  return true;
}

}  // namespace

bool WarnUnknownKeys(PyObject* dict, const char* function, const char* kind,
                     std::initializer_list<const char*> known) {
  return WarnUnknown(dict, function, kind, [&](const char* name) {
    for (const char* k : known) {
      if (std::strcmp(k, name) == 0) return true;
    }
    return false;
  });
}

bool WarnUnknownRequestKeys(PyObject* request, const char* function) {
  return WarnUnknown(request, function, "request key", [](const char* name) {
    return records::FindField(records::kTradeRequest, name) != nullptr;
  });
}

std::string InvalidNamedArgument(const char* name) {
  std::string message = "Invalid \"";
  if (name != nullptr) message += name;
  message += "\" argument";
  return message;
}

void ClearTypeHint() {
  t_hint.value = nullptr;
  t_hint.advice.clear();
}

namespace {

// The name of the argument that holds `value`: the one an argument message
// names ("Invalid \"volume\" argument"), else the positional parameter of
// `doc`'s signature at its position, else the keyword that holds it.
std::string ArgumentName(PyObject* value, const char* message, const char* doc, PyObject* args,
                         PyObject* kwargs) {
  const std::string text = message != nullptr ? message : "";
  const std::string prefix = "Invalid \"";
  if (text.compare(0, prefix.size(), prefix) == 0) {
    const std::size_t end = text.find('"', prefix.size());
    if (end != std::string::npos) return text.substr(prefix.size(), end - prefix.size());
  }
  if (args != nullptr && PyTuple_Check(args) && doc != nullptr) {
    const char* open = std::strchr(doc, '(');
    const char* close = open != nullptr ? std::strchr(open, ')') : nullptr;
    std::vector<std::string> names;
    std::string name;
    bool in_default = false;
    for (const char* p = open == nullptr ? doc : open + 1; p != nullptr && p < close; ++p) {
      if (*p == ',') {
        names.push_back(name);
        name.clear();
        in_default = false;
      } else if (*p == '=') {
        in_default = true;
      } else if (!in_default && (std::isalnum(static_cast<unsigned char>(*p)) || *p == '_')) {
        name += *p;
      }
    }
    names.push_back(name);
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(args); ++i) {
      if (PyTuple_GET_ITEM(args, i) == value && static_cast<std::size_t>(i) < names.size() &&
          !names[static_cast<std::size_t>(i)].empty()) {
        return names[static_cast<std::size_t>(i)];
      }
    }
  }
  if (kwargs != nullptr && PyDict_Check(kwargs)) {
    PyObject* key = nullptr;
    PyObject* item = nullptr;
    Py_ssize_t pos = 0;
    while (PyDict_Next(kwargs, &pos, &key, &item)) {
      const char* name = item == value && PyUnicode_Check(key) ? PyUnicode_AsUTF8(key) : nullptr;
      if (name != nullptr) return name;
      PyErr_Clear();
    }
  }
  return "an argument";
}

}  // namespace

namespace {

PyObject* FrameGlobals(PyFrameObject* frame) {
#if PY_VERSION_HEX >= 0x030B0000
  return PyFrame_GetGlobals(frame);
#else
  Py_XINCREF(frame->f_globals);
  return frame->f_globals;
#endif
}

// The stack level of the warning that names the caller's line: past the
// package's own frames (its wrappers of the module's functions).
int CallerStackLevel() {
  int level = 1;
  PyFrameObject* frame = PyEval_GetFrame();
  Py_XINCREF(frame);
  while (frame != nullptr) {
    PyObject* globals = FrameGlobals(frame);
    PyObject* name = globals != nullptr ? PyDict_GetItemString(globals, "__name__") : nullptr;
    const char* text = name != nullptr && PyUnicode_Check(name) ? PyUnicode_AsUTF8(name) : nullptr;
    if (text == nullptr) PyErr_Clear();
    const bool ours = text != nullptr &&
                      (std::strcmp(text, "zelkor5") == 0 || std::strncmp(text, "zelkor5.", 8) == 0);
    Py_XDECREF(globals);
    if (!ours) break;
    ++level;
    PyFrameObject* back = PyFrame_GetBack(frame);
    Py_DECREF(frame);
    frame = back;
  }
  Py_XDECREF(frame);
  return level;
}

}  // namespace

bool WarnTypeHint(const char* function, const char* doc, const char* message, PyObject* args,
                  PyObject* kwargs) {
  if (t_hint.value == nullptr) return true;
  const std::string name = ArgumentName(t_hint.value, message, doc, args, kwargs);
  const int failed = PyErr_WarnFormat(
      PyExc_UserWarning, CallerStackLevel(), "%s(): %s of type %s is not accepted; pass %s",
      function, name.c_str(), Py_TYPE(t_hint.value)->tp_name, t_hint.advice.c_str());
  ClearTypeHint();
  return failed == 0;
}

}  // namespace zk5
