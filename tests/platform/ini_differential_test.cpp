// Our INI reader beside the system's profile service, on the same files:
// every case of ini_cases.h must give the same answer from both. Runs on
// Windows (under Wine on the build machine).
#include <gtest/gtest.h>
#include <windows.h>

#include <vector>

#include "ini_cases.h"
#include "platform/ini_file.h"
#include "test_support/temp_dir.h"

namespace {

class IniDifferential : public ::testing::TestWithParam<ini_cases::IniCase> {};

TEST_P(IniDifferential, OurReaderAnswersAsTheService) {
  const ini_cases::IniCase& c = GetParam();
  test_support::TempDir dir;
  const std::string ini = dir / "case.ini";
  if (c.file != "-") test_support::WriteFile(ini, c.file);
  if (c.asInt) {
    const unsigned service = GetPrivateProfileIntA(c.section, c.key, c.intDefault, ini.c_str());
    EXPECT_EQ(platform::ini::ReadInt(c.section, c.key, c.intDefault, ini), service);
  } else {
    std::string buffer(c.bufferSize, '\0');
    const DWORD length = GetPrivateProfileStringA(c.section, c.key, c.stringDefault, buffer.data(),
                                                  static_cast<DWORD>(c.bufferSize), ini.c_str());
    const std::string service(buffer.data(), length);
    EXPECT_EQ(platform::ini::ReadString(c.section, c.key, c.stringDefault, ini, c.bufferSize),
              service);
  }
}

TEST_P(IniDifferential, OurReaderListsTheKeysAsTheService) {
  const ini_cases::IniCase& c = GetParam();
  test_support::TempDir dir;
  const std::string ini = dir / "case.ini";
  if (c.file != "-") test_support::WriteFile(ini, c.file);
  std::vector<char> buffer(4096);
  const DWORD length = GetPrivateProfileStringA(c.section, nullptr, "", buffer.data(),
                                                static_cast<DWORD>(buffer.size()), ini.c_str());
  ASSERT_LT(length + 2, buffer.size());
  std::vector<std::string> service;
  for (const char* p = buffer.data(); *p != '\0'; p += service.back().size() + 1) service.emplace_back(p);
  EXPECT_EQ(platform::ini::KeyNames(c.section, ini), service);
}

INSTANTIATE_TEST_SUITE_P(Files, IniDifferential, ::testing::ValuesIn(ini_cases::AllCases()),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
