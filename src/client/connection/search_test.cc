// The search over real data folders on disk. The same source runs on every
// platform; what needs POSIX (times to the nanosecond, the roaming folder
// taken from the environment, fork, shell scripts as terminals) is marked.
#include "connection/search.h"

#ifndef _WIN32
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "connection/client.h"
#include "os/os.h"
#include "test_files.h"

namespace zk5 {
namespace {

namespace fs = std::filesystem;
using test::MakeDir;
using test::ScopedEnv;
using test::SetMtime;
using test::TempDir;
using test::U16;
using test::U8;
using test::WriteFile;
using test::WriteTime;

// The separator the search joins paths with.
const std::string kSep(1, static_cast<char>(os::kPathSeparator));

// origin.txt as the terminal writes it: the FF FE mark and UTF-16LE units.
std::string Origin(const std::string& install) {
  std::string bytes = "\xFF\xFE";
  for (char16_t u : U16(install)) {
    bytes.push_back(static_cast<char>(u & 0xFF));
    bytes.push_back(static_cast<char>(u >> 8));
  }
  return bytes;
}

struct DataFolder {
  bool portable = false;
  bool zsl5 = true;
  long accounts_time = 0;  // 0: no accounts.dat
  long ini_time = 0;       // 0: no terminal.ini
  long portable_time = 1;
};

class SearchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(tmp_.ok());
    roaming_ = tmp_ / "roaming";
    base_ = roaming_ + "/Brundel/Terminal/";
    ASSERT_TRUE(MakeDir(roaming_));
    ASSERT_TRUE(MakeDir(roaming_ + "/Brundel"));
    ASSERT_TRUE(MakeDir(base_));
    g_client.Reset();
  }
  void TearDown() override {
    g_client.Reset();
    g_client.set_launch_poll(120, 500);
  }

  // An installation folder holding terminal64.exe; returns the folder.
  std::string Install(const std::string& name, const std::string& exe = "#!/bin/sh\n",
                      int mode = 0755) {
    const std::string dir = tmp_ / name;
    EXPECT_TRUE(MakeDir(dir));
    EXPECT_TRUE(WriteFile(dir + "/terminal64.exe", exe, mode));
    return dir;
  }

  // A data folder of `install` named `name`; returns its path as the search
  // forms it (the base ends in a separator, so two of them precede the name).
  std::string Data(const std::string& name, const std::string& origin, const DataFolder& d) {
    const std::string dir = base_ + name;
    EXPECT_TRUE(MakeDir(dir));
    if (d.portable) {
      EXPECT_TRUE(WriteFile(dir + "/portable.txt", ""));
      EXPECT_TRUE(SetMtime(dir + "/portable.txt", d.portable_time, 0));
    }
    if (d.zsl5) {
      EXPECT_TRUE(MakeDir(dir + "/ZSL5"));
    }
    if (d.accounts_time != 0 || d.ini_time != 0) {
      EXPECT_TRUE(MakeDir(dir + "/config"));
    }
    if (d.accounts_time != 0) {
      EXPECT_TRUE(WriteFile(dir + "/config/accounts.dat", "a"));
      EXPECT_TRUE(SetMtime(dir + "/config/accounts.dat", d.accounts_time, 0));
    }
    if (d.ini_time != 0) {
      EXPECT_TRUE(WriteFile(dir + "/config/terminal.ini", "i"));
      EXPECT_TRUE(SetMtime(dir + "/config/terminal.ini", d.ini_time, 0));
    }
    EXPECT_TRUE(WriteFile(dir + "/origin.txt", origin));
    return base_ + "/" + name;
  }

  TerminalCandidate Inspect(const std::string& folder, bool expect_found) {
    TerminalCandidate c;
    c.exe_path = u"stale";
    c.last_write_time = 99;
    c.portable = true;
    EXPECT_EQ(InspectDataFolder(U16(folder), &c, &reason_), expect_found);
    return c;
  }

