#include "session_log.h"

#include <algorithm>
#include <cstdarg>
#include <limits>

namespace server {

const char* EndingText(Ending ending) {
  switch (ending) {
    case Ending::Completed:
      return "completed";
    case Ending::NoRequest:
      return "closed by the updater without a request (up to date, redirected or gone)";
    case Ending::IdleTimeout:
      return "dropped: no request within the timeout";
    case Ending::Stalled:
      return "dropped: no progress within the timeout";
    case Ending::ClosedEarly:
      return "closed by the updater before the end";
    case Ending::BadRequest:
      return "dropped: not an update request";
    case Ending::ExtraData:
      return "dropped: unexpected bytes after the request";
    case Ending::NetworkError:
      return "network error";
    case Ending::StoreError:
      return "store error";
    case Ending::Stopped:
      return "server stopping";
    case Ending::Displaced:
      return "dropped: no request yet while new sessions waited";
    case Ending::AddressFull:
      return "refused: too many sessions from this address";
  }
  return "?";
}

void SessionLog::Line(const char* format, ...) {
  if (file_ == nullptr) return;
  // One line per session: formatted in one go behind the time stamp.
  const std::time_t t = std::time(nullptr);
  if (t != stampSecond_) {
    std::tm utc{};
    ::gmtime_r(&t, &utc);
    std::strftime(stamp_, sizeof stamp_, "%Y-%m-%dT%H:%M:%SZ ", &utc);
    stampSecond_ = t;
  }
  char line[1024];
  va_list args;
  va_start(args, format);
  const int n = std::vsnprintf(line, sizeof line - 1, format, args);
  va_end(args);
  const std::size_t length = std::min<std::size_t>(n < 0 ? 0 : n, sizeof line - 2);
  line[length] = '\n';
  std::fputs(stamp_, file_);
  std::fwrite(line, 1, length + 1, file_);
  pending_ = true;
}

void SessionLog::Ended(const Session& s, Ending ending, const std::string& detail, std::int64_t elapsedMs) {
  if (file_ == nullptr) return;
  const std::string peer = session::Ipv4ToText(s.peerAddress);
  const long long ms = elapsedMs;
  const char* separator = detail.empty() ? "" : ": ";
  if (!s.HasRequest()) {
    Line("%s:%u no request, %llu bytes, %lld.%03lld s: %s%s%s", peer.c_str(), s.peerPort,
         static_cast<unsigned long long>(s.bytesSent), ms / 1000, ms % 1000, EndingText(ending), separator,
         detail.c_str());
    return;
  }
  const session::UpdateRequest r = session::DecodeUpdateRequest(s.request);
  const Prepared* p = s.prepared.get();
  const std::size_t files = p != nullptr ? p->plan.FileCount() : 0;
  const std::uint32_t sent = p != nullptr && p->whole.valid() ? p->FilesBefore(s.fileOffset) : s.filesSent;
  Line("%s:%u installed %u %u, %u/%zu files, %llu bytes, %lld.%03lld s: %s%s%s", peer.c_str(), s.peerPort,
       r.major, r.minor, sent, files, static_cast<unsigned long long>(s.bytesSent), ms / 1000, ms % 1000,
       EndingText(ending), separator, detail.c_str());
}

void SessionLog::FlushDue(std::int64_t now) {
  if (!pending_ || now - lastFlush_ < kFlushMs) return;
  Flush();
  lastFlush_ = now;
}

void SessionLog::Flush() {
  if (file_ != nullptr) std::fflush(file_);
  pending_ = false;
}

std::int64_t SessionLog::DueAt() const {
  return pending_ ? lastFlush_ + kFlushMs : std::numeric_limits<std::int64_t>::max();
}

}  // namespace server
