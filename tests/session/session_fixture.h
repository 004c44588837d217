#pragma once
// Shared pieces of the session suites: wxWidgets without a display, a
// recording host, a private working folder, and running the event loop.

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "scripted_server.h"
#include "test_support/temp_dir.h"
#include "session/session_host.h"
#include "session/update_session.h"

namespace testing_session {

using resources::MessageId;
using Messages = std::vector<MessageId>;

/// Records every host call as one line in log, plus the facts tests check.
class RecordingHost : public session::SessionView, public session::SessionObserver {
 public:
  std::vector<std::string> log;
  std::vector<resources::MessageId> messages;  // numbered messages shown
  std::vector<std::string> cannotCreate;
  int collapses = 0, installations = 0, notices = 0;
  bool ended = false, closeRequested = false;
  std::vector<std::vector<std::string>> installedLists;  // receivedNames at each RunInstallation
  session::ProgressTexts lastTexts;
  std::int64_t advanced = 0;
  std::vector<std::int32_t> fileRanges;
  std::int32_t totalRange = -1;
  int closedCode = -1;
  session::SessionOutcome* outcome = nullptr;

  void ShowNotice() override { ++notices; }
  void CollapseDownloadArea() override { ++collapses; log.push_back("collapse"); }
  void SetTotalProgressRange(std::int32_t upper) override { totalRange = upper; }
  void SetFileProgressRange(std::int32_t upper) override { fileRanges.push_back(upper); }
  void AdvanceProgress(std::int32_t bytes) override { advanced += bytes; }
  void RefreshProgressTexts(const session::ProgressTexts& t) override { lastTexts = t; }
  void ShowMessage(resources::MessageId id) override {
    messages.push_back(id);
    log.push_back("message " + std::to_string(static_cast<int>(id)));
  }
  void ShowCannotCreateFile(const std::string& name) override {
    cannotCreate.push_back(name);
    log.push_back("cannot create " + name);
  }
  void EndWindow() override { ended = true; log.push_back("end"); }
  void PostCloseRequest() override { closeRequested = true; log.push_back("close request"); }
  void RepaintNow() override {}
  void RunInstallation() override {
    ++installations;
    log.push_back("install");
    if (outcome) installedLists.push_back(outcome->receivedNames);
  }
  void OnRefused(const std::string& why) override { log.push_back("refused " + why); }
  void OnConnectionClosed(int code) override { closedCode = code; log.push_back("closed"); }
  void OnUpToDate() override { log.push_back("up to date"); }
  void OnComplete() override { log.push_back("complete"); }
};

/// Set before the tests run to use the GTK event loop instead of the console one.
bool& UseGuiEventLoop();

/// Runs the console event loop until DONE or TIMEOUTMS; false on timeout.
bool RunLoopUntil(const std::function<bool()>& done, int timeoutMs = 5000);
/// Runs the loop for MS milliseconds.
void RunLoopFor(int ms);

/// Each test runs in its own empty folder "work" inside a private folder, so
/// that anything written outside "work" can be seen.
class SessionTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  /// A session against 127.0.0.1:PORT (IP1 and IP2 as given).
  session::UpdateSession& MakeSession(std::uint16_t port, std::string ip1 = "127.0.0.1",
                                      std::string ip2 = "");
  /// Runs the loop until the host ended, collapsed or saw the connection close.
  bool RunUntilSettled(int timeoutMs = 5000);

  /// Files below "work" (relative, '/'-separated), sorted.
  std::vector<std::string> WorkFiles() const;
  /// Entries beside "work" in the private folder (should stay empty).
  std::vector<std::string> OutsideEntries() const;
  std::string ReadFile(const std::string& relative) const;
  void WriteFile(const std::string& relative, const std::string& content) const;

  std::unique_ptr<test_support::TempDir> scratch_;
  std::filesystem::path root_, work_, previous_;
  RecordingHost host_;
  session::SessionOutcome outcome_;
  std::unique_ptr<session::UpdateSession> session_;
};

// Message builders.
Bytes Reply(std::uint32_t major, std::uint32_t minor, std::uint32_t redirect = 0,
            std::int32_t noticeTime = 0, std::uint8_t type = 1);
Bytes Notice(const std::string& page);
Bytes FileList(std::uint16_t kind0, std::uint16_t kind1, std::int32_t total);
Bytes File(const std::string& name, std::uint32_t version, const Bytes& body);
Bytes Body(std::size_t size, std::uint8_t seed = 1);

}  // namespace testing_session
