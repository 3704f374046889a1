// The built terminal64.exe driven through the client library, as the module
// drives it: started by the client, several connections, malformed input,
// a hard kill between two deals, a stop signal and the idle exit.
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "accounts/record_io.h"
#include "connection/calls.h"
#include "connection/client.h"
#include "ipc/records.h"
#include "ipc/wire.h"
#include "os/posix/socket_dir.h"
#include "test_files.h"

extern char** environ;

namespace zk5::term {
namespace {

using ipc::CommandId;
using test::TempDir;
using test::U16;
using test::U8;

class TerminalProcess : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.ok());
    ASSERT_TRUE(test::MakeDir(dir_ / "inst") && test::MakeDir(dir_ / "inst/config"));
    ASSERT_EQ(mkdir((dir_ / "run").c_str(), 0700), 0);
    data_env_.reset(new test::ScopedEnv("XDG_DATA_HOME", (dir_ / "data").c_str()));
    run_env_.reset(new test::ScopedEnv("XDG_RUNTIME_DIR", (dir_ / "run").c_str()));
    exe_ = dir_ / "inst/terminal64.exe";
    std::string bytes;
    ASSERT_TRUE(ReadAll(ZK5_TERMINAL_EXE, &bytes));
    ASSERT_TRUE(test::WriteFile(exe_, bytes, 0755));
    std::uint8_t digest[32];
    ASSERT_TRUE(PathHash(U16(exe_), digest));
    ASSERT_EQ(os::PipeSocketPath(PipeNameFromHash(digest), &socket_), 0);
    Configure("IdleExit=0\n");
    g_client.Reset();
  }

  void TearDown() override {
    g_client.Reset();
    Stop();
  }

  static bool ReadAll(const std::string& path, std::string* out) {
    FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) return false;
    char buf[65536];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out->append(buf, n);
    std::fclose(f);
    return true;
  }

  // Portable installation: settings beside the executable.
  void Configure(const std::string& terminal_section) {
    ASSERT_TRUE(
        test::WriteFile(dir_ / "inst/config/terminal.ini", "[Terminal]\n" + terminal_section));
  }

  pid_t Spawn() {
    char* argv[] = {&exe_[0], const_cast<char*>("/portable"), nullptr};
    pid_t pid = -1;
    EXPECT_EQ(posix_spawn(&pid, exe_.c_str(), nullptr, nullptr, argv, environ), 0);
    return pid;
  }

  // Starts the terminal and connects the client to it.
  void Start() {
    pid_ = Spawn();
    for (int i = 0; i < 200 && !Connect(); ++i) usleep(20000);
    ASSERT_TRUE(g_client.connected());
    ASSERT_GE(g_client.Hello(), 0);
  }

  bool Connect() {
    std::uint8_t digest[32];
    return PathHash(U16(exe_), digest) && g_client.OpenPipe(PipeNameFromHash(digest));
  }

  int Wait(pid_t pid) {
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

  void Stop() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      Wait(pid_);
      pid_ = -1;
    }
  }

  std::uint32_t State() {
    std::uint32_t state = 0;
    EXPECT_GE(calls::Count(ipc::kCommand<CommandId::TERMINAL_STATE>, &state), 0);
    return state;
  }

  std::vector<std::uint8_t> Request(const char16_t* symbol, std::uint32_t type, double volume,
                                    std::uint64_t position = 0) {
    std::vector<std::uint8_t> rec(records::kTradeRequest.size);
    RecordWriter(records::kTradeRequest, rec.data())
        .UInt("action", 1)
        .Text("symbol", symbol)
        .UInt("type", type)
        .Real("volume", volume)
        .UInt("position", position)
        .UInt("type_filling", 1);
    return rec;
  }

  // ORDER_SEND; returns the result record.
  std::vector<std::uint8_t> Send(const std::vector<std::uint8_t>& req, std::int32_t* status) {
    std::vector<std::uint8_t> out(records::kOrderSendResult.size);
    *status = calls::TradeRequest(ipc::kCommand<CommandId::ORDER_SEND>, req.data(),
                                  static_cast<std::uint32_t>(req.size()), out.data(),
                                  static_cast<std::uint32_t>(out.size()));
    return out;
  }

  TempDir dir_;
  std::unique_ptr<test::ScopedEnv> data_env_, run_env_;
  std::string exe_;
  std::string socket_;
  pid_t pid_ = -1;
};

