#pragma once
// A plain blocking client for the server suites: it speaks the protocol as
// the updater does, or misbehaves on purpose.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "session/wire.h"

namespace server_test {

struct ReceivedFile {
  std::string name;
  std::uint32_t version = 0;
  std::string body;
};

/// What followed a request.
struct Answer {
  bool complete = false;  ///< every announced file arrived
  std::string notice;
  session::FileListHeader list;
  std::vector<ReceivedFile> files;
};

class TestClient {
 public:
  /// Connects to 127.0.0.1:PORT; RECEIVEBUFFER > 0 sets a small receive buffer
  /// first; FROM other than 0 is the local address connected from (127.0.0.x).
  explicit TestClient(std::uint16_t port, int receiveBuffer = 0, session::Ipv4Address from = 0);
  ~TestClient();
  TestClient(const TestClient&) = delete;
  TestClient& operator=(const TestClient&) = delete;

  bool connected() const { return fd_ >= 0; }
  /// Reads exactly N bytes; false on end, error or timeout.
  bool ReadExact(void* out, std::size_t n, int timeoutMs = 5000);
  bool Send(const std::vector<std::uint8_t>& bytes);
  std::optional<session::VersionReply> ReadReply();
  bool SendRequest(std::uint8_t code, std::uint32_t major, std::uint32_t minor);
  /// Reads the notice (when asked for), the file list and every file.
  Answer ReadAnswer(bool notice);
  /// The whole road: reply, request, answer.
  Answer Update(std::uint32_t major, std::uint32_t minor, bool notice = false);
  /// True when the server ends the connection within TIMEOUTMS.
  bool WaitClosed(int timeoutMs);
  /// Shuts the sending side only; the answer can still be read.
  void ShutdownSending();
  void Close();

 private:
  int fd_ = -1;
};

}  // namespace server_test