  // Names of the data folders in the order the system lists them.
  std::vector<std::string> Listed() {
    std::vector<os::DirEntry> entries;
    EXPECT_TRUE(os::ListDirectory(U16(base_), &entries));
    std::vector<std::string> names;
    for (const auto& e : entries) {
      if (e.name[0] != u'.') names.push_back(U8(e.name));
    }
    return names;
  }

  TempDir tmp_;
  std::string roaming_;
  std::string base_;
  std::u16string reason_;  // what the last Inspect gave as its reason
  ScopedEnv xdg_{"XDG_DATA_HOME", nullptr};
#ifndef _WIN32
  void UseRoaming() { setenv("XDG_DATA_HOME", roaming_.c_str(), 1); }
#endif
};

// ---------------------------------------------------------------- one data folder

struct TimeCase {
  DataFolder folder;
  std::uint64_t expected_seconds;
};

class InspectTimes : public SearchTest, public ::testing::WithParamInterface<TimeCase> {};

TEST_P(InspectTimes, CandidateTime) {
  const std::string install = Install("inst");
  const TerminalCandidate c = Inspect(Data("d", Origin(install), GetParam().folder), true);
  EXPECT_EQ(c.exe_path, U16(install + kSep + "terminal64.exe"));
  EXPECT_EQ(c.portable, GetParam().folder.portable);
  // 0: no file gave the folder a time.
  const std::uint64_t seconds = GetParam().expected_seconds;
  EXPECT_EQ(c.last_write_time, seconds == 0 ? 0 : WriteTime(seconds, 0));
}

DataFolder Folder(bool portable, bool zsl5, long accounts, long ini, long portable_time) {
  DataFolder d;
  d.portable = portable;
  d.zsl5 = zsl5;
  d.accounts_time = accounts;
  d.ini_time = ini;
  d.portable_time = portable_time;
  return d;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, InspectTimes,
    ::testing::Values(TimeCase{Folder(false, true, 100, 200, 0), 200},  // newer ini wins
                      TimeCase{Folder(false, true, 300, 200, 0), 300},  // older ini ignored
                      TimeCase{Folder(false, true, 0, 250, 0), 250},
                      TimeCase{Folder(false, true, 400, 0, 0), 400},
                      TimeCase{Folder(false, true, 0, 0, 0), 0},
                      // portable.txt alone decides, and ZSL5 is not needed
                      TimeCase{Folder(true, false, 900, 900, 500), 500},
                      TimeCase{Folder(true, true, 0, 0, 700), 700}));

TEST_F(SearchTest, MissingZsl5WithoutPortableFails) {
  const std::string install = Install("inst");
  const std::string folder = Data("d", Origin(install), Folder(false, false, 100, 0, 0));
  Inspect(folder, false);
  EXPECT_EQ(reason_, u"No ZSL5 folder in '" + U16(folder) + u"'");
}

TEST_F(SearchTest, MissingOriginFails) {
  const std::string folder = Data("d", "", DataFolder{});
  ASSERT_TRUE(fs::remove(base_ + "d/origin.txt"));
  Inspect(folder, false);
  EXPECT_EQ(reason_, u"No origin.txt in '" + U16(folder) + u"'");
}

struct OriginCase {
  const char* name;
  std::string bytes;  // contents of origin.txt; $ stands for the installation
  bool found;
};

class InspectOrigin : public SearchTest, public ::testing::WithParamInterface<OriginCase> {};

// The installation folder "abc" is relative: origin.txt texts of three units
// sit right at the 8-byte minimum. The current folder is the temp folder.
TEST_P(InspectOrigin, ReadsTheInstallationFolder) {
  Install("abc");
  const fs::path cwd = fs::current_path();
  fs::current_path(tmp_.path());
  reason_ = u"earlier";
  const TerminalCandidate c = Inspect(Data("d", GetParam().bytes, DataFolder{}), GetParam().found);
  fs::current_path(cwd);
  EXPECT_EQ(c.exe_path, GetParam().found ? U16("abc" + kSep + "terminal64.exe") : u"");
  // Only a missing ZSL5 or origin.txt leaves a reason.
  EXPECT_EQ(reason_, u"earlier");
}

