// Durable account files: an account's balance, positions, history orders
// and deals, saved after every change with write, flush to disk and rename,
// so a terminal killed at any moment restarts with every confirmed deal.
//
// Layout: the magic "ZK5ACCT1", then u64 login, f64 balance, f64 credit,
// u64 next ticket, u32 next request id, u32 counts of positions, orders and
// deals, the records themselves in their wire layouts (TradePosition,
// TradeOrder, TradeDeal), and a u64 FNV-1a checksum of all that precedes.
#ifndef ZK5_TERMINAL_STORE_H_
#define ZK5_TERMINAL_STORE_H_

#include <string>

#include "account.h"

namespace zk5::term {

std::string SerializeAccount(const AccountState& st);
// False (and *st untouched) when the bytes are not a whole, intact file.
bool ParseAccount(const std::string& bytes, AccountState* st);

// File operations on `path`; Save is atomic.
bool SaveAccount(const std::u16string& path, const AccountState& st);
enum class LoadResult { kLoaded, kMissing, kCorrupt };
LoadResult LoadAccount(const std::u16string& path, AccountState* st);

}  // namespace zk5::term

#endif  // ZK5_TERMINAL_STORE_H_
