#include "ui/download_progress.h"

#include <wx/gauge.h>
#include <wx/stattext.h>

#include <algorithm>

#include "diag/trace.h"

namespace ui {

DownloadProgress::DownloadProgress(wxGauge* total, wxGauge* current, wxStaticText* fileCount,
                                   wxStaticText* currentText, wxStaticText* totalText)
    : totalGauge_(total), currentGauge_(current), texts_{fileCount, currentText, totalText} {
  timer_.Bind(wxEVT_TIMER, [this](wxTimerEvent&) { Show(); });
}

// A new range is shown at once, as the window's controls would: the bar
// starts over before the first piece of the new file arrives.
void DownloadProgress::SetTotalRange(std::int32_t upper) {
  total_ = {0, std::max<std::int32_t>(upper, 0)};
  totalGauge_->SetRange(static_cast<int>(total_.upper));
  totalGauge_->SetValue(0);
}

void DownloadProgress::SetFileRange(std::int32_t upper) {
  current_ = {0, std::max<std::int32_t>(upper, 0)};
  currentGauge_->SetRange(static_cast<int>(current_.upper));
  currentGauge_->SetValue(0);
}

void DownloadProgress::Advance(std::int32_t bytes) {
  total_.position = std::min(total_.upper, total_.position + bytes);
  current_.position = std::min(current_.upper, current_.position + bytes);
  Changed();
}

namespace {

bool operator==(const session::ProgressTexts& a, const session::ProgressTexts& b) {
  return a.fileNumber == b.fileNumber && a.fileCount == b.fileCount &&
         a.currentPosition == b.currentPosition && a.currentUpper == b.currentUpper &&
         a.totalPosition == b.totalPosition && a.totalUpper == b.totalUpper;
}

}  // namespace

void DownloadProgress::SetTexts(const session::ProgressTexts& texts) {
  pendingTexts_ = texts;
  if (pendingTexts_ == shownTexts_) return;
  Changed();
}

void DownloadProgress::Finish() {
  timer_.Stop();
  Show();
}

void DownloadProgress::Changed() {
  pending_ = true;
  if (timer_.IsRunning()) return;  // shown when it fires
  const auto now = std::chrono::steady_clock::now();
  const auto since = now - lastShown_;
  if (since >= kRefreshInterval) {
    Show();
  } else {
    const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(kRefreshInterval - since);
    timer_.StartOnce(static_cast<int>(std::max<std::int64_t>(wait.count(), 1)));
  }
}

void DownloadProgress::Show() {
  lastShown_ = std::chrono::steady_clock::now();
  if (!pending_) return;
  pending_ = false;
  if (totalGauge_->GetValue() != total_.position) totalGauge_->SetValue(static_cast<int>(total_.position));
  if (currentGauge_->GetValue() != current_.position) currentGauge_->SetValue(static_cast<int>(current_.position));
  const session::ProgressTexts& t = pendingTexts_;
  const std::pair<int, int> counts[3] = {
      {t.fileNumber, t.fileCount}, {t.currentPosition, t.currentUpper}, {t.totalPosition, t.totalUpper}};
  for (int i = 0; i < 3; ++i) {
    const wxString text = wxString::FromUTF8(session::FormatCount(counts[i].first, counts[i].second));
    if (texts_[i]->GetLabel() != text) texts_[i]->SetLabel(text);
  }
  shownTexts_ = pendingTexts_;
  if (diag::TraceEnabled()) {
    diag::Trace("progress", "%s %s %s bars %d/%d %d/%d", texts_[0]->GetLabel().utf8_str().data(),
                texts_[1]->GetLabel().utf8_str().data(), texts_[2]->GetLabel().utf8_str().data(),
                currentGauge_->GetValue(), currentGauge_->GetRange(), totalGauge_->GetValue(),
                totalGauge_->GetRange());
  }
}

}  // namespace ui
