// Checks of the wire-record layout tables against the documented layouts.
#include "ipc/records.h"

#include <gtest/gtest.h>

#include <cstring>
#include <ostream>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace zk5::records {
namespace {

// A byte range [offset, offset + width) that no field covers.
using Gap = std::pair<std::uint32_t, std::uint32_t>;

struct Expected {
  const RecordDef* rec;
  const char* name;
  std::uint32_t size;
  std::uint16_t count;    // tuple length of the Python type
  std::vector<Gap> gaps;  // documented uncovered bytes, in byte order
};

std::vector<Expected> AllRecords() {
  return {
      {&kSymbolInfo, "SymbolInfo", 2993, 96, {}},
      {&kTick, "Tick", 60, 8, {}},
      {&kBookInfo, "BookInfo", 28, 4, {}},
      {&kRates, "Rates", 60, 8, {}},
      {&kAccountInfo, "AccountInfo", 851, 28, {}},
      {&kTerminalInfo, "TerminalInfo", 3162, 22, {}},
      {&kTradeOrder, "TradeOrder", 340, 24, {}},
      // The 8 bytes at offset 104 are reserved and not exposed.
      {&kTradePosition, "TradePosition", 320, 19, {{104, 8}}},
      {&kTradeDeal, "TradeDeal", 300, 18, {}},
      {&kTradeRequest, "TradeRequest", 232, 17, {}},
      {&kOrderCheckResult, "OrderCheckResult", 252, 9, {}},
      {&kOrderSendResult, "OrderSendResult", 260, 11, {}},
  };
}

// Names the record in gtest's failure messages instead of dumping bytes.
void PrintTo(const Expected& e, std::ostream* os) { *os << e.name; }

class RecordTableTest : public ::testing::TestWithParam<Expected> {};

TEST_P(RecordTableTest, NameSizeAndCount) {
  const Expected& e = GetParam();
  EXPECT_STREQ(e.rec->name, e.name);
  EXPECT_EQ(e.rec->size, e.size);
  EXPECT_EQ(e.rec->count, e.count);
  ASSERT_NE(e.rec->fields, nullptr);
}

TEST_P(RecordTableTest, WireFieldsAreOrderedDisjointAndInside) {
  const RecordDef& r = *GetParam().rec;
  bool have_prev = false;
  std::uint32_t prev_end = 0;
  std::uint32_t prev_offset = 0;
  for (std::uint16_t i = 0; i < r.count; ++i) {
    const FieldDef& f = r.fields[i];
    SCOPED_TRACE(f.name);
    if (f.type == WireType::kNested) continue;
    const std::size_t width = WireWidth(f);
    EXPECT_GT(width, 0u);
    EXPECT_LE(f.offset + width, r.size) << "field ends outside the record";
    if (have_prev) {
      EXPECT_GT(f.offset, prev_offset) << "offsets not strictly increasing";
      EXPECT_GE(f.offset, prev_end) << "overlaps the previous field";
    }
    have_prev = true;
    prev_offset = f.offset;
    prev_end = f.offset + static_cast<std::uint32_t>(width);
  }
  EXPECT_TRUE(have_prev);
}

TEST_P(RecordTableTest, UncoveredBytesAreExactlyTheDocumentedGaps) {
  const Expected& e = GetParam();
  const RecordDef& r = *e.rec;
  std::vector<Gap> gaps;
  std::uint32_t pos = 0;
  std::size_t widths = 0;
  for (std::uint16_t i = 0; i < r.count; ++i) {
    const FieldDef& f = r.fields[i];
    if (f.type == WireType::kNested) continue;
    if (f.offset > pos) gaps.emplace_back(pos, f.offset - pos);
    widths += WireWidth(f);
    pos = f.offset + static_cast<std::uint32_t>(WireWidth(f));
  }
  if (pos < r.size) gaps.emplace_back(pos, r.size - pos);
  EXPECT_EQ(gaps, e.gaps);
  std::size_t gap_bytes = 0;
  for (const Gap& g : e.gaps) gap_bytes += g.second;
  EXPECT_EQ(widths + gap_bytes, r.size);
}

TEST_P(RecordTableTest, NestedFieldsAreLastWithOffsetZero) {
  const RecordDef& r = *GetParam().rec;
  bool seen_nested = false;
  for (std::uint16_t i = 0; i < r.count; ++i) {
    const FieldDef& f = r.fields[i];
    SCOPED_TRACE(f.name);
    if (f.type == WireType::kNested) {
      seen_nested = true;
      EXPECT_EQ(f.offset, 0u);
      EXPECT_EQ(WireWidth(f), 0u);
    } else {
      EXPECT_FALSE(seen_nested) << "wire field after a nested one";
    }
  }
}

TEST_P(RecordTableTest, TextUnitsOnlyOnTextFields) {
  const RecordDef& r = *GetParam().rec;
  for (std::uint16_t i = 0; i < r.count; ++i) {
    const FieldDef& f = r.fields[i];
    SCOPED_TRACE(f.name);
    if (f.type == WireType::kText) {
      EXPECT_GT(f.text_units, 0);
      EXPECT_EQ(WireWidth(f), 2u * f.text_units);
    } else {
      EXPECT_EQ(f.text_units, 0);
    }
  }
}

TEST_P(RecordTableTest, IndexesArePermutation) {
  const RecordDef& r = *GetParam().rec;
  std::vector<bool> seen(r.count, false);
  for (std::uint16_t i = 0; i < r.count; ++i) {
    const FieldDef& f = r.fields[i];
    SCOPED_TRACE(f.name);
    ASSERT_LT(f.index, r.count);
    EXPECT_FALSE(seen[f.index]) << "duplicate index " << f.index;
    seen[f.index] = true;
  }
}

TEST_P(RecordTableTest, NamesAreUniqueAndFindable) {
  const RecordDef& r = *GetParam().rec;
  std::set<std::string> names;
  for (std::uint16_t i = 0; i < r.count; ++i) {
    const FieldDef& f = r.fields[i];
    ASSERT_NE(f.name, nullptr);
    EXPECT_TRUE(names.insert(f.name).second) << "duplicate " << f.name;
    EXPECT_EQ(FindField(r, f.name), &f);
  }
  EXPECT_EQ(FindField(r, "no_such_field"), nullptr);
  EXPECT_EQ(FindField(r, ""), nullptr);
  EXPECT_EQ(FindField(r, nullptr), nullptr);
}

INSTANTIATE_TEST_SUITE_P(AllRecords, RecordTableTest, ::testing::ValuesIn(AllRecords()),
                         [](const ::testing::TestParamInfo<Expected>& param_info) {
                           return std::string(param_info.param.name);
                         });

// --- Spot checks of named fields --------------------------------------------

void ExpectField(const RecordDef& r, const char* name, std::uint32_t offset, WireType type,
                 std::uint16_t index, std::uint16_t text_units = 0) {
  SCOPED_TRACE(std::string(r.name) + "." + name);
  const FieldDef* f = FindField(r, name);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(f->offset, offset);
  EXPECT_EQ(f->type, type);
  EXPECT_EQ(f->index, index);
  EXPECT_EQ(f->text_units, text_units);
}

// Field names in tuple order.
std::vector<std::string> TupleOrder(const RecordDef& r) {
  std::vector<std::string> names(r.count);
  for (std::uint16_t i = 0; i < r.count; ++i) {
    if (r.fields[i].index < r.count) names[r.fields[i].index] = r.fields[i].name;
  }
  return names;
}

TEST(RecordConstants, SymbolOffsetsMatchTables) {
  ExpectField(kTradePosition, "symbol", kTradePositionSymbolOffset, WireType::kText, 16, 32);
  ExpectField(kTradeOrder, "symbol", kTradeOrderSymbolOffset, WireType::kText, 21, 32);
  ExpectField(kTradeDeal, "symbol", kTradeDealSymbolOffset, WireType::kText, 15, 32);
  EXPECT_EQ(kTradePositionSymbolOffset, 128u);
  EXPECT_EQ(kTradeOrderSymbolOffset, 148u);
  EXPECT_EQ(kTradeDealSymbolOffset, 108u);
}

TEST(RecordConstants, SymbolInfoShortFormLacksOnlyName) {
  ExpectField(kSymbolInfo, "name", kSymbolInfoNameOffset, WireType::kText, 93, 32);
  EXPECT_EQ(kSymbolInfoShortSize, kSymbolInfoNameOffset);
  EXPECT_EQ(kSymbolInfoShortSize + 64, kSymbolInfo.size);
  // `name` is the last field in byte order; all others fit the short form.
  EXPECT_STREQ(kSymbolInfo.fields[kSymbolInfo.count - 1].name, "name");
  for (std::uint16_t i = 0; i + 1 < kSymbolInfo.count; ++i) {
    const FieldDef& f = kSymbolInfo.fields[i];
    EXPECT_LE(f.offset + WireWidth(f), kSymbolInfoShortSize) << f.name;
  }
}

TEST(WireWidthTest, PerType) {
  EXPECT_EQ(WireWidth({"a", 0, WireType::kBool8, 0, 0}), 1u);
  EXPECT_EQ(WireWidth({"a", 0, WireType::kU8, 0, 0}), 1u);
  EXPECT_EQ(WireWidth({"a", 0, WireType::kU32, 0, 0}), 4u);
  EXPECT_EQ(WireWidth({"a", 0, WireType::kI32, 0, 0}), 4u);
  EXPECT_EQ(WireWidth({"a", 0, WireType::kU64, 0, 0}), 8u);
  EXPECT_EQ(WireWidth({"a", 0, WireType::kI64, 0, 0}), 8u);
  EXPECT_EQ(WireWidth({"a", 0, WireType::kF64, 0, 0}), 8u);
  EXPECT_EQ(WireWidth({"a", 0, WireType::kText, 260, 0}), 520u);
  EXPECT_EQ(WireWidth({"a", 0, WireType::kNested, 0, 0}), 0u);
}

TEST(SpotChecks, SymbolInfo) {
  const RecordDef& r = kSymbolInfo;
  ExpectField(r, "custom", 0, WireType::kBool8, 0);
  ExpectField(r, "chart_mode", 1, WireType::kU32, 1);
  ExpectField(r, "select", 5, WireType::kBool8, 2);
  ExpectField(r, "visible", 6, WireType::kBool8, 3);
  ExpectField(r, "time", 55, WireType::kI64, 10);
  ExpectField(r, "spread", 67, WireType::kI32, 12);
  ExpectField(r, "spread_float", 71, WireType::kBool8, 13);
  ExpectField(r, "margin_hedged_use_leg", 120, WireType::kBool8, 24);
  ExpectField(r, "expiration_mode", 121, WireType::kI32, 25);
  ExpectField(r, "bid", 145, WireType::kF64, 31);
  ExpectField(r, "price_sensitivity", 553, WireType::kF64, 82);
  ExpectField(r, "basis", 561, WireType::kText, 83, 32);
  ExpectField(r, "bank", 849, WireType::kText, 88, 256);
  ExpectField(r, "isin", 2129, WireType::kText, 92, 16);
  ExpectField(r, "page", 2161, WireType::kText, 94, 256);
  ExpectField(r, "path", 2673, WireType::kText, 95, 128);
  const std::vector<std::string> order = TupleOrder(r);
  EXPECT_EQ(order[92], "isin");
  EXPECT_EQ(order[93], "name");
  EXPECT_EQ(order[94], "page");
  EXPECT_EQ(order[95], "path");
}

TEST(SpotChecks, TickAndRates) {
  ExpectField(kTick, "time", 0, WireType::kI64, 0);
  ExpectField(kTick, "volume", 32, WireType::kU64, 4);
  ExpectField(kTick, "time_msc", 40, WireType::kI64, 5);
  ExpectField(kTick, "flags", 48, WireType::kU32, 6);
  ExpectField(kTick, "volume_real", 52, WireType::kF64, 7);
  EXPECT_EQ(TupleOrder(kRates), (std::vector<std::string>{"time", "open", "high", "low", "close",
                                                          "tick_volume", "spread", "real_volume"}));
  ExpectField(kRates, "tick_volume", 40, WireType::kU64, 5);
  ExpectField(kRates, "spread", 48, WireType::kI32, 6);
  ExpectField(kRates, "real_volume", 52, WireType::kU64, 7);
}

TEST(SpotChecks, BookInfo) {
  ExpectField(kBookInfo, "type", 0, WireType::kU32, 0);
  ExpectField(kBookInfo, "price", 4, WireType::kF64, 1);
  ExpectField(kBookInfo, "volume", 12, WireType::kU64, 2);
  ExpectField(kBookInfo, "volume_dbl", 20, WireType::kF64, 3);
}

TEST(SpotChecks, AccountInfo) {
  const RecordDef& r = kAccountInfo;
  ExpectField(r, "login", 0, WireType::kU64, 0);
  ExpectField(r, "trade_allowed", 24, WireType::kBool8, 5);
  ExpectField(r, "trade_expert", 25, WireType::kBool8, 6);
  ExpectField(r, "margin_mode", 26, WireType::kU32, 7);
  ExpectField(r, "fifo_close", 34, WireType::kBool8, 9);
  ExpectField(r, "balance", 35, WireType::kF64, 10);
  ExpectField(r, "commission_blocked", 139, WireType::kF64, 23);
  ExpectField(r, "name", 147, WireType::kText, 24, 128);
  ExpectField(r, "server", 403, WireType::kText, 25, 64);
  ExpectField(r, "currency", 531, WireType::kText, 26, 32);
  ExpectField(r, "company", 595, WireType::kText, 27, 128);
}

TEST(SpotChecks, TerminalInfoReorderedFields) {
  const RecordDef& r = kTerminalInfo;
  ExpectField(r, "build", 0, WireType::kU32, 10);
  ExpectField(r, "community_account", 4, WireType::kBool8, 0);
  ExpectField(r, "trade_allowed", 8, WireType::kBool8, 4);
  ExpectField(r, "email_enabled", 9, WireType::kBool8, 6);
  ExpectField(r, "maxbars", 12, WireType::kU32, 11);
  ExpectField(r, "bdid", 16, WireType::kBool8, 9);
  ExpectField(r, "codepage", 17, WireType::kI32, 12);
  ExpectField(r, "ping_last", 21, WireType::kI32, 13);
  ExpectField(r, "retransmission", 33, WireType::kF64, 15);
  ExpectField(r, "company", 41, WireType::kText, 16, 260);
  ExpectField(r, "commondata_path", 2641, WireType::kText, 21, 260);
  ExpectField(r, "tradeapi_disabled", 3161, WireType::kBool8, 5);
  EXPECT_EQ(TupleOrder(r), (std::vector<std::string>{"community_account",
                                                     "community_connection",
                                                     "connected",
                                                     "dlls_allowed",
                                                     "trade_allowed",
                                                     "tradeapi_disabled",
                                                     "email_enabled",
                                                     "ftp_enabled",
                                                     "notifications_enabled",
                                                     "bdid",
                                                     "build",
                                                     "maxbars",
                                                     "codepage",
                                                     "ping_last",
                                                     "community_balance",
                                                     "retransmission",
                                                     "company",
                                                     "name",
                                                     "language",
                                                     "path",
                                                     "data_path",
                                                     "commondata_path"}));
  // `build` is first on the wire, `tradeapi_disabled` the very last byte.
  EXPECT_STREQ(r.fields[0].name, "build");
  EXPECT_STREQ(r.fields[r.count - 1].name, "tradeapi_disabled");
}

TEST(SpotChecks, TradeOrderAndPosition) {
  ExpectField(kTradeOrder, "ticket", 0, WireType::kU64, 0);
  ExpectField(kTradeOrder, "state", 60, WireType::kU32, 9);
  ExpectField(kTradeOrder, "reason", 88, WireType::kU32, 13);
  ExpectField(kTradeOrder, "volume_initial", 92, WireType::kF64, 14);
  ExpectField(kTradeOrder, "price_stoplimit", 140, WireType::kF64, 20);
  ExpectField(kTradeOrder, "external_id", 276, WireType::kText, 23, 32);

  ExpectField(kTradePosition, "type", 40, WireType::kU32, 5);
  ExpectField(kTradePosition, "magic", 44, WireType::kU64, 6);
  ExpectField(kTradePosition, "price_current", 96, WireType::kF64, 13);
  ExpectField(kTradePosition, "swap", 112, WireType::kF64, 14);
  ExpectField(kTradePosition, "external_id", 256, WireType::kText, 18, 32);
}

TEST(SpotChecks, TradeDeal) {
  ExpectField(kTradeDeal, "entry", 36, WireType::kU32, 5);
  ExpectField(kTradeDeal, "position_id", 48, WireType::kU64, 7);
  ExpectField(kTradeDeal, "fee", 100, WireType::kF64, 14);
  ExpectField(kTradeDeal, "external_id", 236, WireType::kText, 17, 32);
}

TEST(SpotChecks, TradeRequestAndResults) {
  ExpectField(kTradeRequest, "action", 0, WireType::kU32, 0);
  ExpectField(kTradeRequest, "symbol", 20, WireType::kText, 3, 32);
  ExpectField(kTradeRequest, "deviation", 124, WireType::kU64, 9);
  ExpectField(kTradeRequest, "expiration", 144, WireType::kI64, 13);
  ExpectField(kTradeRequest, "comment", 152, WireType::kText, 14, 32);
  ExpectField(kTradeRequest, "position_by", 224, WireType::kU64, 16);

  ExpectField(kOrderCheckResult, "retcode", 0, WireType::kU32, 0);
  ExpectField(kOrderCheckResult, "margin_level", 44, WireType::kF64, 6);
  ExpectField(kOrderCheckResult, "comment", 52, WireType::kText, 7, 100);
  ExpectField(kOrderCheckResult, "request", 0, WireType::kNested, 8);

  ExpectField(kOrderSendResult, "deal", 4, WireType::kU64, 1);
  ExpectField(kOrderSendResult, "comment", 52, WireType::kText, 7, 100);
  ExpectField(kOrderSendResult, "request_id", 252, WireType::kU32, 8);
  ExpectField(kOrderSendResult, "retcode_external", 256, WireType::kI32, 9);
  ExpectField(kOrderSendResult, "request", 0, WireType::kNested, 10);
}

}  // namespace
}  // namespace zk5::records
