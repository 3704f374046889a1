// The serving end of a pipe on POSIX: the socket and lock files that stand
// for a served name.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "os/os.h"
#include "os/pipe_server.h"
#include "os/posix/socket_dir.h"
#include "test_client.h"

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

}  // namespace
}  // namespace zk5::os
