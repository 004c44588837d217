#pragma once
// INI files with the answers the system's profile service gives for them
// (GetPrivateProfileStringA / GetPrivateProfileIntA, as observed under Wine).
// profile_test runs them through whichever reader the platform uses; on
// Windows ini_differential_test also runs our own reader beside the service.

#include <cstddef>
#include <string>
#include <vector>

namespace ini_cases {

struct IniCase {
  const char* name;       // test name
  std::string file;       // the file's bytes; "-" for no file at all
  const char* section;
  const char* key;
  bool asInt;             // GetPrivateProfileInt instead of ...String
  const char* stringDefault;
  int intDefault;
  std::size_t bufferSize; // for strings
  std::string expectedString;
  unsigned expectedInt;
};

inline IniCase Str(const char* name, std::string file, const char* section, const char* key,
                   std::string expected, const char* fallback = "def", std::size_t buffer = 128) {
  return {name, std::move(file), section, key, false, fallback, 0, buffer, std::move(expected), 0};
}

inline IniCase Int(const char* name, std::string file, const char* key, unsigned expected,
                   int fallback = 43001) {
  return {name, std::move(file), "Update", key, true, "", fallback, 0, "", expected};
}

inline std::vector<IniCase> AllCases() {
  using namespace std::string_literals;
  return {
      Str("CrLfLines", "[Update]\r\nIP1=10.0.0.1\r\nIP2=10.0.0.2\r\n", "Update", "IP2", "10.0.0.2"),
      Str("NamesIgnoreCase", "[uPdAtE]\nip1=x\n", "UPDATE", "Ip1", "x"),
      Str("BlanksAroundNameAndValue", "[Update]\n \t IP1 \t=  a b \t\n", "Update", "IP1", "a b"),
      Str("WantedNamesAreTrimmed", "[Update]\nIP1=x\n", " Update ", " IP1\t", "x"),
      Str("BlanksInsideBracketsAreDropped", "[ Update\t]\nIP1=x\n", "Update", "IP1", "x"),
      Str("TextAfterTheBracket", "[Update] old\nIP1=x\n", "Update", "IP1", "x"),
      Str("NameRunsToTheLastBracket", "[Up]date]\nIP1=x\n", "Up]date", "IP1", "x"),
      Str("MissingFile", "-", "Update", "IP1", "def"),
      Str("MissingSection", "[Other]\nIP1=x\n", "Update", "IP1", "def"),
      Str("MissingKey", "[Update]\nIP2=x\n", "Update", "IP1", "def"),
      Str("EmptyValueIsNotMissing", "[Update]\nIP1=\nIP2=x\n", "Update", "IP1", ""),
      Str("LineWithoutEqualsIsAKeyWithoutValue", "[Update]\nIP1\nIP1=x\n", "Update", "IP1", "def"),
      Str("FirstKeyWins", "[Update]\nIP1=first\nip1=second\n", "Update", "IP1", "first"),
      Str("OnlyTheFirstSectionCounts", "[Update]\nIP1=x\n[UPDATE]\nIP2=y\n", "Update", "IP2", "def"),
      Str("KeysAboveAnySectionAreNotInIt", "IP1=top\n[Update]\nIP2=y\n", "Update", "IP1", "def"),
      Str("SectionWithoutClosingBracketIsNoSection", "[Update\nIP1=u\n", "Update", "IP1", "def"),
      Str("UnclosedHeaderLineStaysInTheSectionAbove", "[Other]\nIP2=o\n[Update\nIP1=u\n",
          "Other", "IP1", "u"),
      Str("BareCarriageReturnsEndLines", "[Update]\rIP1=x\rIP2=y\r", "Update", "IP2", "y"),
      Str("NulEndsTheValue", "[Update]\nIP1=ab\0cd\nIP2=y\n"s, "Update", "IP1", "ab"),
      Str("LinesAfterANulStillCount", "[Update]\nIP1=ab\0cd\nIP2=y\n"s, "Update", "IP2", "y"),
      Str("SemicolonLineIsNoComment", "[Update]\n;IP1=x\n", "Update", ";IP1", "x"),
      Str("Utf8ByteOrderMark", "\xEF\xBB\xBF[Update]\nIP1=x\n", "Update", "IP1", "x"),
      Str("EqualsInsideTheValue", "[Update]\nIP1=a=b\n", "Update", "IP1", "a=b"),
      Str("EndOfFileMarkIsABlank", "[Update]\nIP1=x\x1a", "Update", "IP1", "x"),
      Str("DoubleQuotesGo", "[Update]\nClient=\"My Game.exe\"\n", "Update", "Client", "My Game.exe"),
      Str("SingleQuotesGo", "[Update]\nClient='a b'\n", "Update", "Client", "a b"),
      Str("UnbalancedQuotesStay", "[Update]\nClient=\"a b\n", "Update", "Client", "\"a b"),
      Str("MixedQuotesStay", "[Update]\nClient=\"a b'\n", "Update", "Client", "\"a b'"),
      Str("LongValueIsCut", "[Update]\nIP1=" + std::string(200, 'a') + "\n", "Update", "IP1",
          std::string(127, 'a')),
      Str("SmallBuffer", "[Update]\nIP1=abcdef\n", "Update", "IP1", "abc", "def", 4),
      Str("QuotedValueFillingTheBufferLosesItsLastCharacter", "[Update]\nIP1=\"abc\"\n", "Update",
          "IP1", "ab", "def", 4),
      Str("QuotedValueWithRoom", "[Update]\nIP1=\"abc\"\n", "Update", "IP1", "abc", "def", 5),
      Str("DefaultLosesTrailingSpaces", "[Update]\n", "Update", "IP1", "abc", "abc  "),
      Str("DefaultIsCutToo", "-", "Update", "IP1", "abc", "abcdef", 4),
      Str("Cp949TextPassesThrough", "[Server]\nName0=\xC7\xD1\xB1\xDB \xBC\xAD\xB9\xF6\n", "Server",
          "Name0", "\xC7\xD1\xB1\xDB \xBC\xAD\xB9\xF6"),
      Int("PlainNumber", "[Update]\nPort=43002\n", "Port", 43002),
      Int("BlanksAroundNumber", "[Update]\nPort = 8080 \n", "Port", 8080),
      Int("MissingKeyGivesDefault", "[Update]\n", "Port", 43001),
      Int("EmptyValueGivesDefault", "[Update]\nPort=\n", "Port", 43001),
      Int("LineWithoutEqualsGivesDefault", "[Update]\nPort\n", "Port", 43001),
      Int("EmptyQuotesGiveDefault", "[Update]\nPort=\"\"\n", "Port", 43001),
      Int("TrailingLettersStop", "[Update]\nPort=12abc\n", "Port", 12),
      Int("NoDigitsIsZero", "[Update]\nPort=abc\n", "Port", 0),
      Int("NegativeWraps", "[Update]\nPort=-1\n", "Port", 0xFFFFFFFFu),
      Int("PlusSign", "[Update]\nPort=+5\n", "Port", 5),
      Int("OverflowWraps", "[Update]\nPort=4294967297\n", "Port", 1),
      Int("HexPrefix", "[Update]\nPort=0x10\n", "Port", 16),
      Int("HexDigitsInEitherCase", "[Update]\nPort=0xfF\n", "Port", 255),
      Int("CapitalXIsNoPrefix", "[Update]\nPort=0X10\n", "Port", 0),
      Int("OctalPrefix", "[Update]\nPort=0o17\n", "Port", 15),
      Int("BinaryPrefix", "[Update]\nPort=0b101\n", "Port", 5),
      Int("LeadingZerosAreDecimal", "[Update]\nPort=010\n", "Port", 10),
      Int("QuotedNumber", "[Update]\nPort=\"77\"\n", "Port", 77),
      Int("OnlyTwentyNineCharactersCount", "[Update]\nPort=" + std::string(28, '0') + "71\n", "Port",
          7),
      Int("NulEndsTheNumber", "[Update]\nPort=12\0" "3\n"s, "Port", 12),
      Int("BareCarriageReturns", "[Update]\rPort=5\r", "Port", 5),
  };
}

}  // namespace ini_cases
