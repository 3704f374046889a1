#include "accounts/trade_records.h"

#include <cmath>
#include <cstring>

#include "ipc/records.h"
#include "ipc/wire.h"
#include "accounts/record_io.h"

namespace zk5::term {

using records::kRates;
using records::kTick;
using records::kTradeDeal;
using records::kTradeOrder;
using records::kTradePosition;

namespace {

std::int64_t Seconds(std::int64_t msc) { return msc >= 0 ? msc / 1000 : -((-msc + 999) / 1000); }

double Price(std::int64_t points, std::uint32_t digits) {
  // Division by the exact power of ten gives the double nearest the decimal.
  return static_cast<double>(points) / Pow10(digits);
}

}  // namespace

void PositionToRecord(const Position& p, const PositionValue* value, std::uint8_t* rec) {
  RecordWriter w(kTradePosition, rec);
  w.UInt("ticket", p.ticket)
      .Int("time", Seconds(p.time_msc))
      .Int("time_msc", p.time_msc)
      .Int("time_update", Seconds(p.time_update_msc))
      .Int("time_update_msc", p.time_update_msc)
      .UInt("type", p.type)
      .UInt("magic", p.magic)
      .UInt("identifier", p.ticket)
      .UInt("reason", p.reason)
      .Real("volume", p.volume)
      .Real("price_open", p.price_open)
      .Real("sl", p.sl)
      .Real("tp", p.tp)
      .Real("swap", p.swap)
      .Text("symbol", p.symbol)
      .Text("comment", p.comment);
  if (value != nullptr) w.Real("price_current", value->price_current).Real("profit", value->profit);
}

Position PositionFromRecord(const std::uint8_t* rec) {
  RecordReader r(kTradePosition, rec);
  Position p;
  p.ticket = r.UInt("ticket");
  p.time_msc = r.Int("time_msc");
  p.time_update_msc = r.Int("time_update_msc");
  p.type = static_cast<std::uint32_t>(r.UInt("type"));
  p.magic = r.UInt("magic");
  p.reason = static_cast<std::uint32_t>(r.UInt("reason"));
  p.volume = r.Real("volume");
  p.price_open = r.Real("price_open");
  p.sl = r.Real("sl");
  p.tp = r.Real("tp");
  p.swap = r.Real("swap");
  p.symbol = r.Text("symbol");
  p.comment = r.Text("comment");
  return p;
}

void DealToRecord(const Deal& d, std::uint8_t* rec) {
  RecordWriter(kTradeDeal, rec)
      .UInt("ticket", d.ticket)
      .UInt("order", d.order)
      .Int("time", Seconds(d.time_msc))
      .Int("time_msc", d.time_msc)
      .UInt("type", d.type)
      .UInt("entry", d.entry)
      .UInt("magic", d.magic)
      .UInt("position_id", d.position_id)
      .UInt("reason", d.reason)
      .Real("volume", d.volume)
      .Real("price", d.price)
      .Real("commission", d.commission)
      .Real("swap", d.swap)
      .Real("profit", d.profit)
      .Real("fee", d.fee)
      .Text("symbol", d.symbol)
      .Text("comment", d.comment);
}

Deal DealFromRecord(const std::uint8_t* rec) {
  RecordReader r(kTradeDeal, rec);
  Deal d;
  d.ticket = r.UInt("ticket");
  d.order = r.UInt("order");
  d.time_msc = r.Int("time_msc");
  d.type = static_cast<std::uint32_t>(r.UInt("type"));
  d.entry = static_cast<std::uint32_t>(r.UInt("entry"));
  d.magic = r.UInt("magic");
  d.position_id = r.UInt("position_id");
  d.reason = static_cast<std::uint32_t>(r.UInt("reason"));
  d.volume = r.Real("volume");
  d.price = r.Real("price");
  d.commission = r.Real("commission");
  d.swap = r.Real("swap");
  d.profit = r.Real("profit");
  d.fee = r.Real("fee");
  d.symbol = r.Text("symbol");
  d.comment = r.Text("comment");
  return d;
}

void OrderToRecord(const Order& o, std::uint8_t* rec) {
  RecordWriter(kTradeOrder, rec)
      .UInt("ticket", o.ticket)
      .Int("time_setup", Seconds(o.time_setup_msc))
      .Int("time_setup_msc", o.time_setup_msc)
      .Int("time_done", Seconds(o.time_done_msc))
      .Int("time_done_msc", o.time_done_msc)
      .Int("time_expiration", o.time_expiration)
      .UInt("type", o.type)
      .UInt("type_time", o.type_time)
      .UInt("type_filling", o.type_filling)
      .UInt("state", o.state)
      .UInt("magic", o.magic)
      .UInt("position_id", o.position_id)
      .UInt("position_by_id", o.position_by_id)
      .UInt("reason", o.reason)
      .Real("volume_initial", o.volume_initial)
      .Real("volume_current", o.volume_current)
      .Real("price_open", o.price_open)
      .Real("sl", o.sl)
      .Real("tp", o.tp)
      .Real("price_current", o.price_current)
      .Real("price_stoplimit", o.price_stoplimit)
      .Text("symbol", o.symbol)
      .Text("comment", o.comment);
}

Order OrderFromRecord(const std::uint8_t* rec) {
  RecordReader r(kTradeOrder, rec);
  Order o;
  o.ticket = r.UInt("ticket");
  o.time_setup_msc = r.Int("time_setup_msc");
  o.time_done_msc = r.Int("time_done_msc");
  o.time_expiration = r.Int("time_expiration");
  o.type = static_cast<std::uint32_t>(r.UInt("type"));
  o.type_time = static_cast<std::uint32_t>(r.UInt("type_time"));
  o.type_filling = static_cast<std::uint32_t>(r.UInt("type_filling"));
  o.state = static_cast<std::uint32_t>(r.UInt("state"));
  o.magic = r.UInt("magic");
  o.position_id = r.UInt("position_id");
  o.position_by_id = r.UInt("position_by_id");
  o.reason = static_cast<std::uint32_t>(r.UInt("reason"));
  o.volume_initial = r.Real("volume_initial");
  o.volume_current = r.Real("volume_current");
  o.price_open = r.Real("price_open");
  o.sl = r.Real("sl");
  o.tp = r.Real("tp");
  o.price_current = r.Real("price_current");
  o.price_stoplimit = r.Real("price_stoplimit");
  o.symbol = r.Text("symbol");
  o.comment = r.Text("comment");
  return o;
}

TickEncoder::TickEncoder()
    : time_(FieldOffset(kTick, "time")),
      bid_(FieldOffset(kTick, "bid")),
      ask_(FieldOffset(kTick, "ask")),
      last_(FieldOffset(kTick, "last")),
      volume_(FieldOffset(kTick, "volume")),
      time_msc_(FieldOffset(kTick, "time_msc")),
      flags_(FieldOffset(kTick, "flags")),
      volume_real_(FieldOffset(kTick, "volume_real")) {}

void TickEncoder::Write(const Tick& t, std::uint32_t digits, std::uint8_t* rec) const {
  const double scale = Pow10(digits);
  wire::Store(rec + time_, Seconds(t.time_msc));
  wire::Store(rec + bid_, static_cast<double>(t.bid) / scale);
  wire::Store(rec + ask_, static_cast<double>(t.ask) / scale);
  wire::Store(rec + last_, t.last != 0 ? static_cast<double>(t.last) / scale : 0.0);
  wire::Store(rec + volume_, t.volume > 0 ? static_cast<std::uint64_t>(RoundToInt(t.volume)) : std::uint64_t{0});
  wire::Store(rec + time_msc_, t.time_msc);
  wire::Store(rec + flags_, t.flags);
  wire::Store(rec + volume_real_, t.volume);
}

BarEncoder::BarEncoder()
    : time_(FieldOffset(kRates, "time")),
      open_(FieldOffset(kRates, "open")),
      high_(FieldOffset(kRates, "high")),
      low_(FieldOffset(kRates, "low")),
      close_(FieldOffset(kRates, "close")),
      tick_volume_(FieldOffset(kRates, "tick_volume")),
      spread_(FieldOffset(kRates, "spread")),
      real_volume_(FieldOffset(kRates, "real_volume")) {}

void BarEncoder::Write(const Bar& b, std::uint32_t digits, std::uint8_t* rec) const {
  wire::Store(rec + time_, b.time);
  wire::Store(rec + open_, Price(b.open, digits));
  wire::Store(rec + high_, Price(b.high, digits));
  wire::Store(rec + low_, Price(b.low, digits));
  wire::Store(rec + close_, Price(b.close, digits));
  wire::Store(rec + tick_volume_, b.tick_volume);
  wire::Store(rec + spread_, b.spread);
  wire::Store(rec + real_volume_, b.real_volume);
}

}  // namespace zk5::term
