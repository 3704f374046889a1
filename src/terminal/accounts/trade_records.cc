#include "accounts/trade_records.h"

#include <cmath>
#include <cstring>

#include "accounts/record_io.h"
#include "ipc/records.h"
#include "ipc/wire.h"

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

// Field offsets of the bulk encoders, looked up while compiling.
constexpr std::uint32_t kTickTime = FieldOffsetOf(kTick, "time");
constexpr std::uint32_t kTickBid = FieldOffsetOf(kTick, "bid");
constexpr std::uint32_t kTickAsk = FieldOffsetOf(kTick, "ask");
constexpr std::uint32_t kTickLast = FieldOffsetOf(kTick, "last");
constexpr std::uint32_t kTickVolume = FieldOffsetOf(kTick, "volume");
constexpr std::uint32_t kTickTimeMsc = FieldOffsetOf(kTick, "time_msc");
constexpr std::uint32_t kTickFlags = FieldOffsetOf(kTick, "flags");
constexpr std::uint32_t kTickVolumeReal = FieldOffsetOf(kTick, "volume_real");
constexpr std::uint32_t kBarTime = FieldOffsetOf(kRates, "time");
constexpr std::uint32_t kBarOpen = FieldOffsetOf(kRates, "open");
constexpr std::uint32_t kBarHigh = FieldOffsetOf(kRates, "high");
constexpr std::uint32_t kBarLow = FieldOffsetOf(kRates, "low");
constexpr std::uint32_t kBarClose = FieldOffsetOf(kRates, "close");
constexpr std::uint32_t kBarTickVolume = FieldOffsetOf(kRates, "tick_volume");
constexpr std::uint32_t kBarSpread = FieldOffsetOf(kRates, "spread");
constexpr std::uint32_t kBarRealVolume = FieldOffsetOf(kRates, "real_volume");

}  // namespace

void PositionToRecord(const Position& p, const PositionValue* value, std::uint8_t* rec) {
  using W = FieldWriter<kTradePosition>;
  W w(rec);
  w.UInt<W::Field("ticket")>(p.ticket)
      .Int<W::Field("time")>(Seconds(p.time_msc))
      .Int<W::Field("time_msc")>(p.time_msc)
      .Int<W::Field("time_update")>(Seconds(p.time_update_msc))
      .Int<W::Field("time_update_msc")>(p.time_update_msc)
      .UInt<W::Field("type")>(p.type)
      .UInt<W::Field("magic")>(p.magic)
      .UInt<W::Field("identifier")>(p.ticket)
      .UInt<W::Field("reason")>(p.reason)
      .Real<W::Field("volume")>(p.volume)
      .Real<W::Field("price_open")>(p.price_open)
      .Real<W::Field("sl")>(p.sl)
      .Real<W::Field("tp")>(p.tp)
      .Real<W::Field("swap")>(p.swap)
      .Text<W::Field("symbol")>(p.symbol)
      .Text<W::Field("comment")>(p.comment);
  if (value != nullptr)
    w.Real<W::Field("price_current")>(value->price_current).Real<W::Field("profit")>(value->profit);
}

Position PositionFromRecord(const std::uint8_t* rec) {
  using R = FieldReader<kTradePosition>;
  const R r(rec);
  Position p;
  p.ticket = r.UInt<R::Field("ticket")>();
  p.time_msc = r.Int<R::Field("time_msc")>();
  p.time_update_msc = r.Int<R::Field("time_update_msc")>();
  p.type = static_cast<std::uint32_t>(r.UInt<R::Field("type")>());
  p.magic = r.UInt<R::Field("magic")>();
  p.reason = static_cast<std::uint32_t>(r.UInt<R::Field("reason")>());
  p.volume = r.Real<R::Field("volume")>();
  p.price_open = r.Real<R::Field("price_open")>();
  p.sl = r.Real<R::Field("sl")>();
  p.tp = r.Real<R::Field("tp")>();
  p.swap = r.Real<R::Field("swap")>();
  p.symbol = r.Text<R::Field("symbol")>();
  p.comment = r.Text<R::Field("comment")>();
  return p;
}

void DealToRecord(const Deal& d, std::uint8_t* rec) {
  using W = FieldWriter<kTradeDeal>;
  W(rec)
      .UInt<W::Field("ticket")>(d.ticket)
      .UInt<W::Field("order")>(d.order)
      .Int<W::Field("time")>(Seconds(d.time_msc))
      .Int<W::Field("time_msc")>(d.time_msc)
      .UInt<W::Field("type")>(d.type)
      .UInt<W::Field("entry")>(d.entry)
      .UInt<W::Field("magic")>(d.magic)
      .UInt<W::Field("position_id")>(d.position_id)
      .UInt<W::Field("reason")>(d.reason)
      .Real<W::Field("volume")>(d.volume)
      .Real<W::Field("price")>(d.price)
      .Real<W::Field("commission")>(d.commission)
      .Real<W::Field("swap")>(d.swap)
      .Real<W::Field("profit")>(d.profit)
      .Real<W::Field("fee")>(d.fee)
      .Text<W::Field("symbol")>(d.symbol)
      .Text<W::Field("comment")>(d.comment);
}

