// The serving end of a pipe, held to one behaviour on every platform: who
// may serve a name, waiting for a client with a time limit, and the places
// that connections take.
#include "os/pipe_server.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "os/os.h"
#include "test_pipes.h"

namespace zk5 {
namespace {

using Clock = std::chrono::steady_clock;
using os::AcceptStatus;
using os::ListenStatus;

// One round trip over a connection: the client sends four bytes, the server
// sends them back.
bool Echo(os::PipeHandle client, os::PipeHandle served) {
  const char sent[4] = {'p', 'i', 'n', 'g'};
  char got[4] = {};
  char back[4] = {};
  return os::WriteAll(client, sent, 4) == os::IoStatus::kOk &&
         os::ReadExact(served, got, 4) == os::IoStatus::kOk &&
         os::WriteAll(served, got, 4) == os::IoStatus::kOk &&
         os::ReadExact(client, back, 4) == os::IoStatus::kOk && std::memcmp(back, sent, 4) == 0;
}

class PipeServerTest : public ::testing::Test {
 protected:
  const std::u16string name_ = test::UniquePipeName();

  // A server of one place, and a client connected to it.
  void Connect(os::PipeServer* server, os::PipeHandle* client, os::PipeHandle* served) {
    ASSERT_EQ(server->Listen(name_, 1), ListenStatus::kOk);
    ASSERT_EQ(os::OpenPipe(name_, client), 0u);
    ASSERT_EQ(server->Accept(5000, served), AcceptStatus::kClient);
  }
};

TEST_F(PipeServerTest, ASecondServerOfANameIsTurnedAwayUntilTheFirstCloses) {
  os::PipeServer first;
  os::PipeServer second;
  ASSERT_EQ(first.Listen(name_, 1), ListenStatus::kOk);
  std::uint32_t error = 1;
  EXPECT_EQ(second.Listen(name_, 1, &error), ListenStatus::kAlreadyServed);
  EXPECT_EQ(error, 0u);
  first.Close();
  EXPECT_EQ(second.Listen(name_, 1), ListenStatus::kOk);
  os::PipeHandle client = os::kInvalidPipe;
  EXPECT_EQ(os::OpenPipe(name_, &client), 0u);
  os::ClosePipe(client);
}

TEST_F(PipeServerTest, NoInstancesIsAnError) {
  os::PipeServer server;
  std::uint32_t error = 0;
  EXPECT_EQ(server.Listen(name_, 0, &error), ListenStatus::kError);
  EXPECT_NE(error, 0u);
}

TEST_F(PipeServerTest, AWaitWithoutAClientEndsAfterItsTime) {
  os::PipeServer server;
  ASSERT_EQ(server.Listen(name_, 1), ListenStatus::kOk);
  os::PipeHandle served = os::kInvalidPipe;
  const Clock::time_point start = Clock::now();
  EXPECT_EQ(server.Accept(150, &served), AcceptStatus::kTimeout);
  // Timers may be a tick early on some systems.
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(120));
  EXPECT_EQ(served, os::kInvalidPipe);
  EXPECT_EQ(server.Accept(0, &served), AcceptStatus::kTimeout);
}

TEST_F(PipeServerTest, AClientComingDuringAWaitOrBetweenWaitsIsAccepted) {
  os::PipeServer server;
  ASSERT_EQ(server.Listen(name_, 2), ListenStatus::kOk);
  os::PipeHandle served = os::kInvalidPipe;
  EXPECT_EQ(server.Accept(0, &served), AcceptStatus::kTimeout);
  // Between waits.
  os::PipeHandle early = os::kInvalidPipe;
  ASSERT_EQ(os::OpenPipe(name_, &early), 0u);
  ASSERT_EQ(server.Accept(5000, &served), AcceptStatus::kClient);
  EXPECT_TRUE(Echo(early, served));
  // During a wait without limit.
  os::PipeHandle late = os::kInvalidPipe;
  std::thread client([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    os::OpenPipe(name_, &late);
  });
  os::PipeHandle served_late = os::kInvalidPipe;
  ASSERT_EQ(server.Accept(-1, &served_late), AcceptStatus::kClient);
  client.join();
  ASSERT_NE(late, os::kInvalidPipe);
  EXPECT_TRUE(Echo(late, served_late));
  server.Release(served);
  server.Release(served_late);
  os::ClosePipe(early);
  os::ClosePipe(late);
}

TEST_F(PipeServerTest, EveryPlaceTakenFailsAnAcceptUntilOneIsReleasedOrHandedOver) {
  os::PipeServer server;
  os::PipeHandle client = os::kInvalidPipe;
  os::PipeHandle served = os::kInvalidPipe;
  ASSERT_NO_FATAL_FAILURE(Connect(&server, &client, &served));
  os::PipeHandle other = os::kInvalidPipe;
  std::uint32_t error = 0;
  EXPECT_EQ(server.Accept(0, &other, &error), AcceptStatus::kError);
  EXPECT_NE(error, 0u);
  server.Release(served);
  EXPECT_EQ(os::ReadExact(client, &error, 1), os::IoStatus::kBroken);
  os::ClosePipe(client);
  EXPECT_EQ(server.Accept(0, &other), AcceptStatus::kTimeout);

  // A connection handed over is the caller's, and its place is free.
  ASSERT_EQ(os::OpenPipe(name_, &client), 0u);
  ASSERT_EQ(server.Accept(5000, &served), AcceptStatus::kClient);
  server.HandOver(served);
  EXPECT_EQ(server.Accept(0, &other), AcceptStatus::kTimeout);
  server.Close();
  EXPECT_TRUE(Echo(client, served));
  os::ClosePipe(served);
  os::ClosePipe(client);
}

// The serving end's reads with a deadline: what has arrived is taken even
// when it has passed, a read waits across pieces, and one whose bytes do
// not all come by the deadline gives up.
TEST_F(PipeServerTest, AReadWithADeadlineTakesPiecesAndGivesUpWhenItPasses) {
  os::PipeServer server;
  os::PipeHandle client = os::kInvalidPipe;
  os::PipeHandle served = os::kInvalidPipe;
  ASSERT_NO_FATAL_FAILURE(Connect(&server, &client, &served));
  char got[4] = {};

  ASSERT_EQ(os::WriteAll(client, "ok", 2), os::IoStatus::kOk);
  EXPECT_EQ(os::ReadExact(served, got, 2, os::MonotonicMs() - 1), os::IoStatus::kOk);
  EXPECT_EQ(std::string(got, 2), "ok");

  // The second piece is sent once the first has been taken by the read.
  std::thread writer([&] {
    os::WriteAll(client, "pi", 2);
    const Clock::time_point give_up = Clock::now() + std::chrono::seconds(10);
    while (os::PendingInput(served) == os::Pending::kData && Clock::now() < give_up) {
      std::this_thread::yield();
    }
    os::WriteAll(client, "ng", 2);
  });
  EXPECT_EQ(os::ReadExact(served, got, 4, os::MonotonicMs() + 10000), os::IoStatus::kOk);
  writer.join();
  EXPECT_EQ(std::string(got, 4), "ping");

  for (std::size_t sent : {0, 3}) {
    ASSERT_EQ(os::WriteAll(client, "abc", sent), os::IoStatus::kOk);
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(os::ReadExact(served, got, 4, os::MonotonicMs() + 150), os::IoStatus::kTimedOut);
    // Timers may be a tick early on some systems.
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(120)) << sent;
  }
  // Without a deadline the read still waits, and the end of the peer ends it.
  os::ClosePipe(client);
  EXPECT_EQ(os::ReadExact(served, got, 1), os::IoStatus::kBroken);
  server.Release(served);
}

