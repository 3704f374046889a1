// Every status code the module and the terminal use, defined once.
//
// An exchange yields one signed 32-bit result: negative is a failure, zero
// or positive the reply's status. -1..-9 are statuses the terminal sends;
// -10000..-10005 are the client's own. The messages that go with them live
// in the module's error state; this header is free of Python.
#ifndef ZK5_COMMON_IPC_STATUS_H_
#define ZK5_COMMON_IPC_STATUS_H_

#include <cstdint>

namespace zk5 {

enum Status : std::int32_t {
  kSuccess = 1,                   // the call did what was asked
  kCallFailed = -1,               // the terminal could not carry the call out
  kInvalidParams = -2,            // an argument is missing, out of range or malformed
  kOutOfMemory = -3,              // no memory for the request or its result
  kNotFound = -4,                 // no symbol, order, position or deal of that name/ticket
  kIncompatibleVersion = -5,      // the terminal's build is too old for the command
  kAuthorizationFailed = -6,      // the account refused the login
  kUnsupported = -7,              // the terminal does not offer this (e.g. OTP login)
  kAutoTradingDisabled = -8,      // order_send refused: automated trading is off
  kTerminalBusy = -9,             // the terminal serves as many connections as it can
  kIpcCallFailed = -10000,        // wrong echo, a missing output, the group filter failed
  kIpcSendFailed = -10001,        // the request could not be written
  kIpcRecvFailed = -10002,        // the reply could not be read or was malformed
  kIpcInitializeFailed = -10003,  // connecting, starting or finding the terminal failed
  kNoIpcConnection = -10004,      // no pipe is open
  kIpcTimeout = -10005,           // the terminal did not become ready in time
};

// Readiness as TERMINAL_STATE reports it.
enum TerminalState : std::uint32_t {
  kStateConnecting = 1,           // logging in: ask again later
  kStateReady = 2,                // calls can be served
  kStateAuthorizationFailed = 3,  // the login was refused
};

}  // namespace zk5

#endif  // ZK5_COMMON_IPC_STATUS_H_
