#include "support/paths.h"

#include <gtest/gtest.h>

#include "common/temphome.h"

namespace support {
namespace {

TEST(MapDrivePath, DriveRootBecomesTheHomeFolder) {
  test::TTempHome home;
  EXPECT_EQ(MapDrivePath("C:\\quenZOR.csv"), home.Path() + "/quenZOR.csv");
  EXPECT_EQ(MapDrivePath("C:\\Qv\\vrn6\\logs\\Ews.QvLog"), home.Path() + "/Qv/vrn6/logs/Ews.QvLog");
  EXPECT_EQ(MapDrivePath("c:\\a\\"), home.Path() + "/a/");
}

TEST(MapDrivePath, HomeWithTrailingSlashOrRootGivesNoDoubleSlash) {
  test::TTempHome home;
  setenv("HOME", (home.Path() + "/").c_str(), 1);
  EXPECT_EQ(MapDrivePath("C:\\x.txt"), home.Path() + "/x.txt");
  setenv("HOME", "/", 1);
  EXPECT_EQ(MapDrivePath("C:\\x.txt"), "/x.txt");
}

TEST(MapDrivePath, WithoutHomeVariableUsesThePasswdEntry) {
  test::TTempHome home;
  unsetenv("HOME");
  std::string mapped = MapDrivePath("C:\\quenZOR.csv");
  EXPECT_TRUE(mapped.ends_with("/quenZOR.csv")) << mapped;
  EXPECT_EQ(mapped.front(), '/');
}

TEST(MapDrivePath, PathWithoutDriveOnlyTurnsBackslashes) {
  EXPECT_EQ(MapDrivePath("logs\\a.log"), "logs/a.log");
}

TEST(TempFolder, IsTheProgramsFolderUnderQvTemp6) {
  test::TTempHome home;
  EXPECT_EQ(TempFolder(), home.Path() + "/Qv/Temp6/support_tests/");
}

}  // namespace
}  // namespace support
