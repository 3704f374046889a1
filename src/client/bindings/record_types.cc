// The eleven result record types and the conversion of wire records into
// them.
//
// Each type is a static struct sequence whose field names come from the
// layout table of its wire record (in tuple-index order), so the table that
// says where a field lies also names it. The conversion walks the same table
// (merged into runs of like fields) and builds every value straight from the
// bytes. It runs for each of the thousands of records a symbol list holds,
// so it does no per-field lookups, uses the codec only for text that is not
// Latin-1, and in a list lets a field whose bytes equal those of the record
// before share that record's object.
#include "bindings/record_types.h"

#include <cstddef>
#include <cstring>

#include "bindings/error_state.h"
#include "bindings/serial.h"
#include "ipc/stream.h"
#include "ipc/wire.h"

namespace zk5 {

namespace {

using records::FieldDef;
using records::RecordDef;
using records::WireType;

constexpr int kTypeCount = 11;
// SymbolInfo has the most fields.
constexpr int kMaxFields = 96;

struct TypeSpec {
  const char* doc;
  const RecordDef* def;
};

// In the order of RecordType, which is also the order of registration.
const TypeSpec kSpecs[kTypeCount] = {
    {"Trade position structure", &records::kTradePosition},
    {"Trade order structure", &records::kTradeOrder},
    {"Trade deal structure", &records::kTradeDeal},
    {"Trade request structure", &records::kTradeRequest},
    {"order_send result structure", &records::kOrderSendResult},
    {"order_check result structure", &records::kOrderCheckResult},
    {"This is a structure for storing latest symbol prices", &records::kTick},
    {"This is a structure for storing terminal information", &records::kTerminalInfo},
    {"This is a structure for storing symbol information", &records::kSymbolInfo},
    {"This is a structure for storing account information", &records::kAccountInfo},
    {"This is a structure for storing Depth of Market information", &records::kBookInfo},
};

// Consecutive fields of one wire type, laid out back to back and standing
// next to each other in the tuple: converted by one tight loop.
struct Run {
  WireType type;
  std::uint16_t count;
  std::uint16_t index;   // tuple index of the first field
  std::uint32_t offset;  // byte offset of the first field
  std::uint16_t width;   // bytes per field
  std::uint16_t units;   // kText: UTF-16 units per field
};

// Process-wide, never freed: the types live as long as the process.
struct TypeState {
  bool ready = false;
  PyStructSequence_Field fields[kMaxFields + 1] = {};
  // Field names as interned str, in tuple order: the keys of _asdict.
  PyObject* keys = nullptr;
  // The record's fields in table order, merged into runs.
  Run runs[kMaxFields] = {};
  std::uint16_t run_count = 0;
  Py_ssize_t count = 0;
  // Whether records can be allocated directly (see NewRecord).
  bool direct_alloc = false;
};

PyTypeObject g_types[kTypeCount];
TypeState g_state[kTypeCount];
// One shared 0.0: most price and session fields of a record are zero.
PyObject* g_zero_float = nullptr;

constexpr char kAsDictDoc[] = "Convert named tuple object to dictionary";

PyObject* AsDict(PyObject* self, PyObject*);

// Through the module lock: it sets the error state on failure.
PyMethodDef kAsDictMethod = {"_asdict", Serial<AsDict>, METH_NOARGS, kAsDictDoc};

// Record -> dict from field name to the record's own item objects. It leaves
// the error state alone unless it fails.
PyObject* AsDict(PyObject* self, PyObject*) {
  if (self == nullptr) return FailNone(kInvalidParams, "Internal error");
  int found = -1;
  for (int i = 0; i < kTypeCount && found < 0; ++i) {
    if (!g_state[i].ready) continue;
    const int r = PyObject_IsInstance(self, reinterpret_cast<PyObject*>(&g_types[i]));
    if (r < 0) PyErr_Clear();
    if (r > 0) found = i;
  }
  if (found < 0) return FailNone(kInvalidParams, "Invalid object type");
  PyObject* keys = g_state[found].keys;
  if (keys == nullptr) return FailNone(kInvalidParams, "Internal error");
  const Py_ssize_t count = PyTuple_GET_SIZE(keys);
  if (Py_SIZE(self) != count) return FailNone(kInvalidParams, "Invalid tuple size");
  PyObject* dict = PyDict_New();
  if (dict == nullptr) {
    PyErr_Clear();
    return FailNone(kOutOfMemory, "Can't create dictionary");
  }
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* item = PyTuple_GET_ITEM(self, i);
    if (item == nullptr) continue;
    if (PyDict_SetItem(dict, PyTuple_GET_ITEM(keys, i), item) < 0) {
      PyErr_Clear();
      Py_DECREF(dict);
      return FailNone(kOutOfMemory, "Can't create dictionary");
    }
  }
  return dict;
}

// Field names by tuple index. False when the table's indices are not a
// permutation of 0 .. count-1 (a table error: the type is then left out).
bool FillFieldNames(const RecordDef& def, PyStructSequence_Field* fields) {
  if (def.count == 0 || def.count > kMaxFields) return false;
  for (std::uint16_t i = 0; i <= def.count; ++i) fields[i] = {nullptr, nullptr};
  for (std::uint16_t i = 0; i < def.count; ++i) {
    const FieldDef& f = def.fields[i];
    if (f.index >= def.count || fields[f.index].name != nullptr) return false;
    fields[f.index].name = f.name;
  }
  return true;
}

void BuildRuns(const RecordDef& def, TypeState* st) {
  st->run_count = 0;
  for (std::uint16_t i = 0; i < def.count; ++i) {
    const FieldDef& f = def.fields[i];
    const auto width = static_cast<std::uint16_t>(records::WireWidth(f));
    if (st->run_count > 0) {
      Run& last = st->runs[st->run_count - 1];
      if (last.type == f.type && last.width == width && f.type != WireType::kNested &&
          f.offset == last.offset + std::uint32_t{last.width} * last.count &&
          f.index == last.index + last.count) {
        ++last.count;
        continue;
      }
    }
    st->runs[st->run_count++] = {f.type, 1, f.index, f.offset, width, f.text_units};
  }
}

PyObject* KeysOf(const PyStructSequence_Field* fields, int count) {
  PyObject* keys = PyTuple_New(count);
  if (keys == nullptr) return nullptr;
  for (int i = 0; i < count; ++i) {
    PyObject* key = PyUnicode_InternFromString(fields[i].name);
    if (key == nullptr) {
      Py_DECREF(keys);
      return nullptr;
    }
    PyTuple_SET_ITEM(keys, i, key);
  }
  return keys;
}

// Stores `value` in the type's own dictionary. The type-level setter
// refuses attributes on static types; the generic one writes there.
bool SetTypeAttr(PyTypeObject* type, const char* name, PyObject* value) {
  PyObject* key = PyUnicode_InternFromString(name);
  if (key == nullptr) return false;
  const int set = PyObject_GenericSetAttr(reinterpret_cast<PyObject*>(type), key, value);
  Py_DECREF(key);
  return set == 0;
}

bool InitType(int i) {
  TypeState& st = g_state[i];
  if (st.ready) return true;
  const RecordDef& def = *kSpecs[i].def;
  if (!FillFieldNames(def, st.fields)) return false;
  BuildRuns(def, &st);
  PyStructSequence_Desc desc = {def.name, kSpecs[i].doc, st.fields, def.count};
  if (PyStructSequence_InitType2(&g_types[i], &desc) < 0) return false;
  st.keys = KeysOf(st.fields, def.count);
  if (st.keys == nullptr) return false;
  PyObject* descr = PyDescr_NewMethod(&g_types[i], &kAsDictMethod);
  if (descr == nullptr) return false;
  const bool set = SetTypeAttr(&g_types[i], "_asdict", descr) &&
                   // The field names, as named tuples have them: pandas and
                   // other libraries name columns from `_fields`.
                   SetTypeAttr(&g_types[i], "_fields", st.keys);
  Py_DECREF(descr);
  if (!set) return false;
  PyType_Modified(&g_types[i]);
  st.count = def.count;
  // Direct allocation relies on the plain tuple layout that struct
  // sequences without hidden fields have; check it once on a real record.
  PyObject* probe = PyStructSequence_New(&g_types[i]);
  if (probe == nullptr) return false;
  st.direct_alloc =
      Py_SIZE(probe) == st.count && g_types[i].tp_itemsize == sizeof(PyObject*) &&
      g_types[i].tp_basicsize == static_cast<Py_ssize_t>(offsetof(PyTupleObject, ob_item));
  Py_DECREF(probe);
  st.ready = true;
  return true;
}

inline PyObject* NewRef(PyObject* o) {
  Py_INCREF(o);
  return o;
}

// The record converted just before in the same list. A field whose bytes
// equal its bytes there takes the same object: neighbouring symbols share
// most of their settings, currencies and zeros.
struct Previous {
  const std::uint8_t* record = nullptr;
  PyObject* const* items = nullptr;
};

// str of a wchar[units] field up to its first NUL (or the field's end).
// Latin-1 text, nearly all text a terminal sends, is copied straight into a
// one-byte string; anything else goes through the UTF-16 codec, which keeps
// surrogate pairs and passes lone surrogates through.
PyObject* TextValue(const std::uint8_t* p, std::size_t units, const std::uint8_t* prev,
                    PyObject* prev_value) {
  unsigned bits = 0;
  const std::size_t n = wire::ScanText(p, units, &bits);
  if (n == 0) return PyUnicode_New(0, 0);  // the shared empty string
  // Same text when the units and the terminator (if any) agree.
  const std::size_t compared = 2 * (n < units ? n + 1 : n);
  if (prev != nullptr && std::memcmp(p, prev, compared) == 0) return NewRef(prev_value);
  if (bits < 0x100) {
    // OR-ing the units keeps bit 7 iff some unit has it, so `bits` is in the
    // same class (ASCII or not) as the true maximum.
    PyObject* s = PyUnicode_New(static_cast<Py_ssize_t>(n), bits);
    if (s == nullptr) return nullptr;
    Py_UCS1* d = PyUnicode_1BYTE_DATA(s);
    for (std::size_t i = 0; i < n; ++i) d[i] = p[2 * i];
    return s;
  }
  int byte_order = -1;  // little-endian
  return PyUnicode_DecodeUTF16(reinterpret_cast<const char*>(p), static_cast<Py_ssize_t>(2 * n),
                               "surrogatepass", &byte_order);
}

PyObject* U8Value(const std::uint8_t* p) { return PyLong_FromLong(*p); }
PyObject* U32Value(const std::uint8_t* p) { return PyLong_FromUnsignedLong(wire::LoadU32(p)); }
PyObject* I32Value(const std::uint8_t* p) { return PyLong_FromLong(wire::LoadI32(p)); }
PyObject* U64Value(const std::uint8_t* p) { return PyLong_FromUnsignedLongLong(wire::LoadU64(p)); }
PyObject* I64Value(const std::uint8_t* p) { return PyLong_FromLongLong(wire::LoadI64(p)); }
PyObject* F64Value(const std::uint8_t* p) {
  // All bits clear is +0.0 (and only that); -0.0 and the rest get their own.
  if (wire::LoadU64(p) == 0 && g_zero_float != nullptr) return NewRef(g_zero_float);
  return PyFloat_FromDouble(wire::LoadF64(p));
}

// n fields of W bytes each; equal bytes in the previous record mean the
// same value (floats are compared by their bits, so NaNs and -0.0 too).
template <std::size_t W, PyObject* (*Make)(const std::uint8_t*)>
bool FixedRun(const std::uint8_t* p, std::uint16_t n, const std::uint8_t* prev,
              PyObject* const* prev_out, PyObject** out) {
  for (std::uint16_t k = 0; k < n; ++k) {
    const std::uint8_t* f = p + W * k;
    if (prev != nullptr && std::memcmp(f, prev + W * k, W) == 0) {
      out[k] = NewRef(prev_out[k]);
    } else if ((out[k] = Make(f)) == nullptr) {
      return false;
    }
  }
  return true;
}

// Sets run.count items starting at items[run.index]. False when an object
// cannot be created; the items set so far stay for the caller to release.
bool ConvertRun(const Run& run, const std::uint8_t* record, PyObject* nested,
                const Previous& previous, PyObject** items) {
  const std::uint8_t* p = record + run.offset;
  PyObject** out = items + run.index;
  const std::uint8_t* prev = previous.record ? previous.record + run.offset : nullptr;
  PyObject* const* prev_out = previous.items ? previous.items + run.index : nullptr;
  const std::uint16_t n = run.count;
  switch (run.type) {
    case WireType::kBool8:
      for (std::uint16_t k = 0; k < n; ++k) out[k] = NewRef(p[k] != 0 ? Py_True : Py_False);
      return true;
    case WireType::kU8:
      return FixedRun<1, U8Value>(p, n, prev, prev_out, out);
    case WireType::kU32:
      return FixedRun<4, U32Value>(p, n, prev, prev_out, out);
    case WireType::kI32:
      return FixedRun<4, I32Value>(p, n, prev, prev_out, out);
    case WireType::kU64:
      return FixedRun<8, U64Value>(p, n, prev, prev_out, out);
    case WireType::kI64:
      return FixedRun<8, I64Value>(p, n, prev, prev_out, out);
    case WireType::kF64:
      return FixedRun<8, F64Value>(p, n, prev, prev_out, out);
    case WireType::kText:
      for (std::uint16_t k = 0; k < n; ++k) {
        const std::size_t at = std::size_t{run.width} * k;
        out[k] = TextValue(p + at, run.units, prev ? prev + at : nullptr,
                           prev_out ? prev_out[k] : nullptr);
        if (out[k] == nullptr) return false;
      }
      return true;
    case WireType::kNested:
      if (nested == nullptr) return false;
      for (std::uint16_t k = 0; k < n; ++k) out[k] = NewRef(nested);
      return true;
  }
  return false;
}

// A new record of type i with every item null.
PyObject* NewRecord(int i) {
  const TypeState& st = g_state[i];
  if (!st.direct_alloc) return PyStructSequence_New(&g_types[i]);
  // What PyStructSequence_New does for a type without hidden fields, less
  // its two dictionary look-ups of the field counts on every record.
  PyTupleObject* obj = PyObject_GC_NewVar(PyTupleObject, &g_types[i], st.count);
  if (obj == nullptr) return nullptr;
  for (Py_ssize_t k = 0; k < st.count; ++k) obj->ob_item[k] = nullptr;
  return reinterpret_cast<PyObject*>(obj);
}

// Converts one record of type i; null with no Python error pending on
// failure.
PyObject* Convert(int i, const std::uint8_t* record, PyObject* nested, const Previous& previous) {
  PyObject* obj = NewRecord(i);
  if (obj == nullptr) {
    PyErr_Clear();
    return nullptr;
  }
  // Every item starts null; the runs set each exactly once.
  PyObject** items = &PyTuple_GET_ITEM(obj, 0);
  const TypeState& st = g_state[i];
  for (std::uint16_t r = 0; r < st.run_count; ++r) {
    if (!ConvertRun(st.runs[r], record, nested, previous, items)) {
      Py_DECREF(obj);  // releases the items already set
      PyErr_Clear();
      return nullptr;
    }
  }
  return obj;
}

// The index of a usable type whose table is `def`, or -1.
int CheckedType(RecordType type, const records::RecordDef& def) {
  const int i = static_cast<int>(type);
  // The type's fields were checked against its own table only.
  if (i < 0 || i >= kTypeCount || !g_state[i].ready || &def != kSpecs[i].def) return -1;
  return i;
}

}  // namespace

