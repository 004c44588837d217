#include "resources/messages.h"

namespace resources {

namespace {
// Texts as the player sees them; "\n" is a line break in the box.
constexpr NumberedMessage kMessages[] = {
    {MessageId::MsgSocketInitFailed, "MsgSocketInitFailed", "Windows 소켓 초기화에 실패하였습니다.", MessageIcon::Warning},
    {MessageId::MsgConnectFailed, "MsgConnectFailed", "서버 접속에 실패했습니다.\n잠시 후 재 실행 하세요.", MessageIcon::Error},
    {MessageId::MsgClientStartFailed, "MsgClientStartFailed", "'Mirvale'를 실행할 수 없습니다.\n재 설치 후 다시 시작하세요.", MessageIcon::Error},
    {MessageId::MsgConnectionLost, "MsgConnectionLost", "서버와의 연결이 해제 되었습니다.\n재 실행 하세요.", MessageIcon::Error},
    {MessageId::MsgVersionMismatch, "MsgVersionMismatch", "버전이 일치하지 안습니다.\n최신 버전으로 재 설치하세요.", MessageIcon::Error},
    {MessageId::MsgTooManyFiles, "MsgTooManyFiles", "다운로드 받을 파일이 너무 많습니다. \n최신 버전으로 재 설치하세요.", MessageIcon::Information},
    {MessageId::MsgDamagedFile, "MsgDamagedFile", "손상된 파일이 있습니다.\n재 설치 후 다시 시작하세요.", MessageIcon::Error},
    {MessageId::MsgUnverifiedUpdate, "MsgUnverifiedUpdate", "업데이트 파일을 확인할 수 없습니다.\n잠시 후 재 실행 하세요.", MessageIcon::Error},
};
}  // namespace

const NumberedMessage& GetNumberedMessage(MessageId id) {
  return kMessages[static_cast<int>(id) - 1];
}

}  // namespace resources
