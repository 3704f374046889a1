// The pipe name derivation and the connection steps of the client, against
// pipes served by the test itself; the same source runs on every platform.
#include "connection/client.h"

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>

#include "base/text.h"
#include "connection/calls.h"
#include "os/pipe_server.h"
#include "test_client.h"
#include "test_files.h"

namespace zk5 {
namespace {

using test::U16;

std::u16string NameOf(const std::string& path) { return test::NameOf(U16(path)); }

class ClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.ok());
    // The pipes of this test live in a folder of its own (POSIX sockets).
    runtime_ = std::make_unique<test::ScopedEnv>("XDG_RUNTIME_DIR", dir_.path().c_str());
    exe_ = dir_ / "Terminal64.exe";
    ASSERT_TRUE(test::WriteBytes(exe_, ""));
  }
  void TearDown() override {
    g_client.Reset();
    g_client.set_launch_poll(120, 500);
  }

  // Serves the pipe of `path` like a terminal would, without answering.
  std::unique_ptr<os::PipeServer> Listen(const std::string& path) {
    auto server = std::make_unique<os::PipeServer>();
    EXPECT_EQ(server->Listen(NameOf(path), 4), os::ListenStatus::kOk);
    return server;
  }

  test::TempDir dir_;
  std::unique_ptr<test::ScopedEnv> runtime_;
  std::string exe_;
};

TEST_F(ClientTest, NameIsEightySixCharactersOfUpperCaseHex) {
  const std::u16string name = NameOf(exe_);
  ASSERT_EQ(name.size(), 86u);
  EXPECT_EQ(name.substr(0, 22), u"\\\\.\\pipe\\ZK5.Terminal.");
  for (char16_t c : name.substr(22)) {
    EXPECT_TRUE((c >= u'0' && c <= u'9') || (c >= u'A' && c <= u'F')) << static_cast<int>(c);
  }
}

TEST_F(ClientTest, NameIsTheDigestOfTheLowerCasedCanonicalPath) {
  // SHA-256 over UTF-16LE units of the lower-cased path, as a terminal that
  // derives its name independently would compute it.
  std::u16string lower = CanonicalPath(U16(exe_));
  text::LowerInPlace(lower.data(), lower.size());
  std::string bytes;
  for (char16_t u : lower) {
    bytes.push_back(static_cast<char>(u & 0xFF));
    bytes.push_back(static_cast<char>(u >> 8));
  }
  std::uint8_t digest[32];
  ASSERT_TRUE(os::Sha256(bytes.data(), bytes.size(), digest));
  EXPECT_EQ(NameOf(exe_), PipeNameFromHash(digest));
}

TEST_F(ClientTest, EquivalentPathsShareOneName) {
#ifndef _WIN32
  // Links need privileges on Windows.
  const std::string link = dir_ / "link.exe";
  ASSERT_EQ(symlink(exe_.c_str(), link.c_str()), 0);
  EXPECT_EQ(NameOf(link), NameOf(exe_));
#endif
  ASSERT_TRUE(test::MakeDir(dir_ / "sub"));
  EXPECT_EQ(NameOf(dir_ / "sub/../Terminal64.exe"), NameOf(exe_));
  // A path that does not exist is taken as given, letter case folded.
  EXPECT_EQ(NameOf(dir_ / "missing/T.EXE"), NameOf(dir_ / "missing/t.exe"));
  EXPECT_NE(NameOf(dir_ / "missing/a.exe"), NameOf(dir_ / "missing/b.exe"));
}

TEST_F(ClientTest, PathLengthLimit) {
  const std::string base = "/nonexistent/";
  const std::string ok = base + std::string(260 - base.size(), 'a');
  const std::string too_long = ok + "a";
  // 260 units pass the length check and fail later, at the start.
  EXPECT_EQ(g_client.ConnectToTerminal(U16(ok), false).error.find(u"Process create failed"), 0u);
  EXPECT_EQ(g_client.ConnectToTerminal(U16(too_long), false).error, u"Path too long");
}