INSTANTIATE_TEST_SUITE_P(
    Bytes, InspectOrigin,
    ::testing::Values(OriginCase{"Exact8",
                                 std::string("\xFF\xFE"
                                             "a\0b\0c\0",
                                             8),
                                 true},
                      OriginCase{"OddByteDropped",
                                 std::string("\xFF\xFE"
                                             "a\0b\0c\0/",
                                             9),
                                 true},
                      OriginCase{"EndsAtNul",
                                 std::string("\xFF\xFE"
                                             "a\0b\0c\0\0\0x\0",
                                             12),
                                 true},
                      OriginCase{"Short7",
                                 std::string("\xFF\xFE"
                                             "a\0b\0c",
                                             7),
                                 false},
                      OriginCase{"NoMark", std::string("a\0b\0c\0\0\0", 8), false},
                      OriginCase{"BigEndianMark", std::string("\xFE\xFF\0a\0b\0c", 8), false},
                      OriginCase{"Utf8", std::string("abcdefgh"), false},
                      OriginCase{"LineEndKept",
                                 std::string("\xFF\xFE"
                                             "a\0b\0c\0\r\0\n\0",
                                             12),
                                 false},
                      OriginCase{"Empty", std::string(), false}),
    [](const ::testing::TestParamInfo<OriginCase>& info) { return info.param.name; });

TEST_F(SearchTest, MissingTerminalExeIsNoCandidate) {
  const std::string install = Install("inst");
  ASSERT_TRUE(fs::remove(install + "/terminal64.exe"));
  Inspect(Data("d", Origin(install), DataFolder{}), false);
}

#ifndef _WIN32
// Paths this long need POSIX (Windows caps them near 260 units).
// origin.txt is read up to 518 bytes: 258 units of text. Text past that is
// never seen, and the executable path is cut to 260 units, so a folder of
// exactly 258 units names "<folder>/t".
TEST_F(SearchTest, OriginReadLimitAndPathCut) {
  const std::size_t pad = 258 - tmp_.path().size() - 1;
  const std::string install = tmp_ / std::string(pad, 'i');
  ASSERT_EQ(install.size(), 258u);
  ASSERT_TRUE(MakeDir(install));
  ASSERT_TRUE(WriteFile(install + "/t", ""));
  const TerminalCandidate c = Inspect(Data("d", Origin(install + "/more"), DataFolder{}), true);
  EXPECT_EQ(c.exe_path, U16(install + "/t"));
}
#endif

// ---------------------------------------------------------------- the choice

struct Pair {
  std::string first;   // listed first
  std::string second;  // listed second
};

class ChooseTest : public SearchTest {
 protected:
  // Two valid data folders "a" and "b"; returns them in listing order.
  Pair TwoFolders(long time_a, long time_b) {
    Data("a", Origin(Install("inst_a")), Folder(false, true, time_a, 0, 0));
    Data("b", Origin(Install("inst_b")), Folder(false, true, time_b, 0, 0));
    const std::vector<std::string> names = Listed();
    EXPECT_EQ(names.size(), 2u);
    return names.size() == 2 ? Pair{names[0], names[1]} : Pair{};
  }
  std::u16string ExeOf(const std::string& data_name) {
    return U16(tmp_ / ("inst_" + data_name) + kSep + "terminal64.exe");
  }
};

