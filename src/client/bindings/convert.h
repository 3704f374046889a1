// Conversions of Python arguments into the fixed-size native values that the
// requests carry, and the argument-error messages shared by the functions.
//
// Every conversion takes an object (possibly null: an absent tuple item or
// dictionary entry) and a destination, and returns true on success. The
// destination is written only on success. None of them raises or leaves a
// Python error pending, and none keeps a reference to the object.
#ifndef ZK5_CLIENT_BINDINGS_CONVERT_H_
#define ZK5_CLIENT_BINDINGS_CONVERT_H_

#include <Python.h>
// datetime.h defines a static PyDateTimeAPI that this module never uses (it
// keeps its own pointer below); without this, -Werror rejects every includer
// when the Python headers are not on a system include path.
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-variable"
#endif
#include <datetime.h>
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>

namespace zk5 {

// The datetime C interface (module.cc); null when its capsule could not be
// imported, and then datetime objects are not accepted as dates.
extern PyDateTime_CAPI* g_datetime_api;

// Sizes of the wide-text buffers in UTF-16 units, terminator included. The
// longest accepted text is two units shorter (29, 1997, 253, 257).
constexpr std::size_t kSymbolUnits = 32;
constexpr std::size_t kMaskUnits = 2000;
constexpr std::size_t kPathUnits = 260;

// Copies a str (or subclass) into a buffer of `units` UTF-16 units, zero
// filling the rest; the last unit is always 0. The text measured in UTF-16
// units plus its terminator must be below units - 1. Characters outside the
// BMP take two units; lone surrogates are copied as they are; an embedded
// NUL is accepted. Refuses bytes and every other type. units must be >= 2.
bool ReadText(PyObject* obj, char16_t* buf, std::size_t units);

// ReadText into a symbol buffer of kSymbolUnits.
bool read_symbol_arg(PyObject* obj, char16_t* buf);
// ReadText into a wchar[32] text field of a request record.
bool read_text32_value(PyObject* obj, char16_t* field);
// ReadText into a group-mask buffer of kMaskUnits.
bool read_mask_arg(PyObject* obj, char16_t* buf);

// A date as seconds since 1970: an int (bool included), a float truncated
// toward zero, or a datetime.datetime (or subclass) by its timestamp()
// truncated toward zero (a naive datetime is local time, as timestamp()
// takes it). Dates before or after the signed 32-bit range become its
// earliest or latest second (so datetime(2100, 1, 1) as an end means "up
// to now"); infinities too. NaN, and a timestamp() that fails, are refused.
bool read_date_arg(PyObject* obj, std::int32_t* out);

// float or subclass only; an int is refused.
bool read_float_value(PyObject* obj, double* out);
// int or subclass (True is 1) in the signed 64-bit range.
bool read_int64_value(PyObject* obj, std::int64_t* out);
// int or subclass in 0 .. 2^64 - 1.
bool read_uint64_value(PyObject* obj, std::uint64_t* out);
// int or subclass in 0 .. 2^32 - 1.
bool read_uint32_value(PyObject* obj, std::uint32_t* out);

// The value stored under `name` in a keyword dictionary or request dict (or
// dict subclass), as a borrowed reference; null when dict is null, is not a
// dict, or has no such key. Never raises.
PyObject* KwItem(PyObject* dict, const char* name);

// Warns (UserWarning, through Python's warning filter, so once per call
// site by default) about every key of `dict` that is not among `known`:
// "<function>() ignores unknown <kind> '<key>'". The call goes on as if the
// key were not there. False, with the exception pending, only when the
// filter turned the warning into an error; the caller then returns null.
bool WarnUnknownKeys(PyObject* dict, const char* function, const char* kind,
                     std::initializer_list<const char*> known);
// The same for the keys of a trade request, which the request record's
// table names.
bool WarnUnknownRequestKeys(PyObject* request, const char* function);

// Hints beside a refusal. The number conversions above, refusing a value
// whose type is wrong but which would do as the right one (a NumPy integer
// or float, an int where a float is needed, a datetime.date or a NumPy
// datetime64 as a date), keep what to pass instead for the calling thread.
// ClearTypeHint forgets it (a call's start). WarnTypeHint, at the end of a
// call that failed with an argument error, issues it as a UserWarning that
// names `function`, the argument (from the error `message`, else its
// position in `doc`'s signature, else its keyword) and what to pass; the
// call's result and error state stay as they are. False, with the exception
// pending, only when the warning filter turned it into an error.
void ClearTypeHint();
bool WarnTypeHint(const char* function, const char* doc, const char* message, PyObject* args,
                  PyObject* kwargs);

// Argument-error messages (reported with code -2).
inline constexpr char kMsgInvalidArguments[] = "Invalid arguments";
inline constexpr char kMsgInvalidArgumentCount[] = "Invalid number of arguments";
inline constexpr char kMsgUnnamedNotAllowed[] = "Unnamed arguments not allowed";
inline constexpr char kMsgInvalidUnnamed1[] = "Invalid 1st unnamed argument";
inline constexpr char kMsgInvalidUnnamed2[] = "Invalid 2nd unnamed argument";
inline constexpr char kMsgInvalidUnnamed3[] = "Invalid 3rd unnamed argument";

// "Invalid \"<name>\" argument" for a keyword or request key.
std::string InvalidNamedArgument(const char* name);

}  // namespace zk5

#endif  // ZK5_CLIENT_BINDINGS_CONVERT_H_
