// The account files of earlier versions, bases/<login>.dat, which the store
// (store.h) takes over on its first start. Each held a whole account and
// was rewritten after every change.
//
// Layout: the magic "ZK5ACCT1", then u64 login, f64 balance, f64 credit,
// u64 next ticket, u32 next request id, u32 counts of positions, orders and
// deals, the records themselves in their wire layouts (TradePosition,
// TradeOrder, TradeDeal), and a u64 FNV-1a checksum of all that precedes.
#ifndef ZK5_TERMINAL_ACCOUNTS_LEGACY_FILE_H_
#define ZK5_TERMINAL_ACCOUNTS_LEGACY_FILE_H_

#include <string>

#include "accounts/account.h"

namespace zk5::term {

// The file of an account whose history is its journal (new_orders,
// new_deals): what an earlier version wrote. Kept to test the migration.
std::string SerializeLegacyAccount(const AccountState& st);
// The account of a file, its whole history in the journal and every
// position marked changed, ready for Store::Commit. False (and *st
// untouched) when the bytes are not a whole, intact file.
bool ParseLegacyAccount(const std::string& bytes, AccountState* st);

}  // namespace zk5::term

#endif  // ZK5_TERMINAL_ACCOUNTS_LEGACY_FILE_H_
