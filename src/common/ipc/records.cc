// Look-ups in the layout tables of ipc/records.h.
#include "ipc/records.h"

#include <cstring>

namespace zk5::records {

const FieldDef* FindField(const RecordDef& rec, const char* name) {
  if (name == nullptr) return nullptr;
  for (std::uint16_t i = 0; i < rec.count; ++i) {
    if (std::strcmp(rec.fields[i].name, name) == 0) return &rec.fields[i];
  }
  return nullptr;
}

}  // namespace zk5::records
