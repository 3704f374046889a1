#include "bindings/convert.h"

#include <cmath>
#include <cstring>
#include <limits>

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

bool IsDateTime(PyObject* obj) {
  if (g_datetime_api == nullptr) return false;
  const int r = PyObject_IsInstance(
      obj, reinterpret_cast<PyObject*>(g_datetime_api->DateTimeType));
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

bool read_symbol_arg(PyObject* obj, char16_t* buf) {
  return ReadText(obj, buf, kSymbolUnits);
}

bool read_text32_value(PyObject* obj, char16_t* field) {
  return ReadText(obj, field, kSymbolUnits);
}

bool read_mask_arg(PyObject* obj, char16_t* buf) {
  return ReadText(obj, buf, kMaskUnits);
}

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
  return false;
}

bool read_float_value(PyObject* obj, double* out) {
  if (obj == nullptr || out == nullptr || !PyFloat_Check(obj)) return false;
  const double v = PyFloat_AsDouble(obj);
  if (v == -1.0 && PyErr_Occurred()) return Refuse();
  *out = v;
  return true;
}

bool read_int64_value(PyObject* obj, std::int64_t* out) {
  if (obj == nullptr || out == nullptr || !PyLong_Check(obj)) return false;
  const long long v = PyLong_AsLongLong(obj);
  if (v == -1 && PyErr_Occurred()) return Refuse();
  *out = static_cast<std::int64_t>(v);
  return true;
}

bool read_uint64_value(PyObject* obj, std::uint64_t* out) {
  if (obj == nullptr || out == nullptr || !PyLong_Check(obj)) return false;
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
    const int failed = PyErr_WarnFormat(PyExc_UserWarning, 1, "%s() ignores unknown %s %R",
                                        function, kind, key);
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

}  // namespace zk5
