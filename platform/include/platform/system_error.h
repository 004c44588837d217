#pragma once
/// The calling thread's last system error and its text.

#include <string>

namespace platform {

/// GetLastError() on Windows, errno elsewhere.
int LastSystemError();

/// The system's text for CODE in UTF-8, never empty for a non-zero code:
/// FormatMessageA in the user's default language on Windows (converted from
/// the ANSI code page), strerror elsewhere. Empty for 0.
std::string SystemErrorText(int code);

}  // namespace platform
