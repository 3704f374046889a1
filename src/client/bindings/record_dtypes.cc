// The NumPy record types of bars and ticks, built from the record tables.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#define NO_IMPORT_ARRAY
#define PY_ARRAY_UNIQUE_SYMBOL ZK5_ARRAY_API
#include <numpy/arrayobject.h>

#include "bindings/record_types.h"
#include "ipc/records.h"

namespace zk5 {

namespace {

// Built once at start-up; null when building failed.
PyArray_Descr* rates_dtype = nullptr;
PyArray_Descr* ticks_dtype = nullptr;

int TypeNumber(records::WireType type) {
  switch (type) {
    case records::WireType::kI32:
      return NPY_INT32;
    case records::WireType::kU32:
      return NPY_UINT32;
    case records::WireType::kI64:
      return NPY_INT64;
    case records::WireType::kU64:
      return NPY_UINT64;
    case records::WireType::kF64:
      return NPY_FLOAT64;
    default:
      return -1;
  }
}

// The NumPy type of one wire record: a packed structure with the table's
// field names, types and offsets, element size def.size, alignment 1 and the
// NPY_NEEDS_PYAPI flag. NumPy's own converter builds exactly that from the
// description np.dtype({"names", "formats", "offsets", "itemsize"}) takes,
// under NumPy 1.x and 2.x alike, so no descriptor field is written by hand.
// Null, with no Python error pending, on failure.
PyArray_Descr* BuildRecordType(const records::RecordDef& def) {
  PyObject* names = PyList_New(def.count);
  PyObject* formats = PyList_New(def.count);
  PyObject* offsets = PyList_New(def.count);
  PyObject* dict_layout = nullptr;
  PyArray_Descr* descr = nullptr;
  bool filled = names != nullptr && formats != nullptr && offsets != nullptr;
  for (std::uint16_t i = 0; filled && i < def.count; ++i) {
    const records::FieldDef& field = def.fields[i];
    const int type = TypeNumber(field.type);
    PyObject* name = PyUnicode_FromString(field.name);
    PyObject* format =
        type < 0 ? nullptr : reinterpret_cast<PyObject*>(PyArray_DescrFromType(type));
    PyObject* offset = PyLong_FromUnsignedLong(field.offset);
    filled = name != nullptr && format != nullptr && offset != nullptr;
    if (filled) {
      PyList_SET_ITEM(names, i, name);
      PyList_SET_ITEM(formats, i, format);
      PyList_SET_ITEM(offsets, i, offset);
    } else {
      Py_XDECREF(name);
      Py_XDECREF(format);
      Py_XDECREF(offset);
    }
  }
  if (filled) {
    dict_layout = Py_BuildValue("{s:O,s:O,s:O,s:I}", "names", names, "formats", formats, "offsets",
                                offsets, "itemsize", static_cast<unsigned int>(def.size));
  }
  if (dict_layout != nullptr && PyArray_DescrConverter(dict_layout, &descr) != NPY_SUCCEED)
    descr = nullptr;
  Py_XDECREF(dict_layout);
  Py_XDECREF(names);
  Py_XDECREF(formats);
  Py_XDECREF(offsets);
  // Kept only when it is the type described above: another stride or
  // alignment would misread the records.
  if (descr != nullptr &&
      (PyDataType_ELSIZE(descr) != def.size || PyDataType_ALIGNMENT(descr) != 1 ||
       (PyDataType_FLAGS(descr) & NPY_NEEDS_PYAPI) == 0)) {
    Py_CLEAR(descr);
  }
  PyErr_Clear();
  return descr;
}

}  // namespace

void BuildNumpyRecordTypes() {
  rates_dtype = BuildRecordType(records::kRates);
  ticks_dtype = BuildRecordType(records::kTick);
}

PyObject* RecordDtype(const records::RecordDef& def) {
  if (&def == &records::kRates) return reinterpret_cast<PyObject*>(rates_dtype);
  if (&def == &records::kTick) return reinterpret_cast<PyObject*>(ticks_dtype);
  return nullptr;
}

}  // namespace zk5