// The serving end's writes with a stall limit: a peer that takes small
// pieces steadily, for longer in all than the limit, gets the whole write;
// one that takes nothing makes it give up after about the limit.
TEST_F(PipeServerTest, AWriteWithAStallLimitGivesUpOnlyWhenThePeerStopsTaking) {
  os::PipeServer server;
  os::PipeHandle client = os::kInvalidPipe;
  os::PipeHandle served = os::kInvalidPipe;
  ASSERT_NO_FATAL_FAILURE(Connect(&server, &client, &served));
  constexpr std::int64_t kStallMs = 200;
  // More than the pipe's buffers hold, so that the write waits on the reader
  // for longer in all than the limit.
  std::string sent(512 << 10, '\0');
  for (std::size_t i = 0; i < sent.size(); ++i) sent[i] = static_cast<char>(i * 7 + i / 4096);

  std::string got;
  std::thread reader([&] {
    char piece[2048];
    while (got.size() < sent.size()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      const std::size_t ask = std::min(sizeof piece, sent.size() - got.size());
      if (os::ReadExact(client, piece, ask, os::DeadlineIn(10000)) != os::IoStatus::kOk) return;
      got.append(piece, ask);
    }
  });
  const Clock::time_point start = Clock::now();
  EXPECT_EQ(os::WriteAll(served, sent.data(), sent.size(), kStallMs), os::IoStatus::kOk);
  EXPECT_GT(Clock::now() - start, std::chrono::milliseconds(kStallMs));
  reader.join();
  EXPECT_TRUE(got == sent) << got.size();

  const Clock::time_point stalled = Clock::now();
  EXPECT_EQ(os::WriteAll(served, sent.data(), sent.size(), kStallMs), os::IoStatus::kTimedOut);
  // Timers may be a tick early on some systems.
  EXPECT_GE(Clock::now() - stalled, std::chrono::milliseconds(kStallMs - 30));
  EXPECT_LT(Clock::now() - stalled, std::chrono::seconds(10));
  os::ClosePipe(client);
  server.Release(served);
}

}  // namespace
}  // namespace zk5
