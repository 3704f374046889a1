// terminal_info and account_info: one fixed record each, as a named tuple.
#include "bindings/error_state.h"
#include "bindings/function_table.h"
#include "bindings/record_types.h"
#include "bindings/serial.h"
#include "connection/calls.h"
#include "ipc/records.h"

namespace zk5 {

namespace {

// The largest of the two records (TerminalInfo).
constexpr std::uint32_t kMaxInfoRecord =
    records::MaxSize(records::kAccountInfoSize, records::kTerminalInfoSize);

PyObject* InfoRecord(calls::RecordCommand command, RecordType type, const records::RecordDef& def) {
  ResetError();
  // Zero-filled so that no stack garbage can reach Python whatever the reply.
  std::uint8_t record[kMaxInfoRecord] = {};
  if (def.size > sizeof record) return FailNone(kCallFailed);
  const std::int32_t result = calls::Record(command, record, def.size);
  if (result < 0) return FailNone(result);
  PyObject* info = RecordToPython(type, def, record);
  if (info == nullptr) return FailNone(kCallFailed);
  return info;
}

}  // namespace

PyObject* PyTerminalInfo(PyObject*, PyObject*) {
  return InfoRecord(calls::kCommand<calls::CommandId::TERMINAL_INFO>, RecordType::kTerminalInfo,
                    records::kTerminalInfo);
}

PyObject* PyAccountInfo(PyObject*, PyObject*) {
  return InfoRecord(calls::kCommand<calls::CommandId::ACCOUNT_INFO>, RecordType::kAccountInfo,
                    records::kAccountInfo);
}

// This file's functions in the module's method table (module.cc puts the
// groups in order).
const FunctionGroup kAccountFunctions = {{
    {"terminal_info", Serial<PyTerminalInfo>, METH_NOARGS,
     ZK5_DOC("terminal_info()", "terminal_info()", "Get parameters of Zelkor 5 terminal")},
    {"account_info", Serial<PyAccountInfo>, METH_NOARGS,
     ZK5_DOC("account_info()", "account_info()", "Return information on the current account")},
}};

}  // namespace zk5
