#pragma once
/// The calling thread's last system error and its text.

#include <string>

namespace platform {

int LastSystemError();                   // errno
std::string SystemErrorText(int code);   // strerror text, never empty for a non-zero code

}  // namespace platform
