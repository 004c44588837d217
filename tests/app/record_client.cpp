// Stands in for the game client: writes its working directory, its arguments
// (one per line, the first being argv[0]) and the descriptors it inherited
// beyond the standard three to the file named by RECORD_CLIENT_OUT, then
// stays running for RECORD_CLIENT_STAY seconds (0 when unset).
#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
  const char* out = std::getenv("RECORD_CLIENT_OUT");
  if (out == nullptr) return 2;
  std::string fds;
  if (DIR* dir = opendir("/proc/self/fd")) {
    const int own = dirfd(dir);
    while (dirent* entry = readdir(dir)) {
      const int fd = std::atoi(entry->d_name);
      if (entry->d_name[0] != '.' && fd > 2 && fd != own) fds += " " + std::to_string(fd);
    }
    closedir(dir);
  }
  const std::string partial = std::string(out) + ".part";
  FILE* f = std::fopen(partial.c_str(), "w");
  if (f == nullptr) return 3;
  char cwd[4096] = {};
  std::fprintf(f, "cwd %s\ninherited%s\n", getcwd(cwd, sizeof cwd) ? cwd : "?", fds.c_str());
  for (int i = 0; i < argc; ++i) std::fprintf(f, "arg %s\n", argv[i]);
  std::fclose(f);
  std::rename(partial.c_str(), out);  // appears whole
  if (const char* stay = std::getenv("RECORD_CLIENT_STAY")) sleep(static_cast<unsigned>(std::atoi(stay)));
  return 0;
}
