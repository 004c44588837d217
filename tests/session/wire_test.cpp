// The wire messages byte for byte, and the checks on file headers.

#include <cstring>

#include <gtest/gtest.h>

#include "session/wire.h"

using namespace session;

TEST(Wire, RequestAndFileHeaderBytesAreLittleEndianAtTheirOffsets) {
  std::uint8_t request[kUpdateRequestSize];
  EncodeUpdateRequest({RequestNoticeAndFiles, 3, 7}, request);
  const std::uint8_t expectedRequest[] = {0x41, 3, 0, 0, 0, 7, 0, 0, 0};
  EXPECT_EQ(0, std::memcmp(request, expectedRequest, sizeof request));

  const auto header = EncodeFileHeader(5, 300, "a.dll");
  const std::vector<std::uint8_t> expectedHeader = {0x10, 0x00, 0x05, 0x00, 0x00, 0x00, 0x2C, 0x01,
                                                    0x00, 0x00, 0x61, 0x2E, 0x64, 0x6C, 0x6C, 0x00};
  EXPECT_EQ(header, expectedHeader);
  FileHeader decoded;
  ASSERT_EQ(DecodeFileHeader(header.data(), decoded), HeaderVerdict::Accepted);
  EXPECT_EQ(decoded.length, 16);
  EXPECT_EQ(decoded.version, 5u);
  EXPECT_EQ(decoded.bodyLength, 300);
  EXPECT_EQ(decoded.name, "a.dll");

  // Version reply: type, two versions, address first octet first, signed time.
  const std::uint8_t reply[kVersionReplySize] = {1, 0x04, 0x03, 0x02, 0x01, 9, 0, 0, 0,
                                                 192, 0, 2, 7, 0xFF, 0xFF, 0xFF, 0xFF};
  const VersionReply r = DecodeVersionReply(reply);
  EXPECT_EQ(r.major, 0x01020304u);
  EXPECT_EQ(r.minor, 9u);
  EXPECT_EQ(Ipv4ToText(r.redirect), "192.0.2.7");
  EXPECT_EQ(r.noticeTime, -1);
  EXPECT_EQ(EncodeVersionReply(r)[12], 7);

  const std::uint8_t list[kFileListHeaderSize] = {2, 1, 3, 0, 0x00, 0x00, 0x40, 0x06};
  const FileListHeader h = DecodeFileListHeader(list);
  EXPECT_EQ(h.counts[0], 0x0102);
  EXPECT_EQ(h.counts[1], 3);
  EXPECT_EQ(h.totalBytes, 104857600);
}

TEST(Wire, FileHeadersThatCouldHurtAreRefused) {
  auto verdict = [](std::vector<std::uint8_t> bytes) {
    FileHeader h;
    return DecodeFileHeader(bytes.data(), h);
  };
  EXPECT_EQ(CheckFileHeaderLength(9), HeaderVerdict::LengthTooSmall);
  EXPECT_EQ(CheckFileHeaderLength(10), HeaderVerdict::Accepted);
  EXPECT_EQ(CheckFileHeaderLength(2048), HeaderVerdict::Accepted);
  EXPECT_EQ(CheckFileHeaderLength(2049), HeaderVerdict::LengthTooLarge);

  auto noNul = EncodeFileHeader(1, 1, "abc");
  noNul.pop_back();  // the NUL now stands outside L
  noNul[0] = static_cast<std::uint8_t>(noNul.size());
  EXPECT_EQ(verdict(noNul), HeaderVerdict::NameUnterminated);
  EXPECT_EQ(verdict(EncodeFileHeader(1, -1, "a")), HeaderVerdict::NegativeBody);
  EXPECT_EQ(verdict(EncodeFileHeader(1, 1, "")), HeaderVerdict::NameEmpty);
  EXPECT_EQ(verdict(EncodeFileHeader(1, 1, std::string(256, 'n'))), HeaderVerdict::NameTooLong);
  EXPECT_EQ(verdict(EncodeFileHeader(1, 1, std::string(255, 'n'))), HeaderVerdict::Accepted);
  EXPECT_EQ(verdict(EncodeFileHeader(1, 1, "\\etc\\x")), HeaderVerdict::NameAbsolute);
  EXPECT_EQ(verdict(EncodeFileHeader(1, 1, "/etc/x")), HeaderVerdict::NameAbsolute);
  EXPECT_EQ(verdict(EncodeFileHeader(1, 1, "C:x")), HeaderVerdict::NameHasDrive);
  EXPECT_EQ(verdict(EncodeFileHeader(1, 1, "..")), HeaderVerdict::NameHasParent);
  EXPECT_EQ(verdict(EncodeFileHeader(1, 1, "a\\..\\..\\b")), HeaderVerdict::NameHasParent);
  EXPECT_EQ(verdict(EncodeFileHeader(1, 1, "a/../b")), HeaderVerdict::NameHasParent);
  EXPECT_EQ(verdict(EncodeFileHeader(1, 1, "a\\..")), HeaderVerdict::NameHasParent);
  // Dots that are not a whole component are ordinary names.
  EXPECT_EQ(verdict(EncodeFileHeader(1, 1, "..a\\b..\\c.d")), HeaderVerdict::Accepted);
  // Bytes after the NUL inside the header are allowed and ignored.
  FileHeader padded;
  ASSERT_EQ(DecodeFileHeader(EncodeFileHeader(1, 1, "x", 5).data(), padded), HeaderVerdict::Accepted);
  EXPECT_EQ(padded.name, "x");
}

TEST(Wire, LocalNamesAndAddresses) {
  EXPECT_EQ(LocalFileName("Update.exe"), "Update0.exe");
  EXPECT_EQ(LocalFileName("UPDATE.EXE"), "Update0.exe");
  EXPECT_EQ(LocalFileName("file.VER"), "null.dat");
  EXPECT_EQ(LocalFileName("bin\\Update.exe"), "bin\\Update.exe");
  EXPECT_EQ(LocalFileName("Update.exe2"), "Update.exe2");

  Ipv4Address a = 0;
  ASSERT_TRUE(ParseIpv4("127.0.0.1", a));
  EXPECT_EQ(a, kLoopbackAddress);
  EXPECT_EQ(Ipv4ToText(a), "127.0.0.1");
  for (const char* bad : {"", "1.2.3", "1.2.3.4.5", "256.1.1.1", "a.b.c.d", "1.2.3.4 ", "localhost"}) {
    EXPECT_FALSE(ParseIpv4(bad, a)) << bad;
  }
}
