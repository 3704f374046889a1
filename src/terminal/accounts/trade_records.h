// The terminal's objects as wire records, through the shared layout tables.
// Replies and the account files use the same encoding.
#ifndef ZK5_TERMINAL_ACCOUNTS_TRADE_RECORDS_H_
#define ZK5_TERMINAL_ACCOUNTS_TRADE_RECORDS_H_

#include <cstdint>

#include "accounts/account.h"
#include "market/bars.h"
#include "market/prices.h"

namespace zk5::term {

// `value` may be null (the account store keeps no prices).
void PositionToRecord(const Position& p, const PositionValue* value, std::uint8_t* rec);
Position PositionFromRecord(const std::uint8_t* rec);
void DealToRecord(const Deal& d, std::uint8_t* rec);
Deal DealFromRecord(const std::uint8_t* rec);
void OrderToRecord(const Order& o, std::uint8_t* rec);
Order OrderFromRecord(const std::uint8_t* rec);

// Ticks and bars are written in bulk, so their field offsets are looked up
// in the tables once.
class TickEncoder {
 public:
  TickEncoder();
  // Writes one 60-byte tick record of a symbol with `digits` digits.
  void Write(const Tick& t, std::uint32_t digits, std::uint8_t* rec) const;

 private:
  std::uint32_t time_, bid_, ask_, last_, volume_, time_msc_, flags_, volume_real_;
};

class BarEncoder {
 public:
  BarEncoder();
  void Write(const Bar& b, std::uint32_t digits, std::uint8_t* rec) const;

 private:
  std::uint32_t time_, open_, high_, low_, close_, tick_volume_, spread_, real_volume_;
};

}  // namespace zk5::term

#endif  // ZK5_TERMINAL_ACCOUNTS_TRADE_RECORDS_H_
