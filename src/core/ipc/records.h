// Layouts of every record that crosses the pipe.
//
// One table per record type: field name, byte offset, wire type, width of a
// text field and index in the Python named tuple. The same tables drive the
// conversion to Python objects, the client's tests and the bundled terminal's
// encoders, so a layout is written down exactly once.
#ifndef ZK5_IPC_RECORDS_H_
#define ZK5_IPC_RECORDS_H_

#include <cstddef>
#include <cstdint>

namespace zk5::records {

enum class WireType : std::uint8_t {
  kBool8,   // one byte, non-zero is true
  kU8,      // one byte, an unsigned number
  kU32,
  kI32,
  kU64,
  kI64,
  kF64,
  kText,    // wchar[text_units], UTF-16LE, NUL-terminated inside the field
  kNested,  // not on the wire: filled by the caller (the `request` field)
};

struct FieldDef {
  const char* name;       // Python field name
  std::uint32_t offset;   // byte offset in the record (0 for kNested)
  WireType type;
  std::uint16_t text_units;  // kText only: width in UTF-16 units
  std::uint16_t index;       // position in the Python named tuple
};

struct RecordDef {
  const char* name;        // Python type name, e.g. "SymbolInfo"
  std::uint32_t size;      // exact wire size in bytes
  const FieldDef* fields;  // in byte order
  std::uint16_t count;     // number of fields, also the tuple length
};

std::size_t WireWidth(const FieldDef& f);

extern const RecordDef kSymbolInfo;       // 2993 bytes
extern const RecordDef kTick;             // 60
extern const RecordDef kBookInfo;         // 28
extern const RecordDef kRates;            // 60 (NumPy element; no named tuple)
extern const RecordDef kAccountInfo;      // 851
extern const RecordDef kTerminalInfo;     // 3162
extern const RecordDef kTradeOrder;       // 340
extern const RecordDef kTradePosition;    // 320
extern const RecordDef kTradeDeal;        // 300
extern const RecordDef kTradeRequest;     // 232
extern const RecordDef kOrderCheckResult; // 252
extern const RecordDef kOrderSendResult;  // 260

// Size of the symbol record sent by terminals of build 2363 or lower; the
// name field (the last 64 bytes) is missing from it.
constexpr std::uint32_t kSymbolInfoShortSize = 2929;
constexpr std::uint32_t kSymbolInfoNameOffset = 2929;

// Offsets of the symbol text that the group filter reads.
constexpr std::uint32_t kTradePositionSymbolOffset = 128;
constexpr std::uint32_t kTradeOrderSymbolOffset = 148;
constexpr std::uint32_t kTradeDealSymbolOffset = 108;

// Looks a field up by name; null when the record has none of that name.
const FieldDef* FindField(const RecordDef& rec, const char* name);

}  // namespace zk5::records

#endif  // ZK5_IPC_RECORDS_H_
