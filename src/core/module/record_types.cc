// The eleven result record types and the conversion of wire records into
// them.
//
// Each type is a static struct sequence whose field names come from the
// layout table of its wire record (in tuple-index order), so the table that
// says where a field lies also names it. The conversion walks the same table
// and builds every value straight from the bytes: it runs for each of the
// thousands of records a symbol list can hold, so it does no per-field
// lookups and goes through the codec machinery only for text that is not
// plain Latin-1.
#include "module/record_types.h"

#include <cstddef>

#include "ipc/stream.h"
#include "ipc/wire.h"
#include "module/error_state.h"
#include "module/functions.h"

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

// Process-wide, never freed: the types live as long as the process.
struct TypeState {
  bool ready = false;
  PyStructSequence_Field fields[kMaxFields + 1] = {};
  // Field names as interned str, in tuple order: the keys of _asdict.
  PyObject* keys = nullptr;
};

PyTypeObject g_types[kTypeCount];
TypeState g_state[kTypeCount];

constexpr char kAsDictDoc[] = "Convert named tuple object to dictionary";

PyObject* AsDict(PyObject* self, PyObject*);

PyMethodDef kAsDictMethod = {"_asdict", AsDict, METH_NOARGS, kAsDictDoc};

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

bool InitType(int i) {
  TypeState& st = g_state[i];
  if (st.ready) return true;
  const RecordDef& def = *kSpecs[i].def;
  if (!FillFieldNames(def, st.fields)) return false;
  PyStructSequence_Desc desc = {def.name, kSpecs[i].doc, st.fields, def.count};
  if (PyStructSequence_InitType2(&g_types[i], &desc) < 0) return false;
  st.keys = KeysOf(st.fields, def.count);
  if (st.keys == nullptr) return false;
  PyObject* type = reinterpret_cast<PyObject*>(&g_types[i]);
  PyObject* descr = PyDescr_NewMethod(&g_types[i], &kAsDictMethod);
  if (descr == nullptr) return false;
  PyObject* name = PyUnicode_InternFromString("_asdict");
  // The type-level setter refuses attributes on static types; the generic
  // one writes into the type's own dictionary.
  const int set = name != nullptr ? PyObject_GenericSetAttr(type, name, descr) : -1;
  Py_XDECREF(name);
  Py_DECREF(descr);
  if (set < 0) return false;
  PyType_Modified(&g_types[i]);
  st.ready = true;
  return true;
}

inline PyObject* NewRef(PyObject* o) {
  Py_INCREF(o);
  return o;
}

// str of a wchar[units] field up to its first NUL (or the field's end).
// Latin-1 text, nearly all text a terminal sends, is copied straight into a
// one-byte string; anything else goes through the UTF-16 codec, which keeps
// surrogate pairs and passes lone surrogates through.
PyObject* TextValue(const std::uint8_t* p, std::size_t units) {
  std::size_t n = 0;
  unsigned bits = 0;
  for (; n < units; ++n) {
    const unsigned u = p[2 * n] | (static_cast<unsigned>(p[2 * n + 1]) << 8);
    if (u == 0) break;
    bits |= u;
  }
  if (n == 0) return PyUnicode_New(0, 0);  // the shared empty string
  if (bits < 0x100) {
    // OR-ing the units keeps bit 7 iff some unit has it, so `bits` is in the
    // same class (ASCII or not) as the true maximum.
    PyObject* s = PyUnicode_New(static_cast<Py_ssize_t>(n), static_cast<Py_UCS4>(bits));
    if (s == nullptr) return nullptr;
    Py_UCS1* d = PyUnicode_1BYTE_DATA(s);
    for (std::size_t i = 0; i < n; ++i) d[i] = p[2 * i];
    return s;
  }
  int byte_order = -1;  // little-endian
  return PyUnicode_DecodeUTF16(reinterpret_cast<const char*>(p),
                               static_cast<Py_ssize_t>(2 * n), "surrogatepass",
                               &byte_order);
}

PyObject* FieldValue(const FieldDef& f, const std::uint8_t* record, PyObject* nested) {
  const std::uint8_t* p = record + f.offset;
  switch (f.type) {
    case WireType::kBool8:
      return NewRef(*p != 0 ? Py_True : Py_False);
    case WireType::kU8:
      return PyLong_FromLong(*p);
    case WireType::kU32:
      return PyLong_FromUnsignedLong(wire::LoadU32(p));
    case WireType::kI32:
      return PyLong_FromLong(wire::LoadI32(p));
    case WireType::kU64:
      return PyLong_FromUnsignedLongLong(wire::LoadU64(p));
    case WireType::kI64:
      return PyLong_FromLongLong(wire::LoadI64(p));
    case WireType::kF64:
      return PyFloat_FromDouble(wire::LoadF64(p));
    case WireType::kText:
      return TextValue(p, f.text_units);
    case WireType::kNested:
      return nested != nullptr ? NewRef(nested) : nullptr;
  }
  return nullptr;
}

}  // namespace

PyTypeObject* TypeOf(RecordType type) {
  const int i = static_cast<int>(type);
  if (i < 0 || i >= kTypeCount || !g_state[i].ready) return nullptr;
  return &g_types[i];
}

PyObject* RecordToPython(RecordType type, const records::RecordDef& def,
                         const std::uint8_t* record, PyObject* nested) {
  PyTypeObject* tp = TypeOf(type);
  // The type's fields were checked against its own table only.
  if (tp == nullptr || record == nullptr ||
      &def != kSpecs[static_cast<int>(type)].def) {
    return nullptr;
  }
  PyObject* obj = PyStructSequence_New(tp);
  if (obj == nullptr) {
    PyErr_Clear();
    return nullptr;
  }
  const FieldDef* fields = def.fields;
  for (std::uint16_t i = 0; i < def.count; ++i) {
    PyObject* value = FieldValue(fields[i], record, nested);
    if (value == nullptr) {
      Py_DECREF(obj);
      PyErr_Clear();
      return nullptr;
    }
    PyStructSequence_SET_ITEM(obj, fields[i].index, value);
  }
  return obj;
}

PyObject* RecordsToTuple(RecordType type, const records::RecordDef& def,
                         const std::uint8_t* block, std::uint32_t count) {
  if (count > 0 && block == nullptr) return nullptr;
  PyObject* tuple = PyTuple_New(count);
  if (tuple == nullptr) {
    PyErr_Clear();
    return nullptr;
  }
  for (std::uint32_t i = 0; i < count; ++i) {
    PyObject* item =
        RecordToPython(type, def, block + static_cast<std::size_t>(i) * def.size);
    if (item == nullptr) {
      Py_DECREF(tuple);
      return nullptr;
    }
    PyTuple_SET_ITEM(tuple, i, item);
  }
  return tuple;
}

PyObject* ArrayResultToTuple(std::int32_t result, RecordType type,
                             const records::RecordDef& def, void* block,
                             std::uint32_t count) {
  if (result < 0) {
    ipc::HeapFree(block);
    return FailNone(result);
  }
  PyObject* tuple =
      RecordsToTuple(type, def, static_cast<const std::uint8_t*>(block), count);
  ipc::HeapFree(block);
  if (tuple == nullptr) return FailNone(kCallFailed);
  return tuple;
}

void RegisterRecordTypes(PyObject* module) {
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
