// Client-side helpers of the native tests that talk to the test terminal.
#ifndef ZK5_TESTS_NATIVE_TEST_CLIENT_H_
#define ZK5_TESTS_NATIVE_TEST_CLIENT_H_

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "connection/calls.h"
#include "connection/client.h"
#include "ipc/stream.h"
#include "os/os.h"
#include "test_pipes.h"

namespace zk5::test {

inline std::u16string NameOf(const std::u16string& path) {
  std::uint8_t digest[32];
  EXPECT_TRUE(PathHash(path, digest));
  return PipeNameFromHash(digest);
}

inline ipc::Text TextOf(const std::u16string& s) {
  return ipc::Text{s.c_str(), static_cast<std::uint32_t>(s.size())};
}

// The VERSION reply of the terminal g_client is connected to: the clients it
// has served and its report.
struct Version {
  std::int32_t result = 0;
  std::uint32_t served = 0;
  std::u16string report;
};

inline Version AskVersion() {
  Version v;
  std::uint32_t build = 0;
  char16_t* text = nullptr;
  std::uint32_t units = 0;
  v.result = calls::Version(&build, &v.served, &text, &units);
  if (text != nullptr) {
    v.report.assign(text, units);
    ipc::HeapFree(text);
  }
  return v;
}

// Connects g_client to the terminal of `exe` without starting it, waiting
// up to `ms` for it to serve.
inline bool AwaitTerminal(const std::u16string& exe, std::uint32_t ms) {
  const std::u16string name = NameOf(exe);
  for (std::uint32_t waited = 0;; waited += 25) {
    if (g_client.OpenPipe(name)) return true;
    if (waited >= ms) return false;
    os::SleepMs(25);
  }
}

// Asks the terminal serving `exe` to quit, if one does.
inline void QuitTerminal(const std::u16string& exe) {
  g_client.Reset();
  if (g_client.OpenPipe(NameOf(exe))) {
    calls::StatusByText(ipc::kCommand<ipc::CommandId::BOOK_RELEASE>, TextOf(u""));
  }
  g_client.Reset();
}

}  // namespace zk5::test

#endif  // ZK5_TESTS_NATIVE_TEST_CLIENT_H_
