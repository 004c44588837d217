#pragma once
/// UpdateSession: one update session, from connecting to the servers to the
/// last file body, driven by the notifications of its connection. It keeps
/// one 2,048-byte buffer; bodies go from that buffer straight to their files.
///
/// The host (the update window, updater-console, a test) owns the
/// Connection, the SessionOutcome and the SessionEvents it follows, all of
/// which outlive the session; it calls ConnectToServers() once and, when it
/// goes, Shutdown(). The session calls the host only through the events,
/// from inside ConnectToServers or a receive pass, and never waits for an
/// event loop. It makes no file-system calls of its own: files are written
/// through ReceivedFile, the notice page's time through files/notice_file.h.

#include <array>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "platform/paths.h"
#include "session/connection.h"
#include "session/received_file.h"
#include "session/session_host.h"
#include "session/stream_hasher.h"
#include "session/wire.h"

namespace session {

class UpdateSession : private ConnectionOwner {
 public:
  /// Redirects followed in one session; one more is treated as a target
  /// that does not connect, so servers pointing at each other cannot keep
  /// the updater connecting forever.
  static constexpr int kMaxRedirects = 8;

  enum State {
    WaitVersionReply = 0,
    WaitNoticeLength = 1,
    ReceiveNotice = 2,
    WaitFileList = 3,
    WaitFileHeader = 4,
    ReceiveFileBody = 5,
  };
  /// How far the session got; Complete and UpToDate end it successfully.
  enum class Progress { NotStarted, Running, UpToDate, Complete, Failed };

  UpdateSession(Connection& connection, SessionEvents& events, SessionOutcome& outcome,
                std::array<std::string, 2> serverAddresses, unsigned port);
  ~UpdateSession();
  UpdateSession(const UpdateSession&) = delete;
  UpdateSession& operator=(const UpdateSession&) = delete;

  /// Connects to IP1, else IP2; message 2 and a close request when neither
  /// accepts. Ends with OnNoticeCurrent in every case.
  void ConnectToServers();

  /// Closes the connection (as the window's destruction does) and any file
  /// still open.
  void Shutdown();

  /// With HASH, each file body is hashed and counted as it is written, and
  /// the outcome keeps its streams and downloads for the check against the
  /// signed manifest. Set before ConnectToServers.
  void HashStreams(bool hash) { hashStreams_ = hash; }

  State state() const { return state_; }
  Progress progress() const { return progress_; }
  bool connectionClosed() const { return connectionClosed_; }
  std::size_t buffered() const { return buffered_; }

 private:
  enum class Step { Continue, Wait, Stop };

  void HandleReceive() override;
  void HandleConnectionClosed(int errorCode) override;

  Step RunStep();
  Step OnVersionReply();
  Step Decide(const VersionReply& reply);
  Step OnNoticeLength();
  Step OnNoticeBytes();
  Step OnFileList();
  Step OnFileHeader();
  Step OnFileBody();

  /// Closes the connection and any open output, and stops the session.
  void Abandon();
  /// Abandons the session and reports FAILURE.
  Step Fail(SessionFailure failure);
  Step Fail(resources::MessageId id);
  Step FailCannotCreate(std::string name);
  Step Refuse(const std::string& why);
  /// Follows a redirect to TARGET: a new connection, whose version reply
  /// starts the session over.
  Step Redirect(Ipv4Address target);
  bool FromLoopback() const { return connection_.LocalAddress() == kLoopbackAddress; }
  /// Writes the next N buffered bytes to the file being received.
  bool WritePiece(std::size_t n);
  void RefreshTexts();
  /// Keeps the finished body's size and hash in the outcome (hashing on).
  void RecordStream();

  Connection& connection_;
  SessionEvents& events_;
  SessionOutcome& outcome_;
  std::array<std::string, 2> serverAddresses_;
  unsigned port_;

  State state_ = WaitVersionReply;
  Progress progress_ = Progress::NotStarted;
  bool connectionClosed_ = false;
  std::uint8_t buffer_[kReceiveBufferSize] = {};
  std::size_t readPos_ = 0;   // start of the unconsumed bytes during a pass
  std::size_t buffered_ = 0;  // unconsumed bytes from readPos_
  std::int32_t noticeTime_ = 0;
  std::uint32_t noticeLength_ = 0;
  std::int32_t totalBytes_ = 0;
  std::int64_t announcedBytes_ = 0;  // body lengths of the file headers so far
  int redirects_ = 0;
  std::array<std::uint32_t, 2> filesLeft_{};
  int kindIndex_ = 0;
  std::uint32_t fileVersion_ = 0;
  ReceivedFile output_;  // the notice page or the file body being received
  std::string currentName_;
  bool hashStreams_ = false;
  StreamHasher hasher_;   // the current body's stream, while hashing
  std::string sentName_;  // the current file's name as sent, while hashing
  std::unordered_map<std::string, std::size_t> streamIndex_;  // local name -> outcome_.streams
  std::unordered_set<std::string> downloadIndex_;             // outcome_.downloads
  std::unordered_set<std::string> receivedThisSession_;
  platform::LetterCaseResolver letterCase_;  // the game folder's spellings, listed once
  // Mirror of the two progress bars, for the texts.
  std::int64_t filePosition_ = 0, fileUpper_ = 0, totalPosition_ = 0, totalUpper_ = 0;
};

}  // namespace session
