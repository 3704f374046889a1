// The pipe name derivation and the connection steps of the client.
#include "connection/client.h"

#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>

#include "connection/calls.h"
#include "base/text.h"
#include "os/posix/socket_dir.h"

namespace zk5 {
namespace {

std::u16string U16(const std::string& s) { return text::Utf8ToUtf16(s.data(), s.size()); }

std::u16string NameOf(const std::string& path) {
  std::uint8_t digest[32];
  EXPECT_TRUE(PathHash(U16(path), digest));
  return PipeNameFromHash(digest);
}

class ClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/zk5c.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    const char* old = getenv("XDG_RUNTIME_DIR");
    old_runtime_ = old ? old : "";
    had_runtime_ = old != nullptr;
    setenv("XDG_RUNTIME_DIR", dir_.c_str(), 1);
    exe_ = dir_ + "/Terminal64.exe";
    FILE* f = fopen(exe_.c_str(), "w");
    ASSERT_NE(f, nullptr);
    fclose(f);
  }
  void TearDown() override {
    g_client.Reset();
    g_client.set_launch_poll(120, 500);
    if (had_runtime_) {
      setenv("XDG_RUNTIME_DIR", old_runtime_.c_str(), 1);
    } else {
      unsetenv("XDG_RUNTIME_DIR");
    }
    std::string cmd = "rm -rf " + dir_;
    ASSERT_EQ(system(cmd.c_str()), 0);
  }

  // Listens on the socket of `path` like a terminal would.
  int Listen(const std::string& path) {
    std::string sock;
    EXPECT_EQ(os::PipeSocketPath(NameOf(path), &sock), 0);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, sock.c_str(), sizeof addr.sun_path - 1);
    EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    EXPECT_EQ(listen(fd, 4), 0);
    return fd;
  }

  std::string dir_;
  std::string exe_;
  std::string old_runtime_;
  bool had_runtime_ = false;
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
  std::u16string lower = U16(exe_);
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
  const std::string link = dir_ + "/link.exe";
  ASSERT_EQ(symlink(exe_.c_str(), link.c_str()), 0);
  ASSERT_EQ(mkdir((dir_ + "/sub").c_str(), 0700), 0);
  EXPECT_EQ(NameOf(link), NameOf(exe_));
  EXPECT_EQ(NameOf(dir_ + "/sub/../Terminal64.exe"), NameOf(exe_));
  // A path that does not exist is taken as given, letter case folded.
  EXPECT_EQ(NameOf(dir_ + "/missing/T.EXE"), NameOf(dir_ + "/missing/t.exe"));
  EXPECT_NE(NameOf(dir_ + "/missing/a.exe"), NameOf(dir_ + "/missing/b.exe"));
}

TEST_F(ClientTest, PathLengthLimit) {
  const std::string base = "/nonexistent/";
  const std::string ok = base + std::string(260 - base.size(), 'a');
  const std::string too_long = ok + "a";
  // 260 units pass the length check and fail later, at the start.
  EXPECT_EQ(g_client.ConnectToTerminal(U16(ok), false).error.find(u"Process create failed"),
            0u);
  EXPECT_EQ(g_client.ConnectToTerminal(U16(too_long), false).error,
            u"Path too long");
}

TEST_F(ClientTest, EmptyPathFailsWithoutAText) {
  const ConnectOutcome outcome = g_client.ConnectToTerminal(u"", false);
  EXPECT_EQ(outcome.code, -10003);
  EXPECT_EQ(outcome.error, u"");
}

TEST_F(ClientTest, ConnectsToAServingTerminalWithoutStartingIt) {
  const int listener = Listen(exe_);
  // The executable is an empty, non-executable file: starting it would fail.
  EXPECT_TRUE(g_client.ConnectToTerminal(U16(exe_), false));
  EXPECT_TRUE(g_client.connected());
  const ConnectOutcome again = g_client.Initialize(U16(exe_), false);
  EXPECT_EQ(again.code, -10003);
  EXPECT_EQ(again.error, u"CInterClient already initialized");
  EXPECT_TRUE(g_client.connected());
  close(listener);
}

TEST_F(ClientTest, MissingServerFailsAtOnceWithTheSystemError) {
  EXPECT_EQ(g_client.OpenPipe(NameOf(exe_)).error,
            u"CreateFile failed [" + U16(std::to_string(ENOENT)) + u"]");
}

TEST_F(ClientTest, UnsafeSocketFolderIsRefused) {
  ASSERT_EQ(chmod(dir_.c_str(), 0755), 0);
  std::string sock;
  EXPECT_EQ(os::PipeSocketPath(NameOf(exe_), &sock), EPERM);
  const std::string link = dir_ + "-link";
  ASSERT_EQ(chmod(dir_.c_str(), 0700), 0);
  ASSERT_EQ(symlink(dir_.c_str(), link.c_str()), 0);
  setenv("XDG_RUNTIME_DIR", link.c_str(), 1);
  EXPECT_EQ(os::PipeSocketPath(NameOf(exe_), &sock), EPERM);
  unlink(link.c_str());
}

TEST_F(ClientTest, SocketPathTooLongIsRefusedNotTruncated) {
  const std::string deep = dir_ + "/" + std::string(90, 'd');
  ASSERT_EQ(mkdir(deep.c_str(), 0700), 0);
  setenv("XDG_RUNTIME_DIR", deep.c_str(), 1);
  std::string sock;
  EXPECT_EQ(os::PipeSocketPath(NameOf(exe_), &sock), ENAMETOOLONG);
  os::PipeHandle h = os::kInvalidPipe;
  EXPECT_EQ(os::OpenPipe(NameOf(exe_), &h), static_cast<std::uint32_t>(ENAMETOOLONG));
}

TEST_F(ClientTest, StartedTerminalThatNeverServesTimesOut) {
  const std::string script = dir_ + "/silent.exe";
  FILE* f = fopen(script.c_str(), "w");
  fputs("#!/bin/sh\nsleep 5\n", f);
  fclose(f);
  chmod(script.c_str(), 0700);
  g_client.set_launch_poll(3, 10);
  EXPECT_EQ(g_client.ConnectToTerminal(U16(script), false).error,
            u"Pipe server didn't answer in 0 sec");
}

TEST_F(ClientTest, HelloStoresTheBuildEvenWhenTheReplyRunsLong) {
  int fds[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
  // Reply: length 16, echo 4, status 1, build 2363, one stray u32.
  const std::uint32_t reply[] = {16, 4, 1, 2363, 0};
  ASSERT_EQ(write(fds[1], reply, sizeof reply), static_cast<ssize_t>(sizeof reply));
  g_client.pipe() = fds[0];
  EXPECT_EQ(g_client.Hello(), -10002);
  EXPECT_EQ(g_client.terminal_build(), 2363);
  // Below the symbol-list build, the gate answers before any traffic.
  std::uint32_t n = 0;
  EXPECT_EQ(calls::Count(ipc::CommandId::SYMBOLS_TOTAL, &n), -5);
  close(fds[1]);
}

}  // namespace
}  // namespace zk5
