#pragma once
/// What the update session needs from the window it runs in, and what it
/// tells those who watch it. The update window implements SessionView;
/// updater-console and the tests implement both without a display.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "resources/messages.h"
#include "session/wire.h"

namespace session {

/// Written by the session as files complete; read (and emptied) by the
/// installation. The window owns it, so the installation needs nothing else
/// of the session.
struct SessionOutcome {
  std::vector<std::string> receivedNames;  ///< local names of complete files, in arrival order
  std::array<std::uint32_t, 2> versions{}; ///< installed major (kind 0) and minor (kind 1)
};

/// The numbers behind the three "%d/%d" texts: file count, current file,
/// total. Positions are those of the two progress bars.
struct ProgressTexts {
  int fileNumber = 0, fileCount = 0;
  int currentPosition = 0, currentUpper = 0;
  int totalPosition = 0, totalUpper = 0;
};
std::string FormatCount(int first, int second);  ///< "%d/%d"

/// The window operations the session calls.
class SessionView {
 public:
  virtual ~SessionView() = default;

  virtual void ShowNotice() = 0;                 ///< display .\Notice.html if it exists
  virtual void CollapseDownloadArea() = 0;       ///< session complete or up to date
  virtual void SetTotalProgressRange(std::int32_t upper) = 0;  ///< range 0..upper, position 0
  virtual void SetFileProgressRange(std::int32_t upper) = 0;   ///< range 0..upper, position 0
  virtual void AdvanceProgress(std::int32_t bytes) = 0;        ///< both bars, by BYTES
  /// Called before every step of a body, so once per received piece: a window
  /// should only touch its controls when the text would change visibly.
  virtual void RefreshProgressTexts(const ProgressTexts& texts) = 0;
  virtual void ShowMessage(resources::MessageId id) = 0;       ///< modal numbered message
  virtual void ShowCannotCreateFile(const std::string& name) = 0;  ///< "Can't create file %s", error icon
  virtual void EndWindow() = 0;                  ///< end the modal run with result 0
  virtual void PostCloseRequest() = 0;           ///< closes later, as Cancel does
  virtual void RepaintNow() = 0;
  virtual void RunInstallation() = 0;            ///< installs SessionOutcome::receivedNames
};

/// What happened, for those who report it; every hook does nothing unless
/// overridden. Names are local names, as written to the disk.
class SessionObserver {
 public:
  virtual ~SessionObserver() = default;

  virtual void OnReceived(std::size_t /*bytes*/) {}  ///< bytes arrived on the connection
  virtual void OnConnected(const std::string& /*server*/, unsigned /*port*/, Ipv4Address /*local*/) {}
  virtual void OnVersionReply(const VersionReply& /*reply*/, std::uint32_t /*major*/, std::uint32_t /*minor*/) {}
  virtual void OnUpToDate() {}
  virtual void OnRedirect(Ipv4Address /*target*/) {}
  virtual void OnRequestSent(const UpdateRequest& /*request*/, bool /*sent*/) {}
  virtual void OnNoticeWritten(std::uint32_t /*length*/) {}
  virtual void OnFileList(const FileListHeader& /*header*/) {}
  virtual void OnFileStarted(const std::string& /*localName*/, std::int32_t /*bytes*/, std::uint32_t /*version*/) {}
  virtual void OnFileCompleted(const std::string& /*localName*/) {}
  virtual void OnComplete() {}
  virtual void OnRefused(const std::string& /*why*/) {}
  virtual void OnConnectionClosed(int /*errorCode*/) {}
};

}  // namespace session
