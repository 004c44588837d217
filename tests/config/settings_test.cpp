#include <gtest/gtest.h>
#include <sys/stat.h>

#include "config/settings.h"
#include "test_support/temp_dir.h"

using config::ReadSettings;
using test_support::ScopedCurrentDirectory;
using test_support::TempDir;
using test_support::WriteFile;

TEST(Settings, DefaultsWithoutAConfigFile) {
  TempDir dir;
  ScopedCurrentDirectory cwd(dir.path());
  const config::UpdaterSettings settings = config::LoadSettings();
  EXPECT_EQ(settings.serverAddresses[0], "127.0.0.1");
  EXPECT_EQ(settings.serverAddresses[1], "localhost");
  EXPECT_EQ(settings.port, 43001u);
  EXPECT_EQ(settings.clientExecutable, "Mirvale.exe");
}

TEST(Settings, ReadFromTheCurrentDirectory) {
  TempDir dir;
  WriteFile(dir / "Config.ini", "[update]\r\nip1=\r\nIP2 = update.example.net\r\nPort=43002\r\nClient=" +
                                    std::string(140, 'c') + "\r\n");
  ScopedCurrentDirectory cwd(dir.path());
  const config::UpdaterSettings settings = config::LoadSettings();
  EXPECT_EQ(settings.serverAddresses[0], "") << "present but empty stays empty";
  EXPECT_EQ(settings.serverAddresses[1], "update.example.net");
  EXPECT_EQ(settings.port, 43002u);
  EXPECT_EQ(settings.clientExecutable, std::string(127, 'c'));

  const config::UpdaterSettings elsewhere = ReadSettings(dir / "missing.ini");
  EXPECT_EQ(elsewhere.port, 43001u);
}

#ifndef _WIN32
// A pipe under the name is no settings file: the defaults, without waiting
// for someone to write into it.
TEST(Settings, APipeNamedConfigIniGivesTheDefaults) {
  TempDir dir;
  ASSERT_EQ(mkfifo((dir / "Config.ini").c_str(), 0644), 0);
  const config::UpdaterSettings settings = ReadSettings(dir / "Config.ini");
  EXPECT_EQ(settings.port, 43001u);
  EXPECT_EQ(settings.serverAddresses[0], "127.0.0.1");
}
#endif
