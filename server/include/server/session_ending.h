#pragma once
/// How a session of the update server ends: what the server counts and the
/// session log names at the end of each line.

namespace server {

/// How a session ended: counted, and named at the end of its log line.
enum class Ending {
  Completed,     ///< everything sent (the updater closed, or stayed idle after the end)
  NoRequest,     ///< the updater closed before asking: up to date, redirected or gone
  IdleTimeout,   ///< no request within the timeout
  Stalled,       ///< a body made no progress within the timeout
  ClosedEarly,   ///< the updater closed or reset before the end
  BadRequest,    ///< the request code was neither 0x01 nor 0x41
  ExtraData,     ///< bytes after the 9-byte request
  NetworkError,  ///< a send or receive failed otherwise
  StoreError,    ///< a stored file could not be sent as recorded
  Stopped,       ///< the server stopped
  Displaced,     ///< no request yet while the server was full and others waited
  AddressFull,   ///< its address already held the most sessions allowed
};
constexpr int kEndings = 12;
const char* EndingText(Ending ending);

}  // namespace server
