// The native part of converting wire records: every table's fields loaded
// from arbitrary bytes, and the fast text scan checked against the plain
// definition of a wchar[N] field (units up to the first NUL). The first
// input byte picks the record table; the rest, cut or zero-padded to the
// record's size, is the record.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "ipc/records.h"
#include "ipc/wire.h"

namespace {

using namespace zk5;
using records::RecordDef;
using records::WireType;

const RecordDef* const kDefs[] = {
    &records::kSymbolInfo,       &records::kTick,
    &records::kBookInfo,         &records::kRates,
    &records::kAccountInfo,      &records::kTerminalInfo,
    &records::kTradeOrder,       &records::kTradePosition,
    &records::kTradeDeal,        &records::kTradeRequest,
    &records::kOrderCheckResult, &records::kOrderSendResult,
};

[[noreturn]] void Fail(const char* what, const char* record, const char* field) {
  std::fprintf(stderr, "invariant broken: %s (%s.%s)\n", what, record, field);
  std::abort();
}

volatile std::uint64_t g_sink;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const RecordDef& def = *kDefs[data[0] % (sizeof kDefs / sizeof kDefs[0])];
  // Each text scan also runs at an odd address: fields lie at any offset.
  const std::size_t shift = (data[0] >> 4) & 1;
  std::vector<std::uint8_t> bytes(def.size + shift, 0);
  std::memcpy(bytes.data() + shift, data + 1, std::min<std::size_t>(size - 1, def.size));
  const std::uint8_t* rec = bytes.data() + shift;

  std::uint64_t mix = 0;
  for (std::uint16_t i = 0; i < def.count; ++i) {
    const records::FieldDef& f = def.fields[i];
    if (f.type == WireType::kNested) continue;
    if (f.offset + records::WireWidth(f) > def.size) Fail("field outside", def.name, f.name);
    const std::uint8_t* p = rec + f.offset;
    switch (f.type) {
      case WireType::kBool8:
      case WireType::kU8:
        mix += wire::LoadU8(p);
        break;
      case WireType::kU32:
        mix += wire::LoadU32(p);
        break;
      case WireType::kI32:
        mix += static_cast<std::uint32_t>(wire::LoadI32(p));
        break;
      case WireType::kU64:
        mix += wire::LoadU64(p);
        break;
      case WireType::kI64:
        mix += static_cast<std::uint64_t>(wire::LoadI64(p));
        break;
      case WireType::kF64: {
        const double v = wire::LoadF64(p);
        std::uint64_t bits;
        std::memcpy(&bits, &v, 8);
        mix += bits;
        break;
      }
      case WireType::kText: {
        unsigned bits = 0;
        const std::size_t n = wire::ScanText(p, f.text_units, &bits);
        if (n != wire::TextLength(p, f.text_units)) Fail("text length", def.name, f.name);
        unsigned max = 0, all = 0;
        for (std::size_t k = 0; k < n; ++k) {
          const unsigned u = wire::Load<std::uint16_t>(p + 2 * k);
          max = u > max ? u : max;
          all |= u;
        }
        if (bits != all || bits < max) Fail("text bits", def.name, f.name);
        mix += n;
        break;
      }
      case WireType::kNested:
        break;
    }
  }
  g_sink = mix;
  return 0;
}