TEST_F(TerminalProcess, TheClientStartsItAndASecondInstanceLeavesAtOnce) {
  Configure("IdleExit=1\n");
  ASSERT_TRUE(g_client.ConnectToTerminal(U16(exe_), true));
  ASSERT_GE(g_client.Hello(), 0);
  EXPECT_EQ(g_client.terminal_build(), 4410);
  EXPECT_EQ(State(), 2u);
  std::uint32_t a = 0, b = 0, units = 0;
  char16_t* text = nullptr;
  ASSERT_GT(calls::Version(&a, &b, &text, &units), 0);
  EXPECT_EQ(a, 500u);
  EXPECT_EQ(b, 4410u);
  ipc::HeapFree(text);
  // The client started a detached terminal; a second one must give way.
  const pid_t second = Spawn();
  EXPECT_EQ(Wait(second), 1);
  EXPECT_GE(g_client.Hello(), 0);  // the first still serves
  // The registration points the client's search at this installation.
  std::string origin;
  std::uint8_t digest[32];
  ASSERT_TRUE(PathHash(U16(dir_ / "inst"), digest));
  std::string id;
  for (int i = 0; i < 16; ++i) {
    static const char kHex[] = "0123456789ABCDEF";
    id += kHex[digest[i] >> 4];
    id += kHex[digest[i] & 15];
  }
  ASSERT_TRUE(ReadAll(dir_ / ("data/Brundel/Terminal/" + id + "/origin.txt"), &origin));
  std::string expected("\xFF\xFE", 2);
  for (char c : dir_ / "inst") expected += std::string{c, '\0'};
  EXPECT_EQ(origin, expected);
  EXPECT_EQ(access((dir_ / ("data/Brundel/Terminal/" + id + "/portable.txt")).c_str(), F_OK), 0);
  // The client launched it detached, so it is not ours to signal: with
  // its last client gone it leaves by itself after the idle time.
  g_client.Reset();
  for (int i = 0; i < 250 && access(socket_.c_str(), F_OK) == 0; ++i) usleep(20000);
  EXPECT_NE(access(socket_.c_str(), F_OK), 0);
}

TEST_F(TerminalProcess, LoginOutcomes) {
  Start();
  const char16_t* wrong = u"wrong";
  EXPECT_GE(calls::Login(10000003, ipc::TextOf(u""), ipc::TextOf(u"")), 0);  // saved: no password
  EXPECT_EQ(State(), 2u);
  EXPECT_GE(calls::Login(10000001, ipc::TextOf(wrong), ipc::TextOf(u"")), 0);
  EXPECT_EQ(State(), 3u);
  // The refused login leaves the account in use logged in.
  std::uint8_t acc[851];
  ASSERT_GE(calls::Record(ipc::kCommand<CommandId::ACCOUNT_INFO>, acc, sizeof acc), 0);
  EXPECT_EQ(wire::LoadU64(acc), 10000003u);
  EXPECT_GE(calls::Login(424242, ipc::TextOf(u""), ipc::TextOf(u"")), 0);  // not saved
  EXPECT_EQ(State(), 3u);
  EXPECT_EQ(calls::Login(10000002, ipc::TextOf(u"demo"), ipc::TextOf(u"")), -7);
  EXPECT_GE(calls::Login(10000001, ipc::TextOf(u"demo"), ipc::TextOf(u"Brundel-Demo")), 0);
  EXPECT_EQ(State(), 2u);
  ASSERT_GE(calls::Record(ipc::kCommand<CommandId::ACCOUNT_INFO>, acc, sizeof acc), 0);
  EXPECT_EQ(wire::LoadU64(acc), 10000001u);
  EXPECT_GE(calls::Login(10000001, ipc::TextOf(u"demo"), ipc::TextOf(u"Other-Server")), 0);
  EXPECT_EQ(State(), 3u);
}

