// Stands in for the game client on Windows: writes its working directory and
// the command line it was given (GetCommandLineA), one per line, to the file
// named by RECORD_CLIENT_OUT.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

int main() {
  const char* out = std::getenv("RECORD_CLIENT_OUT");
  if (out == nullptr) return 2;
  const std::string partial = std::string(out) + ".part";
  std::FILE* f = std::fopen(partial.c_str(), "wb");
  if (f == nullptr) return 3;
  char cwd[MAX_PATH] = {};
  GetCurrentDirectoryA(MAX_PATH, cwd);
  std::fprintf(f, "%s\n%s", cwd, GetCommandLineA());
  std::fclose(f);
  MoveFileExA(partial.c_str(), out, MOVEFILE_REPLACE_EXISTING);  // appears whole
  return 0;
}
