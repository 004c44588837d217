#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "ini_cases.h"
#include "platform/profile.h"
#include "test_support/temp_dir.h"

using platform::GetProfileInt;
using platform::GetProfileString;
using test_support::TempDir;
using test_support::WriteFile;

TEST(Profile, NamesMatchWithoutCaseAndBlanksAreTrimmed) {
  TempDir dir;
  const std::string ini = dir / "Config.ini";
  WriteFile(ini,
            "\xEF\xBB\xBF; comment line\r\n"
            "[Other]\r\nIP1=10.0.0.9\r\n"
            "  [ update ]  \r\n"
            "  ip1 =  192.168.0.1  \r\n"
            "Client=\"My Game.exe\"\r\n"
            "Empty=\r\n"
            "ip1=second wins never\r\n"
            "[UPDATE]\r\nIP2=in a later section of the same name\r\n");
  EXPECT_EQ(GetProfileString("Update", "IP1", "def", ini), "192.168.0.1");
  EXPECT_EQ(GetProfileString("UPDATE", "Ip1", "def", ini), "192.168.0.1");
  EXPECT_EQ(GetProfileString("Update", "Client", "def", ini), "My Game.exe");
  EXPECT_EQ(GetProfileString("Update", "Empty", "def", ini), "") << "present but empty is not missing";
  EXPECT_EQ(GetProfileString("Update", "IP2", "def", ini), "def") << "only the first section counts";
  EXPECT_EQ(GetProfileString("Other", "IP1", "def", ini), "10.0.0.9");
}

TEST(Profile, MissingFileSectionOrKeyGivesTheDefault) {
  TempDir dir;
  const std::string ini = dir / "Config.ini";
  EXPECT_EQ(GetProfileString("Update", "IP1", "fallback", ini), "fallback");
  EXPECT_EQ(GetProfileInt("Update", "Port", 43001, ini), 43001u);
  WriteFile(ini, "[Update]\nPort=1\n");
  EXPECT_EQ(GetProfileString("Nope", "Port", "x", ini), "x");
  EXPECT_EQ(GetProfileString("Update", "Nope", "x", ini), "x");
  EXPECT_EQ(GetProfileInt("Update", "Nope", 7, ini), 7u);
}

TEST(Profile, ValuesAreCutToTheBuffer) {
  TempDir dir;
  const std::string ini = dir / "Config.ini";
  const std::string longValue(200, 'a');
  WriteFile(ini, "[Update]\nIP1=" + longValue + "\n");
  EXPECT_EQ(GetProfileString("Update", "IP1", "", ini), std::string(127, 'a'));
  EXPECT_EQ(GetProfileString("Update", "IP1", "", ini, 10), std::string(9, 'a'));
  EXPECT_EQ(GetProfileString("Update", "IP2", longValue, ini), std::string(127, 'a'))
      << "the default goes through the same buffer";
}

TEST(Profile, IntegersReadTheLeadingDigits) {
  TempDir dir;
  const std::string ini = dir / "Config.ini";
  WriteFile(ini, "[Update]\nA= 8080 \nB=12abc\nC=abc\nD=-1\nE=+5\nF=\nG=4294967297\n");
  EXPECT_EQ(GetProfileInt("Update", "A", 0, ini), 8080u);
  EXPECT_EQ(GetProfileInt("Update", "B", 0, ini), 12u);
  EXPECT_EQ(GetProfileInt("Update", "C", 99, ini), 0u);
  EXPECT_EQ(GetProfileInt("Update", "D", 0, ini), 0xFFFFFFFFu);
  EXPECT_EQ(GetProfileInt("Update", "E", 0, ini), 5u);
  EXPECT_EQ(GetProfileInt("Update", "F", 99, ini), 99u) << "an empty value is no number";
  EXPECT_EQ(GetProfileInt("Update", "G", 0, ini), 1u) << "wraps like a 32-bit value";
}

TEST(Profile, BackslashNamesReachTheFile) {
  TempDir dir;
  WriteFile(dir / "Config.ini", "[Update]\nPort=43002\n");
  test_support::ScopedCurrentDirectory cwd(dir.path());
  EXPECT_EQ(GetProfileInt("Update", "Port", 0, ".\\Config.ini"), 43002u);
}

// The platform's reader against the answers of the system's profile service.
class ProfileAnswers : public ::testing::TestWithParam<ini_cases::IniCase> {};

