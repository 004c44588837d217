#pragma once
// A scripted update server for the tests: listens on one address, accepts one
// connection and plays a fixed script of sends, expected receives, pauses and
// closes on its own thread.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testing_session {

using Bytes = std::vector<std::uint8_t>;

Bytes Cat(std::initializer_list<Bytes> parts);
template <typename Array>
Bytes ToBytes(const Array& a) { return Bytes(a.begin(), a.end()); }
Bytes ToBytes(const std::string& s);

class ScriptedServer {
 public:
  /// Listens on ADDRESS:PORT (0 = any free port). Fails the test when it cannot.
  explicit ScriptedServer(const std::string& address = "127.0.0.1", std::uint16_t port = 0);
  ~ScriptedServer();

  std::uint16_t port() const { return port_; }

  // Script steps, run in order once a client is accepted.
  ScriptedServer& Send(const Bytes& bytes);
  /// Sends in pieces of PIECE bytes with a pause between them, so that the
  /// client sees them in separate receives.
  ScriptedServer& SendInPieces(const Bytes& bytes, std::size_t piece, int pauseMs = 20);
  /// Reads exactly COUNT bytes (kept in received()).
  ScriptedServer& Expect(std::size_t count);
  ScriptedServer& Pause(int ms);
  /// Orderly close (the client sees the end of the stream).
  ScriptedServer& Close();
  /// Abortive close: the client sees a reset, an error close.
  ScriptedServer& Reset();
  /// Without a closing step the server keeps the connection until the client
  /// closes it or the server is destroyed.

  void Start();

  bool accepted() const { return accepted_; }
  bool finished() const { return finished_; }
  /// True when the client closed its end (seen after the script ran).
  bool clientClosed() const { return clientClosed_; }
  Bytes received() const;

 private:
  struct Step {
    enum Kind { SendBytes, ExpectBytes, PauseMs, CloseOrderly, CloseReset } kind;
    Bytes bytes = {};
    std::size_t count = 0;
    int ms = 0;
  };
  void Run();
  bool WaitReadable(int fd, int ms);

  int listenFd_ = -1;
  std::uint16_t port_ = 0;
  std::vector<Step> steps_;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> accepted_{false};
  std::atomic<bool> finished_{false};
  std::atomic<bool> clientClosed_{false};
  mutable std::mutex mutex_;
  Bytes received_;
};

}  // namespace testing_session
