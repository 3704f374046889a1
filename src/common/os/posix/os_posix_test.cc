#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "os/os.h"
#include "os/service.h"
#include "test_files.h"

namespace zk5::os {
namespace {

using test::MakeDir;
using test::ScopedEnv;
using test::SetMtime;
using test::TempDir;
using test::U16;
using test::U8;
using test::WriteFile;

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

std::string Hex(const std::uint8_t* bytes, std::size_t n) {
  std::string out;
  char two[3];
  for (std::size_t i = 0; i < n; ++i) {
    std::snprintf(two, sizeof two, "%02x", bytes[i]);
    out += two;
  }
  return out;
}

// ---------------------------------------------------------------- paths

TEST(PosixFinalPath, ResolvesSymlinksAndDotDot) {
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  ASSERT_TRUE(MakeDir(dir / "real"));
  ASSERT_TRUE(MakeDir(dir / "other"));
  ASSERT_TRUE(WriteFile(dir / "real/terminal64.exe", "x"));
  ASSERT_EQ(symlink((dir / "real").c_str(), (dir / "link").c_str()), 0);
  const std::u16string expected = U16(dir / "real/terminal64.exe");

  EXPECT_EQ(FinalPath(U16(dir / "link/terminal64.exe")), expected);
  EXPECT_EQ(FinalPath(U16(dir / "other/../real/./terminal64.exe")), expected);
  EXPECT_EQ(FinalPath(U16(dir / "other/../link//terminal64.exe")), expected);
}

TEST(PosixFinalPath, EmptyWhenUnresolvable) {
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  ASSERT_EQ(symlink((dir / "nowhere").c_str(), (dir / "dangling").c_str()), 0);
  EXPECT_EQ(FinalPath(U16(dir / "missing.exe")), u"");
  EXPECT_EQ(FinalPath(U16(dir / "dangling")), u"");
  EXPECT_EQ(FinalPath(u""), u"");
}

TEST(PosixLowerCase, MapsEachUnitInPlace) {
  std::u16string s = u"C:/ZELKOR/Terminal64.EXE \u00C4\u0130";
  LowerCaseInPlace(&s[0], s.size() - 1);  // last unit deliberately left out
  EXPECT_EQ(s, u"c:/zelkor/terminal64.exe \u00E4\u0130");
}

// ---------------------------------------------------------------- SHA-256

struct DigestCase {
  const char* input;
  const char* hex;
};

class PosixSha256 : public ::testing::TestWithParam<DigestCase> {};

TEST_P(PosixSha256, KnownVectors) {
  const std::string in = GetParam().input;
  std::uint8_t digest[32] = {};
  ASSERT_TRUE(Sha256(in.data(), in.size(), digest));
  EXPECT_EQ(Hex(digest, 32), GetParam().hex);
}

INSTANTIATE_TEST_SUITE_P(
    Vectors, PosixSha256,
    ::testing::Values(
        DigestCase{"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        DigestCase{"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        DigestCase{"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
                   "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"}));

// ---------------------------------------------------------------- roaming folder

struct RoamingCase {
  const char* xdg;   // nullptr: unset
  const char* home;  // nullptr: unset
  bool found;
  const char16_t* folder;
};

class PosixRoamingFolder : public ::testing::TestWithParam<RoamingCase> {};

TEST_P(PosixRoamingFolder, FromEnvironment) {
  const RoamingCase& c = GetParam();
  ScopedEnv xdg("XDG_DATA_HOME", c.xdg);
  ScopedEnv home("HOME", c.home);
  std::u16string folder = u"untouched";
  ASSERT_EQ(RoamingFolder(&folder), c.found);
  if (c.found) {
    EXPECT_EQ(folder, c.folder);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PosixRoamingFolder,
    ::testing::Values(RoamingCase{"/data/xdg", "/home/u", true, u"/data/xdg"},
                      RoamingCase{"/data/xdg/", "/home/u", true, u"/data/xdg"},
                      RoamingCase{"relative/xdg", "/home/u", true, u"/home/u/.local/share"},
                      RoamingCase{"", "/home/u", true, u"/home/u/.local/share"},
                      RoamingCase{nullptr, "/home/u/", true, u"/home/u/.local/share"},
                      RoamingCase{nullptr, "/", true, u"/.local/share"},
                      RoamingCase{nullptr, nullptr, false, u""},
                      RoamingCase{"relative", "relative/home", false, u""},
                      RoamingCase{nullptr, "", false, u""}));

// ---------------------------------------------------------------- directories and files

TEST(PosixListDirectory, NamesAndDirectoryFlags) {
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  ASSERT_TRUE(MakeDir(dir / "sub"));
  ASSERT_TRUE(MakeDir(dir / ".hidden"));
  ASSERT_TRUE(WriteFile(dir / "file.txt", "x"));
  ASSERT_EQ(symlink("sub", (dir / "to_sub").c_str()), 0);
  ASSERT_EQ(symlink("file.txt", (dir / "to_file").c_str()), 0);
  ASSERT_EQ(symlink("nowhere", (dir / "dangling").c_str()), 0);

  std::vector<DirEntry> entries;
  ASSERT_TRUE(ListDirectory(U16(dir.path()), &entries));
  std::map<std::u16string, bool> seen;
  for (const DirEntry& e : entries) EXPECT_TRUE(seen.emplace(e.name, e.is_directory).second);
  const std::map<std::u16string, bool> expected = {
      {u".", true},         {u"..", true},     {u"sub", true},      {u".hidden", true},
      {u"file.txt", false}, {u"to_sub", true}, {u"to_file", false}, {u"dangling", false}};
  EXPECT_EQ(seen, expected);
}

TEST(PosixListDirectory, FailsOnMissingOrFile) {
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  ASSERT_TRUE(WriteFile(dir / "file", "x"));
  std::vector<DirEntry> entries = {{u"stale", false}};
  EXPECT_FALSE(ListDirectory(U16(dir / "missing"), &entries));
  EXPECT_FALSE(ListDirectory(U16(dir / "file"), &entries));
}

TEST(PosixPathExists, FilesFoldersAndLinks) {
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  ASSERT_TRUE(WriteFile(dir / "file", ""));
  ASSERT_TRUE(MakeDir(dir / "folder"));
  ASSERT_EQ(symlink("file", (dir / "link").c_str()), 0);
  ASSERT_EQ(symlink("nowhere", (dir / "dangling").c_str()), 0);
  EXPECT_TRUE(PathExists(U16(dir / "file")));
  EXPECT_TRUE(PathExists(U16(dir / "folder")));
  EXPECT_TRUE(PathExists(U16(dir / "link")));
  EXPECT_FALSE(PathExists(U16(dir / "dangling")));
  EXPECT_FALSE(PathExists(U16(dir / "missing")));
  EXPECT_FALSE(PathExists(u""));
}

TEST(PosixLastWriteTime, NanosecondOrdering) {
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  const std::string a = dir / "a", b = dir / "b", c = dir / "c";
  for (const std::string& p : {a, b, c}) ASSERT_TRUE(WriteFile(p, ""));
  ASSERT_TRUE(SetMtime(a, 1700000000, 999999999));
  ASSERT_TRUE(SetMtime(b, 1700000001, 0));
  ASSERT_TRUE(SetMtime(c, 1700000001, 1));
  std::uint64_t ta = 0, tb = 0, tc = 0;
  ASSERT_TRUE(LastWriteTime(U16(a), &ta));
  ASSERT_TRUE(LastWriteTime(U16(b), &tb));
  ASSERT_TRUE(LastWriteTime(U16(c), &tc));
  EXPECT_EQ(ta, 1700000000999999999ull);
  EXPECT_EQ(tb - ta, 1u);
  EXPECT_EQ(tc - tb, 1u);
  std::uint64_t untouched = 42;
  EXPECT_FALSE(LastWriteTime(U16(dir / "missing"), &untouched));
  EXPECT_EQ(untouched, 42u);
}

TEST(PosixLastWriteTime, FollowsSymlinks) {
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  ASSERT_TRUE(WriteFile(dir / "target", ""));
  ASSERT_EQ(symlink("target", (dir / "link").c_str()), 0);
  ASSERT_TRUE(SetMtime(dir / "target", 1600000000, 5));
  ASSERT_TRUE(SetMtime(dir / "link", 1650000000, 7));  // the link's own time
  std::uint64_t t = 0;
  ASSERT_TRUE(LastWriteTime(U16(dir / "link"), &t));
  EXPECT_EQ(t, 1600000000000000005ull);
}

struct PrefixCase {
  std::size_t max;
  const char* expected;
};

class PosixReadFilePrefix : public ::testing::TestWithParam<PrefixCase> {};

TEST_P(PosixReadFilePrefix, ReadsAtMostMax) {
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  ASSERT_TRUE(WriteFile(dir / "origin.txt", std::string("\xFF\xFE/\0o\0p\0t\0", 10)));
  std::string out = "stale";
  ASSERT_TRUE(ReadFilePrefix(U16(dir / "origin.txt"), GetParam().max, &out));
  EXPECT_EQ(out, std::string(GetParam().expected, std::min<std::size_t>(GetParam().max, 10)));
}

INSTANTIATE_TEST_SUITE_P(Sizes, PosixReadFilePrefix,
                         ::testing::Values(PrefixCase{0, ""}, PrefixCase{3, "\xFF\xFE/"},
                                           PrefixCase{10, "\xFF\xFE/\0o\0p\0t\0"},
                                           PrefixCase{518, "\xFF\xFE/\0o\0p\0t\0"}));

TEST(PosixReadFilePrefixErrors, MissingFileFails) {
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  std::string out = "stale";
  EXPECT_FALSE(ReadFilePrefix(U16(dir / "missing"), 16, &out));
  EXPECT_TRUE(out.empty());
}

// A FIFO whose writer delivers the bytes in two pieces: one read call sees
// only the first, so this proves the short reads are completed.
TEST(PosixReadFilePrefixErrors, CompletesShortReads) {
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  const std::string fifo = dir / "fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const pid_t writer = fork();
  ASSERT_GE(writer, 0);
  if (writer == 0) {
    const int fd = open(fifo.c_str(), O_WRONLY);
    if (fd < 0) _exit(1);
    if (write(fd, "abc", 3) != 3) _exit(2);
    usleep(200000);
    if (write(fd, "defgh", 5) != 5) _exit(3);
    _exit(0);
  }
  std::string out;
  EXPECT_TRUE(ReadFilePrefix(U16(fifo), 7, &out));
  EXPECT_EQ(out, "abcdefg");
  int status = 0;
  ASSERT_EQ(waitpid(writer, &status, 0), writer);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

// ---------------------------------------------------------------- processes

TEST(PosixParentProcessImage, IsTheParentsResolvedImage) {
  char* self = realpath("/proc/self/exe", nullptr);
  ASSERT_NE(self, nullptr);
  const std::u16string expected = U16(self);
  free(self);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) _exit(ParentProcessImage() == expected ? 0 : 1);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

// A lock for life tells its holder and its note to others, who look
// without taking it and without creating the file.
TEST(PosixLockForLife, TellsItsHolderAndNoteToOthers) {
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  const std::u16string lock = U16(dir / "terminal.lock");
  std::int64_t holder = -1;
  std::string note = "stale";
  EXPECT_FALSE(LockHeld(lock, &holder, &note));
  EXPECT_FALSE(PathExists(lock));
  EXPECT_EQ(note, "");
  int locked[2], release[2];
  ASSERT_EQ(pipe(locked), 0);
  ASSERT_EQ(pipe(release), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(locked[0]);
    close(release[1]);
    std::int64_t other = 0;
    std::string other_note;
    if (LockForLife(lock, "/run/x/ZK5.Terminal.AB", &other, &other_note) != LockStatus::kLocked) {
      _exit(1);
    }
    char byte = 1;
    if (write(locked[1], &byte, 1) != 1) _exit(2);
    static_cast<void>(read(release[0], &byte, 1));  // until the parent closes it
    _exit(0);
  }
  close(locked[1]);
  close(release[0]);
  char byte = 0;
  ASSERT_EQ(read(locked[0], &byte, 1), 1);
  EXPECT_TRUE(LockHeld(lock, &holder, &note));
  EXPECT_EQ(holder, child);
  EXPECT_EQ(note, "/run/x/ZK5.Terminal.AB");
  holder = 0;
  note.clear();
  EXPECT_EQ(LockForLife(lock, "mine", &holder, &note), LockStatus::kHeld);
  EXPECT_EQ(holder, child);
  EXPECT_EQ(note, "/run/x/ZK5.Terminal.AB");
  EXPECT_EQ(ReadAll(U8(lock)), std::to_string(child) + "\n/run/x/ZK5.Terminal.AB\n");
  close(release[1]);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_FALSE(LockHeld(lock, &holder, &note));
  close(locked[0]);
  EXPECT_EQ(LockNote("12\r\nnote\r\n"), "note");
  EXPECT_EQ(LockNote("12\nnote cut sh"), "");
}

// What a started program found about itself, written by the probe script.
struct ProbeReport {
  std::vector<std::string> argv;
  std::map<int, std::string> fds;  // descriptor -> target, the script's own left out
  long ppid = 0;
  long sid = 0;
};

// The shell keeps the script open on a descriptor of its own (close-on-exec).
// The probe lists the shell's descriptors from a subshell, which redirects
// its own output, so that the listing adds none to the shell.
constexpr char kProbeScript[] =
    "#!/bin/sh\n"
    "d=$(dirname \"$0\")\n"
    "for a in \"$0\" \"$@\"; do printf '%s\\n' \"$a\"; done > \"$d/argv\"\n"
    "cat /proc/$$/stat > \"$d/stat\"\n"
    "(ls -l /proc/$$/fd > \"$d/fds.tmp\")\n"
    "mv \"$d/fds.tmp\" \"$d/fds\"\n";

bool WaitForFile(const std::string& path) {
  for (int i = 0; i < 200; ++i) {
    if (access(path.c_str(), F_OK) == 0) return true;
    usleep(50000);
  }
  return false;
}

ProbeReport ReadProbe(const std::string& dir, const std::string& script) {
  ProbeReport r;
  std::istringstream argv(ReadAll(dir + "/argv"));
  for (std::string line; std::getline(argv, line);) r.argv.push_back(line);
  const std::string stat = ReadAll(dir + "/stat");
  char state = 0;
  long pgrp = 0;
  std::sscanf(stat.c_str() + stat.rfind(')') + 1, " %c %ld %ld %ld", &state, &r.ppid, &pgrp,
              &r.sid);
  std::istringstream fds(ReadAll(dir + "/fds"));
  for (std::string line; std::getline(fds, line);) {
    const std::size_t arrow = line.find(" -> ");
    if (arrow == std::string::npos) continue;
    const std::size_t name = line.rfind(' ', arrow - 1) + 1;
    const std::string target = line.substr(arrow + 4);
    if (target == script) continue;
    r.fds[std::atoi(line.substr(name, arrow - name).c_str())] = target;
  }
  return r;
}

class PosixLaunchProcess : public ::testing::TestWithParam<bool> {};

std::vector<std::u16string> Args(bool portable) {
  if (portable) return {u"/portable"};
  return {};
}

TEST_P(PosixLaunchProcess, DetachedWithNullStreamsAndNoInheritedDescriptors) {
  const bool portable = GetParam();
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  const std::string script = dir / "probe.sh";
  ASSERT_TRUE(WriteFile(script, kProbeScript, 0755));
  // A descriptor without close-on-exec that the child must not receive.
  ASSERT_TRUE(WriteFile(dir / "leak", ""));
  const int leak = open((dir / "leak").c_str(), O_RDONLY);
  ASSERT_GE(leak, 0);
  const bool launched = LaunchProcess(U16(script), Args(portable));
  close(leak);
  ASSERT_TRUE(launched);
  // The intermediate child is reaped and the program is not our child.
  int status = 0;
  errno = 0;
  EXPECT_EQ(waitpid(-1, &status, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);

  ASSERT_TRUE(WaitForFile(dir / "fds"));
  const ProbeReport r = ReadProbe(dir.path(), script);
  std::vector<std::string> expected_argv = {script};
  if (portable) expected_argv.push_back("/portable");
  EXPECT_EQ(r.argv, expected_argv);
  const std::map<int, std::string> expected_fds = {
      {0, "/dev/null"}, {1, "/dev/null"}, {2, "/dev/null"}};
  EXPECT_EQ(r.fds, expected_fds);
  EXPECT_NE(r.ppid, static_cast<long>(getpid()));
  EXPECT_NE(r.sid, static_cast<long>(getsid(0)));
  EXPECT_GT(r.sid, 0);
}

INSTANTIATE_TEST_SUITE_P(Portable, PosixLaunchProcess, ::testing::Bool());

enum class Unstartable { kMissing, kNotExecutable, kDirectory, kNoFormat };

class PosixLaunchProcessFails : public ::testing::TestWithParam<Unstartable> {};

TEST_P(PosixLaunchProcessFails, ReportsExecFailure) {
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  const std::string path = dir / "terminal64.exe";
  switch (GetParam()) {
    case Unstartable::kMissing:
      break;
    case Unstartable::kNotExecutable:
      ASSERT_TRUE(WriteFile(path, "#!/bin/sh\ntouch \"$0.ran\"\n", 0644));
      break;
    case Unstartable::kDirectory:
      ASSERT_TRUE(MakeDir(path));
      break;
    case Unstartable::kNoFormat:
      ASSERT_TRUE(WriteFile(path, std::string("\x01\x02garbage\n", 10), 0755));
      break;
  }
  EXPECT_FALSE(LaunchProcess(U16(path), {}));
  EXPECT_FALSE(LaunchProcess(U16(path), {u"/portable"}));
  int status = 0;
  EXPECT_EQ(waitpid(-1, &status, WNOHANG), -1);
}

INSTANTIATE_TEST_SUITE_P(Kinds, PosixLaunchProcessFails,
                         ::testing::Values(Unstartable::kMissing, Unstartable::kNotExecutable,
                                           Unstartable::kDirectory, Unstartable::kNoFormat));

TEST(PosixLaunchProcessArgs, RefusesEmptyPath) { EXPECT_FALSE(LaunchProcess(u"", {})); }

}  // namespace
}  // namespace zk5::os
