// The Windows build's place-holder for the decompression engine, whose file
// handling (entry.cpp) is written against POSIX calls that mingw-w64 lacks.
// Until the engine's file-system seam has a Windows side, every request fails
// as a damaged install would: the installation names the file it could not
// decompress, and nothing is reported as done that was not.
#include <cstdio>

#include "engine/decompress.h"

namespace engine {

int decompress_file(const char* name) {
  std::fprintf(stderr, "decompress: %s: the decompression engine is not in this Windows build\n",
               name);
  return 1;
}

}  // namespace engine
