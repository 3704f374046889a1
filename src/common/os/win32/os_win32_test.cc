// The Windows file, path and text operations of os/, on real files.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "base/text.h"
#include "os/os.h"
#include "os/win32/win32_util.h"
#include "test_files.h"

namespace zk5::os {
namespace {

using test::TempFolder;
using test::U16;
namespace fs = std::filesystem;

bool StartsWith(const std::u16string& s, const std::u16string& prefix) {
  return s.compare(0, prefix.size(), prefix) == 0;
}

bool EndsWith(const std::u16string& s, const std::u16string& suffix) {
  return s.size() >= suffix.size() &&
         s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

std::u16string Upper(std::u16string s) {
  for (char16_t& c : s) {
    if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
  }
  return s;
}

bool SetWriteTime(const fs::path& p, std::uint64_t time) {
  HANDLE h =
      CreateFileW(p.wstring().c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  FILETIME ft{static_cast<DWORD>(time & 0xFFFFFFFF), static_cast<DWORD>(time >> 32)};
  const bool ok = SetFileTime(h, nullptr, nullptr, &ft) != 0;
  CloseHandle(h);
  return ok;
}

class Win32Files : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.ok());
    ASSERT_TRUE(test::WriteBytes(dir_ / "Terminal64.exe", "MZ"));
    ASSERT_TRUE(fs::create_directory(dir_ / "sub"));
  }
  TempFolder dir_;
};

TEST_F(Win32Files, FinalPathIsTheDriveLetterFormOfTheFile) {
  const std::u16string final_path = FinalPath(U16(dir_ / "Terminal64.exe"));
  EXPECT_TRUE(StartsWith(final_path, u"\\\\?\\"));
  EXPECT_TRUE(EndsWith(final_path, u"\\Terminal64.exe"));
  // Letter case and detours lead to the same file and the same final path,
  // in the file system's own letter case.
  EXPECT_EQ(FinalPath(Upper(U16(dir_ / "Terminal64.exe"))), final_path);
  EXPECT_EQ(FinalPath(U16(dir_ / "sub" / ".." / "terminal64.EXE")), final_path);
  EXPECT_EQ(FinalPath(U16(dir_.path()) + u"/sub/../Terminal64.exe"), final_path);
}

TEST_F(Win32Files, FinalPathIsEmptyWhenTheFileCannotBeOpened) {
  EXPECT_EQ(FinalPath(U16(dir_ / "missing.exe")), u"");
  EXPECT_EQ(FinalPath(u""), u"");
  // Folders are opened without backup semantics, so they do not resolve.
  EXPECT_EQ(FinalPath(U16(dir_ / "sub")), u"");
}

TEST(Win32LowerCase, AgreesWithTheSimpleMappingOfLetters) {
  std::u16string text;
  for (char16_t c = 0x20; c < 0x7F; ++c) text.push_back(c);
  for (char16_t c = 0xC0; c <= 0xDE; ++c) text.push_back(c);
  for (char16_t c = 0x391; c <= 0x3A9; ++c) text.push_back(c);
  for (char16_t c = 0x410; c <= 0x42F; ++c) text.push_back(c);
  text.push_back(0);  // the length counts, not a terminator
  text += u"\u00C4Z";
  std::u16string expected = text;
  text::LowerInPlace(&expected[0], expected.size());
  std::u16string lowered = text;
  LowerCaseInPlace(&lowered[0], lowered.size());
  EXPECT_EQ(lowered, expected);
  // Only the given units change.
  std::u16string part = u"ABCD";
  LowerCaseInPlace(&part[0], 2);
  EXPECT_EQ(part, u"abCD");
}

TEST(Win32RoamingFolder, IsTheUsersRoamingApplicationData) {
  std::u16string folder;
  ASSERT_TRUE(RoamingFolder(&folder));
  EXPECT_FALSE(folder.empty());
  EXPECT_NE(folder.back(), u'\\');
  EXPECT_TRUE(PathExists(folder));
  std::u16string lower = folder;
  LowerCaseInPlace(&lower[0], lower.size());
  EXPECT_TRUE(EndsWith(lower, u"\\appdata\\roaming")) << std::string(lower.begin(), lower.end());
}

TEST_F(Win32Files, ListDirectoryNamesEntriesAndFolders) {
  ASSERT_TRUE(test::WriteBytes(dir_ / u"\u00E9t\u00E9.txt", ""));
  for (const std::u16string& dir : {U16(dir_.path()), U16(dir_.path()) + u"\\"}) {
    std::vector<DirEntry> entries;
    ASSERT_TRUE(ListDirectory(dir, &entries));
    std::vector<std::pair<std::u16string, bool>> seen;
    for (const DirEntry& e : entries) seen.emplace_back(e.name, e.is_directory);
    std::sort(seen.begin(), seen.end());
    const std::vector<std::pair<std::u16string, bool>> expected = {{u".", true},
                                                                   {u"..", true},
                                                                   {u"Terminal64.exe", false},
                                                                   {u"sub", true},
                                                                   {u"\u00E9t\u00E9.txt", false}};
    EXPECT_EQ(seen, expected);
  }
  std::vector<DirEntry> entries;
  EXPECT_FALSE(ListDirectory(U16(dir_ / "missing"), &entries));
  EXPECT_FALSE(ListDirectory(u"", &entries));
}

TEST_F(Win32Files, PathExistsForFilesAndFolders) {
  EXPECT_TRUE(PathExists(U16(dir_ / "Terminal64.exe")));
  EXPECT_TRUE(PathExists(U16(dir_ / "sub")));
  EXPECT_TRUE(PathExists(U16(dir_ / "SUB")));
  EXPECT_FALSE(PathExists(U16(dir_ / "missing")));
  EXPECT_FALSE(PathExists(u""));
}

TEST_F(Win32Files, LastWriteTimeIsTheFileTime) {
  ASSERT_TRUE(test::WriteBytes(dir_ / "a", ""));
  // 2020-01-01 and one 100-ns tick later, as FILETIME values.
  const std::uint64_t t0 = 132223104000000000ull;
  ASSERT_TRUE(SetWriteTime(dir_ / "a", t0));
  ASSERT_TRUE(SetWriteTime(dir_ / "sub", t0 + 1));
  std::uint64_t a = 0;
  std::uint64_t sub = 0;
  ASSERT_TRUE(LastWriteTime(U16(dir_ / "a"), &a));
  ASSERT_TRUE(LastWriteTime(U16(dir_ / "sub"), &sub));
  EXPECT_EQ(a, t0);
  EXPECT_EQ(sub, t0 + 1);
  std::uint64_t untouched = 7;
  EXPECT_FALSE(LastWriteTime(U16(dir_ / "missing"), &untouched));
  EXPECT_EQ(untouched, 7u);
}

TEST_F(Win32Files, ReadFilePrefixReadsAtMostMax) {
  std::string content;
  for (int i = 0; i < 1000; ++i) content.push_back(static_cast<char>(i * 7));
  ASSERT_TRUE(test::WriteBytes(dir_ / "origin.txt", content));
  std::string out;
  ASSERT_TRUE(ReadFilePrefix(U16(dir_ / "origin.txt"), 518, &out));
  EXPECT_EQ(out, content.substr(0, 518));
  ASSERT_TRUE(ReadFilePrefix(U16(dir_ / "origin.txt"), 5000, &out));
  EXPECT_EQ(out, content);
  EXPECT_FALSE(ReadFilePrefix(U16(dir_ / "missing.txt"), 10, &out));
  EXPECT_TRUE(out.empty());
  EXPECT_FALSE(ReadFilePrefix(U16(dir_ / "sub"), 10, &out));
}

TEST_F(Win32Files, ReadFilePrefixSharesAFileOpenForWriting) {
  ASSERT_TRUE(test::WriteBytes(dir_ / "origin.txt", std::string("\xFF\xFE"
                                                                "a\0b\0",
                                                                6)));
  HANDLE writer =
      CreateFileW((dir_ / "origin.txt").wstring().c_str(), GENERIC_WRITE,
                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(writer, INVALID_HANDLE_VALUE);
  std::string out;
  EXPECT_TRUE(ReadFilePrefix(U16(dir_ / "origin.txt"), 518, &out));
  EXPECT_EQ(out.size(), 6u);
  CloseHandle(writer);
}

}  // namespace
}  // namespace zk5::os