TEST_F(TerminalProcess, ADealSurvivesAHardKill) {
  Start();
  std::int32_t status;
  const auto result = Send(Request(u"BTCUSD", 0, 0.05), &status);
  ASSERT_GE(status, 0);
  ASSERT_EQ(wire::LoadU32(result.data()), 10009u);
  const std::uint64_t deal = wire::LoadU64(result.data() + 4);
  const std::uint64_t order = wire::LoadU64(result.data() + 12);
  kill(pid_, SIGKILL);
  Wait(pid_);
  g_client.Reset();
  Start();
  std::uint8_t rec[300];
  ASSERT_GT(calls::RecordByNumber(ipc::kCommand<CommandId::HISTORY_DEAL_BY_TICKET>, deal, rec,
                                  sizeof rec),
            0);
  EXPECT_EQ(wire::LoadU64(rec + 8), order);
  std::uint32_t n = 0;
  ASSERT_GE(calls::Count(ipc::kCommand<CommandId::POSITIONS_TOTAL>, &n), 0);
  EXPECT_EQ(n, 1u);
  // Closing it by an opposite deal on the position.
  Send(Request(u"BTCUSD", 1, 0.05, order), &status);
  ASSERT_GE(calls::Count(ipc::kCommand<CommandId::POSITIONS_TOTAL>, &n), 0);
  EXPECT_EQ(n, 0u);
  void* block = nullptr;
  std::uint32_t count = 0;
  ASSERT_GE(calls::ListByNumber(ipc::kCommand<CommandId::HISTORY_DEALS_BY_POSITION>, order, 300,
                                {&block, &count}),
            0);
  EXPECT_EQ(count, 2u);
  ipc::HeapFree(block);
}

// Raw frames: what no well-behaved client sends.
int RawConnect(const std::string& path) {
  const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

std::vector<std::uint8_t> RawCall(int fd, const std::vector<std::uint8_t>& frame) {
  if (send(fd, frame.data(), frame.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(frame.size()))
    return {};
  std::uint32_t len = 0;
  if (recv(fd, &len, 4, MSG_WAITALL) != 4) return {};
  std::vector<std::uint8_t> body(len);
  if (len != 0 && recv(fd, body.data(), len, MSG_WAITALL) != static_cast<ssize_t>(len)) return {};
  return body;
}

std::vector<std::uint8_t> Frame(std::uint32_t command, const std::vector<std::uint8_t>& args) {
  std::vector<std::uint8_t> f(8);
  const std::uint32_t len = 4 + static_cast<std::uint32_t>(args.size());
  std::memcpy(f.data(), &len, 4);
  std::memcpy(f.data() + 4, &command, 4);
  f.insert(f.end(), args.begin(), args.end());
  return f;
}

TEST_F(TerminalProcess, MalformedRequestsGetAFailureStatusAndCostNothing) {
  Start();
  const int fd = RawConnect(socket_);
  ASSERT_GE(fd, 0);
  struct Case {
    std::uint32_t command;
    std::vector<std::uint8_t> args;
    std::int32_t status;
  };
  const Case cases[] = {
      {172, {}, -2},                       // no symbol at all
      {172, {5, 0, 0, 0, 'E', 0}, -2},     // count beyond the frame
      {172, {1, 0, 0, 0, 'E', 0, 9}, -2},  // a byte too many
      {172, {1, 0, 0, 0, 'E', 0}, -4},     // unknown symbol
      {4242, {}, -1},                      // unknown command
      {106, {0, 0, 0, 0, 7, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0}, -2},  // bad timeframe
      {160, std::vector<std::uint8_t>(231), -2},  // short trade request
  };
  for (const Case& c : cases) {
    const auto reply = RawCall(fd, Frame(c.command, c.args));
    ASSERT_EQ(reply.size(), 8u) << c.command;
    EXPECT_EQ(wire::LoadU32(reply.data()), c.command);
    EXPECT_EQ(wire::LoadI32(reply.data() + 4), c.status) << c.command;
  }
  // A frame too short to name a command ends that connection only.
  const std::vector<std::uint8_t> stub = {2, 0, 0, 0, 1, 2};
  EXPECT_TRUE(RawCall(fd, stub).empty());
  close(fd);
  // A client that hangs up in the middle of a request.
  const int half = RawConnect(socket_);
  const std::vector<std::uint8_t> part = {100, 0, 0, 0, 172, 0, 0, 0, 1};
  send(half, part.data(), part.size(), MSG_NOSIGNAL);
  close(half);
  // A client that asks for a long reply and leaves before reading it.
  const int greedy = RawConnect(socket_);
  std::vector<std::uint8_t> args = {6, 0, 0, 0};
  for (char16_t c : std::u16string(u"BTCUSD")) {
    args.push_back(static_cast<std::uint8_t>(c));
    args.push_back(0);
  }
  const std::int64_t from = 1600000000000;
  const std::int32_t count = 3000000, flags = -1;
  args.insert(args.end(), reinterpret_cast<const std::uint8_t*>(&from),
              reinterpret_cast<const std::uint8_t*>(&from) + 8);
  args.insert(args.end(), reinterpret_cast<const std::uint8_t*>(&count),
              reinterpret_cast<const std::uint8_t*>(&count) + 4);
  args.insert(args.end(), reinterpret_cast<const std::uint8_t*>(&flags),
              reinterpret_cast<const std::uint8_t*>(&flags) + 4);
  const auto frame = Frame(104, args);
  send(greedy, frame.data(), frame.size(), MSG_NOSIGNAL);
  close(greedy);
  // The terminal still serves the client library as before.
  EXPECT_EQ(State(), 2u);
  std::uint8_t tick[60];
  EXPECT_GT(calls::RecordByText(ipc::kCommand<CommandId::SYMBOL_INFO_TICK>, ipc::TextOf(u"EURUSD"),
                                tick, 60),
            0);
}

TEST_F(TerminalProcess, SeveralConnectionsTradeOneAccountConsistently) {
  Start();
  constexpr int kThreads = 4, kDeals = 10;
  std::vector<std::vector<std::uint64_t>> tickets(kThreads);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] {
      std::uint8_t digest[32];
      PathHash(U16(exe_), digest);
      os::PipeHandle h = os::kInvalidPipe;
      if (os::OpenPipe(PipeNameFromHash(digest), &h) != 0) return;
      const auto req = Request(u"ETHUSD", static_cast<std::uint32_t>(i % 2), 0.1);
      for (int k = 0; k < kDeals; ++k) {
        std::uint8_t out[260];
        const std::int32_t r = ipc::Exchange(
            h, CommandId::ORDER_SEND,
            [&] {
              return ipc::Encode(h, ipc::kCommand<CommandId::ORDER_SEND>,
                                 ipc::Bytes{req.data(), 232});
            },
            [&](ipc::PipeReader& rd, ipc::Header* hd) {
              return ipc::DecodeRecord(rd, hd, out, 260);
            });
        if (r >= 0 && wire::LoadU32(out) == 10009)
          tickets[static_cast<std::size_t>(i)].push_back(wire::LoadU64(out + 4));
      }
      os::ClosePipe(h);
    });
  }
  for (auto& t : threads) t.join();
  std::vector<std::uint64_t> all;
  for (const auto& v : tickets) {
    EXPECT_EQ(v.size(), static_cast<std::size_t>(kDeals));
    all.insert(all.end(), v.begin(), v.end());
  }
  std::sort(all.begin(), all.end());
  EXPECT_EQ(std::unique(all.begin(), all.end()), all.end());
  std::uint32_t n = 0;
  ASSERT_GE(calls::Count(ipc::kCommand<CommandId::POSITIONS_TOTAL>, &n), 0);
  EXPECT_EQ(n, static_cast<std::uint32_t>(kThreads * kDeals));
}

