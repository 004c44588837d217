#include "session/update_session.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <utility>

#include "files/notice_file.h"
#include "files/version_file.h"
#include "platform/paths.h"

namespace session {
namespace {

using files::kNoticeName;

}  // namespace

std::string FormatCount(int first, int second) {
  char text[32];
  std::snprintf(text, sizeof text, "%d/%d", first, second);
  return text;
}

SessionFailure SessionFailure::Message(resources::MessageId id, bool closeLater) {
  SessionFailure failure;
  failure.shown = Shown::Message;
  failure.message = id;
  failure.closeLater = closeLater;
  return failure;
}

SessionFailure SessionFailure::CannotCreate(std::string fileName) {
  SessionFailure failure;
  failure.shown = Shown::CannotCreateFile;
  failure.fileName = std::move(fileName);
  return failure;
}

UpdateSession::UpdateSession(Connection& connection, SessionEvents& events, SessionOutcome& outcome,
                             std::array<std::string, 2> serverAddresses, unsigned port)
    : connection_(connection),
      events_(events),
      outcome_(outcome),
      serverAddresses_(std::move(serverAddresses)),
      port_(port) {}

UpdateSession::~UpdateSession() { Shutdown(); }

void UpdateSession::Shutdown() {
  connection_.Close();
  output_ = ReceivedFile();  // a partly received file stays as it is
}

void UpdateSession::ConnectToServers() {
  if (!connection_.Create()) return;  // no session, no message: the window just stays
  bool connected = false;
  for (const std::string& address : serverAddresses_) {
    if (connection_.ConnectAndRecord(this, address, port_)) {
      buffered_ = 0;
      readPos_ = 0;
      state_ = WaitVersionReply;
      std::memset(buffer_, 0, sizeof buffer_);
      progress_ = Progress::Running;
      events_.OnConnected(address, port_, connection_.LocalAddress());
      connected = true;
      break;
    }
  }
  if (!connected) {
    progress_ = Progress::Failed;
    events_.OnFailed(SessionFailure::Message(resources::MessageId::MsgConnectFailed, true));
  }
  events_.OnNoticeCurrent();
}

void UpdateSession::HandleReceive() {
  const std::size_t room = kReceiveBufferSize - buffered_;
  if (room > 0) {
    const long got = connection_.Receive(buffer_ + buffered_, room);
    if (got > 0) {
      buffered_ += static_cast<std::size_t>(got);
      events_.OnReceived(static_cast<std::size_t>(got));
    }
  }
  // A finished session opens nothing more: whatever still arrives is dropped.
  if (progress_ != Progress::Running) {
    buffered_ = 0;
    return;
  }
  readPos_ = 0;
  Step step;
  while ((step = RunStep()) == Step::Continue) {
  }
  if (step == Step::Wait && readPos_ > 0 && buffered_ > 0) {
    std::memmove(buffer_, buffer_ + readPos_, buffered_);
  }
  readPos_ = 0;
}

// What arrived completely is the host's to install (OnConnectionClosed);
// a broken connection then ends the session with message 4.
void UpdateSession::HandleConnectionClosed(int errorCode) {
  connectionClosed_ = true;
  events_.OnConnectionClosed(errorCode);
  if (errorCode != 0) {
    if (progress_ == Progress::Running) progress_ = Progress::Failed;
    events_.OnFailed(SessionFailure::Message(resources::MessageId::MsgConnectionLost));
  }
}

UpdateSession::Step UpdateSession::RunStep() {
  switch (state_) {
    case WaitVersionReply: return OnVersionReply();
    case WaitNoticeLength: return OnNoticeLength();
    case ReceiveNotice: return OnNoticeBytes();
    case WaitFileList: return OnFileList();
    case WaitFileHeader: return OnFileHeader();
    case ReceiveFileBody: return OnFileBody();
  }
  return Step::Stop;
}

void UpdateSession::Abandon() {
  Shutdown();
  progress_ = Progress::Failed;
  buffered_ = 0;
}

UpdateSession::Step UpdateSession::Fail(SessionFailure failure) {
  Abandon();
  events_.OnFailed(failure);
  return Step::Stop;
}

UpdateSession::Step UpdateSession::Fail(resources::MessageId id) { return Fail(SessionFailure::Message(id)); }

UpdateSession::Step UpdateSession::FailCannotCreate(std::string name) {
  return Fail(SessionFailure::CannotCreate(std::move(name)));
}

// A server that breaks the protocol in a way that could hurt the
// installation is treated like one of the wrong version.
UpdateSession::Step UpdateSession::Refuse(const std::string& why) {
  SessionFailure failure = SessionFailure::Message(resources::MessageId::MsgVersionMismatch);
  failure.refusal = why;
  return Fail(std::move(failure));
}

UpdateSession::Step UpdateSession::OnVersionReply() {
  if (buffered_ < kVersionReplySize) return Step::Wait;
  const VersionReply reply = DecodeVersionReply(buffer_ + readPos_);
  if (reply.type != 1) return Fail(resources::MessageId::MsgVersionMismatch);
  buffered_ = 0;  // whatever stands behind the reply is dropped
  outcome_.versions = {0, 0};
  noticeTime_ = reply.noticeTime;

  files::FileVersionRecord record;
  switch (files::ReadVersionFile(record)) {
    case files::VersionFileOutcome::Absent:
      break;
    case files::VersionFileOutcome::Valid:
      outcome_.versions = {static_cast<std::uint32_t>(record.major),
                           static_cast<std::uint32_t>(record.minor)};
      break;
    case files::VersionFileOutcome::Damaged:
      return Fail(resources::MessageId::MsgDamagedFile);
    case files::VersionFileOutcome::WrongKind:
      return Fail(resources::MessageId::MsgVersionMismatch);
  }
  events_.OnVersionReply(reply, outcome_.versions[0], outcome_.versions[1]);
  return Decide(reply);
}

UpdateSession::Step UpdateSession::Decide(const VersionReply& reply) {
  const std::int32_t localTime = files::LocalNoticeTime(noticeTime_);
  const auto difference = static_cast<std::int32_t>(static_cast<std::uint32_t>(noticeTime_) -
                                                    static_cast<std::uint32_t>(localTime));
  const bool noticeCurrent = difference >= -1 && difference <= 1;

  if (reply.major <= outcome_.versions[0] && reply.minor <= outcome_.versions[1] && noticeCurrent) {
    events_.OnNoticeCurrent();
    progress_ = Progress::UpToDate;
    events_.OnUpToDate();
    return Step::Stop;  // the connection stays open
  }
  if (reply.redirect != 0 && !FromLoopback()) return Redirect(reply.redirect);

  UpdateRequest request;
  request.major = outcome_.versions[0];
  request.minor = outcome_.versions[1];
  if (noticeCurrent) {
    events_.OnNoticeCurrent();
    request.code = RequestFilesOnly;
    state_ = WaitFileList;
  } else {
    request.code = RequestNoticeAndFiles;
    state_ = WaitNoticeLength;
  }
  // The buffer holds nothing unconsumed here, so it carries the request.
  EncodeUpdateRequest(request, buffer_);
  const bool sent = connection_.SendAll(buffer_, kUpdateRequestSize);  // a failure only leaves us waiting
  events_.OnRequestSent(request, sent);
  return Step::Stop;
}

UpdateSession::Step UpdateSession::Redirect(Ipv4Address target) {
  if (++redirects_ > kMaxRedirects) return Fail(resources::MessageId::MsgConnectFailed);
  events_.OnRedirect(target);
  connection_.Close();
  if (!connection_.Create()) {
    progress_ = Progress::Failed;
    events_.OnFailed(SessionFailure{});  // the window ends without a message
    return Step::Stop;
  }
  if (connection_.ConnectAndRecord(this, Ipv4ToText(target), kRedirectPort)) {
    buffered_ = 0;
    state_ = WaitVersionReply;
    events_.OnConnected(Ipv4ToText(target), kRedirectPort, connection_.LocalAddress());
    return Step::Stop;
  }
  return Fail(resources::MessageId::MsgConnectFailed);
}

UpdateSession::Step UpdateSession::OnNoticeLength() {
  if (buffered_ < kNoticeLengthSize) return Step::Wait;
  const std::uint32_t length = DecodeNoticeLength(buffer_ + readPos_);
  if (length > kMaxNoticeLength) return Refuse("notice length above 2147483647");
  readPos_ += kNoticeLengthSize;
  buffered_ -= kNoticeLengthSize;
  noticeLength_ = length;
  output_ = ReceivedFile(kNoticeName, length);
  if (!output_.isOpen()) return FailCannotCreate(kNoticeName);
  state_ = ReceiveNotice;
  return Step::Continue;
}

UpdateSession::Step UpdateSession::OnNoticeBytes() {
  if (output_.remaining() == 0) {
    if (!output_.Finish()) return FailCannotCreate(kNoticeName);
    files::StampNotice(noticeTime_);
    events_.OnNoticeWritten(noticeLength_);
    events_.OnNoticeCurrent();
    state_ = WaitFileList;
    return Step::Continue;
  }
  if (buffered_ == 0) return Step::Wait;
  const std::size_t n = static_cast<std::size_t>(std::min<std::int64_t>(output_.remaining(), buffered_));
  if (!WritePiece(n)) return FailCannotCreate(kNoticeName);
  return Step::Continue;
}

UpdateSession::Step UpdateSession::OnFileList() {
  if (buffered_ < kFileListHeaderSize) return Step::Wait;
  // A negative total only misleads the total bar (which then stays empty);
  // what is sent is still bounded by the bodies the file headers announce.
  const FileListHeader header = DecodeFileListHeader(buffer_ + readPos_);
  readPos_ += kFileListHeaderSize;
  buffered_ -= kFileListHeaderSize;
  filesLeft_ = {header.counts[0], header.counts[1]};
  totalBytes_ = header.totalBytes;
  announcedBytes_ = 0;
  events_.OnFileList(header);
  if (totalBytes_ > kMaxDownloadBytes && !FromLoopback()) return Fail(resources::MessageId::MsgTooManyFiles);
  kindIndex_ = 0;
  totalUpper_ = totalBytes_;
  totalPosition_ = 0;
  state_ = WaitFileHeader;
  return Step::Continue;
}

UpdateSession::Step UpdateSession::OnFileHeader() {
  while (kindIndex_ < 2 && filesLeft_[kindIndex_] == 0) ++kindIndex_;
  if (kindIndex_ == 2) {
    progress_ = Progress::Complete;
    buffered_ = 0;
    events_.OnComplete();
    return Step::Stop;
  }
  if (buffered_ < 2) return Step::Wait;
  const std::uint16_t length = GetU16(buffer_ + readPos_);
  if (HeaderVerdict v = CheckFileHeaderLength(length); v != HeaderVerdict::Accepted) {
    return Refuse(HeaderVerdictText(v));
  }
  if (buffered_ < length) return Step::Wait;
  FileHeader header;
  if (HeaderVerdict v = DecodeFileHeader(buffer_ + readPos_, header); v != HeaderVerdict::Accepted) {
    return Refuse(HeaderVerdictText(v));
  }
  // The size limit holds for what is sent, not only for what the file list
  // promised: a server afar cannot announce little and send much.
  announcedBytes_ += header.bodyLength;
  if (announcedBytes_ > kMaxDownloadBytes && !FromLoopback()) {
    return Fail(resources::MessageId::MsgTooManyFiles);
  }
  --filesLeft_[kindIndex_];
  fileVersion_ = header.version;
  // The game sees its folder without regard to letter case, and so does the
  // server's list: the download replaces the file the game reads.
  currentName_ = LocalFileName(letterCase_.Resolve(header.name));
  readPos_ += length;
  buffered_ -= length;
  fileUpper_ = header.bodyLength;
  filePosition_ = 0;
  events_.OnFileStarted(currentName_, header.bodyLength, header.version);
  output_ = ReceivedFile(currentName_ + ".gz", header.bodyLength);
  if (hashStreams_) {
    // Recorded before it is known to open: a refusal removes what it can.
    if (downloadIndex_.insert(output_.name()).second) outcome_.downloads.push_back(output_.name());
    hasher_.Final();  // starts over
    sentName_ = header.name;
  }
  if (!output_.isOpen()) return FailCannotCreate(output_.name());
  letterCase_.NoteCreated(output_.name());
  state_ = ReceiveFileBody;
  return Step::Continue;
}

UpdateSession::Step UpdateSession::OnFileBody() {
  RefreshTexts();
  if (output_.remaining() == 0) {
    if (!output_.Finish()) return FailCannotCreate(output_.name());
    outcome_.versions[kindIndex_] = fileVersion_;
    if (hashStreams_) RecordStream();
    // A name sent twice has one download, which the later body replaced:
    // it is installed once.
    if (receivedThisSession_.insert(currentName_).second) outcome_.receivedNames.push_back(currentName_);
    events_.OnFileCompleted(currentName_);
    state_ = WaitFileHeader;
    return Step::Continue;
  }
  if (buffered_ == 0) return Step::Wait;
  const std::size_t n = static_cast<std::size_t>(std::min<std::int64_t>(output_.remaining(), buffered_));
  if (!WritePiece(n)) return FailCannotCreate(output_.name());
  filePosition_ = std::min(fileUpper_, filePosition_ + static_cast<std::int64_t>(n));
  totalPosition_ = std::min(totalUpper_, totalPosition_ + static_cast<std::int64_t>(n));
  events_.OnBodyWritten(static_cast<std::int32_t>(n));
  return Step::Continue;
}

// A piece that cannot be written would leave a damaged file that still
// counts as received; the session stops instead.
bool UpdateSession::WritePiece(std::size_t n) {
  // The bytes are in the buffer anyway: the hash costs no second read.
  if (hashStreams_ && state_ == ReceiveFileBody) hasher_.Update(buffer_ + readPos_, n);
  const bool ok = output_.Write(buffer_ + readPos_, n);
  readPos_ += n;
  buffered_ -= n;
  return ok;
}

void UpdateSession::RecordStream() {
  ReceivedStream stream;
  stream.sentName = sentName_;
  stream.localName = currentName_;
  stream.size = hasher_.size();
  stream.hash = hasher_.Final();
  const auto [at, added] = streamIndex_.emplace(currentName_, outcome_.streams.size());
  if (added) {
    outcome_.streams.push_back(std::move(stream));
  } else {
    outcome_.streams[at->second] = std::move(stream);  // the later body replaced the earlier
  }
}

void UpdateSession::RefreshTexts() {
  ProgressTexts texts;
  const int received = static_cast<int>(outcome_.receivedNames.size());
  texts.fileNumber = received + 1;
  texts.fileCount = static_cast<int>(filesLeft_[0] + filesLeft_[1]) + received + 1;
  texts.currentPosition = static_cast<int>(filePosition_);
  texts.currentUpper = static_cast<int>(fileUpper_);
  texts.totalPosition = static_cast<int>(totalPosition_);
  texts.totalUpper = static_cast<int>(totalUpper_);
  events_.OnProgressTexts(texts);
}

}  // namespace session