TEST_P(ProfileAnswers, AsTheSystemServiceAnswers) {
  const ini_cases::IniCase& c = GetParam();
  TempDir dir;
  const std::string ini = dir / "case.ini";
  if (c.file != "-") WriteFile(ini, c.file);
  const platform::ProfileFile batch(ini);
  if (c.asInt) {
    EXPECT_EQ(GetProfileInt(c.section, c.key, c.intDefault, ini), c.expectedInt);
    EXPECT_EQ(batch.GetInt(c.section, c.key, c.intDefault), c.expectedInt) << "read once";
  } else {
    EXPECT_EQ(GetProfileString(c.section, c.key, c.stringDefault, ini, c.bufferSize), c.expectedString);
    EXPECT_EQ(batch.GetString(c.section, c.key, c.stringDefault, c.bufferSize), c.expectedString)
        << "read once";
  }
}

INSTANTIATE_TEST_SUITE_P(Files, ProfileAnswers, ::testing::ValuesIn(ini_cases::AllCases()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Profile, KeyNamesAsTheServiceListsThem) {
  TempDir dir;
  const std::string ini = dir / "Server.lst";
  WriteFile(ini,
            "[Server]\r\nCount=2\r\nName0=a\r\n;IP0=hidden\r\nNoValue\r\nIP0=10.0.0.1\r\n"
            "[Update\r\nName1=b\r\n[Other]\r\nName9=c\r\n[SERVER]\r\nName5=later\r\n");
  EXPECT_EQ(platform::GetProfileKeyNames("server", ini),
            (std::vector<std::string>{"Count", "Name0", "IP0", "Name1"}));
  EXPECT_TRUE(platform::GetProfileKeyNames(" Server ", ini).empty())
      << "the listing takes the section name as given";
  EXPECT_TRUE(platform::GetProfileKeyNames("Missing", ini).empty());
  EXPECT_TRUE(platform::GetProfileKeyNames("Server", dir / "missing.lst").empty());
}

// A file read once for many lookups answers every lookup as a lookup of its
// own would: each file below is asked every section and key of the probes.
TEST(Profile, ReadOnceAnswersAsEachLookupAlone) {
  using namespace std::string_literals;
  const std::pair<const char*, std::string> files[] = {
      {"duplicates",
       "[Server]\nName0=a\nname0=b\nNAME1\nName1=c\nIP0=1.2.3.4\n[server]\nName2=late\n"
       "[Other]\nName0=o\n[OTHER]\nIP0=later\n"},
      {"keys above any header", "Name0=top\nIP0=9.9.9.9\n[]\nName0=empty header\n[ Server ]\nName0=x\n"},
      {"blanks",
       " [Server] \n Name0 = a b \n\tIP0\t=\t10.0.0.1\t\n=nameless\n;Name1=c\nName2 \n"
       "[Server\nName1=unclosed\n[Ser]ver]\nName0=bracket\n"},
      {"byte-order mark, quotes, bare CR", "\xEF\xBB\xBF[Server]\rName0=\"q u\"\rIP0='1.2.3.4'\rName1=\"\r"},
      {"NUL bytes", "[Ser\0ver]\nName0=a\0b\n[Server]\nName\0x=real\nIP0=5\0 6\n"s},
      {"empty", ""},
      {"no file", "-"},
  };
  const char* sections[] = {"Server", "server", " Server ", "SERVER",  "",
                            " ",      "Other",  "Ser",      "Ser]ver", "Missing"};
  const char* keys[] = {"Name0", "name0", " Name0 ", "Name1", "NAME1", "Name2",
                        "IP0",   "",      ";Name1",  "Count", "Name"};
  for (const auto& [what, text] : files) {
    SCOPED_TRACE(what);
    TempDir dir;
    const std::string ini = dir / "Server.lst";
    if (text != "-") WriteFile(ini, text);
    const platform::ProfileFile batch(ini);
    for (const char* section : sections) {
      SCOPED_TRACE(std::string("[") + section + "]");
      EXPECT_EQ(batch.GetKeyNames(section), platform::GetProfileKeyNames(section, ini));
      for (const char* key : keys) {
        SCOPED_TRACE(key);
        EXPECT_EQ(batch.GetString(section, key, "def "), GetProfileString(section, key, "def ", ini));
        EXPECT_EQ(batch.GetString(section, key, "", 3), GetProfileString(section, key, "", ini, 3));
        EXPECT_EQ(batch.GetInt(section, key, -7), GetProfileInt(section, key, -7, ini));
      }
    }
  }
}