TEST_F(ChooseTest, NewerWinsInEitherListingPosition) {
  TwoFolders(100, 200);
  TerminalCandidate best;
  ASSERT_TRUE(ChooseTerminal(U16(base_), &best));
  EXPECT_EQ(best.exe_path, ExeOf("b"));
  EXPECT_EQ(best.last_write_time, WriteTime(200, 0));
  // Same folders, times reversed.
  ASSERT_TRUE(SetMtime(base_ + "a/config/accounts.dat", 200, 0));
  ASSERT_TRUE(SetMtime(base_ + "b/config/accounts.dat", 100, 0));
  ASSERT_TRUE(ChooseTerminal(U16(base_), &best));
  EXPECT_EQ(best.exe_path, ExeOf("a"));
  EXPECT_EQ(best.last_write_time, WriteTime(200, 0));
}

#ifndef _WIN32
// Windows keeps times in 100 ns steps.
TEST_F(ChooseTest, NanosecondNewerWins) {
  const Pair p = TwoFolders(100, 100);
  ASSERT_TRUE(SetMtime(base_ + p.second + "/config/accounts.dat", 100, 1));
  TerminalCandidate best;
  ASSERT_TRUE(ChooseTerminal(U16(base_), &best));
  EXPECT_EQ(best.exe_path, ExeOf(p.second));
}
#endif

TEST_F(ChooseTest, EqualTimesKeepTheFirstListed) {
  const Pair p = TwoFolders(100, 100);
  TerminalCandidate best;
  ASSERT_TRUE(ChooseTerminal(U16(base_), &best));
  EXPECT_EQ(best.exe_path, ExeOf(p.first));
}

TEST_F(ChooseTest, PortableWithoutZsl5IsACandidate) {
  Data("p", Origin(Install("inst_p")), Folder(true, false, 0, 0, 300));
  TerminalCandidate best;
  ASSERT_TRUE(ChooseTerminal(U16(base_), &best));
  EXPECT_EQ(best.exe_path, ExeOf("p"));
  EXPECT_TRUE(best.portable);
}

TEST_F(ChooseTest, SkipsNonCandidatesAndDotFolders) {
  Data("good", Origin(Install("inst_good")), Folder(false, true, 100, 0, 0));
  // Each of these is newer than "good" and would win if it were examined.
  Data("no_mark", Origin(Install("inst_nm")).substr(2), Folder(false, true, 900, 0, 0));
  Data("no_zsl5", Origin(Install("inst_nz")), Folder(false, false, 900, 0, 0));
  Data(".hidden", Origin(Install("inst_hidden")), Folder(false, true, 900, 0, 0));
  TerminalCandidate best;
  ASSERT_TRUE(ChooseTerminal(U16(base_), &best));
  EXPECT_EQ(best.exe_path, ExeOf("good"));
  EXPECT_EQ(best.last_write_time, WriteTime(100, 0));
}

TEST_F(ChooseTest, NothingToChoose) {
  TerminalCandidate best;
  EXPECT_FALSE(ChooseTerminal(U16(base_), &best));
  EXPECT_FALSE(ChooseTerminal(U16(tmp_ / "missing/"), &best));
  EXPECT_TRUE(best.exe_path.empty());
}

