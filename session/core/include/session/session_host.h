#pragma once
/// What the update session shares with whoever runs it: the outcome the
/// installation reads, and the one stream of events that the update window,
/// updater-console, the tests and the fuzzer follow.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "resources/messages.h"
#include "session/wire.h"
#include "trust/hash.h"

namespace session {

/// One file body as it arrived, for the check against the signed manifest.
struct ReceivedStream {
  std::string sentName;    ///< as on the wire
  std::string localName;   ///< as written (its stream is localName + ".gz")
  std::uint64_t size = 0;  ///< of the gzip stream
  trust::Digest hash{};    ///< BLAKE2b-256 of the gzip stream
};

/// Written by the session as files complete; read (and emptied) by the
/// installation. The window owns it, so the installation needs nothing else
/// of the session.
struct SessionOutcome {
  std::vector<std::string> receivedNames;  ///< local names of complete files, in arrival order
  std::array<std::uint32_t, 2> versions{}; ///< installed major (kind 0) and minor (kind 1)
  // Kept only while the session hashes what it receives (a key is set):
  /// One per local name of a complete file, the later body of a name sent twice.
  std::vector<ReceivedStream> streams;
  /// Every ".gz" file the session opened, complete or not, each once: what a
  /// refused session removes.
  std::vector<std::string> downloads;
};

/// The numbers behind the three "%d/%d" texts: file count, current file,
/// total. Positions are those of the two progress bars.
struct ProgressTexts {
  int fileNumber = 0, fileCount = 0;
  int currentPosition = 0, currentUpper = 0;
  int totalPosition = 0, totalUpper = 0;
};
std::string FormatCount(int first, int second);  ///< "%d/%d"

/// Why a session stopped before its end, and what the player is told.
struct SessionFailure {
  enum class Shown {
    Message,           ///< the numbered message
    CannotCreateFile,  ///< "Can't create file %s" with fileName, error icon
    Nothing,
  };
  Shown shown = Shown::Nothing;
  resources::MessageId message = resources::MessageId::MsgConnectFailed;
  std::string fileName;
  /// The protocol rule a server broke, for those who report it; empty for
  /// any other failure.
  std::string refusal;
  /// True when no connection was ever made: the window then closes later,
  /// as Cancel does; otherwise it ends its modal run with 0 at once.
  bool closeLater = false;

  static SessionFailure Message(resources::MessageId id, bool closeLater = false);
  static SessionFailure CannotCreate(std::string fileName);
};

/// What happens in a session, in order, as one stream: the update window
/// shows it, updater-console prints it, tests record it. Every hook does
/// nothing unless overridden; names are local names, as written to the
/// disk. All are called from inside ConnectToServers or a receive pass, so
/// a window must not wait for its own event loop in them (a modal message
/// box is fine: the session closed its connection before it reports a
/// failure).
class SessionEvents {
 public:
  virtual ~SessionEvents() = default;

  virtual void OnConnected(const std::string& /*server*/, unsigned /*port*/, Ipv4Address /*local*/) {}
  virtual void OnReceived(std::size_t /*bytes*/) {}  ///< bytes arrived on the connection
  virtual void OnVersionReply(const VersionReply& /*reply*/, std::uint32_t /*major*/,
                              std::uint32_t /*minor*/) {}
  /// Notice.html, if there, is the page to show now: at the start the page
  /// of an earlier run, later the server's current one.
  virtual void OnNoticeCurrent() {}
  /// Nothing to download: the session ends here, its connection stays open.
  virtual void OnUpToDate() {}
  virtual void OnRedirect(Ipv4Address /*target*/) {}
  virtual void OnRequestSent(const UpdateRequest& /*request*/, bool /*sent*/) {}
  virtual void OnNoticeWritten(std::uint32_t /*length*/) {}
  /// The file list; the whole download is header.totalBytes long.
  virtual void OnFileList(const FileListHeader& /*header*/) {}
  /// A file's header was taken: its body of BYTES is next (written to
  /// LOCALNAME + ".gz" once that could be opened).
  virtual void OnFileStarted(const std::string& /*localName*/, std::int32_t /*bytes*/,
                             std::uint32_t /*version*/) {}
  /// Before every step of a body, so once per received piece: a window
  /// should only touch its controls when the text would change visibly.
  virtual void OnProgressTexts(const ProgressTexts& /*texts*/) {}
  /// BYTES more of the current body are on the disk.
  virtual void OnBodyWritten(std::int32_t /*bytes*/) {}
  virtual void OnFileCompleted(const std::string& /*localName*/) {}
  /// Every announced file arrived: the session ends here.
  virtual void OnComplete() {}
  /// The session stopped (its connection already closed).
  virtual void OnFailed(const SessionFailure& /*failure*/) {}
  /// The server ended the connection (ERRORCODE 0) or it broke: what arrived
  /// completely is in SessionOutcome and may be installed now. After a
  /// break, OnFailed (message 4) follows.
  virtual void OnConnectionClosed(int /*errorCode*/) {}
};

}  // namespace session
