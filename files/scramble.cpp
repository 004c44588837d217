#include "files/scramble.h"

namespace files {

namespace {
unsigned char RotateLeft(unsigned char b) { return static_cast<unsigned char>((b << 1) | (b >> 7)); }
unsigned char RotateRight(unsigned char b) { return static_cast<unsigned char>((b >> 1) | (b << 7)); }
}  // namespace

void ScrambleText(char* text) {
  for (auto* p = reinterpret_cast<unsigned char*>(text); *p != 0; ++p)
    *p = RotateLeft(static_cast<unsigned char>(*p ^ ScrambleMask));
}

void UnscrambleText(char* text) {
  for (auto* p = reinterpret_cast<unsigned char*>(text); *p != 0; ++p)
    *p = static_cast<unsigned char>(RotateRight(*p) ^ ScrambleMask);
}

}  // namespace files
