// The client against real pipes, real files and a real terminal process.
// The same source runs on every platform, so that each is held to one
// behaviour: names, waits, partial transfers and broken pipes alike.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "connection/calls.h"
#include "connection/client.h"
#include "connection/search.h"
#include "connection/session.h"
#include "os/crypto.h"
#include "os/os.h"
#include "os/pipe_server.h"
#include "test_client.h"
#include "test_files.h"
#include "test_terminal.h"

namespace zk5 {
namespace {

using ipc::CommandId;
using test::AskVersion;
using test::NameOf;
using test::QuitTerminal;
using test::TempFolder;
using test::TextOf;
using test::U16;
using test::UniquePipeName;
using test::Version;
namespace fs = std::filesystem;
namespace tt = test_terminal;

// ---- Pipe names -----------------------------------------------------------

TEST(PlatformPipeName, MatchesADigestComputedApart) {
  // Paths that exist nowhere are taken as given. The expected names are the
  // SHA-256 of the lower-cased text's UTF-16LE units, computed by another
  // implementation when this test was written.
  const struct {
    const char16_t* path;
    const char16_t* name;
  } cases[] = {
      {u"C:\\zk5-no-such-folder\\Zelkor 5\\Terminal64.EXE",
       u"\\\\.\\pipe\\ZK5.Terminal."
       u"431541B476D97E677DF22D229C0B117A1E1AE38C40BAC1A61A4D83C79FDC5DF1"},
      {u"C:\\zk5-no-such-folder\\\u00C4\u00D6\u00DC \u03A9mega \u0416\u0443\u043A\\TERMINAL64.exe",
       u"\\\\.\\pipe\\ZK5.Terminal."
       u"0960324A244CD1BCA864AD8D4B58ADBA03DC01950CB29DF59706651B5C70A0BE"},
      {u"/zk5-no-such-folder/Zelkor 5/Terminal64.EXE",
       u"\\\\.\\pipe\\ZK5.Terminal."
       u"DB7FB005D3F37545C1B12D639139E5696B202DDCDBBB5FBC367684AFE509D9EF"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(NameOf(c.path), c.name);
  }
}

TEST(PlatformSha256, KnownVectors) {
  const struct {
    std::string message;
    const char* digest;
  } cases[] = {
      {"", "E3B0C44298FC1C149AFBF4C8996FB92427AE41E4649B934CA495991B7852B855"},
      {"abc", "BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248D6A61D20638B8E5C026930C3E6039A33CE45964FF2167F6ECEDD419DB06C1"},
      {std::string(1000, 'a'), "41EDECE42D63E8D9BF515A9BA6932E1C20CBC9F5A5D134645ADB5DB1B9737EA3"},
  };
  for (const auto& c : cases) {
    std::uint8_t digest[32];
    ASSERT_TRUE(os::Sha256(c.message.data(), c.message.size(), digest));
    // The pipe name spells the digest out in the same hexadecimal.
    const std::u16string hex = PipeNameFromHash(digest).substr(22);
    EXPECT_EQ(std::string(hex.begin(), hex.end()), c.digest) << c.message.size();
  }
}

std::string Hex(const std::uint8_t* p, std::size_t n) {
  static const char kHex[] = "0123456789abcdef";
  std::string s;
  for (std::size_t i = 0; i < n; ++i) {
    s.push_back(kHex[p[i] >> 4]);
    s.push_back(kHex[p[i] & 15]);
  }
  return s;
}

TEST(PlatformCrypto, KeyedDigestsDerivedKeysAndRandomBytes) {
  // HMAC-SHA-256 and PBKDF2-HMAC-SHA-256 test vectors from their standards.
  std::uint8_t mac[32];
  const std::string data = "what do ya want for nothing?";
  ASSERT_TRUE(os::HmacSha256("Jefe", 4, data.data(), data.size(), mac));
  EXPECT_EQ(Hex(mac, 32), "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843");
  std::uint8_t key[64];
  ASSERT_TRUE(os::Pbkdf2Sha256("passwd", 6, "salt", 4, 1, key, sizeof key));
  EXPECT_EQ(Hex(key, sizeof key),
            "55ac046e56e3089fec1691c22544b605f94185216dde0465e68b9d57c20dacbc"
            "49ca9cccf179b645991664b39d77ef317c71b845b1e30bd509112041d3a19783");
  ASSERT_TRUE(os::Pbkdf2Sha256("Password", 8, "NaCl", 4, 80000, key, sizeof key));
  EXPECT_EQ(Hex(key, sizeof key),
            "4ddcd8f60b98be21830cee5ef22701f9641a4418d04c0414aeff08876b34ab56"
            "a1d425a1225833549adb841b51c9b3176a272bdebba1d078478f62b397f33c8d");
  EXPECT_FALSE(os::Pbkdf2Sha256("p", 1, "s", 1, 0, key, sizeof key));
  std::uint8_t a[32] = {}, b[32] = {};
  ASSERT_TRUE(os::RandomBytes(a, sizeof a));
  ASSERT_TRUE(os::RandomBytes(b, sizeof b));
  EXPECT_NE(Hex(a, 32), Hex(b, 32));
}

TEST(PlatformPipeName, EquivalentPathsOfAFileShareOneName) {
  TempFolder dir;
  ASSERT_TRUE(dir.ok());
  ASSERT_TRUE(test::WriteBytes(dir / "terminal64.exe", "x"));
  ASSERT_TRUE(fs::create_directory(dir / "sub"));
  const std::u16string direct = U16(dir / "terminal64.exe");
  const std::u16string roundabout = U16(dir / "sub" / ".." / "terminal64.exe");
  EXPECT_EQ(NameOf(roundabout), NameOf(direct));
  // The final path is what was hashed.
  std::u16string canonical = CanonicalPath(direct);
  EXPECT_FALSE(canonical.empty());
  EXPECT_EQ(CanonicalPath(roundabout), canonical);
  EXPECT_NE(NameOf(U16(dir / "other.exe")), NameOf(direct));
}

TEST(PlatformPipeName, PathLengthLimit) {
  const std::u16string too_long = u"C:\\zk5-no-such-folder\\" + std::u16string(239, u'a');
  ASSERT_EQ(too_long.size(), 261u);
  EXPECT_EQ(g_client.ConnectToTerminal(too_long, false).error, u"Path too long");
  g_client.Reset();
}

// ---- Pipes served from this process ---------------------------------------

// A pipe served by the test terminal's request handling on a thread of its
// own. `run` gets the server and does the serving.
class ServerThread {
 public:
  template <typename Run>
  ServerThread(const std::u16string& name, unsigned instances, Run run) {
    listening_ = server_.Listen(name, instances) == os::ListenStatus::kOk;
    if (listening_) thread_ = std::thread([this, run] { run(server_); });
  }
  // The server serves until its client leaves: the client goes first.
  ~ServerThread() {
    g_client.Reset();
    Join();
  }
  bool listening() const { return listening_; }
  void Join() {
    if (thread_.joinable()) thread_.join();
  }

 private:
  os::PipeServer server_;
  bool listening_ = false;
  std::thread thread_;
};

// Serves `clients` connections one after another, releasing each.
void ServeClients(os::PipeServer& server, int clients) {
  for (std::uint32_t served = 1; served <= static_cast<std::uint32_t>(clients); ++served) {
    os::PipeHandle c = os::kInvalidPipe;
    if (server.Accept(-1, &c) != os::AcceptStatus::kClient) return;
    tt::ServeConnection(c, tt::Options{}, served);
    server.Release(c);
  }
}

class PlatformPipe : public ::testing::Test {
 protected:
  void TearDown() override { g_client.Reset(); }
  const std::u16string name_ = UniquePipeName();
};

TEST_F(PlatformPipe, MissingServerFailsAtOnceWithTheSystemError) {
  // ENOENT and ERROR_FILE_NOT_FOUND are both 2.
  EXPECT_EQ(g_client.OpenPipe(name_).error, u"CreateFile failed [2]");
  EXPECT_FALSE(g_client.connected());
}

TEST_F(PlatformPipe, ReplyWrittenInPiecesIsReadWhole) {
  ServerThread server(name_, 1, [](os::PipeServer& s) { ServeClients(s, 1); });
  ASSERT_TRUE(server.listening());
  ASSERT_TRUE(g_client.OpenPipe(name_));
  EXPECT_EQ(g_client.Hello(), 0);
  EXPECT_EQ(g_client.terminal_build(), tt::kBuild);
  for (std::uint32_t records : {1u, 25u, 3000u}) {
    void* block = nullptr;
    std::uint32_t count = 0;
    ASSERT_EQ(calls::ListByNumber(ipc::kCommand<CommandId::HISTORY_DEALS_BY_POSITION>, records,
                                  tt::kRecordSize, ipc::ArrayOut{&block, &count}),
              0);
    ASSERT_EQ(count, records);
    const auto* bytes = static_cast<const std::uint8_t*>(block);
    std::uint64_t wrong = 0;
    for (std::uint64_t i = 0; i < std::uint64_t{records} * tt::kRecordSize; ++i) {
      wrong += bytes[i] != tt::BulkByte(i);
    }
    EXPECT_EQ(wrong, 0u) << records;
    ipc::HeapFree(block);
  }
  // Still in step with the server afterwards.
  std::uint32_t state = 0;
  EXPECT_EQ(calls::Count(ipc::kCommand<CommandId::TERMINAL_STATE>, &state), 0);
  EXPECT_EQ(state, 2u);
}

TEST_F(PlatformPipe, BusyPipeWaitsForItsTurn) {
  ServerThread server(name_, 1, [](os::PipeServer& s) { ServeClients(s, 2); });
  ASSERT_TRUE(server.listening());
  ASSERT_TRUE(g_client.OpenPipe(name_));
  ASSERT_EQ(g_client.Hello(), 0);

  std::atomic<bool> done{false};
  std::int32_t second_hello = -1;
  std::int32_t second_build = 0;
  std::thread second([&] {
    CInterClient other;
    if (other.OpenPipe(name_)) second_hello = other.Hello();
    second_build = other.terminal_build();
    done = true;
    other.Reset();
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_FALSE(done) << "the second client was served while the first held the pipe";
  g_client.Reset();  // the first client leaves: the second gets its turn
  second.join();
  EXPECT_EQ(second_hello, 0);
  EXPECT_EQ(second_build, tt::kBuild);
}

TEST_F(PlatformPipe, WriteToAClosedServerFailsAndLaterCallsReportNoConnection) {
  std::promise<void> reply_read;
  std::future<void> reply_read_future = reply_read.get_future();
  ServerThread server(name_, 1, [&reply_read_future](os::PipeServer& s) {
    os::PipeHandle c = os::kInvalidPipe;
    if (s.Accept(-1, &c) != os::AcceptStatus::kClient) return;
    tt::ServeConnection(c, tt::Options{}, 1);  // until BOOK_RELEASE
    reply_read_future.wait();
    s.Close();
  });
  ASSERT_TRUE(server.listening());
  ASSERT_TRUE(g_client.OpenPipe(name_));
  EXPECT_EQ(calls::StatusByText(ipc::kCommand<CommandId::BOOK_RELEASE>, TextOf(u"")), 0);
  reply_read.set_value();
  server.Join();  // the server's end is closed now

  std::uint32_t state = 0;
  EXPECT_EQ(calls::Count(ipc::kCommand<CommandId::TERMINAL_STATE>, &state), kIpcSendFailed);
  EXPECT_FALSE(g_client.connected());
  EXPECT_EQ(calls::Count(ipc::kCommand<CommandId::TERMINAL_STATE>, &state), kNoIpcConnection);
}

TEST_F(PlatformPipe, SessionWaitsUntilReadyAndNeedsAConnection) {
  ServerThread server(name_, 1, [](os::PipeServer& s) {
    os::PipeHandle c = os::kInvalidPipe;
    if (s.Accept(-1, &c) != os::AcceptStatus::kClient) return;
    tt::ServeConnection(c, tt::Options{}, 1);  // until the client hangs up
    s.Release(c);
  });
  ASSERT_TRUE(server.listening());
  ASSERT_TRUE(g_client.OpenPipe(name_));
  EXPECT_EQ(session::WaitReady(0), 1);
  g_client.Reset();
  server.Join();
  session::Credentials c;
  c.login = 5;
  EXPECT_EQ(session::SendLogin(c), kNoIpcConnection);
  EXPECT_EQ(session::WaitReady(500), kNoIpcConnection);
}

TEST_F(PlatformPipe, ServerHangingUpMidReplyFailsTheCallAndLaterCallsReportNoConnection) {
  ServerThread server(name_, 1, [](os::PipeServer& s) {
    os::PipeHandle c = os::kInvalidPipe;
    if (s.Accept(-1, &c) != os::AcceptStatus::kClient) return;
    tt::ServeConnection(c, tt::Options{}, 1);  // until the cut-off reply
    s.Release(c);
  });
  ASSERT_TRUE(server.listening());
  ASSERT_TRUE(g_client.OpenPipe(name_));
  void* block = nullptr;
  std::uint32_t count = 0;
  EXPECT_EQ(calls::ListByNumber(ipc::kCommand<CommandId::HISTORY_ORDERS_BY_POSITION>, 500,
                                tt::kRecordSize, ipc::ArrayOut{&block, &count}),
            kIpcRecvFailed);
  EXPECT_EQ(block, nullptr);
  EXPECT_FALSE(g_client.connected());
  std::uint32_t state = 0;
  EXPECT_EQ(calls::Count(ipc::kCommand<CommandId::TERMINAL_STATE>, &state), kNoIpcConnection);
}

TEST(PlatformGreeting, AConnectionDroppedBeforeTheGreetingIsMadeAgain) {
  // A terminal's path nowhere on disk: its pipe name is taken as given.
  const std::u16string path = U16(fs::temp_directory_path() / "zk5-no-such" /
                                  UniquePipeName().substr(22) / "terminal64.exe");
  const std::u16string name = NameOf(path);
  for (const int dropped : {2, 5}) {
    // The first `dropped` connections end unanswered, as at an idle exit;
    // the next is served. No wait is endless, so that a client that stops
    // looking fails the test rather than hanging it.
    ServerThread server(name, 1, [dropped](os::PipeServer& s) {
      for (int i = 0; i <= dropped; ++i) {
        os::PipeHandle c = os::kInvalidPipe;
        if (s.Accept(5000, &c) != os::AcceptStatus::kClient) return;
        if (i == dropped) tt::ServeConnection(c, tt::Options{}, 1);
        s.Release(c);
      }
    });
    ASSERT_TRUE(server.listening());
    const ConnectOutcome outcome = g_client.Initialize(path, false);
    if (dropped < 5) {
      EXPECT_EQ(outcome.code, 0) << dropped;
      EXPECT_EQ(g_client.terminal_build(), tt::kBuild);
    } else {
      // Five in a row: the terminal is not merely ending; the failure is told.
      EXPECT_TRUE(outcome.code == kIpcRecvFailed || outcome.code == kIpcSendFailed) << outcome.code;
      EXPECT_FALSE(g_client.connected());
      // The server's last wait ends with a client that leaves at once.
      os::PipeHandle h = os::kInvalidPipe;
      if (os::OpenPipe(name, &h) == 0) os::ClosePipe(h);
    }
  }
}

// ---- A terminal in a process of its own ------------------------------------

class PlatformTerminal : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.ok());
    ASSERT_TRUE(test::CopyTerminal(dir_ / "terminal64.exe"));
    g_client.Reset();
    g_client.set_launch_poll(400, 25);
  }
  void TearDown() override {
    QuitTerminal(exe_);
    g_client.set_launch_poll(120, 500);
  }

  TempFolder dir_;
  const std::u16string exe_ = U16(dir_ / "terminal64.exe");
};

TEST_F(PlatformTerminal, StartsTheTerminalAndPollsUntilItServes) {
  EXPECT_EQ(g_client.Initialize(exe_, false).code, 0);
  EXPECT_EQ(g_client.terminal_build(), tt::kBuild);
  const Version v = AskVersion();
  ASSERT_EQ(v.result, 0);
  EXPECT_EQ(v.served, 1u);
  EXPECT_EQ(tt::ReportValue(v.report, u"portable"), u"0");
}

TEST_F(PlatformTerminal, PortableStartPassesTheFlag) {
  ASSERT_EQ(g_client.Initialize(exe_, true).code, 0);
  const Version v = AskVersion();
  ASSERT_EQ(v.result, 0);
  EXPECT_EQ(tt::ReportValue(v.report, u"portable"), u"1");
}

TEST_F(PlatformTerminal, ServingTerminalIsReachedByAnEquivalentPathWithoutAStart) {
  ASSERT_EQ(g_client.Initialize(exe_, false).code, 0);
  g_client.Reset();
  ASSERT_TRUE(fs::create_directory(dir_ / "sub"));
  // A second start would serve its first client now.
  EXPECT_EQ(g_client.Initialize(U16(dir_ / "sub" / ".." / "terminal64.exe"), false).code, 0);
  const Version v = AskVersion();
  ASSERT_EQ(v.result, 0);
  EXPECT_EQ(v.served, 2u);
}

TEST_F(PlatformTerminal, TerminalDyingMidReplyFailsTheCallAndLaterCallsReportNoConnection) {
  ASSERT_EQ(g_client.Initialize(exe_, false).code, 0);
  void* block = nullptr;
  std::uint32_t count = 0;
  EXPECT_EQ(calls::ListByNumber(ipc::kCommand<CommandId::HISTORY_ORDERS_BY_POSITION>, 2000,
                                tt::kRecordSize, ipc::ArrayOut{&block, &count}),
            kIpcRecvFailed);
  EXPECT_EQ(block, nullptr);
  EXPECT_FALSE(g_client.connected());
  std::uint32_t state = 0;
  EXPECT_EQ(calls::Count(ipc::kCommand<CommandId::TERMINAL_STATE>, &state), kNoIpcConnection);
}

TEST_F(PlatformTerminal, StartedTerminalThatNeverServesTimesOut) {
  const fs::path silent = dir_ / "silent.exe";
  ASSERT_TRUE(test::CopyTerminal(silent));
  g_client.set_launch_poll(3, 10);
  EXPECT_EQ(g_client.ConnectToTerminal(U16(silent), false).error,
            u"Pipe server didn't answer in 0 sec");
}

TEST_F(PlatformTerminal, FailedStartIsReported) {
  const std::u16string missing = U16(dir_ / "missing.exe");
  EXPECT_EQ(g_client.ConnectToTerminal(missing, false).error,
            u"Process create failed '" + missing + u"'");
}

// ---- The search over data folders -----------------------------------------

class PlatformSearch : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.ok());
    base_ = dir_ / "Brundel" / "Terminal";
    ASSERT_TRUE(fs::create_directories(base_));
    g_client.Reset();
    g_client.set_launch_poll(400, 25);
  }
  void TearDown() override {
    for (const std::u16string& exe : started_) QuitTerminal(exe);
    g_client.Reset();
    g_client.set_launch_poll(120, 500);
  }

  // An installation with the test terminal; returns its terminal path.
  std::u16string Install(const std::string& name) {
    const fs::path exe = dir_ / name / "terminal64.exe";
    EXPECT_TRUE(test::CopyTerminal(exe));
    started_.push_back(U16(exe));
    return U16(exe);
  }

  // The search's base: the folder followed by a separator.
  std::u16string Base() const { return U16(base_) + os::kPathSeparator; }

  TempFolder dir_;
  fs::path base_;
  std::vector<std::u16string> started_;
};

