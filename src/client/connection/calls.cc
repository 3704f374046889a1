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
  return [record, size](PipeReader& r, Header* h) { return ipc::DecodeRecord(r, h, record, size); };
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

std::int32_t Version(std::uint32_t* a, std::uint32_t* b, char16_t** text, std::uint32_t* units) {
  ArrayOut out{reinterpret_cast<void**>(text), units};
  return Call(
      kCommand<CommandId::VERSION>, a && b && text && units,
      [&](PipeReader& r, Header* h) { return ipc::DecodeU32U32String(r, h, a, b, out); },
      std::uint32_t{0});
}

std::int32_t Login(std::uint64_t login, Text password, Text server) {
  return Call(kCommand<CommandId::LOGIN>, password.units && server.units, StatusDecoder(),
              std::uint32_t{0}, login, password, server);
}

std::int32_t Count(CountCommand command, std::uint32_t* value) {
  return Call(command, value != nullptr, ValueDecoder(value));
}

std::int32_t CountRange(CountRangeCommand command, std::int64_t from, std::int64_t to,
                        std::uint32_t* value) {
  return Call(command, value != nullptr, ValueDecoder(value), from, to);
}

std::int32_t List(ListCommand command, std::uint32_t size, const ArrayOut& out) {
  return Call(command, Present(out), ArrayDecoder(size, out));
}

std::int32_t ListByText(ListByTextCommand command, Text text, std::uint32_t size,
                        const ArrayOut& out) {
  return Call(command, text.units && Present(out), ArrayDecoder(size, out), text);
}

std::int32_t ListByRange(ListByRangeCommand command, std::int64_t from, std::int64_t to,
                         std::uint32_t size, const ArrayOut& out) {
  return Call(command, Present(out), ArrayDecoder(size, out), from, to);
}

std::int32_t ListByNumber(ListByNumberCommand command, std::uint64_t number, std::uint32_t size,
                          const ArrayOut& out) {
  return Call(command, Present(out), ArrayDecoder(size, out), number);
}

namespace {

// The group filter over the list `fetch` received into out.
template <typename Fetch>
std::int32_t Filtered(Fetch&& fetch, const char16_t* mask, std::uint32_t size,
                      std::uint32_t symbol_offset, void** block, std::uint32_t* count) {
  if (mask == nullptr || block == nullptr || count == nullptr) return kIpcCallFailed;
  const std::int32_t result = fetch(ArrayOut{block, count});
  if (result < 0) return result;
  return ipc::FilterByGroup(mask, block, count, size, symbol_offset);
}

}  // namespace

std::int32_t ListByGroup(ListCommand command, const char16_t* mask, std::uint32_t size,
                         std::uint32_t symbol_offset, void** block, std::uint32_t* count) {
  return Filtered([&](const ArrayOut& out) { return List(command, size, out); }, mask, size,
                  symbol_offset, block, count);
}

std::int32_t ListByGroup(ListByRangeCommand command, const Range& range, const char16_t* mask,
                         std::uint32_t size, std::uint32_t symbol_offset, void** block,
                         std::uint32_t* count) {
  return Filtered(
      [&](const ArrayOut& out) { return ListByRange(command, range.from, range.to, size, out); },
      mask, size, symbol_offset, block, count);
}

std::int32_t Record(RecordCommand command, std::uint8_t* record, std::uint32_t size) {
  return Call(command, record != nullptr, RecordDecoder(record, size));
}

std::int32_t RecordByText(RecordByTextCommand command, Text text, std::uint8_t* record,
                          std::uint32_t size) {
  return Call(command, text.units && record, RecordDecoder(record, size), text);
}

std::int32_t RecordByNumber(RecordByNumberCommand command, std::uint64_t number,
                            std::uint8_t* record, std::uint32_t size) {
  return Call(command, record != nullptr, RecordDecoder(record, size), number);
}

std::int32_t SymbolInfo(Text symbol, std::uint8_t* record) {
  const bool short_record = g_client.terminal_build() < kSymbolsMinBuild;
  const std::uint32_t size =
      short_record ? records::kSymbolInfoShortSize : records::kSymbolInfo.size;
  const std::int32_t result = RecordByText(kCommand<CommandId::SYMBOL_INFO>, symbol, record, size);
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

std::int32_t TradeRequest(TradeCommand command, const std::uint8_t* request,
                          std::uint32_t request_size, std::uint8_t* result,
                          std::uint32_t result_size) {
  return Call(command, request && result, RecordDecoder(result, result_size),
              ipc::Bytes{request, request_size});
}

std::int32_t SymbolSelect(Text symbol, std::uint8_t enable) {
  return Call(kCommand<CommandId::SYMBOL_SELECT>, symbol.units != nullptr, StatusDecoder(), symbol,
              enable);
}

std::int32_t StatusByText(StatusByTextCommand command, Text text) {
  return Call(command, text.units != nullptr, StatusDecoder(), text);
}

std::int32_t CalcMargin(std::uint32_t action, Text symbol, double volume, double price,
                        double* margin) {
  return Call(kCommand<CommandId::ORDER_CALC_MARGIN>, symbol.units && margin, ValueDecoder(margin),
              action, symbol, volume, price);
}

std::int32_t CalcProfit(std::uint32_t action, Text symbol, double volume, double price_open,
                        double price_close, double* profit) {
  return Call(kCommand<CommandId::ORDER_CALC_PROFIT>, symbol.units && profit, ValueDecoder(profit),
              action, symbol, volume, price_open, price_close);
}

}  // namespace zk5::calls
