#include "connection/calls.h"

#include <cstring>
#include <type_traits>

#include "connection/client.h"
#include "ipc/group_filter.h"
#include "ipc/records.h"

namespace zk5::calls {

namespace {

bool NeedsSymbolBuild(CommandId id) {
  return id == CommandId::SYMBOLS_TOTAL || id == CommandId::SYMBOLS_ALL ||
         id == CommandId::SYMBOLS_BY_GROUP;
}

}  // namespace

std::int32_t detail::Precheck(CommandId id, bool outputs_present) {
  if (NeedsSymbolBuild(id) && g_client.terminal_build() < kSymbolsMinBuild) {
    return kIncompatibleVersion;
  }
  if (!outputs_present) return kIpcCallFailed;
  return 0;
}

os::PipeHandle& detail::Pipe() { return g_client.pipe(); }
std::int64_t detail::StallMs() { return g_client.reply_stall_ms(); }

namespace {

using detail::ArrayDecoder;
using detail::Call;
using detail::Present;
using ipc::Header;
using ipc::PipeReader;

auto RecordDecoder(std::uint8_t* record, std::uint32_t size) {
  return [record, size](PipeReader& r, Header* h) {
    return ipc::DecodeRecord(r, h, record, size);
  };
}

auto StatusDecoder() {
  return [](PipeReader& r, Header* h) { return ipc::DecodeStatusOnly(r, h); };
}

template <typename T>
auto ValueDecoder(T* value) {
  return [value](PipeReader& r, Header* h) {
    if constexpr (std::is_same_v<T, double>) {
      return ipc::DecodeF64(r, h, value);
    } else {
      return ipc::DecodeU32(r, h, value);
    }
  };
}

}  // namespace

std::int32_t Version(std::uint32_t* a, std::uint32_t* b, char16_t** text,
                     std::uint32_t* units) {
  ArrayOut out{reinterpret_cast<void**>(text), units};
  return Call(
      CommandId::VERSION, a && b && text && units,
      [&](PipeReader& r, Header* h) { return ipc::DecodeU32U32String(r, h, a, b, out); },
      std::uint32_t{0});
}

std::int32_t Login(std::uint64_t login, Text password, Text server) {
  return Call(CommandId::LOGIN, password.units && server.units, StatusDecoder(),
              std::uint32_t{0}, login, password, server);
}

std::int32_t Count(CommandId id, std::uint32_t* value) {
  return Call(id, value != nullptr, ValueDecoder(value));
}

std::int32_t CountRange(CommandId id, std::int64_t from, std::int64_t to,
                        std::uint32_t* value) {
  return Call(id, value != nullptr, ValueDecoder(value), from, to);
}

std::int32_t List(CommandId id, std::uint32_t size, const ArrayOut& out) {
  return Call(id, Present(out), ArrayDecoder(size, out));
}

std::int32_t ListByText(CommandId id, Text text, std::uint32_t size, const ArrayOut& out) {
  return Call(id, text.units && Present(out), ArrayDecoder(size, out), text);
}

std::int32_t ListByRange(CommandId id, std::int64_t from, std::int64_t to,
                         std::uint32_t size, const ArrayOut& out) {
  return Call(id, Present(out), ArrayDecoder(size, out), from, to);
}

std::int32_t ListByNumber(CommandId id, std::uint64_t number, std::uint32_t size,
                          const ArrayOut& out) {
  return Call(id, Present(out), ArrayDecoder(size, out), number);
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
  return Call(id, record != nullptr, RecordDecoder(record, size));
}

std::int32_t RecordByText(CommandId id, Text text, std::uint8_t* record, std::uint32_t size) {
  return Call(id, text.units && record, RecordDecoder(record, size), text);
}

std::int32_t RecordByNumber(CommandId id, std::uint64_t number, std::uint8_t* record,
                            std::uint32_t size) {
  return Call(id, record != nullptr, RecordDecoder(record, size), number);
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
  return Call(id, request && result, RecordDecoder(result, result_size),
              ipc::Bytes{request, request_size});
}

std::int32_t SymbolSelect(Text symbol, std::uint8_t enable) {
  return Call(CommandId::SYMBOL_SELECT, symbol.units != nullptr, StatusDecoder(), symbol,
              enable);
}

std::int32_t StatusByText(CommandId id, Text text) {
  return Call(id, text.units != nullptr, StatusDecoder(), text);
}

std::int32_t CalcMargin(std::uint32_t action, Text symbol, double volume, double price,
                        double* margin) {
  return Call(CommandId::ORDER_CALC_MARGIN, symbol.units && margin, ValueDecoder(margin),
              action, symbol, volume, price);
}

std::int32_t CalcProfit(std::uint32_t action, Text symbol, double volume, double price_open,
                        double price_close, double* profit) {
  return Call(CommandId::ORDER_CALC_PROFIT, symbol.units && profit, ValueDecoder(profit),
              action, symbol, volume, price_open, price_close);
}

}  // namespace zk5::calls
