#pragma once
/// The download area's two progress bars and three "%d/%d" texts. The session
/// reports every received piece (2 KiB at a time on a fast line); this keeps
/// the numbers of every report and touches the widgets only when a number
/// changed and at most once per kRefreshInterval, with a timer showing the
/// last change of a burst. Finish() shows the final numbers at once.

#include <chrono>
#include <cstdint>

#include <wx/timer.h>

#include "session/session_host.h"

class wxGauge;
class wxStaticText;

namespace ui {

class DownloadProgress {
 public:
  static constexpr std::chrono::milliseconds kRefreshInterval{40};

  DownloadProgress(wxGauge* total, wxGauge* current, wxStaticText* fileCount,
                   wxStaticText* currentText, wxStaticText* totalText);

  void SetTotalRange(std::int32_t upper);  ///< range 0..upper, position 0
  void SetFileRange(std::int32_t upper);   ///< range 0..upper, position 0
  void Advance(std::int32_t bytes);        ///< both bars, kept within their ranges
  void SetTexts(const session::ProgressTexts& texts);

  /// Shows the current numbers now.
  void Finish();

 private:
  struct Bar {
    std::int64_t position = 0, upper = 0;
  };
  void Changed();
  void Show();

  wxGauge* totalGauge_;
  wxGauge* currentGauge_;
  wxStaticText* texts_[3];
  Bar total_, current_;
  // The numbers behind the texts; formatted only when shown, since they
  // arrive once per received piece.
  session::ProgressTexts shownTexts_, pendingTexts_;
  bool pending_ = false;
  std::chrono::steady_clock::time_point lastShown_{};
  wxTimer timer_;
};

}  // namespace ui
