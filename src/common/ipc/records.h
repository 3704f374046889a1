// Layouts of every record that crosses the pipe.
//
// One table per record type: field name, byte offset, wire type, width of a
// text field and index in the Python named tuple. The same tables drive the
// conversion to Python objects, the client's tests and the bundled terminal's
// encoders (which name fields checked against them while compiling), so a
// layout is written down exactly once.
#ifndef ZK5_COMMON_IPC_RECORDS_H_
#define ZK5_COMMON_IPC_RECORDS_H_

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace zk5::records {

enum class WireType : std::uint8_t {
  kBool8,  // one byte, non-zero is true
  kU8,     // one byte, an unsigned number
  kU32,
  kI32,
  kU64,
  kI64,
  kF64,
  kText,    // wchar[text_units], UTF-16LE, NUL-terminated inside the field
  kNested,  // not on the wire: filled by the caller (the `request` field)
};

struct FieldDef {
  const char* name;      // Python field name
  std::uint32_t offset;  // byte offset in the record (0 for kNested)
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

// ---- The tables. Fields stand in byte order; `index` is the position in
// the Python tuple. A kNested field (the `request` of the two trade results)
// is not on the wire and stands last.

namespace detail {

// The end of the last wire field of a table: the record's size.
template <std::size_t N>
constexpr std::size_t End(const FieldDef (&fields)[N]) {
  std::size_t end = 0;
  for (const FieldDef& f : fields) {
    if (f.type != WireType::kNested && f.offset + WireWidth(f) > end) end = f.offset + WireWidth(f);
  }
  return end;
}

template <std::size_t N>
constexpr std::uint16_t Count(const FieldDef (&)[N]) {
  static_assert(N < 0x10000, "field count must fit the 16-bit count");
  return static_cast<std::uint16_t>(N);
}

}  // namespace detail

// SymbolInfo: 2993 bytes, 96 fields.
// Byte order except `name`: the last 64 bytes of the record, tuple index 93
// (between `isin` 92 and `page` 94). The first 2929 bytes are the short
// record of terminal builds below 2364.
inline constexpr FieldDef kSymbolInfoFields[] = {
    {"custom", 0, WireType::kBool8, 0, 0},
    {"chart_mode", 1, WireType::kU32, 0, 1},
    {"select", 5, WireType::kBool8, 0, 2},
    {"visible", 6, WireType::kBool8, 0, 3},
    {"session_deals", 7, WireType::kU64, 0, 4},
    {"session_buy_orders", 15, WireType::kU64, 0, 5},
    {"session_sell_orders", 23, WireType::kU64, 0, 6},
    {"volume", 31, WireType::kU64, 0, 7},
    {"volumehigh", 39, WireType::kU64, 0, 8},
    {"volumelow", 47, WireType::kU64, 0, 9},
    {"time", 55, WireType::kI64, 0, 10},
    {"digits", 63, WireType::kU32, 0, 11},
    {"spread", 67, WireType::kI32, 0, 12},
    {"spread_float", 71, WireType::kBool8, 0, 13},
    {"ticks_bookdepth", 72, WireType::kU32, 0, 14},
    {"trade_calc_mode", 76, WireType::kU32, 0, 15},
    {"trade_mode", 80, WireType::kU32, 0, 16},
    {"start_time", 84, WireType::kI64, 0, 17},
    {"expiration_time", 92, WireType::kI64, 0, 18},
    {"trade_stops_level", 100, WireType::kI32, 0, 19},
    {"trade_freeze_level", 104, WireType::kI32, 0, 20},
    {"trade_exemode", 108, WireType::kU32, 0, 21},
    {"swap_mode", 112, WireType::kU32, 0, 22},
    {"swap_rollover3days", 116, WireType::kU32, 0, 23},
    {"margin_hedged_use_leg", 120, WireType::kBool8, 0, 24},
    {"expiration_mode", 121, WireType::kI32, 0, 25},
    {"filling_mode", 125, WireType::kI32, 0, 26},
    {"order_mode", 129, WireType::kI32, 0, 27},
    {"order_gtc_mode", 133, WireType::kU32, 0, 28},
    {"option_mode", 137, WireType::kU32, 0, 29},
    {"option_right", 141, WireType::kU32, 0, 30},
    {"bid", 145, WireType::kF64, 0, 31},
    {"bidhigh", 153, WireType::kF64, 0, 32},
    {"bidlow", 161, WireType::kF64, 0, 33},
    {"ask", 169, WireType::kF64, 0, 34},
    {"askhigh", 177, WireType::kF64, 0, 35},
    {"asklow", 185, WireType::kF64, 0, 36},
    {"last", 193, WireType::kF64, 0, 37},
    {"lasthigh", 201, WireType::kF64, 0, 38},
    {"lastlow", 209, WireType::kF64, 0, 39},
    {"volume_real", 217, WireType::kF64, 0, 40},
    {"volumehigh_real", 225, WireType::kF64, 0, 41},
    {"volumelow_real", 233, WireType::kF64, 0, 42},
    {"option_strike", 241, WireType::kF64, 0, 43},
    {"point", 249, WireType::kF64, 0, 44},
    {"trade_tick_value", 257, WireType::kF64, 0, 45},
    {"trade_tick_value_profit", 265, WireType::kF64, 0, 46},
    {"trade_tick_value_loss", 273, WireType::kF64, 0, 47},
    {"trade_tick_size", 281, WireType::kF64, 0, 48},
    {"trade_contract_size", 289, WireType::kF64, 0, 49},
    {"trade_accrued_interest", 297, WireType::kF64, 0, 50},
    {"trade_face_value", 305, WireType::kF64, 0, 51},
    {"trade_liquidity_rate", 313, WireType::kF64, 0, 52},
    {"volume_min", 321, WireType::kF64, 0, 53},
    {"volume_max", 329, WireType::kF64, 0, 54},
    {"volume_step", 337, WireType::kF64, 0, 55},
    {"volume_limit", 345, WireType::kF64, 0, 56},
    {"swap_long", 353, WireType::kF64, 0, 57},
    {"swap_short", 361, WireType::kF64, 0, 58},
    {"margin_initial", 369, WireType::kF64, 0, 59},
    {"margin_maintenance", 377, WireType::kF64, 0, 60},
    {"session_volume", 385, WireType::kF64, 0, 61},
    {"session_turnover", 393, WireType::kF64, 0, 62},
    {"session_interest", 401, WireType::kF64, 0, 63},
    {"session_buy_orders_volume", 409, WireType::kF64, 0, 64},
    {"session_sell_orders_volume", 417, WireType::kF64, 0, 65},
    {"session_open", 425, WireType::kF64, 0, 66},
    {"session_close", 433, WireType::kF64, 0, 67},
    {"session_aw", 441, WireType::kF64, 0, 68},
    {"session_price_settlement", 449, WireType::kF64, 0, 69},
    {"session_price_limit_min", 457, WireType::kF64, 0, 70},
    {"session_price_limit_max", 465, WireType::kF64, 0, 71},
    {"margin_hedged", 473, WireType::kF64, 0, 72},
    {"price_change", 481, WireType::kF64, 0, 73},
    {"price_volatility", 489, WireType::kF64, 0, 74},
    {"price_theoretical", 497, WireType::kF64, 0, 75},
    {"price_greeks_delta", 505, WireType::kF64, 0, 76},
    {"price_greeks_theta", 513, WireType::kF64, 0, 77},
    {"price_greeks_gamma", 521, WireType::kF64, 0, 78},
    {"price_greeks_vega", 529, WireType::kF64, 0, 79},
    {"price_greeks_rho", 537, WireType::kF64, 0, 80},
    {"price_greeks_omega", 545, WireType::kF64, 0, 81},
    {"price_sensitivity", 553, WireType::kF64, 0, 82},
    {"basis", 561, WireType::kText, 32, 83},
    {"category", 625, WireType::kText, 64, 84},
    {"currency_base", 753, WireType::kText, 16, 85},
    {"currency_profit", 785, WireType::kText, 16, 86},
    {"currency_margin", 817, WireType::kText, 16, 87},
    {"bank", 849, WireType::kText, 256, 88},
    {"description", 1361, WireType::kText, 64, 89},
    {"exchange", 1489, WireType::kText, 64, 90},
    {"formula", 1617, WireType::kText, 256, 91},
    {"isin", 2129, WireType::kText, 16, 92},
    {"page", 2161, WireType::kText, 256, 94},
    {"path", 2673, WireType::kText, 128, 95},
    {"name", 2929, WireType::kText, 32, 93},
};

// Tick: 60 bytes, 8 fields.
inline constexpr FieldDef kTickFields[] = {
    {"time", 0, WireType::kI64, 0, 0},    {"bid", 8, WireType::kF64, 0, 1},
    {"ask", 16, WireType::kF64, 0, 2},    {"last", 24, WireType::kF64, 0, 3},
    {"volume", 32, WireType::kU64, 0, 4}, {"time_msc", 40, WireType::kI64, 0, 5},
    {"flags", 48, WireType::kU32, 0, 6},  {"volume_real", 52, WireType::kF64, 0, 7},
};

// BookInfo: 28 bytes, 4 fields.
inline constexpr FieldDef kBookInfoFields[] = {
    {"type", 0, WireType::kU32, 0, 0},
    {"price", 4, WireType::kF64, 0, 1},
    {"volume", 12, WireType::kU64, 0, 2},
    {"volume_dbl", 20, WireType::kF64, 0, 3},
};

// Rates: 60 bytes, 8 fields.
// NumPy element of rates_dtype; no named tuple, index = field order.
inline constexpr FieldDef kRatesFields[] = {
    {"time", 0, WireType::kI64, 0, 0},    {"open", 8, WireType::kF64, 0, 1},
    {"high", 16, WireType::kF64, 0, 2},   {"low", 24, WireType::kF64, 0, 3},
    {"close", 32, WireType::kF64, 0, 4},  {"tick_volume", 40, WireType::kU64, 0, 5},
    {"spread", 48, WireType::kI32, 0, 6}, {"real_volume", 52, WireType::kU64, 0, 7},
};

// AccountInfo: 851 bytes, 28 fields.
inline constexpr FieldDef kAccountInfoFields[] = {
    {"login", 0, WireType::kU64, 0, 0},
    {"trade_mode", 8, WireType::kU32, 0, 1},
    {"leverage", 12, WireType::kU32, 0, 2},
    {"limit_orders", 16, WireType::kU32, 0, 3},
    {"margin_so_mode", 20, WireType::kU32, 0, 4},
    {"trade_allowed", 24, WireType::kBool8, 0, 5},
    {"trade_expert", 25, WireType::kBool8, 0, 6},
    {"margin_mode", 26, WireType::kU32, 0, 7},
    {"currency_digits", 30, WireType::kU32, 0, 8},
    {"fifo_close", 34, WireType::kBool8, 0, 9},
    {"balance", 35, WireType::kF64, 0, 10},
    {"credit", 43, WireType::kF64, 0, 11},
    {"profit", 51, WireType::kF64, 0, 12},
    {"equity", 59, WireType::kF64, 0, 13},
    {"margin", 67, WireType::kF64, 0, 14},
    {"margin_free", 75, WireType::kF64, 0, 15},
    {"margin_level", 83, WireType::kF64, 0, 16},
    {"margin_so_call", 91, WireType::kF64, 0, 17},
    {"margin_so_so", 99, WireType::kF64, 0, 18},
    {"margin_initial", 107, WireType::kF64, 0, 19},
    {"margin_maintenance", 115, WireType::kF64, 0, 20},
    {"assets", 123, WireType::kF64, 0, 21},
    {"liabilities", 131, WireType::kF64, 0, 22},
    {"commission_blocked", 139, WireType::kF64, 0, 23},
    {"name", 147, WireType::kText, 128, 24},
    {"server", 403, WireType::kText, 64, 25},
    {"currency", 531, WireType::kText, 32, 26},
    {"company", 595, WireType::kText, 128, 27},
};

// TerminalInfo: 3162 bytes, 22 fields.
// Reordered: `build` (offset 0) is tuple index 10, `maxbars` 11, `bdid`
// (offset 16) 9, and `tradeapi_disabled` is the last byte (offset 3161)
// but tuple index 5.
inline constexpr FieldDef kTerminalInfoFields[] = {
    {"build", 0, WireType::kU32, 0, 10},
    {"community_account", 4, WireType::kBool8, 0, 0},
    {"community_connection", 5, WireType::kBool8, 0, 1},
    {"connected", 6, WireType::kBool8, 0, 2},
    {"dlls_allowed", 7, WireType::kBool8, 0, 3},
    {"trade_allowed", 8, WireType::kBool8, 0, 4},
    {"email_enabled", 9, WireType::kBool8, 0, 6},
    {"ftp_enabled", 10, WireType::kBool8, 0, 7},
    {"notifications_enabled", 11, WireType::kBool8, 0, 8},
    {"maxbars", 12, WireType::kU32, 0, 11},
    {"bdid", 16, WireType::kBool8, 0, 9},
    {"codepage", 17, WireType::kI32, 0, 12},
    {"ping_last", 21, WireType::kI32, 0, 13},
    {"community_balance", 25, WireType::kF64, 0, 14},
    {"retransmission", 33, WireType::kF64, 0, 15},
    {"company", 41, WireType::kText, 260, 16},
    {"name", 561, WireType::kText, 260, 17},
    {"language", 1081, WireType::kText, 260, 18},
    {"path", 1601, WireType::kText, 260, 19},
    {"data_path", 2121, WireType::kText, 260, 20},
    {"commondata_path", 2641, WireType::kText, 260, 21},
    {"tradeapi_disabled", 3161, WireType::kBool8, 0, 5},
};

// TradeOrder: 340 bytes, 24 fields.
inline constexpr FieldDef kTradeOrderFields[] = {
    {"ticket", 0, WireType::kU64, 0, 0},
    {"time_setup", 8, WireType::kI64, 0, 1},
    {"time_setup_msc", 16, WireType::kI64, 0, 2},
    {"time_done", 24, WireType::kI64, 0, 3},
    {"time_done_msc", 32, WireType::kI64, 0, 4},
    {"time_expiration", 40, WireType::kI64, 0, 5},
    {"type", 48, WireType::kU32, 0, 6},
    {"type_time", 52, WireType::kU32, 0, 7},
    {"type_filling", 56, WireType::kU32, 0, 8},
    {"state", 60, WireType::kU32, 0, 9},
    {"magic", 64, WireType::kU64, 0, 10},
    {"position_id", 72, WireType::kU64, 0, 11},
    {"position_by_id", 80, WireType::kU64, 0, 12},
    {"reason", 88, WireType::kU32, 0, 13},
    {"volume_initial", 92, WireType::kF64, 0, 14},
    {"volume_current", 100, WireType::kF64, 0, 15},
    {"price_open", 108, WireType::kF64, 0, 16},
    {"sl", 116, WireType::kF64, 0, 17},
    {"tp", 124, WireType::kF64, 0, 18},
    {"price_current", 132, WireType::kF64, 0, 19},
    {"price_stoplimit", 140, WireType::kF64, 0, 20},
    {"symbol", 148, WireType::kText, 32, 21},
    {"comment", 212, WireType::kText, 32, 22},
    {"external_id", 276, WireType::kText, 32, 23},
};

// TradePosition: 320 bytes, 19 fields.
// Bytes 104..111 are a reserved field that is not exposed: no entry
// covers them.
inline constexpr FieldDef kTradePositionFields[] = {
    {"ticket", 0, WireType::kU64, 0, 0},
    {"time", 8, WireType::kI64, 0, 1},
    {"time_msc", 16, WireType::kI64, 0, 2},
    {"time_update", 24, WireType::kI64, 0, 3},
    {"time_update_msc", 32, WireType::kI64, 0, 4},
    {"type", 40, WireType::kU32, 0, 5},
    {"magic", 44, WireType::kU64, 0, 6},
    {"identifier", 52, WireType::kU64, 0, 7},
    {"reason", 60, WireType::kU32, 0, 8},
    {"volume", 64, WireType::kF64, 0, 9},
    {"price_open", 72, WireType::kF64, 0, 10},
    {"sl", 80, WireType::kF64, 0, 11},
    {"tp", 88, WireType::kF64, 0, 12},
    {"price_current", 96, WireType::kF64, 0, 13},
    {"swap", 112, WireType::kF64, 0, 14},
    {"profit", 120, WireType::kF64, 0, 15},
    {"symbol", 128, WireType::kText, 32, 16},
    {"comment", 192, WireType::kText, 32, 17},
    {"external_id", 256, WireType::kText, 32, 18},
};

// TradeDeal: 300 bytes, 18 fields.
inline constexpr FieldDef kTradeDealFields[] = {
    {"ticket", 0, WireType::kU64, 0, 0},       {"order", 8, WireType::kU64, 0, 1},
    {"time", 16, WireType::kI64, 0, 2},        {"time_msc", 24, WireType::kI64, 0, 3},
    {"type", 32, WireType::kU32, 0, 4},        {"entry", 36, WireType::kU32, 0, 5},
    {"magic", 40, WireType::kU64, 0, 6},       {"position_id", 48, WireType::kU64, 0, 7},
    {"reason", 56, WireType::kU32, 0, 8},      {"volume", 60, WireType::kF64, 0, 9},
    {"price", 68, WireType::kF64, 0, 10},      {"commission", 76, WireType::kF64, 0, 11},
    {"swap", 84, WireType::kF64, 0, 12},       {"profit", 92, WireType::kF64, 0, 13},
    {"fee", 100, WireType::kF64, 0, 14},       {"symbol", 108, WireType::kText, 32, 15},
    {"comment", 172, WireType::kText, 32, 16}, {"external_id", 236, WireType::kText, 32, 17},
};

// TradeRequest: 232 bytes, 17 fields.
inline constexpr FieldDef kTradeRequestFields[] = {
    {"action", 0, WireType::kU32, 0, 0},         {"magic", 4, WireType::kU64, 0, 1},
    {"order", 12, WireType::kU64, 0, 2},         {"symbol", 20, WireType::kText, 32, 3},
    {"volume", 84, WireType::kF64, 0, 4},        {"price", 92, WireType::kF64, 0, 5},
    {"stoplimit", 100, WireType::kF64, 0, 6},    {"sl", 108, WireType::kF64, 0, 7},
    {"tp", 116, WireType::kF64, 0, 8},           {"deviation", 124, WireType::kU64, 0, 9},
    {"type", 132, WireType::kU32, 0, 10},        {"type_filling", 136, WireType::kU32, 0, 11},
    {"type_time", 140, WireType::kU32, 0, 12},   {"expiration", 144, WireType::kI64, 0, 13},
    {"comment", 152, WireType::kText, 32, 14},   {"position", 216, WireType::kU64, 0, 15},
    {"position_by", 224, WireType::kU64, 0, 16},
};

// OrderCheckResult: 252 bytes, 9 fields.
// `request` is not on the wire: the TradeRequest that was sent.
inline constexpr FieldDef kOrderCheckResultFields[] = {
    {"retcode", 0, WireType::kU32, 0, 0},       {"balance", 4, WireType::kF64, 0, 1},
    {"equity", 12, WireType::kF64, 0, 2},       {"profit", 20, WireType::kF64, 0, 3},
    {"margin", 28, WireType::kF64, 0, 4},       {"margin_free", 36, WireType::kF64, 0, 5},
    {"margin_level", 44, WireType::kF64, 0, 6}, {"comment", 52, WireType::kText, 100, 7},
    {"request", 0, WireType::kNested, 0, 8},
};

// OrderSendResult: 260 bytes, 11 fields.
// `request` is not on the wire: the TradeRequest that was sent.
inline constexpr FieldDef kOrderSendResultFields[] = {
    {"retcode", 0, WireType::kU32, 0, 0},      {"deal", 4, WireType::kU64, 0, 1},
    {"order", 12, WireType::kU64, 0, 2},       {"volume", 20, WireType::kF64, 0, 3},
    {"price", 28, WireType::kF64, 0, 4},       {"bid", 36, WireType::kF64, 0, 5},
    {"ask", 44, WireType::kF64, 0, 6},         {"comment", 52, WireType::kText, 100, 7},
    {"request_id", 252, WireType::kU32, 0, 8}, {"retcode_external", 256, WireType::kI32, 0, 9},
    {"request", 0, WireType::kNested, 0, 10},
};

// Each record: its table must end exactly at its declared size.
#define ZK5_RECORD(Name)                                                                          \
  static_assert(detail::End(k##Name##Fields) == k##Name##Size, #Name " table and size disagree"); \
  inline constexpr RecordDef k##Name = {#Name, k##Name##Size, k##Name##Fields,                    \
                                        detail::Count(k##Name##Fields)};

ZK5_RECORD(SymbolInfo)
ZK5_RECORD(Tick)
ZK5_RECORD(BookInfo)
ZK5_RECORD(Rates)
ZK5_RECORD(AccountInfo)
ZK5_RECORD(TerminalInfo)
ZK5_RECORD(TradeOrder)
ZK5_RECORD(TradePosition)
ZK5_RECORD(TradeDeal)
ZK5_RECORD(TradeRequest)
ZK5_RECORD(OrderCheckResult)
ZK5_RECORD(OrderSendResult)

#undef ZK5_RECORD

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

// The position of field `name` in the table of `rec`, for use while
// compiling: a name the table lacks is not a constant, so code that asks
// for one does not compile.
constexpr std::uint16_t FieldIndex(const RecordDef& rec, std::string_view name) {
  for (std::uint16_t i = 0; i < rec.count; ++i) {
    if (name == rec.fields[i].name) return i;
  }
  throw "the record has no field of that name";
}

}  // namespace zk5::records

#endif  // ZK5_COMMON_IPC_RECORDS_H_
