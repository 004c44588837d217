#pragma once
/// PLAIN as it stands on disk in File.ver or Server.cnv.

#include <string>

#include "files/scramble.h"

inline std::string Scrambled(std::string plain) {
  files::ScrambleText(plain.data());
  return plain;
}
