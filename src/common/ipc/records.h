// Layouts of every record that crosses the pipe.
//
// One table per record type: field name, byte offset, wire type, width of a
// text field and index in the Python named tuple. The same tables drive the
// conversion to Python objects, the client's tests and the bundled terminal's
// encoders, so a layout is written down exactly once.
#ifndef ZK5_COMMON_IPC_RECORDS_H_
#define ZK5_COMMON_IPC_RECORDS_H_

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

constexpr std::size_t WireWidth(const FieldDef& f) {
  switch (f.type) {
    case WireType::kBool8:
    case WireType::kU8:
      return 1;
    case WireType::kU32:
    case WireType::kI32:
      return 4;
    case WireType::kU64:
    case WireType::kI64:
    case WireType::kF64:
      return 8;
    case WireType::kText:
      return 2u * f.text_units;
    case WireType::kNested:
      return 0;
  }
  return 0;
}

// The largest of some record sizes: the buffer that holds any of them.
template <typename... Sizes>
constexpr std::uint32_t MaxSize(std::uint32_t first, Sizes... rest) {
  std::uint32_t m = first;
  ((m = rest > m ? rest : m), ...);
  return m;
}

// Wire sizes of the records, in bytes; records.cc checks each against the
// end of its table's last field.
constexpr std::uint32_t kSymbolInfoSize = 2993;
constexpr std::uint32_t kTickSize = 60;
constexpr std::uint32_t kBookInfoSize = 28;
constexpr std::uint32_t kRatesSize = 60;
constexpr std::uint32_t kAccountInfoSize = 851;
constexpr std::uint32_t kTerminalInfoSize = 3162;
constexpr std::uint32_t kTradeOrderSize = 340;
constexpr std::uint32_t kTradePositionSize = 320;
constexpr std::uint32_t kTradeDealSize = 300;
constexpr std::uint32_t kTradeRequestSize = 232;
constexpr std::uint32_t kOrderCheckResultSize = 252;
constexpr std::uint32_t kOrderSendResultSize = 260;

extern const RecordDef kSymbolInfo;
extern const RecordDef kTick;
extern const RecordDef kBookInfo;
extern const RecordDef kRates;
extern const RecordDef kAccountInfo;
extern const RecordDef kTerminalInfo;
extern const RecordDef kTradeOrder;
extern const RecordDef kTradePosition;
extern const RecordDef kTradeDeal;
extern const RecordDef kTradeRequest;
extern const RecordDef kOrderCheckResult;
extern const RecordDef kOrderSendResult;

// Size of the symbol record sent by terminals of build 2363 or lower; the
// name field (the last 64 bytes) is missing from it.
constexpr std::uint32_t kSymbolInfoShortSize = 2929;
constexpr std::uint32_t kSymbolInfoNameOffset = 2929;
static_assert(kSymbolInfoShortSize == kSymbolInfoNameOffset &&
                  kSymbolInfoNameOffset + 64 == kSymbolInfoSize,
              "the short symbol record is the long one without its name");

// Offsets of the symbol text that the group filter reads.
constexpr std::uint32_t kTradePositionSymbolOffset = 128;
constexpr std::uint32_t kTradeOrderSymbolOffset = 148;
constexpr std::uint32_t kTradeDealSymbolOffset = 108;

// Looks a field up by name; null when the record has none of that name.
const FieldDef* FindField(const RecordDef& rec, const char* name);

}  // namespace zk5::records

#endif  // ZK5_COMMON_IPC_RECORDS_H_
