#pragma once
// Shared pieces of the session suites, free of the toolkit: a host that
// records the session's events, a private working folder, the session core
// over a scripted connection, and the message builders.

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "scripted_server.h"
#include "session/session_host.h"
#include "session/testing/scripted_connection.h"
#include "session/update_session.h"
#include "test_support/temp_dir.h"

namespace testing_session {

using resources::MessageId;
using Messages = std::vector<MessageId>;

/// Records every event as the window would act on it: one line per action
/// in log, plus the facts tests check.
class RecordingHost : public session::SessionEvents {
 public:
  std::vector<std::string> log;
  std::vector<resources::MessageId> messages;  // numbered messages shown
  std::vector<std::string> cannotCreate;
  int collapses = 0, installations = 0, notices = 0;
  bool ended = false, closeRequested = false;
  std::vector<std::vector<std::string>> installedLists;  // receivedNames at each installation
  session::ProgressTexts lastTexts;
  std::int64_t advanced = 0;
  std::vector<std::int32_t> fileRanges;
  std::int32_t totalRange = -1;
  int closedCode = -1;
  session::SessionOutcome* outcome = nullptr;

  void OnNoticeCurrent() override { ++notices; }
  void OnUpToDate() override { Collapse("up to date"); }
  void OnComplete() override { Collapse("complete"); }
  void OnFileList(const session::FileListHeader& header) override { totalRange = header.totalBytes; }
  void OnFileStarted(const std::string&, std::int32_t bytes, std::uint32_t) override {
    fileRanges.push_back(bytes);
  }
  void OnProgressTexts(const session::ProgressTexts& t) override { lastTexts = t; }
  void OnBodyWritten(std::int32_t bytes) override { advanced += bytes; }
  void OnFailed(const session::SessionFailure& failure) override;
  void OnConnectionClosed(int code) override;

 private:
  void Collapse(const char* why) {
    log.push_back(why);
    ++collapses;
    log.push_back("collapse");
  }
};

/// Each test runs in its own empty folder "work" inside a private folder, so
/// that anything written outside "work" can be seen.
class WorkFolderTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  /// Files below "work" (relative, '/'-separated), sorted.
  std::vector<std::string> WorkFiles() const;
  /// Entries beside "work" in the private folder (should stay empty).
  std::vector<std::string> OutsideEntries() const;
  std::string ReadFile(const std::string& relative) const;
  void WriteFile(const std::string& relative, const std::string& content) const;

  std::unique_ptr<test_support::TempDir> scratch_;
  std::filesystem::path root_, work_, previous_;
};

/// The session core in this thread over a scripted connection: the test
/// plays the server with connection_.Send and reads what the session sent
/// with connection_.TakeSent.
class ScriptedSessionTest : public WorkFolderTest {
 protected:
  void TearDown() override;
  /// A new session against IP1 and IP2, connected (ConnectToServers).
  session::UpdateSession& Start(std::string ip1 = "127.0.0.1", std::string ip2 = "", unsigned port = 43001);
  /// Forgets the session, its events, its outcome and the connection's script.
  void Reset();

  session::testing::ScriptedConnection connection_;
  RecordingHost host_;
  session::SessionOutcome outcome_;
  std::unique_ptr<session::UpdateSession> session_;
};

// Message builders.
Bytes Reply(std::uint32_t major, std::uint32_t minor, std::uint32_t redirect = 0, std::int32_t noticeTime = 0,
            std::uint8_t type = 1);
Bytes Notice(const std::string& page);
Bytes FileList(std::uint16_t kind0, std::uint16_t kind1, std::int32_t total);
Bytes File(const std::string& name, std::uint32_t version, const Bytes& body);
Bytes Body(std::size_t size, std::uint8_t seed = 1);
/// The files-only request with the installed versions MAJOR and MINOR.
Bytes FilesOnly(std::uint8_t major, std::uint8_t minor);

}  // namespace testing_session