PyTypeObject* TypeOf(RecordType type) {
  const int i = static_cast<int>(type);
  if (i < 0 || i >= kTypeCount || !g_state[i].ready) return nullptr;
  return &g_types[i];
}

PyObject* RecordToPython(RecordType type, const records::RecordDef& def, const std::uint8_t* record,
                         PyObject* nested) {
  const int i = CheckedType(type, def);
  if (i < 0 || record == nullptr) return nullptr;
  return Convert(i, record, nested, Previous{});
}

PyObject* RecordsToTuple(RecordType type, const records::RecordDef& def, const std::uint8_t* block,
                         std::uint32_t count) {
  const int i = CheckedType(type, def);
  if (i < 0 || (count > 0 && block == nullptr)) return nullptr;
  PyObject* tuple = PyTuple_New(count);
  if (tuple == nullptr) {
    PyErr_Clear();
    return nullptr;
  }
  Previous previous;
  for (std::uint32_t k = 0; k < count; ++k) {
    const std::uint8_t* record = block + static_cast<std::size_t>(k) * def.size;
    PyObject* item = Convert(i, record, nullptr, previous);
    if (item == nullptr) {
      Py_DECREF(tuple);
      return nullptr;
    }
    PyTuple_SET_ITEM(tuple, k, item);
    previous = {record, &PyTuple_GET_ITEM(item, 0)};
  }
  return tuple;
}

PyObject* ArrayResultToTuple(std::int32_t result, RecordType type, const records::RecordDef& def,
                             void* block, std::uint32_t count) {
  if (result < 0) {
    ipc::HeapFree(block);
    return FailNone(result);
  }
  PyObject* tuple = RecordsToTuple(type, def, static_cast<const std::uint8_t*>(block), count);
  ipc::HeapFree(block);
  if (tuple == nullptr) return FailNone(kCallFailed);
  return tuple;
}

void RegisterRecordTypes(PyObject* module) {
  if (g_zero_float == nullptr) g_zero_float = PyFloat_FromDouble(0.0);
  for (int i = 0; i < kTypeCount; ++i) {
    if (!InitType(i)) {
      // A type that cannot be built is left out; the rest still register.
      PyErr_Clear();
      continue;
    }
    PyObject* type = reinterpret_cast<PyObject*>(&g_types[i]);
    Py_INCREF(type);
    if (PyModule_AddObject(module, kSpecs[i].def->name, type) < 0) {
      Py_DECREF(type);
      PyErr_Clear();
    }
  }
  PyErr_Clear();
}

}  // namespace zk5
