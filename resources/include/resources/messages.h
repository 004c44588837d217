#pragma once
/// The program's numbered user messages, their texts (UTF-8) and icons.

namespace resources {

enum class MessageId {
  MsgSocketInitFailed = 1,
  MsgConnectFailed = 2,
  MsgClientStartFailed = 3,
  MsgConnectionLost = 4,
  MsgVersionMismatch = 5,
  MsgTooManyFiles = 6,
  MsgDamagedFile = 7,
  MsgUnverifiedUpdate = 8,
};

enum class MessageIcon { Warning, Error, Information };

struct NumberedMessage {
  MessageId id;
  const char* name;
  const char* text;
  MessageIcon icon;
};

const NumberedMessage& GetNumberedMessage(MessageId id);

/// The single-instance box, shown before anything else exists.
inline constexpr const char* kAlreadyRunningText = "Mirvale가 실행중입니다.";
inline constexpr const char* kAlreadyRunningCaption = "Mirvale";

}  // namespace resources
