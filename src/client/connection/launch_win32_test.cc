// Starting programs and naming the parent process on Windows, with copies of
// the test terminal as the programs. A program started from outside Windows
// (a Linux shell under wine) has no parent to name, so every parent here is
// a process these tests started.
#include <gtest/gtest.h>

#include <chrono>
#include <random>
#include <string>
#include <vector>

#include "connection/calls.h"
#include "connection/client.h"
#include "connection/search.h"
#include "os/os.h"
#include "os/pipe_server.h"
#include "test_client.h"
#include "test_files.h"
#include "test_terminal.h"

namespace zk5 {
namespace {

using test::AskVersion;
using test::AwaitTerminal;
using test::TempFolder;
using test::U16;
using test::Version;
using test_terminal::ReportValue;
namespace fs = std::filesystem;

constexpr std::uint32_t kStartWaitMs = 20000;

class Win32Process : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.ok());
    g_client.Reset();
  }
  void TearDown() override {
    for (const std::u16string& exe : started_) test::QuitTerminal(exe);
    g_client.Reset();
    g_client.set_launch_poll(120, 500);
  }

  // A copy of the test terminal at `rel` in the test's folder.
  std::u16string Copy(const fs::path& rel) {
    EXPECT_TRUE(test::CopyTerminal(dir_ / rel));
    started_.push_back(U16(dir_ / rel));
    return started_.back();
  }

  TempFolder dir_;
  std::vector<std::u16string> started_;
};

TEST_F(Win32Process, StartedProgramHasUsAsParentAndNoStandardHandles) {
  const std::u16string exe = Copy("plain/terminal64.exe");
  ASSERT_TRUE(os::LaunchProcess(exe, {}));
  ASSERT_TRUE(AwaitTerminal(exe, kStartWaitMs));
  const Version v = AskVersion();
  ASSERT_EQ(v.result, 0);
  EXPECT_FALSE(os::FinalPath(os::ExecutablePath()).empty());
  EXPECT_EQ(ReportValue(v.report, u"parent"), os::FinalPath(os::ExecutablePath()));
  EXPECT_EQ(ReportValue(v.report, u"stdout"), u"none");
  EXPECT_EQ(ReportValue(v.report, u"portable"), u"0");
}

TEST_F(Win32Process, PathsWithSpacesStartEitherWay) {
  for (bool portable : {false, true}) {
    const std::u16string exe = Copy(portable ? "a b/with space.exe" : "c d/with space.exe");
    ASSERT_TRUE(os::LaunchProcess(
        exe, portable ? std::vector<std::u16string>{u"/portable"} : std::vector<std::u16string>{}));
    ASSERT_TRUE(AwaitTerminal(exe, kStartWaitMs));
    const Version v = AskVersion();
    ASSERT_EQ(v.result, 0);
    EXPECT_EQ(ReportValue(v.report, u"portable"), portable ? u"1" : u"0");
    g_client.Reset();
  }
}

TEST_F(Win32Process, StartFailsForWhatIsNoProgram) {
  EXPECT_FALSE(os::LaunchProcess(U16(dir_ / "missing.exe"), {}));
  ASSERT_TRUE(test::WriteBytes(dir_ / "text.exe", "not a program"));
  EXPECT_FALSE(os::LaunchProcess(U16(dir_ / "text.exe"), {u"/portable"}));
  EXPECT_FALSE(os::LaunchProcess(u"", {}));
}

// Data folders in the user's real roaming folder, as the search expects
// them, removed afterwards.
class Win32Search : public Win32Process {
 protected:
  void SetUp() override {
    Win32Process::SetUp();
    std::u16string base;
    ASSERT_TRUE(DataFoldersBase(&base));
    base_ = fs::path(base);
    std::error_code ec;
    fs::create_directories(base_, ec);
    ASSERT_TRUE(fs::is_directory(base_));
  }
  void TearDown() override {
    Win32Process::TearDown();
    for (const fs::path& p : data_) {
      std::error_code ec;
      fs::remove_all(p, ec);
    }
  }

  // A data folder naming `install`, its data written `age` from now.
  fs::path DataFolder(const fs::path& install, bool portable, std::chrono::hours age) {
    static std::mt19937 random{std::random_device{}()};
    const fs::path f = base_ / ("zk5-test-" + std::to_string(random()));
    data_.push_back(f);
    EXPECT_TRUE(fs::create_directories(f / "config"));
    fs::path stamp = f / "portable.txt";
    if (!portable) {
      EXPECT_TRUE(fs::create_directories(f / "ZSL5"));
      stamp = f / "config" / "accounts.dat";
    }
    EXPECT_TRUE(test::WriteBytes(stamp, ""));
    EXPECT_TRUE(test::SetAge(stamp, age));
    EXPECT_TRUE(test::WriteBytes(f / "origin.txt", test::Utf16File(U16(install))));
    return f;
  }

  fs::path base_;
  std::vector<fs::path> data_;
};

TEST_F(Win32Search, TheTerminalThatStartedUsWinsOverANewerOne) {
  const std::u16string parent = Copy("parent/terminal64.exe");
  Copy("newer/terminal64.exe");
  DataFolder(dir_ / "parent", false, std::chrono::hours(-48));
  DataFolder(dir_ / "newer", false, std::chrono::hours(1));
  // Searching from here, the newer one wins.
  TerminalCandidate best;
  ASSERT_TRUE(ChooseTerminal(U16(base_), &best));
  EXPECT_EQ(best.exe_path, U16(dir_ / "newer") + u"\\terminal64.exe");

  // A program started by the older terminal chooses that one.
  const std::u16string child = Copy("child/helper.exe");
  ASSERT_TRUE(os::LaunchProcess(parent, {}));
  ASSERT_TRUE(AwaitTerminal(parent, kStartWaitMs));
  ASSERT_EQ(calls::StatusByText(ipc::kCommand<ipc::CommandId::BOOK_ADD>, test::TextOf(child)), 0);
  g_client.Reset();
  ASSERT_TRUE(AwaitTerminal(child, kStartWaitMs));
  const Version v = AskVersion();
  ASSERT_EQ(v.result, 0);
  EXPECT_FALSE(os::FinalPath(parent).empty());
  EXPECT_EQ(ReportValue(v.report, u"parent"), os::FinalPath(parent));
  EXPECT_EQ(ReportValue(v.report, u"chosen"), U16(dir_ / "parent") + u"\\terminal64.exe");
}

TEST_F(Win32Search, InitializeWithoutAPathStartsTheNewestInstallation) {
  const std::u16string exe = Copy("install/terminal64.exe");
  DataFolder(dir_ / "install", true, std::chrono::hours(24));
  g_client.set_launch_poll(400, 25);
  ASSERT_EQ(g_client.Initialize(u"", false).code, 0);
  const Version v = AskVersion();
  ASSERT_EQ(v.result, 0);
  EXPECT_EQ(v.served, 1u);
  EXPECT_EQ(ReportValue(v.report, u"portable"), u"1");
  EXPECT_EQ(CanonicalPath(exe), os::FinalPath(exe));
}

}  // namespace
}  // namespace zk5