TEST_F(PlatformSearch, NewestDataWinsAndAPortableOneStartsWithTheFlag) {
  const std::u16string older = Install("older");
  const std::u16string newer = Install("newer");
  const fs::path a = base_ / "A";
  ASSERT_TRUE(fs::create_directories(a / "ZSL5"));
  ASSERT_TRUE(fs::create_directories(a / "config"));
  ASSERT_TRUE(test::WriteBytes(a / "config" / "accounts.dat", "x"));
  ASSERT_TRUE(test::SetAge(a / "config" / "accounts.dat", std::chrono::hours(-48)));
  ASSERT_TRUE(test::WriteBytes(a / "origin.txt", test::Utf16File(U16(dir_ / "older"))));
  const fs::path b = base_ / "B";
  ASSERT_TRUE(fs::create_directories(b));  // portable: no ZSL5 needed
  ASSERT_TRUE(test::WriteBytes(b / "portable.txt", ""));
  ASSERT_TRUE(test::SetAge(b / "portable.txt", std::chrono::hours(-24)));
  ASSERT_TRUE(test::WriteBytes(b / "origin.txt", test::Utf16File(U16(dir_ / "newer"))));

  TerminalCandidate best;
  ASSERT_TRUE(ChooseTerminal(Base(), &best));
  EXPECT_TRUE(best.portable);
  EXPECT_EQ(CanonicalPath(best.exe_path), CanonicalPath(newer));

  // Made newer, the first one wins.
  ASSERT_TRUE(test::SetAge(a / "config" / "accounts.dat", std::chrono::hours(-1)));
  ASSERT_TRUE(ChooseTerminal(Base(), &best));
  EXPECT_FALSE(best.portable);
  EXPECT_EQ(CanonicalPath(best.exe_path), CanonicalPath(older));

  ASSERT_TRUE(test::SetAge(a / "config" / "accounts.dat", std::chrono::hours(-48)));
  ASSERT_TRUE(ChooseTerminal(Base(), &best));
  ASSERT_TRUE(g_client.ConnectToTerminal(best.exe_path, best.portable));
  ASSERT_EQ(g_client.Hello(), 0);
  const Version v = AskVersion();
  ASSERT_EQ(v.result, 0);
  EXPECT_EQ(tt::ReportValue(v.report, u"portable"), u"1");
}