TEST_F(ClientTest, EmptyPathFailsWithoutAText) {
  const ConnectOutcome outcome = g_client.ConnectToTerminal(u"", false);
  EXPECT_EQ(outcome.code, -10003);
  EXPECT_EQ(outcome.error, u"");
}

TEST_F(ClientTest, ConnectsToAServingTerminalWithoutStartingIt) {
  const auto listener = Listen(exe_);
  // The executable is an empty, non-executable file: starting it would fail.
  EXPECT_TRUE(g_client.ConnectToTerminal(U16(exe_), false));
  EXPECT_TRUE(g_client.connected());
  const ConnectOutcome again = g_client.Initialize(U16(exe_), false);
  EXPECT_EQ(again.code, -10003);
  EXPECT_EQ(again.error, u"CInterClient already initialized");
  EXPECT_TRUE(g_client.connected());
}

TEST_F(ClientTest, MissingServerFailsAtOnceWithTheSystemError) {
  EXPECT_EQ(g_client.OpenPipe(NameOf(exe_)).error,
            u"CreateFile failed [" + U16(std::to_string(ENOENT)) + u"]");
}

#ifndef _WIN32
// Only a missing server (ENOENT, ECONNREFUSED) is worth starting a terminal
// for; an unsafe socket folder fails at once, without a launch or a poll.
TEST_F(ClientTest, UnsafeSocketFolderFailsAtOnceWithoutStarting) {
  EXPECT_TRUE(os::ServerMissing(ENOENT));
  EXPECT_TRUE(os::ServerMissing(ECONNREFUSED));
  EXPECT_FALSE(os::ServerMissing(EPERM));
  EXPECT_FALSE(os::ServerMissing(ENAMETOOLONG));
  EXPECT_FALSE(os::ServerMissing(os::kOpenInterrupted));
  const std::string script = dir_ / "terminal.exe";
  ASSERT_TRUE(test::CopyTerminal(script));
  ASSERT_EQ(chmod(dir_.path().c_str(), 0755), 0);
  const ConnectOutcome outcome = g_client.ConnectToTerminal(U16(script), false);
  chmod(dir_.path().c_str(), 0700);
  EXPECT_EQ(outcome.code, -10003);
  EXPECT_EQ(outcome.error, u"CreateFile failed [" + U16(std::to_string(EPERM)) + u"]");
  EXPECT_FALSE(g_client.connected());
}
#endif

TEST_F(ClientTest, StartedTerminalThatNeverServesTimesOut) {
  // A copy of the test terminal named silent* starts but never serves.
  const std::string script = dir_ / "silent.exe";
  ASSERT_TRUE(test::CopyTerminal(script));
  g_client.set_launch_poll(3, 10);
  EXPECT_EQ(g_client.ConnectToTerminal(U16(script), false).error,
            u"Pipe server didn't answer in 0 sec");
}

TEST_F(ClientTest, HelloStoresTheBuildEvenWhenTheReplyRunsLong) {
  test::PipePair p;
  // Reply, once the request is in: length 16, echo 4, status 1, build 2363,
  // one stray u32.
  const std::uint32_t reply[] = {16, 4, 1, 2363, 0};
  p.Serve({std::string(reinterpret_cast<const char*>(reply), sizeof reply)});
  g_client.pipe() = p.client;
  p.client = os::kInvalidPipe;  // the client's now
  EXPECT_EQ(g_client.Hello(), -10002);
  p.WaitServed();
  EXPECT_EQ(g_client.terminal_build(), 2363);
  // The reply was longer than its shape, but whole: it is skipped and the
  // stream stays in step.
  EXPECT_TRUE(g_client.connected());
  // Below the symbol-list build, the gate answers before any traffic.
  std::uint32_t n = 0;
  EXPECT_EQ(calls::Count(ipc::kCommand<ipc::CommandId::SYMBOLS_TOTAL>, &n), -5);
}

}  // namespace
}  // namespace zk5