Deal DealFromRecord(const std::uint8_t* rec) {
  using R = FieldReader<kTradeDeal>;
  const R r(rec);
  Deal d;
  d.ticket = r.UInt<R::Field("ticket")>();
  d.order = r.UInt<R::Field("order")>();
  d.time_msc = r.Int<R::Field("time_msc")>();
  d.type = static_cast<std::uint32_t>(r.UInt<R::Field("type")>());
  d.entry = static_cast<std::uint32_t>(r.UInt<R::Field("entry")>());
  d.magic = r.UInt<R::Field("magic")>();
  d.position_id = r.UInt<R::Field("position_id")>();
  d.reason = static_cast<std::uint32_t>(r.UInt<R::Field("reason")>());
  d.volume = r.Real<R::Field("volume")>();
  d.price = r.Real<R::Field("price")>();
  d.commission = r.Real<R::Field("commission")>();
  d.swap = r.Real<R::Field("swap")>();
  d.profit = r.Real<R::Field("profit")>();
  d.fee = r.Real<R::Field("fee")>();
  d.symbol = r.Text<R::Field("symbol")>();
  d.comment = r.Text<R::Field("comment")>();
  return d;
}

void OrderToRecord(const Order& o, std::uint8_t* rec) {
  using W = FieldWriter<kTradeOrder>;
  W(rec)
      .UInt<W::Field("ticket")>(o.ticket)
      .Int<W::Field("time_setup")>(Seconds(o.time_setup_msc))
      .Int<W::Field("time_setup_msc")>(o.time_setup_msc)
      .Int<W::Field("time_done")>(Seconds(o.time_done_msc))
      .Int<W::Field("time_done_msc")>(o.time_done_msc)
      .Int<W::Field("time_expiration")>(o.time_expiration)
      .UInt<W::Field("type")>(o.type)
      .UInt<W::Field("type_time")>(o.type_time)
      .UInt<W::Field("type_filling")>(o.type_filling)
      .UInt<W::Field("state")>(o.state)
      .UInt<W::Field("magic")>(o.magic)
      .UInt<W::Field("position_id")>(o.position_id)
      .UInt<W::Field("position_by_id")>(o.position_by_id)
      .UInt<W::Field("reason")>(o.reason)
      .Real<W::Field("volume_initial")>(o.volume_initial)
      .Real<W::Field("volume_current")>(o.volume_current)
      .Real<W::Field("price_open")>(o.price_open)
      .Real<W::Field("sl")>(o.sl)
      .Real<W::Field("tp")>(o.tp)
      .Real<W::Field("price_current")>(o.price_current)
      .Real<W::Field("price_stoplimit")>(o.price_stoplimit)
      .Text<W::Field("symbol")>(o.symbol)
      .Text<W::Field("comment")>(o.comment);
}

Order OrderFromRecord(const std::uint8_t* rec) {
  using R = FieldReader<kTradeOrder>;
  const R r(rec);
  Order o;
  o.ticket = r.UInt<R::Field("ticket")>();
  o.time_setup_msc = r.Int<R::Field("time_setup_msc")>();
  o.time_done_msc = r.Int<R::Field("time_done_msc")>();
  o.time_expiration = r.Int<R::Field("time_expiration")>();
  o.type = static_cast<std::uint32_t>(r.UInt<R::Field("type")>());
  o.type_time = static_cast<std::uint32_t>(r.UInt<R::Field("type_time")>());
  o.type_filling = static_cast<std::uint32_t>(r.UInt<R::Field("type_filling")>());
  o.state = static_cast<std::uint32_t>(r.UInt<R::Field("state")>());
  o.magic = r.UInt<R::Field("magic")>();
  o.position_id = r.UInt<R::Field("position_id")>();
  o.position_by_id = r.UInt<R::Field("position_by_id")>();
  o.reason = static_cast<std::uint32_t>(r.UInt<R::Field("reason")>());
  o.volume_initial = r.Real<R::Field("volume_initial")>();
  o.volume_current = r.Real<R::Field("volume_current")>();
  o.price_open = r.Real<R::Field("price_open")>();
  o.sl = r.Real<R::Field("sl")>();
  o.tp = r.Real<R::Field("tp")>();
  o.price_current = r.Real<R::Field("price_current")>();
  o.price_stoplimit = r.Real<R::Field("price_stoplimit")>();
  o.symbol = r.Text<R::Field("symbol")>();
  o.comment = r.Text<R::Field("comment")>();
  return o;
}

TickEncoder::TickEncoder()
    : time_(kTickTime),
      bid_(kTickBid),
      ask_(kTickAsk),
      last_(kTickLast),
      volume_(kTickVolume),
      time_msc_(kTickTimeMsc),
      flags_(kTickFlags),
      volume_real_(kTickVolumeReal) {}

void TickEncoder::Write(const Tick& t, std::uint32_t digits, std::uint8_t* rec) const {
  const double scale = Pow10(digits);
  wire::Store(rec + time_, Seconds(t.time_msc));
  wire::Store(rec + bid_, static_cast<double>(t.bid) / scale);
  wire::Store(rec + ask_, static_cast<double>(t.ask) / scale);
  wire::Store(rec + last_, t.last != 0 ? static_cast<double>(t.last) / scale : 0.0);
  wire::Store(rec + volume_,
              t.volume > 0 ? static_cast<std::uint64_t>(RoundToInt(t.volume)) : std::uint64_t{0});
  wire::Store(rec + time_msc_, t.time_msc);
  wire::Store(rec + flags_, t.flags);
  wire::Store(rec + volume_real_, t.volume);
}

BarEncoder::BarEncoder()
    : time_(kBarTime),
      open_(kBarOpen),
      high_(kBarHigh),
      low_(kBarLow),
      close_(kBarClose),
      tick_volume_(kBarTickVolume),
      spread_(kBarSpread),
      real_volume_(kBarRealVolume) {}

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
