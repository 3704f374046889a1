// The stream layer and the exchange rule over real pipes, served by the
// test itself.
#ifndef _WIN32
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "ipc/commands.h"
#include "ipc/stream.h"
#include "test_client.h"

namespace zk5::ipc {
namespace {

using Bytes = std::string;

Bytes U32(std::uint32_t v) { return Bytes(reinterpret_cast<const char*>(&v), 4); }
Bytes I32(std::int32_t v) { return Bytes(reinterpret_cast<const char*>(&v), 4); }

// A reply frame: length, echo, status, payload.
Bytes Reply(std::uint32_t echo, std::int32_t status, const Bytes& payload = "") {
  return U32(static_cast<std::uint32_t>(8 + payload.size())) + U32(echo) + I32(status) + payload;
}

using Pair = test::PipePair;

TEST(PipeWriter, CommandWithoutArgumentsIsEightBytes) {
  Pair p;
  ASSERT_TRUE(Encode(p.client, ipc::kCommand<CommandId::POSITIONS_ALL>));
  EXPECT_EQ(p.ReadFrame(), U32(4) + U32(121));
}

TEST(PipeWriter, EmptyStringAddsOnlyItsCount) {
  Pair p;
  ASSERT_TRUE(Encode(p.client, ipc::kCommand<CommandId::SYMBOL_INFO>, Text{u"", 0}));
  EXPECT_EQ(p.ReadFrame(), U32(8) + U32(170) + U32(0));
}

TEST(PipeWriter, StringUnitsAreLittleEndianWithoutTerminator) {
  Pair p;
  ASSERT_TRUE(Encode(p.client, ipc::kCommand<CommandId::SYMBOL_SELECT>, TextOf(u"E\u20ac"),
                     std::uint8_t{1}));
  EXPECT_EQ(p.ReadFrame(),
            U32(13) + U32(171) + U32(2) + Bytes("E\0\xac\x20", 4) + Bytes("\x01", 1));
}

#ifndef _WIN32
// Only a packet socket shows where one write of the client ends, so the
// write sizes are checked on POSIX alone.
struct PacketPair {
  PacketPair() {
    int fds[2];
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds), 0);
    client = fds[0];
    peer = fds[1];
  }
  ~PacketPair() {
    close(static_cast<int>(client));
    close(peer);
  }
  os::PipeHandle client;
  int peer;
};

// Each recv on a packet socket returns exactly one write of the client.
std::vector<std::size_t> WriteSizes(const PacketPair& p) {
  std::vector<std::size_t> sizes;
  std::vector<char> buf(1 << 20);
  for (;;) {
    const ssize_t n = recv(p.peer, buf.data(), buf.size(), MSG_DONTWAIT);
    if (n <= 0) break;
    sizes.push_back(static_cast<std::size_t>(n));
  }
  return sizes;
}

struct WriteCase {
  std::uint32_t request_bytes;
  std::vector<std::size_t> writes;
};

class PipeWriterSplit : public ::testing::TestWithParam<WriteCase> {};

