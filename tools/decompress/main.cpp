// decompress NAME: runs the engine once on NAME, in place, and exits with its
// result: 0 done (or skipped for want of a suffix), 1 error, 2 warning.
// Corrupt data ends the process with status 1 from inside the engine.
#include <cstdio>

#include "engine/decompress.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: decompress NAME\n");
    return 1;
  }
  return engine::decompress_file(argv[1]);
}
