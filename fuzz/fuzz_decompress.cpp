// libFuzzer target: decompress_file on arbitrary bytes. Each input is written
// to a file in a private directory and decompressed in-process; a fatal end
// of the engine is caught through the replaceable process end, and whatever
// the engine left behind is removed before the next input. Besides the
// sanitizers' findings, a run fails when the engine leaves the wrong files
// (an output after an error, the input after success, or a temporary file). The engine's
// messages are sent to /dev/null during the call; sanitizer reports go to
// the real standard error, and libFuzzer saves a crashing input under its
// artifact prefix as usual.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <sanitizer/common_interface_defs.h>

#include "engine/decompress.h"
#include "engine_state.h"
#include "testing/engine_testing.h"

namespace {

struct EngineEnded {
  int status;
};

void throw_on_end(int status) { throw EngineEnded{status}; }

int null_fd = -1;
int saved_stderr = -1;
std::string dir_path, input_path, output_path;  // <private dir>, its f.gz and f

/// Whether the private directory holds anything but f.gz and f.
bool stray_files() {
  DIR* dir = ::opendir(dir_path.c_str());
  if (dir == nullptr) std::abort();
  bool stray = false;
  while (const dirent* e = ::readdir(dir)) {
    const std::string name = e->d_name;
    if (name != "." && name != ".." && name != "f.gz" && name != "f") stray = true;
  }
  ::closedir(dir);
  return stray;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  char pattern[] = "/tmp/fuzz-decompress-XXXXXX";
  if (::mkdtemp(pattern) == nullptr) std::abort();
  dir_path = pattern;
  input_path = dir_path + "/f.gz";
  output_path = dir_path + "/f";
  engine::end_process_hook = throw_on_end;
  null_fd = ::open("/dev/null", O_WRONLY);
  saved_stderr = ::dup(2);
  __sanitizer_set_report_fd(reinterpret_cast<void*>(static_cast<std::intptr_t>(saved_stderr)));
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  int fd = ::open(input_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) std::abort();
  if (size > 0 && ::write(fd, data, size) != ssize_t(size)) std::abort();
  ::close(fd);

  std::fflush(stderr);
  ::dup2(null_fd, 2);
  int result = -1;
  try {
    result = engine::decompress_file(input_path.c_str());
  } catch (const EngineEnded& e) {
    // The engine must have removed its half-written output and kept the input.
    struct stat st;
    if (e.status != 1 || ::stat(output_path.c_str(), &st) == 0 || ::stat(input_path.c_str(), &st) != 0) std::abort();
  }
  std::fflush(stderr);
  ::dup2(saved_stderr, 2);

  if (result == 0 || result == 2) {
    struct stat st;
    // Success and warnings leave the output and remove the input.
    if (::stat(output_path.c_str(), &st) != 0 || ::stat(input_path.c_str(), &st) == 0) std::abort();
  } else if (result == 1) {
    struct stat st;
    if (::stat(output_path.c_str(), &st) == 0) std::abort();  // an error leaves no output
  }
  if (stray_files()) std::abort();  // a temporary file was left behind
  ::unlink(output_path.c_str());
  ::unlink(input_path.c_str());
  return 0;
}
