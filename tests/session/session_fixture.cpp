#include "session_fixture.h"

#include <algorithm>
#include <fstream>
#include <sstream>

#include "session/wire.h"

namespace testing_session {

void RecordingHost::OnFailed(const session::SessionFailure& failure) {
  if (!failure.refusal.empty()) log.push_back("refused " + failure.refusal);
  switch (failure.shown) {
    case session::SessionFailure::Shown::Message:
      messages.push_back(failure.message);
      log.push_back("message " + std::to_string(static_cast<int>(failure.message)));
      break;
    case session::SessionFailure::Shown::CannotCreateFile:
      cannotCreate.push_back(failure.fileName);
      log.push_back("cannot create " + failure.fileName);
      break;
    case session::SessionFailure::Shown::Nothing:
      break;
  }
  if (failure.closeLater) {
    closeRequested = true;
    log.push_back("close request");
  } else {
    ended = true;
    log.push_back("end");
  }
}

// The window installs what arrived whenever the connection closes.
void RecordingHost::OnConnectionClosed(int code) {
  closedCode = code;
  log.push_back("closed");
  ++installations;
  log.push_back("install");
  if (outcome) installedLists.push_back(outcome->receivedNames);
}

void WorkFolderTest::SetUp() {
  previous_ = std::filesystem::current_path();
  scratch_ = std::make_unique<test_support::TempDir>();
  root_ = scratch_->path();
  work_ = root_ / "work";
  std::filesystem::create_directory(work_);
  std::filesystem::current_path(work_);
}

void WorkFolderTest::TearDown() {
  if (root_.empty()) return;
  std::filesystem::current_path(previous_);
  scratch_.reset();
}

std::vector<std::string> WorkFolderTest::WorkFiles() const {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::recursive_directory_iterator(work_)) {
    if (e.is_regular_file()) names.push_back(std::filesystem::relative(e.path(), work_).string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<std::string> WorkFolderTest::OutsideEntries() const {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(root_)) {
    if (e.path().filename() != "work") names.push_back(e.path().filename().string());
  }
  return names;
}

std::string WorkFolderTest::ReadFile(const std::string& relative) const {
  std::ifstream in(work_ / relative, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

void WorkFolderTest::WriteFile(const std::string& relative, const std::string& content) const {
  std::ofstream(work_ / relative, std::ios::binary) << content;
}

void ScriptedSessionTest::TearDown() {
  session_.reset();
  WorkFolderTest::TearDown();
}

session::UpdateSession& ScriptedSessionTest::Start(std::string ip1, std::string ip2, unsigned port) {
  session_.reset();
  host_.outcome = &outcome_;
  session_ = std::make_unique<session::UpdateSession>(
      connection_, host_, outcome_, std::array<std::string, 2>{std::move(ip1), std::move(ip2)}, port);
  session_->ConnectToServers();
  return *session_;
}

void ScriptedSessionTest::Reset() {
  session_.reset();
  host_ = RecordingHost();
  outcome_ = {};
  connection_ = session::testing::ScriptedConnection();
}

Bytes Reply(std::uint32_t major, std::uint32_t minor, std::uint32_t redirect, std::int32_t noticeTime,
            std::uint8_t type) {
  session::VersionReply r;
  r.type = type;
  r.major = major;
  r.minor = minor;
  r.redirect = redirect;
  r.noticeTime = noticeTime;
  return ToBytes(session::EncodeVersionReply(r));
}

Bytes Notice(const std::string& page) {
  return Cat({ToBytes(session::EncodeNoticeLength(static_cast<std::uint32_t>(page.size()))), ToBytes(page)});
}

Bytes FileList(std::uint16_t kind0, std::uint16_t kind1, std::int32_t total) {
  session::FileListHeader h;
  h.counts = {kind0, kind1};
  h.totalBytes = total;
  return ToBytes(session::EncodeFileListHeader(h));
}

Bytes File(const std::string& name, std::uint32_t version, const Bytes& body) {
  return Cat({session::EncodeFileHeader(version, static_cast<std::int32_t>(body.size()), name), body});
}

Bytes Body(std::size_t size, std::uint8_t seed) {
  Bytes b(size);
  std::uint32_t x = seed * 2654435761u + 1;
  for (auto& v : b) {
    x = x * 1103515245u + 12345u;
    v = static_cast<std::uint8_t>(x >> 16);
  }
  return b;
}

Bytes FilesOnly(std::uint8_t major, std::uint8_t minor) {
  return Bytes{0x01, major, 0, 0, 0, minor, 0, 0, 0};
}

}  // namespace testing_session
