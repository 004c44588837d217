#include <gtest/gtest.h>
#include <sys/stat.h>

#include "app/settings.h"
#include "test_support/temp_dir.h"

using app::ReadSettings;
using test_support::ScopedCurrentDirectory;
using test_support::TempDir;
using test_support::WriteFile;

TEST(Settings, DefaultsWithoutAConfigFile) {
  TempDir dir;
  ScopedCurrentDirectory cwd(dir.path());
  app::LoadSettings();
  EXPECT_EQ(app::updaterSettings.serverAddresses[0], "127.0.0.1");
  EXPECT_EQ(app::updaterSettings.serverAddresses[1], "localhost");
  EXPECT_EQ(app::updaterSettings.port, 43001u);
  EXPECT_EQ(app::updaterSettings.clientExecutable, "Mirvale.exe");
}

TEST(Settings, ReadFromTheCurrentDirectory) {
  TempDir dir;
  WriteFile(dir / "Config.ini",
            "[update]\r\nip1=\r\nIP2 = update.example.net\r\nPort=43002\r\nClient=" +
                std::string(140, 'c') + "\r\n");
  ScopedCurrentDirectory cwd(dir.path());
  app::LoadSettings();
  EXPECT_EQ(app::updaterSettings.serverAddresses[0], "") << "present but empty stays empty";
  EXPECT_EQ(app::updaterSettings.serverAddresses[1], "update.example.net");
  EXPECT_EQ(app::updaterSettings.port, 43002u);
  EXPECT_EQ(app::updaterSettings.clientExecutable, std::string(127, 'c'));

  const app::UpdaterSettings elsewhere = ReadSettings(dir / "missing.ini");
  EXPECT_EQ(elsewhere.port, 43001u);
}

#ifndef _WIN32
// A pipe under the name is no settings file: the defaults, without waiting
// for someone to write into it.
TEST(Settings, APipeNamedConfigIniGivesTheDefaults) {
  TempDir dir;
  ASSERT_EQ(mkfifo((dir / "Config.ini").c_str(), 0644), 0);
  const app::UpdaterSettings settings = ReadSettings(dir / "Config.ini");
  EXPECT_EQ(settings.port, 43001u);
  EXPECT_EQ(settings.serverAddresses[0], "127.0.0.1");
}
#endif
