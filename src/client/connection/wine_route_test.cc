// The way to a Windows terminal under Wine, on a prefix laid out on disk as
// Wine lays it out (drive links in dosdevices), without running Wine.
#include "connection/wine_route.h"

#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "ipc/pipe_name.h"
#include "test_files.h"

namespace zk5 {
namespace {

using test::MakeDir;
using test::ScopedEnv;
using test::TempDir;
using test::U16;
using test::U8;
using test::WriteFile;

// A minimal image: "MZ", the header offset at 0x3C, "PE\0\0" there.
std::string PeImage(std::uint32_t at) {
  std::string image(at + 64, '\0');
  image[0] = 'M';
  image[1] = 'Z';
  for (int i = 0; i < 4; ++i) image[0x3C + i] = static_cast<char>(at >> (8 * i));
  image.replace(at, 4, std::string("PE\0\0", 4));
  return image;
}

class WineRouteTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(tmp_.ok());
    prefix_ = tmp_ / "prefix";
    other_ = tmp_ / "other";
    for (const std::string& dir : {prefix_, prefix_ + "/dosdevices", prefix_ + "/drive_c",
                                   prefix_ + "/drive_c/Zelkor", other_}) {
      ASSERT_TRUE(MakeDir(dir));
    }
    ASSERT_EQ(symlink("../drive_c", (prefix_ + "/dosdevices/c:").c_str()), 0);
    ASSERT_EQ(symlink("/", (prefix_ + "/dosdevices/z:").c_str()), 0);
    ASSERT_EQ(symlink(other_.c_str(), (prefix_ + "/dosdevices/d:").c_str()), 0);
    ASSERT_EQ(symlink("/dev/ttyS0", (prefix_ + "/dosdevices/com1").c_str()), 0);
    exe_ = prefix_ + "/drive_c/Zelkor/terminal64.exe";
    ASSERT_TRUE(WriteFile(exe_, PeImage(0x80), 0755));
  }

  TempDir tmp_;
  std::string prefix_, other_, exe_;
};

TEST_F(WineRouteTest, WindowsProgramsAreToldByTheirHeader) {
  EXPECT_TRUE(IsWindowsProgram(U16(exe_)));
  const std::string elf = tmp_ / "elf";
  ASSERT_TRUE(WriteFile(elf,
                        "\x7f"
                        "ELF" +
                            std::string(200, '\0')));
  EXPECT_FALSE(IsWindowsProgram(U16(elf)));
  // "MZ" alone, a header pointing past the file, and no file at all.
  std::string dos_only = PeImage(0x80);
  dos_only[0x80] = 'X';
  ASSERT_TRUE(WriteFile(tmp_ / "dos", dos_only));
  ASSERT_TRUE(WriteFile(tmp_ / "short", PeImage(0x80).substr(0, 0x82)));
  EXPECT_FALSE(IsWindowsProgram(U16(tmp_ / "dos")));
  EXPECT_FALSE(IsWindowsProgram(U16(tmp_ / "short")));
  EXPECT_FALSE(IsWindowsProgram(U16(tmp_ / "missing")));
}

TEST_F(WineRouteTest, PathsMapThroughTheClosestDrive) {
  EXPECT_EQ(U8(WindowsPathIn(U16(prefix_), U16(exe_))), "C:\\Zelkor\\terminal64.exe");
  EXPECT_EQ(U8(WindowsPathIn(U16(prefix_), U16(other_ + "/a/b.exe"))), "D:\\a\\b.exe");
  EXPECT_EQ(U8(WindowsPathIn(U16(prefix_), U16("/opt/T/terminal64.exe"))),
            "Z:\\opt\\T\\terminal64.exe");
  EXPECT_EQ(U8(HostPathIn(U16(prefix_), u"C:\\Zelkor")), prefix_ + "/dosdevices/c:/Zelkor");
  EXPECT_EQ(U8(HostPathIn(U16(prefix_), u"d:\\x\\")), prefix_ + "/dosdevices/d:/x");
  EXPECT_EQ(U8(HostPathIn(U16(prefix_), u"\\\\server\\share")), "");
}

TEST_F(WineRouteTest, PrefixIsTheFolderAboveDriveCElseTheDefault) {
  EXPECT_EQ(U8(WinePrefixOf(U16(exe_))), prefix_);
  {
    ScopedEnv env("WINEPREFIX", other_.c_str());
    EXPECT_EQ(U8(WinePrefixOf(U16("/opt/T/terminal64.exe"))), other_);
  }
  ScopedEnv no_prefix("WINEPREFIX", nullptr);
  ScopedEnv home("HOME", "/home/someone");
  EXPECT_EQ(U8(WinePrefixOf(U16("/opt/drive_c"))), "/home/someone/.wine");
}

TEST_F(WineRouteTest, RouteNamesThePipeAsTheTerminalUnderWineDoes) {
  const std::string relay = tmp_ / "zk5relay.exe";
  ASSERT_TRUE(WriteFile(relay, PeImage(0x80)));
  const std::string bin = tmp_ / "bin";
  ASSERT_TRUE(MakeDir(bin));
  ASSERT_TRUE(WriteFile(bin + "/wine", "#!/bin/sh\n", 0755));
  ScopedEnv path("PATH", bin.c_str());

  WineRoute route;
  EXPECT_EQ(U8(PlanWineRoute(U16(exe_), U16(relay), &route)), "");
  EXPECT_EQ(U8(route.setup.wine), bin + "/wine");
  EXPECT_EQ(U8(route.setup.prefix), prefix_);
  std::uint8_t digest[32];
  ASSERT_TRUE(CanonicalPathHash(u"\\\\?\\c:\\zelkor\\TERMINAL64.EXE", digest));
  EXPECT_EQ(route.pipe_name, PipeNameFromHash(digest));

  // What makes the way impossible is said.
  EXPECT_EQ(U8(PlanWineRoute(U16(exe_), U16(tmp_ / "none.exe"), &route)),
            "The relay to Wine is not installed: '" + (tmp_ / "none.exe") + "'");
  {
    ScopedEnv env("WINEPREFIX", (tmp_ / "nothing").c_str());
    const std::string outside = other_ + "/terminal64.exe";
    EXPECT_EQ(U8(PlanWineRoute(U16(outside), U16(relay), &route)),
              "No Wine prefix at '" + (tmp_ / "nothing") + "' for '" + outside + "'");
  }
  ScopedEnv empty_path("PATH", "");
  EXPECT_EQ(U8(PlanWineRoute(U16(exe_), U16(relay), &route)),
            "Wine is needed to run '" + exe_ + "', but no wine program is in PATH");
}

}  // namespace
}  // namespace zk5
