#pragma once
/// The byte scrambling of File.ver and Server.cnv: XOR with ScrambleMask, then
/// rotate left by one bit; unscrambling reverses it. Both stop at the first
/// zero byte (which stays as it is) and work in place.

namespace files {

constexpr unsigned char ScrambleMask = 0xA7;  // outside ASCII: no text byte scrambles to 0

void ScrambleText(char* text);
void UnscrambleText(char* text);

}  // namespace files
