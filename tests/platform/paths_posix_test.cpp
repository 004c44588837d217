// The POSIX side of the path services: backslash names mapped to host
// paths, and a private temporary folder of our own.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>
#include <utility>

#include "platform/paths.h"
#include "test_support/temp_dir.h"

namespace fs = std::filesystem;
using test_support::ScopedEnv;
using test_support::TempDir;

TEST(Paths, HostPathUsesSlashes) {
  EXPECT_EQ(platform::HostPath("data\\maps\\a.dat"), "data/maps/a.dat");
  EXPECT_EQ(platform::HostPath(".\\Config.ini"), "./Config.ini");
}

TEST(Paths, UserTempDirectoryIsPrivate) {
  TempDir base;
  ScopedEnv runtime("XDG_RUNTIME_DIR", nullptr);
  ScopedEnv cache("XDG_CACHE_HOME", (base / "cache").c_str());
  const std::string dir = platform::UserTempDirectory();
  ASSERT_FALSE(dir.empty());
  EXPECT_EQ(dir, base / "cache/mirvale-updater-" + std::to_string(geteuid()) + "/");
  struct stat st {};
  ASSERT_EQ(lstat(dir.c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(st.st_mode & 077, 0u);
  EXPECT_EQ(st.st_uid, geteuid());
  ASSERT_EQ(lstat((base / "cache").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 077, 0u) << "a cache folder made for it is private too";

  // Widened by someone: narrowed again.
  chmod(dir.c_str(), 0777);
  EXPECT_EQ(platform::UserTempDirectory(), dir);
  ASSERT_EQ(lstat(dir.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 077, 0u);
}

// Without a runtime directory, what another user put in the shared temporary
// folder first, or in place of our folders, is never used nor written
// through: the folder is the one in the user's cache folder, or none.
TEST(Paths, UserTempDirectoryIsNeverOneOthersMadeOrReach) {
  struct Case {
    const char* name;
    std::function<void(const std::string& planted, const std::string& victim)> plant;
    const char* cacheBase;  // relative to the scratch folder; nullptr: unset, HOME there instead
    bool inCache;           // true: the cache folder; false: none at all
    bool foreign;           // plants another user's folder: only as root
  };
  const auto link = [](const std::string& planted, const std::string& victim) {
    fs::create_directory_symlink(victim, planted);
  };
  const auto foreignOpenFolder = [](const std::string& planted, const std::string&) {
    fs::create_directory(planted);
    chmod(planted.c_str(), 0777);
    [[maybe_unused]] const int changed = chown(planted.c_str(), 65534, 65534);
  };
  const Case cases[] = {
      {"link in the shared folder", link, "cache", true, false},
      {"another user's open folder in the shared folder", foreignOpenFolder, "cache", true, true},
      {"link, home cache", link, nullptr, true, false},
      {"link in place of the cache's own folder", link, "cache", false, false},
      {"other user's folder in place of the cache's own", foreignOpenFolder, "cache", false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.foreign && geteuid() != 0) continue;  // only the administrator can give a folder away
    TempDir base;
    fs::create_directories(base / "tmp");
    fs::create_directories(base / "victim");
    chmod((base / "tmp").c_str(), 01777);
    const std::string own = "mirvale-updater-" + std::to_string(geteuid());
    const std::string cacheBase = c.cacheBase ? base / c.cacheBase : base / "home/.cache";
    fs::create_directories(cacheBase);
    // Planted in the shared folder, or (for the cache cases) in place of our cache folder too.
    const std::string planted = c.inCache ? base / "tmp/" + own : cacheBase + "/" + own;
    c.plant(planted, base / "victim");
    if (!c.inCache) c.plant(base / "tmp/" + own, base / "victim");
    ScopedEnv runtime("XDG_RUNTIME_DIR", nullptr);
    ScopedEnv cache("XDG_CACHE_HOME", c.cacheBase ? cacheBase.c_str() : nullptr);
    ScopedEnv home("HOME", (base / "home").c_str());
    ScopedEnv tmp("TMPDIR", (base / "tmp").c_str());

    const std::string dir = platform::UserTempDirectory();
    if (c.inCache) {
      EXPECT_EQ(dir, cacheBase + "/" + own + "/");
    } else {
      EXPECT_EQ(dir, "");
    }
    if (!dir.empty()) test_support::WriteFile(dir + "Server.lst", "[Server]\n");
    EXPECT_TRUE(fs::is_empty(base / "victim")) << "nothing written through a link";
  }
}

TEST(Paths, UserTempDirectoryPrefersAPrivateRuntimeDirectory) {
  TempDir runtime;
  chmod(runtime.path().c_str(), 0700);
  ScopedEnv env("XDG_RUNTIME_DIR", runtime.path().c_str());
  EXPECT_EQ(platform::UserTempDirectory().rfind(runtime.path() + "/", 0), 0u);

  chmod(runtime.path().c_str(), 0777);  // shared: not used, and not changed either
  EXPECT_NE(platform::UserTempDirectory().rfind(runtime.path() + "/", 0), 0u);
  struct stat st {};
  ASSERT_EQ(stat(runtime.path().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0777u);
}

// A session's resolver answers each name as a fresh look at the folder
// would, while it lists each folder once: the names it creates (here each
// name with ".gz", as downloads are) are known to it without looking again.
TEST(Paths, LetterCaseResolverAnswersAsAFreshLookAtTheFolder) {
  TempDir dir;
  test_support::ScopedCurrentDirectory cwd(dir.path());
  fs::create_directories("data/maps");
  fs::create_directories("DATA");
  test_support::WriteFile("data/maps/track.map", "");
  test_support::WriteFile("Readme.txt", "");
  test_support::WriteFile("readme.txt", "");
  test_support::WriteFile("Map.dat", "");
  test_support::WriteFile("MAP.dat", "");
  const std::pair<const char*, const char*> names[] = {
      {"README.TXT", "Readme.txt"},  // the smallest of two spellings
      {"readme.txt", "readme.txt"},  // an exact match wins
      {"map.DAT", "MAP.dat"},
      {"Data\\Maps\\TRACK.map", "DATA\\Maps\\TRACK.map"},  // nothing in the smaller folder
      {"data\\MAPS\\TRACK.map", "data\\maps\\track.map"},
      {"New\\Thing.DAT", "New\\Thing.DAT"},
      {"NEW\\other.dat", "New\\other.dat"},  // the folder made for the name before
      {"new\\THING.DAT.gz", "New\\Thing.DAT.gz"},
      {"new\\thing.dat", "New\\thing.dat"},  // only the download is there, not the file
      {"a\\b\\c.dat", "a\\b\\c.dat"},
      {"A\\B\\C.dat", "a\\b\\C.dat"},
      {"A\\B\\C.DAT.GZ", "a\\b\\C.dat.gz"},        // two downloads now: the smaller
      {"data\\\\maps\\\\x", "data\\\\maps\\\\x"},  // empty parts stay
  };
  platform::LetterCaseResolver resolver;
  for (const auto& [name, expected] : names) {
    SCOPED_TRACE(name);
    const std::string resolved = resolver.Resolve(name);
    EXPECT_EQ(resolved, expected);
    EXPECT_EQ(resolved, platform::ResolveLetterCase(name));
    const std::string created = platform::HostPath(resolved) + ".gz";
    if (fs::path(created).has_parent_path()) fs::create_directories(fs::path(created).parent_path());
    test_support::WriteFile(created, "");
    resolver.NoteCreated(resolved + ".gz");
  }
  // What others add later is not looked for: the folder was listed once.
  test_support::WriteFile("Later.txt", "");
  EXPECT_EQ(platform::ResolveLetterCase("later.txt"), "Later.txt");
  EXPECT_EQ(resolver.Resolve("later.txt"), "later.txt");
}