#ifndef _WIN32
// A process started by a terminal picks that terminal over a newer one. The
// test binary plays the terminal: one installation's terminal64.exe is a link
// to it, and a forked child (whose parent is this binary) does the search.
TEST_F(ChooseTest, TheParentTerminalWinsOverNewer) {
  char* self = realpath("/proc/self/exe", nullptr);
  ASSERT_NE(self, nullptr);
  const std::string self_path = self;
  free(self);
  const std::string parent_install = tmp_ / "inst_parent";
  ASSERT_TRUE(MakeDir(parent_install));
  ASSERT_EQ(symlink(self_path.c_str(), (parent_install + "/terminal64.exe").c_str()), 0);
  Data("old", Origin(parent_install), Folder(false, true, 100, 0, 0));
  Data("new", Origin(Install("inst_new")), Folder(false, true, 200, 0, 0));

  TerminalCandidate best;
  ASSERT_TRUE(ChooseTerminal(U16(base_), &best));
  ASSERT_EQ(best.exe_path, ExeOf("new"));  // our own parent is no terminal

  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    TerminalCandidate chosen;
    const bool found = ChooseTerminal(U16(base_), &chosen);
    _exit(found && chosen.exe_path == U16(parent_install + "/terminal64.exe") &&
                  chosen.last_write_time == 100000000000u
              ? 0
              : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

// ---------------------------------------------------------------- search and start

TEST_F(SearchTest, NoDataFolderIsNotFound) {
  UseRoaming();
  EXPECT_EQ(g_client.ConnectToFoundTerminal().error, u"Zelkor 5 x64 not found");
  ASSERT_EQ(rmdir(base_.c_str()), 0);
  EXPECT_EQ(g_client.ConnectToFoundTerminal().error, u"Zelkor 5 x64 not found");
  EXPECT_FALSE(g_client.connected());
}

TEST_F(SearchTest, NotFoundReplacesFolderReasons) {
  UseRoaming();
  Data("d", Origin(Install("inst")), Folder(false, false, 100, 0, 0));
  EXPECT_EQ(g_client.ConnectToFoundTerminal().error, u"Zelkor 5 x64 not found");
}

TEST_F(SearchTest, NoRoamingFolderLeavesNoText) {
  ScopedEnv home("HOME", nullptr);
  const ConnectOutcome outcome = g_client.ConnectToFoundTerminal();
  EXPECT_FALSE(outcome);
  EXPECT_EQ(outcome.error, u"");
}

TEST_F(SearchTest, DataFoldersBaseFollowsTheRoamingFolder) {
  UseRoaming();
  std::u16string base;
  ASSERT_TRUE(DataFoldersBase(&base));
  EXPECT_EQ(base, U16(roaming_ + "/Brundel/Terminal/"));
}

// The chosen terminal is started with "/portable" when its data folder is
// portable; this one records its arguments and never serves its pipe.
TEST_F(SearchTest, FindTerminalStartsTheChosenPortableTerminal) {
  UseRoaming();
  const std::string install = Install("inst",
                                      "#!/bin/sh\nprintf '%s\\n' \"$0\" \"$@\" > \"$0.args.tmp\"\n"
                                      "mv \"$0.args.tmp\" \"$0.args\"\n");
  Data("p", Origin(install), Folder(true, false, 0, 0, 300));
  g_client.set_launch_poll(1, 10);
  // It leaves at once: the wait ends when that is seen, or when it is over.
  const std::u16string error = g_client.ConnectToFoundTerminal().error;
  EXPECT_TRUE(error.rfind(u"Pipe server didn't answer in ", 0) == 0 ||
              error.rfind(u"The terminal ended before serving its pipe [exit code 0]", 0) == 0);
  const std::string args = install + "/terminal64.exe.args";
  for (int i = 0; i < 200 && access(args.c_str(), F_OK) != 0; ++i) usleep(50000);
  std::ifstream in(args);
  std::stringstream s;
  s << in.rdbuf();
  EXPECT_EQ(s.str(), install + "/terminal64.exe\n/portable\n");
}

TEST_F(SearchTest, FindTerminalReportsAFailedStart) {
  UseRoaming();
  const std::string install = Install("inst", "not a program", 0644);
  Data("d", Origin(install), Folder(false, true, 100, 0, 0));
  EXPECT_EQ(g_client.ConnectToFoundTerminal().error,
            u"Process create failed '" + U16(install + "/terminal64.exe") + u"'");
}

#endif  // _WIN32

TEST_F(SearchTest, LaunchTerminalFailureText) {
  const std::u16string path = U16(tmp_ / "nowhere/terminal64.exe");
  EXPECT_EQ(LaunchTerminal(path, true).error, u"Process create failed '" + path + u"'");
}

}  // namespace
}  // namespace zk5
