#include "session/testing/scripted_connection.h"

#include <algorithm>
#include <cstring>

namespace session::testing {

void ScriptedConnection::Send(const Bytes& bytes) {
  if (!open_ || ended_) return;  // nobody receives it
  pieces_.push_back(bytes);
  Deliver();
}

void ScriptedConnection::SendInPieces(const Bytes& bytes, std::size_t piece) {
  for (std::size_t at = 0; at < bytes.size(); at += piece) {
    const std::size_t n = std::min(piece, bytes.size() - at);
    Send(Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(at),
               bytes.begin() + static_cast<std::ptrdiff_t>(at + n)));
  }
}

void ScriptedConnection::End(int errorCode) {
  if (!open_ || ended_) return;
  ended_ = true;
  endCode_ = errorCode;
  // The end is one more readiness report; the pass that meets it is
  // followed by the closed notification, as on a socket.
  pieces_.clear();
  owner_->HandleReceive();
  if (open_ && owner_ != nullptr) owner_->HandleConnectionClosed(errorCode);
}

void ScriptedConnection::Deliver() {
  while (open_ && owner_ != nullptr && !pieces_.empty()) {
    const std::size_t waiting = pieces_.size();
    const std::size_t taken = taken_;
    owner_->HandleReceive();
    if (pieces_.size() == waiting && taken_ == taken) break;  // the session read nothing
  }
}

ScriptedConnection::Bytes ScriptedConnection::TakeSent() {
  Bytes sent;
  sent.swap(sent_);
  return sent;
}

bool ScriptedConnection::Create() {
  if (createFails) return false;
  Close();
  return true;
}

bool ScriptedConnection::ConnectAndRecord(ConnectionOwner* owner, const std::string& host, unsigned port) {
  Close();
  if (host.empty() || refused_.count(host) != 0) return false;
  owner_ = owner;
  open_ = true;
  ended_ = false;
  connectedFrom_ = localAddress;
  connections_.push_back(host + ":" + std::to_string(port));
  return true;
}

bool ScriptedConnection::SendAll(const void* bytes, std::size_t length) {
  if (!open_) return false;
  const auto* p = static_cast<const std::uint8_t*>(bytes);
  sent_.insert(sent_.end(), p, p + length);
  return true;
}

long ScriptedConnection::Receive(void* buffer, std::size_t length) {
  if (!open_) return -1;
  if (pieces_.empty()) return ended_ && endCode_ == 0 ? 0 : -1;
  const Bytes& piece = pieces_.front();
  const std::size_t n = std::min(length, piece.size() - taken_);
  std::memcpy(buffer, piece.data() + taken_, n);
  taken_ += n;
  if (taken_ == piece.size()) {
    pieces_.pop_front();
    taken_ = 0;
  }
  return static_cast<long>(n);
}

void ScriptedConnection::Close() {
  owner_ = nullptr;
  open_ = false;
  pieces_.clear();
  taken_ = 0;
}

}  // namespace session::testing
