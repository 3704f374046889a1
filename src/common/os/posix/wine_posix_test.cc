// The Linux side of the way to a terminal under Wine, with a shell script
// standing in for wine: it gets the relay's arguments and environment and
// speaks the relay's part on its standard streams.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include <gtest/gtest.h>

#include "os/os.h"
#include "os/wine.h"
#include "test_files.h"

namespace zk5::os {
namespace {

using test::ScopedEnv;
using test::TempDir;
using test::U16;
using test::WriteFile;

std::string ReadText(const std::string& path) {
  std::string text;
  FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return text;
  char buf[512];
  for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, f)) != 0;) text.append(buf, n);
  std::fclose(f);
  while (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

class WineStandIn : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(tmp_.ok()); }

  // A "wine" that runs `body` with the relay's arguments as $1 (the relay),
  // $2 (the pipe name) and $3 (the wait).
  WineSetup Wine(const std::string& body) {
    const std::string wine = tmp_ / "wine";
    EXPECT_TRUE(WriteFile(wine, "#!/bin/sh\n" + body + "\n", 0755));
    return WineSetup{U16(wine), U16(tmp_.path()), U16(tmp_ / "zk5relay.exe")};
  }

  TempDir tmp_;
};

TEST_F(WineStandIn, RelayAnswersThenCopiesAndEndsWithItsSocket) {
  // Records what it was given, answers "open", echoes, and leaves a mark
  // when its input ends.
  const WineSetup wine =
      Wine("printf '%s\\n' \"$1|$2|$3|$WINEPREFIX|$WINEDEBUG|$WINEDLLOVERRIDES|$$\" > " +
           (tmp_ / "seen") + "\nprintf '\\000\\000\\000\\000'\ncat\ntouch " + (tmp_ / "ended"));
  PipeHandle pipe = kInvalidPipe;
  std::uint32_t err = 77;
  ScopedEnv overrides("WINEDLLOVERRIDES", nullptr);
  ASSERT_EQ(OpenPipeThroughRelay(wine, u"\\\\.\\pipe\\X", 250, 10000, &pipe, &err),
            RelayResult::kOpen);
  const char ping[] = "ping";
  char back[4] = {};
  ASSERT_EQ(WriteAll(pipe, ping, 4), IoStatus::kOk);
  ASSERT_EQ(ReadExact(pipe, back, 4), IoStatus::kOk);
  EXPECT_EQ(std::string(back, 4), "ping");
  ClosePipe(pipe);  // returns once the relay has gone
  EXPECT_TRUE(test::fs::exists(tmp_ / "ended"));
  const std::string seen = ReadText(tmp_ / "seen");
  const std::string pid = seen.substr(seen.rfind('|') + 1);
  EXPECT_EQ(seen.substr(0, seen.rfind('|')),
            tmp_ / "zk5relay.exe" + "|\\\\.\\pipe\\X|250|" + tmp_.path() + "|-all|mscoree,mshtml=");
  EXPECT_NE(kill(std::stoi(pid), 0), 0) << "the relay outlived its connection";
}

TEST_F(WineStandIn, RefusalsAndSilenceAreTold) {
  PipeHandle pipe = kInvalidPipe;
  std::uint32_t err = 0;
  EXPECT_EQ(OpenPipeThroughRelay(Wine("printf '\\002\\000\\000\\000'"), u"\\\\.\\pipe\\X", 0, 10000,
                                 &pipe, &err),
            RelayResult::kRefused);
  EXPECT_EQ(err, 2u);
  EXPECT_EQ(OpenPipeThroughRelay(Wine("exit 0"), u"\\\\.\\pipe\\X", 0, 10000, &pipe, &err),
            RelayResult::kFailed);
  EXPECT_EQ(err, static_cast<std::uint32_t>(ECONNABORTED));
  // One that never answers is killed when its time is up.
  EXPECT_EQ(OpenPipeThroughRelay(Wine("exec sleep 30"), u"\\\\.\\pipe\\X", 0, 200, &pipe, &err),
            RelayResult::kFailed);
  EXPECT_EQ(err, static_cast<std::uint32_t>(ETIMEDOUT));
  EXPECT_EQ(pipe, kInvalidPipe);
}

int g_interrupt_checks = 0;
bool AlwaysInterrupted() {
  ++g_interrupt_checks;
  return true;
}

// The wait for the relay's answer asks the interrupt check like every other
// wait: Ctrl-C ends it (instead of the minute's limit) and the relay is killed.
TEST_F(WineStandIn, InterruptEndsTheWaitForTheRelay) {
  const std::string pid_file = tmp_ / "pid";
  const WineSetup wine = Wine("echo $$ > " + pid_file + "\nexec sleep 30");
  WaitHooks hooks;
  hooks.interrupted = AlwaysInterrupted;
  SetWaitHooks(hooks);
  ClearInterrupt();
  g_interrupt_checks = 0;
  PipeHandle pipe = kInvalidPipe;
  std::uint32_t err = 0;
  EXPECT_EQ(OpenPipeThroughRelay(wine, u"\\\\.\\pipe\\X", 0, 60000, &pipe, &err),
            RelayResult::kInterrupted);
  SetWaitHooks({});
  ClearInterrupt();
  EXPECT_EQ(err, static_cast<std::uint32_t>(EINTR));
  EXPECT_EQ(pipe, kInvalidPipe);
  EXPECT_GE(g_interrupt_checks, 1);
  // (No pid file: it was killed before it could write one.)
  const std::string pid = ReadText(pid_file);
  if (!pid.empty()) {
    EXPECT_NE(kill(std::stoi(pid), 0), 0) << "the relay outlived the wait";
  }
}

TEST_F(WineStandIn, StartedProgramIsWatchedForAnEarlyEnd) {
  LaunchWatch watch;
  ASSERT_EQ(LaunchUnderWine(Wine("[ \"$2\" = /portable ] && exit 3; exit 4"), u"/x/terminal64.exe",
                            {u"/portable"}, &watch),
            0);
  std::uint32_t code = 0;
  for (int i = 0; i < 500 && !WatchedExit(&watch, &code); ++i) SleepMs(10);
  EXPECT_EQ(code, 3u);
  EndWatch(&watch);

  // One that runs on is left running when the watch ends.
  const std::string mark = tmp_ / "still";
  ASSERT_EQ(LaunchUnderWine(Wine("sleep 1; touch " + mark), u"/x/terminal64.exe", {}, &watch), 0);
  EXPECT_FALSE(WatchedExit(&watch, &code));
  EndWatch(&watch);
  for (int i = 0; i < 500 && !test::fs::exists(mark); ++i) SleepMs(10);
  EXPECT_TRUE(test::fs::exists(mark));
}

}  // namespace
}  // namespace zk5::os