// A request record sized so that the whole frame has request_bytes bytes.
TEST_P(PipeWriterSplit, FullBuffersLeaveInOneWriteEach) {
  const WriteCase& c = GetParam();
  PacketPair p;
  int size = 1 << 22;
  setsockopt(p.peer, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  setsockopt(static_cast<int>(p.client), SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
  std::vector<std::uint8_t> record(c.request_bytes - 8, 0x5A);
  ASSERT_TRUE(Encode(p.client, ipc::kCommand<CommandId::ORDER_SEND>,
                     ipc::Bytes{record.data(), static_cast<std::uint32_t>(record.size())}));
  EXPECT_EQ(WriteSizes(p), c.writes);
}

INSTANTIATE_TEST_SUITE_P(Sizes, PipeWriterSplit,
                         ::testing::Values(WriteCase{16384, {16384}}, WriteCase{16385, {16384, 1}},
                                           WriteCase{16384 * 2, {16384, 16384}},
                                           // A large argument goes straight from its own memory.
                                           WriteCase{16384 + 40000, {16384, 40000}}));

#endif  // _WIN32

struct ExchangeCase {
  const char* name;
  Bytes reply;
  std::int32_t result;
  // The result of the next exchange: 1 when the stream stayed in step,
  // kIpcCallFailed when bytes nobody asked for were left waiting, and
  // kNoIpcConnection when the pipe was closed at once.
  std::int32_t next;
};

class ExchangeRule : public ::testing::TestWithParam<ExchangeCase> {};

TEST_P(ExchangeRule, ResultAndStreamStayInStep) {
  const ExchangeCase& c = GetParam();
  Pair p;
  // The scripted reply, then a good reply for a second exchange: the second
  // reads its own reply whatever the first left behind, or finds the pipe
  // closed.
  p.Serve({c.reply, Reply(130, 1, U32(7))});
  std::uint32_t value = 0;
  auto count = [&](Command<Reply::kU32> command) {
    return Exchange(
        p.client, command.id, [&] { return Encode(p.client, command); },
        [&](PipeReader& r, Header* h) { return DecodeU32(r, h, &value); });
  };
  EXPECT_EQ(count(kCommand<CommandId::POSITIONS_TOTAL>), c.result) << c.name;
  if (c.next == kNoIpcConnection) {
    EXPECT_EQ(p.client, os::kInvalidPipe) << c.name;
  }
  EXPECT_EQ(count(kCommand<CommandId::ORDERS_TOTAL>), c.next) << c.name;
  if (c.next == 1) {
    EXPECT_EQ(value, 7u);
  } else {
    EXPECT_EQ(p.client, os::kInvalidPipe) << c.name;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Replies, ExchangeRule,
    ::testing::Values(
        ExchangeCase{"ok", Reply(120, 0, U32(3)), 0, 1},
        ExchangeCase{"positive", Reply(120, 5, U32(3)), 5, 1},
        ExchangeCase{"failure reply", Reply(120, -4), -4, 1},
        // A whole frame's unread rest is skipped by its length field.
        ExchangeCase{"failure with extra", Reply(120, -2, Bytes("xyz", 3)), -2, 1},
        ExchangeCase{"short payload", Reply(120, 1, Bytes("\1\0", 2)), kIpcRecvFailed, 1},
        ExchangeCase{"extra bytes", Reply(120, 1, U32(3) + U32(9)), kIpcRecvFailed, 1},
        // The frame ends after the status; what follows is a frame nobody
        // asked for, found before the next request is written.
        ExchangeCase{"length shorter than what follows", U32(8) + U32(120) + I32(1) + U32(3),
                     kIpcRecvFailed, kIpcCallFailed},
        // Not even an echo and a status: no frame of this protocol.
        ExchangeCase{"length only", U32(0), kIpcRecvFailed, kNoIpcConnection},
        // A reply to another request: whatever follows is out of step too.
        ExchangeCase{"wrong echo", Reply(121, 1, U32(3)), kIpcCallFailed, kNoIpcConnection},
        ExchangeCase{"wrong echo negative", Reply(121, -3, U32(3)), kIpcCallFailed,
                     kNoIpcConnection},
        ExchangeCase{"wrong echo failure reply", Reply(121, -3), kIpcCallFailed, kNoIpcConnection}),
    [](const auto& info) {
      std::string n = info.param.name;
      for (char& ch : n)
        if (ch == ' ') ch = '_';
      return n;
    });

int g_allocations = 0;
void* CountingAlloc(void*, std::uint64_t size) {
  ++g_allocations;
  return HeapAlloc(size);
}

std::int32_t ReadArray(Pair& p, void** block, std::uint32_t* count) {
  ArrayOut out{block, count, CountingAlloc};
  return Exchange(
      p.client, CommandId::POSITIONS_ALL,
      [&] { return Encode(p.client, ipc::kCommand<CommandId::POSITIONS_ALL>); },
      [&](PipeReader& r, Header* h) { return DecodeArray(r, h, 4, out); });
}

TEST(ArrayReply, CountZeroGivesAnEmptyBlock) {
  Pair p;
  p.Serve({Reply(121, 1, U32(0))});
  void* block = nullptr;
  std::uint32_t count = 99;
  EXPECT_EQ(ReadArray(p, &block, &count), 1);
  EXPECT_NE(block, nullptr);
  EXPECT_EQ(count, 0u);
  HeapFree(block);
}

TEST(ArrayReply, ElementsArriveInOrderAcrossBufferBoundaries) {
  Pair p;
  Bytes elements;
  const std::uint32_t n = 20000;  // 80000 bytes: several buffers' worth
  for (std::uint32_t i = 0; i < n; ++i) elements += U32(i * 3);
  p.Serve({Reply(121, 2, U32(n) + elements)});
  void* block = nullptr;
  std::uint32_t count = 0;
  EXPECT_EQ(ReadArray(p, &block, &count), 2);
  ASSERT_EQ(count, n);
  EXPECT_EQ(std::memcmp(block, elements.data(), elements.size()), 0);
  HeapFree(block);
}

TEST(ArrayReply, ImpossibleCountFailsWithoutAllocating) {
  Pair p;
  p.Serve({Reply(121, 1, U32(0xFFFFFFFFu) + U32(1))});
  void* block = nullptr;
  std::uint32_t count = 0;
  g_allocations = 0;
  EXPECT_EQ(ReadArray(p, &block, &count), kIpcRecvFailed);
  EXPECT_EQ(g_allocations, 0);
  EXPECT_EQ(block, nullptr);
  // The frame itself was whole: the stream stays in step.
  EXPECT_NE(p.client, os::kInvalidPipe);
}

// A terminal that takes a request and then says nothing: the read gives up
// once nothing has arrived for the stall limit, and the pipe is closed.
TEST(Exchange, SilenceForTheStallLimitEndsTheCall) {
  Pair p;
  std::uint32_t v = 0;
  const auto start = std::chrono::steady_clock::now();
  const std::int32_t result = Exchange(
      p.client, CommandId::ORDERS_TOTAL,
      [&] { return Encode(p.client, ipc::kCommand<CommandId::ORDERS_TOTAL>); },
      [&](PipeReader& r, Header* h) { return DecodeU32(r, h, &v); }, 200);
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(result, kIpcTimeout);
  EXPECT_EQ(p.client, os::kInvalidPipe);
  EXPECT_GE(waited, std::chrono::milliseconds(190));
  EXPECT_LT(waited, std::chrono::milliseconds(5000));
}

TEST(Exchange, BytesWaitingBeforeTheRequestFailItUnwritten) {
  Pair p;
  // One frame too many from the last exchange, or one nobody asked for.
  p.Send(Reply(120, 1, U32(3)));
  std::uint32_t v = 0;
  auto call = [&] {
    return Exchange(
        p.client, CommandId::ORDERS_TOTAL,
        [&] { return Encode(p.client, ipc::kCommand<CommandId::ORDERS_TOTAL>); },
        [&](PipeReader& r, Header* h) { return DecodeU32(r, h, &v); });
  };
  EXPECT_EQ(call(), kIpcCallFailed);
  EXPECT_EQ(p.client, os::kInvalidPipe);
  EXPECT_EQ(call(), kNoIpcConnection);
}

std::atomic<bool> g_stop{false};
std::atomic<int> g_checks{0};
bool StopRequested() {
  ++g_checks;
  return g_stop.load();
}

// A terminal that never answers: the wait ends when the interrupt check
// says so, the exchange is abandoned and the pipe closed.
TEST(Exchange, InterruptEndsTheWaitAndClosesThePipe) {
  os::WaitHooks hooks;
  hooks.interrupted = StopRequested;
  os::SetWaitHooks(hooks);
  g_stop = false;
  g_checks = 0;
  Pair p;
  std::thread stopper([] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    g_stop = true;
  });
  std::uint32_t v = 0;
  const auto start = std::chrono::steady_clock::now();
  const std::int32_t result = Exchange(
      p.client, CommandId::ORDERS_TOTAL,
      [&] { return Encode(p.client, ipc::kCommand<CommandId::ORDERS_TOTAL>); },
      [&](PipeReader& r, Header* h) { return DecodeU32(r, h, &v); });
  const auto waited = std::chrono::steady_clock::now() - start;
  stopper.join();
  EXPECT_EQ(result, kIpcRecvFailed);
  EXPECT_EQ(p.client, os::kInvalidPipe);
  EXPECT_GE(g_checks.load(), 3);  // asked every os::kWakeMs while waiting
  EXPECT_LT(waited, std::chrono::milliseconds(200 + 4 * os::kWakeMs));
  // The interrupt stays set: a sleep after it ends at once.
  EXPECT_FALSE(os::SleepMs(10000));
  os::ClearInterrupt();
  g_stop = false;
  EXPECT_TRUE(os::SleepMs(1));
  os::SetWaitHooks({});
}

TEST(BrokenPipe, HangUpBeforeReplyClosesTheHandle) {
  Pair p;
  p.HangUp();
  std::uint32_t v = 0;
  auto call = [&] {
    return Exchange(
        p.client, CommandId::ORDERS_TOTAL,
        [&] { return Encode(p.client, ipc::kCommand<CommandId::ORDERS_TOTAL>); },
        [&](PipeReader& r, Header* h) { return DecodeU32(r, h, &v); });
  };
  const std::int32_t first = call();
  EXPECT_TRUE(first == kIpcSendFailed || first == kIpcRecvFailed) << first;
  EXPECT_EQ(p.client, os::kInvalidPipe);
  EXPECT_EQ(call(), kNoIpcConnection);
}

TEST(BrokenPipe, HangUpMidReplyClosesTheHandle) {
  Pair p;
  std::uint32_t v = 0;
  std::int32_t result = 0;
  std::thread reader([&] {
    result = Exchange(
        p.client, CommandId::ORDERS_TOTAL,
        [&] { return Encode(p.client, ipc::kCommand<CommandId::ORDERS_TOTAL>); },
        [&](PipeReader& r, Header* h) { return DecodeU32(r, h, &v); });
  });
  // Once the request is in, the client is reading the reply.
  EXPECT_EQ(p.ReadFrame(), U32(4) + U32(130));
  p.Send(Reply(130, 1, U32(7)).substr(0, 10));
  p.HangUp();
  reader.join();
  EXPECT_EQ(result, kIpcRecvFailed);
  EXPECT_EQ(p.client, os::kInvalidPipe);
}

TEST(BrokenPipe, WriteToAClosedPeerFailsWithoutSignal) {
  Pair p;
  p.HangUp();
  std::vector<std::uint8_t> record(100000, 1);
  EXPECT_FALSE(Encode(p.client, ipc::kCommand<CommandId::ORDER_SEND>,
                      ipc::Bytes{record.data(), static_cast<std::uint32_t>(record.size())}));
  EXPECT_EQ(p.client, os::kInvalidPipe);
}

}  // namespace
}  // namespace zk5::ipc
