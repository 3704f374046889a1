#include "connection/calls.h"

#include <cstring>

#include "connection/client.h"
#include "ipc/group_filter.h"
#include "ipc/records.h"

namespace zk5::calls {

namespace {

using ipc::Header;
using ipc::PipeReader;

bool NeedsSymbolBuild(CommandId id) {
  return id == CommandId::SYMBOLS_TOTAL || id == CommandId::SYMBOLS_ALL ||
         id == CommandId::SYMBOLS_BY_GROUP;
}

// The common steps before any traffic: build gate, then missing outputs.
// Returns 0 to go on.
std::int32_t Precheck(CommandId id, bool outputs_present) {
  if (NeedsSymbolBuild(id) && g_client.terminal_build() < kSymbolsMinBuild) {
    return kIncompatibleVersion;
  }
  if (!outputs_present) return kIpcCallFailed;
  return 0;
}

bool Present(const ArrayOut& out) { return out.block != nullptr && out.count != nullptr; }

template <typename Encode, typename Decode>
std::int32_t Run(CommandId id, bool outputs_present, Encode&& encode, Decode&& decode) {
  if (std::int32_t gate = Precheck(id, outputs_present)) return gate;
  os::PipeHandle& pipe = g_client.pipe();
  return ipc::Exchange(pipe, id, encode, decode);
}

auto ArrayDecoder(std::uint32_t size, const ArrayOut& out) {
  return [size, &out](PipeReader& r, Header* h) { return ipc::DecodeArray(r, h, size, out); };
}

auto RecordDecoder(std::uint8_t* record, std::uint32_t size) {
  return [record, size](PipeReader& r, Header* h) {
    return ipc::DecodeRecord(r, h, record, size);
  };
}

auto StatusDecoder() {
  return [](PipeReader& r, Header* h) { return ipc::DecodeStatusOnly(r, h); };
}

}  // namespace

std::int32_t Version(std::uint32_t* a, std::uint32_t* b, char16_t** text,
                     std::uint32_t* units) {
  const CommandId id = CommandId::VERSION;
  ArrayOut out{reinterpret_cast<void**>(text), units};
  return Run(
      id, a && b && text && units,
      [&] { return ipc::EncodeU32(g_client.pipe(), id, 0); },
      [&](PipeReader& r, Header* h) { return ipc::DecodeU32U32String(r, h, a, b, out); });
}

std::int32_t Login(std::uint64_t login, Text password, Text server) {
  const CommandId id = CommandId::LOGIN;
  return Run(
      id, password.units && server.units,
      [&] { return ipc::EncodeU32U64StringString(g_client.pipe(), id, 0, login, password, server); },
      StatusDecoder());
}

std::int32_t Count(CommandId id, std::uint32_t* value) {
  return Run(
      id, value != nullptr, [&] { return ipc::EncodeNone(g_client.pipe(), id); },
      [&](PipeReader& r, Header* h) { return ipc::DecodeU32(r, h, value); });
}

std::int32_t CountRange(CommandId id, std::int64_t from, std::int64_t to,
                        std::uint32_t* value) {
  return Run(
      id, value != nullptr, [&] { return ipc::EncodeI64I64(g_client.pipe(), id, from, to); },
      [&](PipeReader& r, Header* h) { return ipc::DecodeU32(r, h, value); });
}

std::int32_t TicksFrom(Text symbol, std::int64_t from, std::int32_t count,
                       std::int32_t flags, const ArrayOut& out) {
  const CommandId id = CommandId::TICKS_FROM;
  return Run(
      id, symbol.units && Present(out),
      [&] { return ipc::EncodeStringI64I32I32(g_client.pipe(), id, symbol, from, count, flags); },
      ArrayDecoder(60, out));
}

std::int32_t TicksRange(Text symbol, std::int64_t from, std::int64_t to,
                        std::int32_t flags, const ArrayOut& out) {
  const CommandId id = CommandId::TICKS_RANGE;
  return Run(
      id, symbol.units && Present(out),
      [&] { return ipc::EncodeStringI64I64I32(g_client.pipe(), id, symbol, from, to, flags); },
      ArrayDecoder(60, out));
}

std::int32_t RatesFrom(Text symbol, std::int32_t timeframe, std::int64_t from,
                       std::int32_t count, const ArrayOut& out) {
  const CommandId id = CommandId::RATES_FROM;
  return Run(
      id, symbol.units && Present(out),
      [&] {
        return ipc::EncodeStringI32I64I32(g_client.pipe(), id, symbol, timeframe, from, count);
      },
      ArrayDecoder(60, out));
}

std::int32_t RatesRange(Text symbol, std::int32_t timeframe, std::int64_t from,
                        std::int64_t to, const ArrayOut& out) {
  const CommandId id = CommandId::RATES_RANGE;
  return Run(
      id, symbol.units && Present(out),
      [&] { return ipc::EncodeStringI32I64I64(g_client.pipe(), id, symbol, timeframe, from, to); },
      ArrayDecoder(60, out));
}

std::int32_t RatesFromPos(Text symbol, std::int32_t timeframe, std::int32_t start,
                          std::int32_t count, const ArrayOut& out) {
  const CommandId id = CommandId::RATES_FROM_POS;
  return Run(
      id, symbol.units && Present(out),
      [&] {
        return ipc::EncodeStringI32I32I32(g_client.pipe(), id, symbol, timeframe, start, count);
      },
      ArrayDecoder(60, out));
}

std::int32_t List(CommandId id, std::uint32_t size, const ArrayOut& out) {
  return Run(
      id, Present(out), [&] { return ipc::EncodeNone(g_client.pipe(), id); },
      ArrayDecoder(size, out));
}

std::int32_t ListByText(CommandId id, Text text, std::uint32_t size, const ArrayOut& out) {
  return Run(
      id, text.units && Present(out),
      [&] { return ipc::EncodeString(g_client.pipe(), id, text); }, ArrayDecoder(size, out));
}

std::int32_t ListByRange(CommandId id, std::int64_t from, std::int64_t to,
                         std::uint32_t size, const ArrayOut& out) {
  return Run(
      id, Present(out), [&] { return ipc::EncodeI64I64(g_client.pipe(), id, from, to); },
      ArrayDecoder(size, out));
}

std::int32_t ListByNumber(CommandId id, std::uint64_t number, std::uint32_t size,
                          const ArrayOut& out) {
  return Run(
      id, Present(out), [&] { return ipc::EncodeU64(g_client.pipe(), id, number); },
      ArrayDecoder(size, out));
}

std::int32_t ListByGroup(CommandId id, const Range* range, const char16_t* mask,
                         std::uint32_t size, std::uint32_t symbol_offset, void** block,
                         std::uint32_t* count) {
  if (mask == nullptr || block == nullptr || count == nullptr) return kIpcCallFailed;
  const ArrayOut out{block, count};
  const std::int32_t result =
      range != nullptr ? ListByRange(id, range->from, range->to, size, out)
                       : List(id, size, out);
  if (result < 0) return result;
  return ipc::FilterByGroup(mask, block, count, size, symbol_offset);
}

std::int32_t Record(CommandId id, std::uint8_t* record, std::uint32_t size) {
  return Run(
      id, record != nullptr, [&] { return ipc::EncodeNone(g_client.pipe(), id); },
      RecordDecoder(record, size));
}

std::int32_t RecordByText(CommandId id, Text text, std::uint8_t* record, std::uint32_t size) {
  return Run(
      id, text.units && record, [&] { return ipc::EncodeString(g_client.pipe(), id, text); },
      RecordDecoder(record, size));
}

std::int32_t RecordByNumber(CommandId id, std::uint64_t number, std::uint8_t* record,
                            std::uint32_t size) {
  return Run(
      id, record != nullptr, [&] { return ipc::EncodeU64(g_client.pipe(), id, number); },
      RecordDecoder(record, size));
}

std::int32_t SymbolInfo(Text symbol, std::uint8_t* record) {
  const bool short_record = g_client.terminal_build() < kSymbolsMinBuild;
  const std::uint32_t size =
      short_record ? records::kSymbolInfoShortSize : records::kSymbolInfo.size;
  const std::int32_t result = RecordByText(CommandId::SYMBOL_INFO, symbol, record, size);
  if (result >= 0 && short_record) {
    // The short record lacks the name: fill the 32-unit field with the name
    // that was asked for, always NUL-terminated.
    std::uint8_t* name = record + records::kSymbolInfoNameOffset;
    std::memset(name, 0, 64);
    const std::uint32_t units = symbol.size < 31 ? symbol.size : 31;
    for (std::uint32_t i = 0; i < units; ++i) {
      name[2 * i] = static_cast<std::uint8_t>(symbol.units[i] & 0xFF);
      name[2 * i + 1] = static_cast<std::uint8_t>(symbol.units[i] >> 8);
    }
  }
  return result;
}

std::int32_t TradeRequest(CommandId id, const std::uint8_t* request,
                          std::uint32_t request_size, std::uint8_t* result,
                          std::uint32_t result_size) {
  return Run(
      id, request && result,
      [&] { return ipc::EncodeRecord(g_client.pipe(), id, request, request_size); },
      RecordDecoder(result, result_size));
}

std::int32_t SymbolSelect(Text symbol, std::uint8_t enable) {
  const CommandId id = CommandId::SYMBOL_SELECT;
  return Run(
      id, symbol.units != nullptr,
      [&] { return ipc::EncodeStringU8(g_client.pipe(), id, symbol, enable); },
      StatusDecoder());
}

std::int32_t StatusByText(CommandId id, Text text) {
  return Run(
      id, text.units != nullptr, [&] { return ipc::EncodeString(g_client.pipe(), id, text); },
      StatusDecoder());
}

std::int32_t CalcMargin(std::uint32_t action, Text symbol, double volume, double price,
                        double* margin) {
  const CommandId id = CommandId::ORDER_CALC_MARGIN;
  return Run(
      id, symbol.units && margin,
      [&] {
        return ipc::EncodeU32StringF64F64(g_client.pipe(), id, action, symbol, volume, price);
      },
      [&](PipeReader& r, Header* h) { return ipc::DecodeF64(r, h, margin); });
}

std::int32_t CalcProfit(std::uint32_t action, Text symbol, double volume, double price_open,
                        double price_close, double* profit) {
  const CommandId id = CommandId::ORDER_CALC_PROFIT;
  return Run(
      id, symbol.units && profit,
      [&] {
        return ipc::EncodeU32StringF64F64F64(g_client.pipe(), id, action, symbol, volume,
                                             price_open, price_close);
      },
      [&](PipeReader& r, Header* h) { return ipc::DecodeF64(r, h, profit); });
}

}  // namespace zk5::calls