TEST_F(PlatformSearch, FoldersFailingTheChecksAreNoCandidates) {
  Install("install");
  const fs::path no_mark = base_ / "NoMark";
  ASSERT_TRUE(fs::create_directories(no_mark / "ZSL5"));
  std::string text = test::Utf16File(U16(dir_ / "install")).substr(2);
  ASSERT_TRUE(test::WriteBytes(no_mark / "origin.txt", text));
  const fs::path no_zsl5 = base_ / "NoZsl5";
  ASSERT_TRUE(fs::create_directories(no_zsl5));
  ASSERT_TRUE(test::WriteBytes(no_zsl5 / "origin.txt", test::Utf16File(U16(dir_ / "install"))));
  const fs::path no_origin = base_ / "NoOrigin";
  ASSERT_TRUE(fs::create_directories(no_origin / "ZSL5"));
  const fs::path no_exe = base_ / "NoExe";
  ASSERT_TRUE(fs::create_directories(no_exe / "ZSL5"));
  ASSERT_TRUE(test::WriteBytes(no_exe / "origin.txt", test::Utf16File(U16(dir_ / "nothing"))));

  TerminalCandidate candidate;
  std::u16string reason;
  EXPECT_FALSE(InspectDataFolder(U16(no_mark), &candidate, &reason));
  EXPECT_FALSE(InspectDataFolder(U16(no_zsl5), &candidate, &reason));
  EXPECT_EQ(reason, u"No ZSL5 folder in '" + U16(no_zsl5) + u"'");
  EXPECT_FALSE(InspectDataFolder(U16(no_origin), &candidate, &reason));
  EXPECT_EQ(reason, u"No origin.txt in '" + U16(no_origin) + u"'");
  EXPECT_FALSE(InspectDataFolder(U16(no_exe), &candidate));
  EXPECT_TRUE(candidate.exe_path.empty());
  EXPECT_FALSE(ChooseTerminal(Base(), &candidate));
}

}  // namespace
}  // namespace zk5
