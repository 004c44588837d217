#pragma once
/// The byte scrambling of File.ver and Server.cnv: XOR with ScrambleMask, then
/// rotate left by one bit; unscrambling reverses it. Both stop at the first
/// zero byte (which stays as it is) and work in place.

namespace files {

// 0xFF lies outside ASCII and is never part of UTF-8 or CP949 text, so no
// byte of a server list or version text scrambles to the zero that ends it.
constexpr unsigned char ScrambleMask = 0xFF;

void ScrambleText(char* text);
void UnscrambleText(char* text);

}  // namespace files
