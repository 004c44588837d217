#include "console_host.h"

#include <algorithm>
#include <cstdarg>
#include <cstring>
#include <utility>

#include "diag/trace.h"
#include "files/notice_file.h"
#include "install/installation.h"
#include "platform/paths.h"
#include "platform/system_error.h"
#include "session/download_check.h"

namespace console {

using session::Ipv4ToText;

namespace {

/// NAME as it may be printed: names come from the server, and a control
/// character in one must not reach the operator's terminal.
std::string Printable(const std::string& name) {
  std::string out;
  for (const unsigned char c : name) {
    if (c < 0x20 || c == 0x7F) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
      out += escaped;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

}  // namespace

ConsoleHost::ConsoleHost(session::SessionOutcome& outcome, std::FILE* out,
                         std::function<void(bool)> end)
    : outcome_(outcome), out_(out), end_(std::move(end)) {}

void ConsoleHost::Line(const char* format, ...) {
  if (out_ == nullptr) return;
  va_list args;
  va_start(args, format);
  diag::WriteLine(out_, format, args);
  va_end(args);
}

void ConsoleHost::End(bool success) {
  if (ended_) return;
  ended_ = true;
  succeeded_ = success && !failed_;
  if (end_) end_(succeeded_);
}

void ConsoleHost::OnNoticeCurrent() {
  if (const std::optional<std::int64_t> size = files::ShowableNoticeSize()) {
    Line("notice shown: %s (%lld bytes)", files::kNoticeName, static_cast<long long>(*size));
  }
}

void ConsoleHost::Finished() {
  finished_ = true;
  if (!install_) {
    Line("installation would run now for %zu file(s), versions %u %u (not done by this tool)",
         outcome_.receivedNames.size(), outcome_.versions[0], outcome_.versions[1]);
  }
  End(true);
}

void ConsoleHost::ShowMessage(resources::MessageId id) {
  ++messagesShown_;
  failed_ = true;
  const auto& message = resources::GetNumberedMessage(id);
  std::string text = message.text;
  std::replace(text.begin(), text.end(), '\n', ' ');
  Line("message %d (%s): %s", static_cast<int>(id), message.name, text.c_str());
}

void ConsoleHost::OnFailed(const session::SessionFailure& failure) {
  if (!failure.refusal.empty()) Line("refused: %s", Printable(failure.refusal).c_str());
  switch (failure.shown) {
    case session::SessionFailure::Shown::Message:
      ShowMessage(failure.message);
      break;
    case session::SessionFailure::Shown::CannotCreateFile:
      ++messagesShown_;
      failed_ = true;
      Line("message: Can't create file %s", Printable(failure.fileName).c_str());
      break;
    case session::SessionFailure::Shown::Nothing:
      break;
  }
  Line(failure.closeLater ? "window closes" : "window ends");
  End(false);
}

void ConsoleHost::RunInstallation() {
  const bool checking = !publicKey_.empty();
  if (checking && outcome_.receivedNames.empty() && !outcome_.downloads.empty()) {
    // Only part of a body arrived: nothing to install, nothing to keep.
    session::DiscardDownloads(outcome_);
    return;
  }
  if (outcome_.receivedNames.empty()) return;
  if (!install_) {
    Line("installation would run now for %zu file(s), versions %u %u (not done by this tool)",
         outcome_.receivedNames.size(), outcome_.versions[0], outcome_.versions[1]);
    return;
  }
  if (checking) {
    const std::string why = session::CheckDownloads(publicKey_, outcome_);
    if (!why.empty()) {
      session::DiscardDownloads(outcome_);
      installFailed_ = true;
      Line("refused: %s", Printable(why).c_str());
      Line("downloads removed, nothing installed");
      ShowMessage(resources::MessageId::MsgUnverifiedUpdate);
      return;
    }
    Line("checked: %zu file(s) match the signed manifest", outcome_.streams.size());
  }
  const install::InstallResult result = install::InstallReceivedFiles(
      outcome_.receivedNames, outcome_.versions[0], outcome_.versions[1],
      [this](const std::string& name) { Line("installed: %s", Printable(name).c_str()); });
  if (result.failed()) {
    installFailed_ = true;
    Line("message: %s", Printable(result.FailureText()).c_str());
  } else {
    outcome_.downloads.clear();  // installed: no longer downloads to remove
    outcome_.streams.clear();
    Line("versions recorded: %u %u", outcome_.versions[0], outcome_.versions[1]);
  }
}

void ConsoleHost::OnConnected(const std::string& server, unsigned port, session::Ipv4Address local) {
  activity_ = true;
  Line("connected to %s:%u from %s", server.c_str(), port, Ipv4ToText(local).c_str());
}

void ConsoleHost::OnVersionReply(const session::VersionReply& reply, std::uint32_t major,
                                 std::uint32_t minor) {
  Line("versions: server %u %u, installed %u %u, redirect %s, notice time %d", reply.major,
       reply.minor, major, minor, reply.redirect ? Ipv4ToText(reply.redirect).c_str() : "none",
       reply.noticeTime);
}

void ConsoleHost::OnUpToDate() {
  Line("up to date");
  Finished();
}

void ConsoleHost::OnRedirect(session::Ipv4Address target) {
  Line("redirected to %s:%u", Ipv4ToText(target).c_str(), session::kRedirectPort);
}

void ConsoleHost::OnRequestSent(const session::UpdateRequest& request, bool sent) {
  Line("request %s with %u %u%s",
       request.code == session::RequestNoticeAndFiles ? "notice and files" : "files only",
       request.major, request.minor, sent ? "" : " (send failed)");
}

void ConsoleHost::OnNoticeWritten(std::uint32_t length) {
  Line("notice written: %s, %u bytes", files::kNoticeName, length);
}

void ConsoleHost::OnFileList(const session::FileListHeader& header) {
  Line("file list: %u major file(s), %u minor file(s), %d bytes", header.counts[0],
       header.counts[1], header.totalBytes);
}

void ConsoleHost::OnFileStarted(const std::string& localName, std::int32_t bytes,
                                std::uint32_t version) {
  Line("file started: %s.gz, %d bytes, version %u", Printable(localName).c_str(), bytes, version);
}

void ConsoleHost::OnFileCompleted(const std::string& localName) {
  Line("file completed: %s.gz", Printable(localName).c_str());
}

void ConsoleHost::OnComplete() {
  Line("complete");
  Finished();
}

void ConsoleHost::OnReceived(std::size_t) { activity_ = true; }

void ConsoleHost::GiveUp(const std::string& why) {
  if (ended_) return;
  failed_ = true;
  Line("%s", why.c_str());
  End(false);
}

void ConsoleHost::OnConnectionClosed(int errorCode) {
  if (errorCode == 0) {
    Line("connection closed by the server");
  } else {
    Line("connection closed by the server with an error: %s",
         platform::SystemErrorText(errorCode).c_str());
  }
  // A window would stay open here; the console has nothing more to wait for.
  if (errorCode == 0) End(finished_);
  RunInstallation();
}

}  // namespace console
