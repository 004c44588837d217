#pragma once
// The session log: one line per session and per change of the store, each
// behind a UTC time stamp that is remade once a second, written out in
// batches so that the write calls stay far fewer than the sessions; a line
// reaches the file within kFlushMs.

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>

#include "server/session_ending.h"
#include "session_record.h"

namespace server {

class SessionLog {
 public:
  /// Lines go to FILE; nullptr: silent.
  explicit SessionLog(std::FILE* file) : file_(file) {}
  ~SessionLog() { Flush(); }
  SessionLog(const SessionLog&) = delete;
  SessionLog& operator=(const SessionLog&) = delete;

  void Line(const char* format, ...) __attribute__((format(printf, 2, 3)));
  /// The line of session S, which ended as ENDING after ELAPSEDMS.
  void Ended(const Session& s, Ending ending, const std::string& detail, std::int64_t elapsedMs);
  /// Writes out buffered lines when the oldest has waited kFlushMs at NOW.
  void FlushDue(std::int64_t now);
  /// Writes out buffered lines.
  void Flush();
  /// When buffered lines are due out; INT64_MAX when none are buffered.
  std::int64_t DueAt() const;

 private:
  static constexpr std::int64_t kFlushMs = 100;

  std::FILE* file_;
  std::time_t stampSecond_ = -1;
  char stamp_[32] = {};
  bool pending_ = false;
  std::int64_t lastFlush_ = 0;
};

}  // namespace server
