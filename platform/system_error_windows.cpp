#include "platform/system_error.h"

#include <windows.h>

#include <string>

namespace platform {

int LastSystemError() { return static_cast<int>(GetLastError()); }

namespace {

/// TEXT in the system's ANSI code page (CP949 on a Korean system) as UTF-8.
std::string AnsiToUtf8(const char* text, int length) {
  const int wide = MultiByteToWideChar(CP_ACP, 0, text, length, nullptr, 0);
  if (wide <= 0) return std::string(text, static_cast<std::size_t>(length));
  std::wstring utf16(static_cast<std::size_t>(wide), L'\0');
  MultiByteToWideChar(CP_ACP, 0, text, length, utf16.data(), wide);
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, utf16.data(), wide, nullptr, 0, nullptr, nullptr);
  std::string utf8(static_cast<std::size_t>(bytes), '\0');
  WideCharToMultiByte(CP_UTF8, 0, utf16.data(), wide, utf8.data(), bytes, nullptr, nullptr);
  return utf8;
}

}  // namespace

std::string SystemErrorText(int code) {
  if (code == 0) return {};
  // The system's own text for CODE in the user's default language, in a
  // buffer the system allocates.
  char* text = nullptr;
  const DWORD length = FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, static_cast<DWORD>(code), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
      reinterpret_cast<char*>(&text), 0, nullptr);
  std::string result;
  if (length > 0 && text != nullptr) result = AnsiToUtf8(text, static_cast<int>(length));
  if (text != nullptr) LocalFree(text);
  // The system ends its texts with a line break; a message box needs none.
  while (!result.empty() && (result.back() == '\n' || result.back() == '\r' || result.back() == ' '))
    result.pop_back();
  if (result.empty()) result = "Unknown error " + std::to_string(code);
  return result;
}

}  // namespace platform
