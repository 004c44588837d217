#pragma once
/// A session's host without a display: one line per event on a stream. It is
/// also the host of the session benchmark.

#include <cstdio>
#include <functional>
#include <string>
#include <utility>

#include "session/session_host.h"

namespace console {

class ConsoleHost : public session::SessionEvents {
 public:
  /// OUT receives the lines (nullptr: silent). END is called once when the
  /// window would end or wait for the user: with true after a complete or
  /// up-to-date session, false after any failure.
  ConsoleHost(session::SessionOutcome& outcome, std::FILE* out, std::function<void(bool)> end);

  /// With INSTALL, RunInstallation really installs the received files (as
  /// the update window does) instead of saying that it would.
  void SetInstall(bool install) { install_ = install; }
  /// With a key (Config.ini's PublicKey line), an installation first checks
  /// what was received against the signed manifest.
  void SetPublicKey(std::string publicKey) { publicKey_ = std::move(publicKey); }
  /// False once an installation failed.
  bool installationSucceeded() const { return !installFailed_; }

  bool ended() const { return ended_; }
  /// True when bytes came (or a connection was made) since the last call.
  bool TakeActivity() {
    const bool any = activity_;
    activity_ = false;
    return any;
  }
  /// Ends as a failure with a line saying why (the console's own limits).
  void GiveUp(const std::string& why);
  bool succeeded() const { return succeeded_; }
  int messagesShown() const { return messagesShown_; }

  /// Prints the numbered message as the window would show it; a failure.
  void ShowMessage(resources::MessageId id);
  /// Installs the received files (or says that it would, without --install),
  /// as the window does when the connection closes and when it goes.
  void RunInstallation();

  void OnReceived(std::size_t bytes) override;
  void OnNoticeCurrent() override;
  void OnConnected(const std::string& server, unsigned port, session::Ipv4Address local) override;
  void OnVersionReply(const session::VersionReply& reply, std::uint32_t major, std::uint32_t minor) override;
  void OnUpToDate() override;
  void OnRedirect(session::Ipv4Address target) override;
  void OnRequestSent(const session::UpdateRequest& request, bool sent) override;
  void OnNoticeWritten(std::uint32_t length) override;
  void OnFileList(const session::FileListHeader& header) override;
  void OnFileStarted(const std::string& localName, std::int32_t bytes, std::uint32_t version) override;
  void OnFileCompleted(const std::string& localName) override;
  void OnComplete() override;
  void OnFailed(const session::SessionFailure& failure) override;
  void OnConnectionClosed(int errorCode) override;

 private:
  void Line(const char* format, ...) __attribute__((format(gnu_printf, 2, 3)));
  void End(bool success);
  /// Complete or up to date: where the window would collapse.
  void Finished();

  session::SessionOutcome& outcome_;
  std::FILE* out_;
  std::function<void(bool)> end_;
  bool ended_ = false;
  bool succeeded_ = false;
  bool failed_ = false;
  bool finished_ = false;  // complete or up to date
  bool install_ = false;
  bool installFailed_ = false;
  int messagesShown_ = 0;
  std::string publicKey_;
  bool activity_ = false;  // set per receive, so without reading a clock
};

}  // namespace console
