// File-level face of the engine: decompress_file and the per-file driver
// (finding the input, naming and creating the output, the member loop,
// copying times and permission bits, removing the input), and the way the
// engine ends the process on fatal errors.
#include <cerrno>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "engine/decompress.h"
#include "engine_state.h"

namespace engine {

// ---- settings ---------------------------------------------------------------
const char* program_name = "decompress";
char default_suffix[31] = ".gz";
std::size_t default_suffix_length = 3;
int opt_decompress = 1, opt_force = 1, opt_quiet = 1, opt_verbose = 0;
int ignore_stored_name = 1, ignore_stored_time = 0;
int result_code = 0;

// ---- per-file state ---------------------------------------------------------
char input_name[kNameBufferSize];
char output_name[kNameBufferSize];
int input_handle = -1, output_handle = -1;
struct stat input_status;
std::time_t stored_time = 0;
int remove_output_on_abort = 0;

#ifdef ENGINE_REPLACEABLE_END
end_process_hook_fn end_process_hook = nullptr;
#endif

namespace {

// The longest name accepted: a probing suffix of up to three characters may
// be appended and the result must still fit the name buffers with its end.
constexpr std::size_t kMaxNameLength = kNameBufferSize - 4;

constexpr const char* kKnownSuffixes[] = {nullptr /* default_suffix */, ".gz", ".z", ".taz",
                                          ".tgz", "-gz", "-z", "_z"};
constexpr const char* kProbingSuffixes[] = {nullptr /* default_suffix */, ".gz", ".z", "-z",
                                            ".Z"};
constexpr std::size_t kSuffixWindow = 32;

bool end_under_way = false;

void close_input() {
  if (input_handle >= 0) ::close(input_handle);
  input_handle = -1;
}

/// Where a recognised suffix begins in NAME, or -1. Case-insensitive; only
/// '/' separates directories here.
long find_known_suffix(const char* name) {
  std::size_t length = std::strlen(name);
  std::size_t skip = length > kSuffixWindow ? length - kSuffixWindow : 0;
  char tail[kSuffixWindow + 1];
  std::size_t tail_length = length - skip;
  for (std::size_t i = 0; i < tail_length; ++i)
    tail[i] = char(std::tolower(static_cast<unsigned char>(name[skip + i])));
  tail[tail_length] = '\0';

  bool skip_default = std::strcmp(default_suffix, "z") == 0;
  for (const char* suffix : kKnownSuffixes) {
    if (suffix == nullptr) {
      if (skip_default) continue;
      suffix = default_suffix;
    }
    std::size_t s = std::strlen(suffix);
    if (tail_length <= s) continue;
    std::size_t at = tail_length - s;
    if (tail[at - 1] == '/') continue;
    if (std::strcmp(tail + at, suffix) == 0) return long(skip + at);
  }
  return -1;
}

bool locate_input(const char* name) {
  std::strcpy(input_name, name);  // length checked by decompress_file
  errno = 0;
  if (::stat(input_name, &input_status) == 0) return true;

  if (errno == ENOENT && find_known_suffix(input_name) < 0) {
    std::size_t length = std::strlen(input_name);
    bool skip_default = std::strcmp(default_suffix, ".gz") == 0;
    for (const char* suffix : kProbingSuffixes) {
      if (suffix == nullptr) {
        if (skip_default) continue;
        suffix = default_suffix;
      }
      std::strcpy(input_name + length, suffix);
      if (::stat(input_name, &input_status) == 0) return true;
      input_name[length] = '\0';
    }
    std::strcpy(input_name + length, default_suffix);
  }
  print_system_error(input_name);
  result_code = 1;
  return false;
}

/// 0: output_name holds the name to write; 2: no recognised suffix, skip.
int derive_output_name() {
  std::strcpy(output_name, input_name);
  long at = find_known_suffix(output_name);
  if (at < 0) return 2;
  char* suffix = output_name + at;
  for (char* p = suffix; *p; ++p) *p = char(std::tolower(static_cast<unsigned char>(*p)));
  if (std::strcmp(suffix, ".tgz") == 0 || std::strcmp(suffix, ".taz") == 0)
    std::strcpy(suffix, ".tar");
  else
    *suffix = '\0';
  return 0;
}

bool same_file_status(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_mode == b.st_mode &&
         a.st_uid == b.st_uid && a.st_gid == b.st_gid && a.st_size == b.st_size &&
         a.st_atime == b.st_atime && a.st_mtime == b.st_mtime && a.st_ctime == b.st_ctime;
}

void shorten_name(char* name) {
  std::size_t length = std::strlen(name);
  if (length <= 1) report_error("name too short");
  name[length - 1] = '\0';
}

bool name_truncated(char* name, const struct stat& status) {
  std::size_t length = std::strlen(name);
  if (length == 0) return false;
  char last = name[length - 1];
  name[length - 1] = '\0';
  struct stat shorter;
  bool same = ::stat(name, &shorter) == 0 && same_file_status(shorter, status);
  name[length - 1] = last;
  return same;
}

/// Deletes NAME after making it writable, as a read-only file must still be
/// replaceable. A symbolic link is removed without touching what it points
/// to, and if the deletion fails the file keeps its old permission bits.
bool remove_forcefully(const char* name) {
  struct stat own;
  bool changed = ::lstat(name, &own) == 0 && S_ISREG(own.st_mode) && ::chmod(name, 0777) == 0;
  if (::unlink(name) == 0) return true;
  int e = errno;
  if (changed) ::chmod(name, own.st_mode & 07777);
  errno = e;
  return false;
}

int prepare_output_slot() {
  struct stat existing;
  errno = 0;
  while (::stat(output_name, &existing) != 0) {
    if (errno != ENAMETOOLONG) return 0;
    shorten_name(output_name);
    errno = 0;
  }
  if (same_file_status(input_status, existing)) {
    if (std::strcmp(input_name, output_name) == 0)
      std::fprintf(stderr, "%s: %s: cannot %scompress onto itself\n", program_name, input_name,
                   "de");
    else
      std::fprintf(stderr, "%s: %s and %s are the same file\n", program_name, input_name,
                   output_name);
    result_code = 1;
    return 1;
  }
  if (!remove_forcefully(output_name)) {
    std::fprintf(stderr, "%s: ", program_name);
    print_system_error(output_name);
    result_code = 1;
    return 1;
  }
  return 0;
}

int create_output() {
  if (prepare_output_slot() != 0) {
    close_input();
    return 1;
  }
  remove_output_on_abort = 1;
  output_handle = ::open(output_name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (output_handle < 0) {
    remove_output_on_abort = 0;
    print_system_error(output_name);
    close_input();
    result_code = 1;
    return 1;
  }
  struct stat created;
  if (::fstat(output_handle, &created) != 0) {
    std::fprintf(stderr, "%s: ", program_name);
    print_system_error(output_name);
    close_input();
    ::close(output_handle);
    output_handle = -1;
    ::unlink(output_name);
    remove_output_on_abort = 0;
    result_code = 1;
    return 1;
  }
  if (name_truncated(output_name, created)) {
    if (!opt_quiet)
      std::fprintf(stderr, "%s: %s: warning, name truncated\n", program_name, output_name);
    set_warning();
  }
  return 0;
}

void set_file_times() {
  struct timespec times[2];
  times[0] = input_status.st_atim;
  times[1] = input_status.st_mtim;
  if (stored_time != 0 && stored_time != input_status.st_mtime) {
    times[1].tv_sec = stored_time;
    times[1].tv_nsec = 0;
  }
  if (::utimensat(AT_FDCWD, output_name, times, 0) != 0 && !S_ISDIR(input_status.st_mode))
    set_warning();
}

void finish_output() {
  set_file_times();
  if (::chmod(output_name, input_status.st_mode & 07777) != 0) set_warning();
  remove_output_on_abort = 0;
  if (!remove_forcefully(input_name)) set_warning();
}

}  // namespace

void process_file(const char* name) {
  clear_pkzip_state();
  if (!locate_input(name)) return;
  if (S_ISDIR(input_status.st_mode) || !S_ISREG(input_status.st_mode)) {
    set_warning();
    return;
  }
  stored_time = input_status.st_mtime;
  if (derive_output_name() != 0) return;

  input_handle = ::open(input_name, O_RDONLY | O_CLOEXEC);
  if (input_handle < 0) {
    std::fprintf(stderr, "%s: ", program_name);
    print_system_error(input_name);
    result_code = 1;
    return;
  }
  clear_buffers();
  member_count = 0;

  member_method = detect_container(input_handle);
  if (member_method < 0) {
    close_input();
    return;
  }
  if (create_output() != 0) return;

  for (;;) {
    if (member_decoder(input_handle, output_handle) != 0) {
      member_method = -1;
      break;
    }
    if (final_member) break;
    if (input_pos == input_count) {
      // The member ended exactly where the buffer fill ended: the rest of
      // the file, if any, has not been looked at yet. A further member
      // there must not be dropped while the call reports success.
      if (fill_input(true) < 0) {
        input_pos = 0;
        break;
      }
      input_pos = 0;
    }
    member_method = detect_container(input_handle);
    if (member_method < 0) break;
    output_bytes = 0;
  }

  close_input();
  int closed = ::close(output_handle);
  output_handle = -1;
  if (closed != 0) report_write_error();

  if (member_method == -1) {
    ::unlink(output_name);
    remove_output_on_abort = 0;
    return;
  }
  finish_output();
}

int decompress_file(const char* name) {
  program_name = "decompress";
  std::strncpy(default_suffix, ".gz", sizeof default_suffix - 1);
  default_suffix[sizeof default_suffix - 1] = '\0';
  default_suffix_length = std::strlen(default_suffix);
  ignore_stored_time = 0;
  opt_verbose = 0;
  result_code = 0;
  opt_decompress = 1;
  opt_force = 1;
  ignore_stored_name = 1;
  opt_quiet = 1;

  // The name buffers are fixed; a longer name is refused before anything is
  // looked up, created or removed.
  if (name == nullptr || std::strlen(name) > kMaxNameLength) {
    std::fprintf(stderr, "%s: %.40s...: name too long\n", program_name, name ? name : "");
    result_code = 1;
    return result_code;
  }
  process_file(name);
  return result_code;
}

void abort_engine() {
  if (remove_output_on_abort) {
    remove_output_on_abort = 0;
    if (output_handle >= 0) ::close(output_handle);
    output_handle = -1;
    ::unlink(output_name);
  }
  end_process(1);
}

void end_process(int status) {
  if (end_under_way) std::_Exit(status);
  end_under_way = true;
#ifdef ENGINE_REPLACEABLE_END
  if (end_process_hook != nullptr) {
    // In-process run: leave nothing open and nothing marked, so that the
    // next call starts as a fresh process would.
    end_under_way = false;
    close_input();
    if (output_handle >= 0) ::close(output_handle);
    output_handle = -1;
    clear_pkzip_state();
    end_process_hook(status);
  }
#endif
  std::exit(status);
}

}  // namespace engine