TEST_F(TerminalProcess, StopsOnSignalAndWhenIdle) {
  Start();
  kill(pid_, SIGTERM);
  EXPECT_EQ(Wait(pid_), 0);
  pid_ = -1;
  EXPECT_NE(access(socket_.c_str(), F_OK), 0);  // the socket is gone
  g_client.Reset();
  Configure("IdleExit=1\n");
  const pid_t idle = Spawn();
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(Wait(idle), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
}

TEST_F(TerminalProcess, OldBuildsSendTheShortSymbolRecordAndLackTheListCommands) {
  Configure("Build=2363\nTradeApi=0\n");
  Start();
  EXPECT_EQ(g_client.terminal_build(), 2363);
  std::uint8_t rec[2993];
  ASSERT_GT(calls::SymbolInfo(ipc::TextOf(u"EURUSD"), rec), 0);
  std::uint32_t n = 0;
  EXPECT_EQ(calls::Count(ipc::kCommand<CommandId::SYMBOLS_TOTAL>, &n), -5);  // gated by the client
  std::int32_t status;
  Send(Request(u"EURUSD", 0, 0.1), &status);
  EXPECT_EQ(status, -8);
  std::uint8_t info[3162];
  ASSERT_GT(calls::Record(ipc::kCommand<CommandId::TERMINAL_INFO>, info, sizeof info), 0);
  EXPECT_EQ(info[3161], 1);  // tradeapi_disabled
}

}  // namespace
}  // namespace zk5::term
