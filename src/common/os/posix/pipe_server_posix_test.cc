// The serving end of a pipe on POSIX: the socket and lock files that stand
// for a served name.
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>

#include "os/os.h"
#include "os/pipe_server.h"
#include "os/posix/socket_dir.h"
#include "test_files.h"
#include "test_pipes.h"

namespace zk5::os {
namespace {

bool Exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

TEST(PosixPipeServer, TakesOverTheSocketOfADeadServerAndLeavesNothingBehind) {
  const std::u16string name = test::UniquePipeName();
  std::string path;
  ASSERT_EQ(PipeSocketPath(name, &path), 0);
  // What a killed server leaves: a socket file nobody listens on.
  const int dead = socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(dead, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  ASSERT_EQ(bind(dead, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  close(dead);
  ASSERT_TRUE(Exists(path));
  PipeHandle client = kInvalidPipe;
  EXPECT_NE(OpenPipe(name, &client), 0u);

  PipeServer server;
  ASSERT_EQ(server.Listen(name, 1), ListenStatus::kOk);
  EXPECT_TRUE(Exists(path + ".lock"));
  ASSERT_EQ(OpenPipe(name, &client), 0u);
  PipeHandle served = kInvalidPipe;
  EXPECT_EQ(server.Accept(5000, &served), AcceptStatus::kClient);
  server.Close();
  ClosePipe(client);
  EXPECT_FALSE(Exists(path));
  EXPECT_FALSE(Exists(path + ".lock"));
}

// The private socket folder of the client's pipes.
class PosixSocketFolder : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.ok());
    ASSERT_EQ(chmod(dir_.path().c_str(), 0700), 0);
    runtime_ = std::make_unique<test::ScopedEnv>("XDG_RUNTIME_DIR", dir_.path().c_str());
  }

  test::TempDir dir_;
  std::unique_ptr<test::ScopedEnv> runtime_;
  const std::u16string name_ = test::UniquePipeName();
};

TEST_F(PosixSocketFolder, UnsafeSocketFolderIsRefused) {
  ASSERT_EQ(chmod(dir_.path().c_str(), 0755), 0);
  std::string sock;
  EXPECT_EQ(PipeSocketPath(name_, &sock), EPERM);
  const std::string link = dir_.path() + "-link";
  ASSERT_EQ(chmod(dir_.path().c_str(), 0700), 0);
  ASSERT_EQ(symlink(dir_.path().c_str(), link.c_str()), 0);
  setenv("XDG_RUNTIME_DIR", link.c_str(), 1);
  EXPECT_EQ(PipeSocketPath(name_, &sock), EPERM);
  unlink(link.c_str());
}

TEST_F(PosixSocketFolder, SocketPathTooLongIsRefusedNotTruncated) {
  const std::string deep = dir_ / std::string(90, 'd');
  ASSERT_EQ(mkdir(deep.c_str(), 0700), 0);
  setenv("XDG_RUNTIME_DIR", deep.c_str(), 1);
  std::string sock;
  EXPECT_EQ(PipeSocketPath(name_, &sock), ENAMETOOLONG);
  PipeHandle h = kInvalidPipe;
  EXPECT_EQ(OpenPipe(name_, &h), static_cast<std::uint32_t>(ENAMETOOLONG));
}

}  // namespace
}  // namespace zk5::os
