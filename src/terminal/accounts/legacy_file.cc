#include "accounts/legacy_file.h"

#include <cstring>

#include "accounts/trade_records.h"
#include "ipc/records.h"
#include "ipc/wire.h"

namespace zk5::term {

namespace {

constexpr char kMagic[8] = {'Z', 'K', '5', 'A', 'C', 'C', 'T', '1'};
// Magic, login, balance, credit, next ticket, request id, three counts.
constexpr std::size_t kHeaderSize = 8 + 8 + 8 + 8 + 8 + 4 + 3 * 4;

std::uint64_t Fnv1a(const char* data, std::size_t n) {
  std::uint64_t h = 0xCBF29CE484222325ULL;
  for (std::size_t i = 0; i < n; ++i) {
    h ^= static_cast<unsigned char>(data[i]);
    h *= 0x100000001B3ULL;
  }
  return h;
}

template <typename T>
void Append(std::string* out, T v) {
  char b[sizeof(T)];
  std::memcpy(b, &v, sizeof v);
  out->append(b, sizeof v);
}

template <typename T>
T Take(const std::string& in, std::size_t* at) {
  T v;
  std::memcpy(&v, in.data() + *at, sizeof v);
  *at += sizeof v;
  return v;
}

}  // namespace

std::string SerializeLegacyAccount(const AccountState& st) {
  std::string out(kMagic, sizeof kMagic);
  Append(&out, st.login);
  Append(&out, st.balance);
  Append(&out, st.credit);
  Append(&out, st.next_ticket);
  Append(&out, st.next_request_id);
  Append(&out, static_cast<std::uint32_t>(st.positions.size()));
  Append(&out, static_cast<std::uint32_t>(st.new_orders.size()));
  Append(&out, static_cast<std::uint32_t>(st.new_deals.size()));
  std::string rec;
  rec.resize(records::kTradePosition.size);
  for (const Position& p : st.positions) {
    PositionToRecord(p, nullptr, reinterpret_cast<std::uint8_t*>(&rec[0]));
    out += rec;
  }
  rec.resize(records::kTradeOrder.size);
  for (const Order& o : st.new_orders) {
    OrderToRecord(o, reinterpret_cast<std::uint8_t*>(&rec[0]));
    out += rec;
  }
  rec.resize(records::kTradeDeal.size);
  for (const Deal& d : st.new_deals) {
    DealToRecord(d, reinterpret_cast<std::uint8_t*>(&rec[0]));
    out += rec;
  }
  Append(&out, Fnv1a(out.data(), out.size()));
  return out;
}

bool ParseLegacyAccount(const std::string& in, AccountState* st) {
  if (in.size() < kHeaderSize + 8 || std::memcmp(in.data(), kMagic, sizeof kMagic) != 0)
    return false;
  std::size_t end = in.size() - 8;
  std::size_t at = end;
  if (Take<std::uint64_t>(in, &at) != Fnv1a(in.data(), end)) return false;
  at = sizeof kMagic;
  AccountState s;
  s.login = Take<std::uint64_t>(in, &at);
  s.balance = Take<double>(in, &at);
  s.credit = Take<double>(in, &at);
  s.next_ticket = Take<std::uint64_t>(in, &at);
  s.next_request_id = Take<std::uint32_t>(in, &at);
  const std::uint64_t np = Take<std::uint32_t>(in, &at);
  const std::uint64_t no = Take<std::uint32_t>(in, &at);
  const std::uint64_t nd = Take<std::uint32_t>(in, &at);
  const std::uint64_t body = np * records::kTradePosition.size + no * records::kTradeOrder.size +
                             nd * records::kTradeDeal.size;
  if (body != end - at) return false;
  const auto* p = reinterpret_cast<const std::uint8_t*>(in.data()) + at;
  for (std::uint64_t i = 0; i < np; ++i, p += records::kTradePosition.size) {
    s.positions.push_back(PositionFromRecord(p));
    s.changed_positions.push_back(s.positions.back().ticket);
  }
  for (std::uint64_t i = 0; i < no; ++i, p += records::kTradeOrder.size) {
    s.new_orders.push_back(OrderFromRecord(p));
  }
  for (std::uint64_t i = 0; i < nd; ++i, p += records::kTradeDeal.size) {
    s.new_deals.push_back(DealFromRecord(p));
  }
  *st = std::move(s);
  return true;
}

}  // namespace zk5::term
