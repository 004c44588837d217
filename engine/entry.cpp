// File-level face of the engine: decompress_file and the per-file driver
// (finding the input, naming the output, the member loop, putting the
// output in place with the input's times and permission bits, removing the
// input), and abort_engine, the way out after a fatal error.
//
// The output is decoded into a temporary file beside its final name and put
// in place by one rename once every member has checked out, so an existing
// file of that name stays as it is until then: a corrupt download, a full
// disk or a crash in the middle leave the installed file intact. Every file
// is opened without following a link in its last component; the input must
// be a regular file.
#include <cerrno>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "engine/decompress.h"
#include "engine_state.h"
#include "seam.h"

namespace engine {

namespace {

// The longest name accepted: a probing suffix of up to three characters may
// be appended and the result must still fit the name buffers with its end.
constexpr std::size_t kMaxNameLength = kNameBufferSize - 4;

/// Suffixes that mark a compressed file, tried in this order (lower case:
/// the test ignores case). default_suffix, ".gz", comes first.
constexpr const char* kKnownSuffixes[] = {".gz", ".z", ".taz", ".tgz", "-gz", "-z", "_z"};
/// Suffixes appended, in this order, to a name that does not exist.
constexpr const char* kProbingSuffixes[] = {".gz", ".z", "-z", ".Z"};
constexpr std::size_t kSuffixWindow = 32;

void close_input() {
  if (state.input_handle >= 0) fs::close(state.input_handle);
  state.input_handle = -1;
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

  for (const char* suffix : kKnownSuffixes) {
    std::size_t s = std::strlen(suffix);
    if (tail_length <= s) continue;
    std::size_t at = tail_length - s;
    if (tail[at - 1] == '/') continue;
    if (std::strcmp(tail + at, suffix) == 0) return long(skip + at);
  }
  return -1;
}

/// Finds the input: NAME itself, or NAME with a probing suffix when NAME
/// does not exist and has no suffix. A link is found as a link.
bool locate_input(const char* name) {
  std::strcpy(state.input_name, name);  // length checked by decompress_file
  errno = 0;
  if (fs::query(state.input_name, &state.input_status) == 0) return true;

  if (errno == ENOENT && find_known_suffix(state.input_name) < 0) {
    std::size_t length = std::strlen(state.input_name);
    for (const char* suffix : kProbingSuffixes) {
      std::strcpy(state.input_name + length, suffix);
      if (fs::query(state.input_name, &state.input_status) == 0) return true;
      state.input_name[length] = '\0';
    }
    std::strcpy(state.input_name + length, default_suffix);
  }
  refuse_system_error(state.input_name, false);
  return false;
}

/// 0: output_name holds the name to write; 2: no recognised suffix, skip.
int derive_output_name() {
  std::strcpy(state.output_name, state.input_name);
  long at = find_known_suffix(state.output_name);
  if (at < 0) return 2;
  char* suffix = state.output_name + at;
  for (char* p = suffix; *p; ++p) *p = char(std::tolower(static_cast<unsigned char>(*p)));
  if (std::strcmp(suffix, ".tgz") == 0 || std::strcmp(suffix, ".taz") == 0)
    std::strcpy(suffix, ".tar");
  else
    *suffix = '\0';
  return 0;
}

bool same_file_status(const fs::FileStatus& a, const fs::FileStatus& b) {
  return a.device == b.device && a.inode == b.inode && a.mode == b.mode && a.owner == b.owner &&
         a.group == b.group && a.size == b.size && a.access.seconds == b.access.seconds &&
         a.modification.seconds == b.modification.seconds && a.change.seconds == b.change.seconds;
}

void shorten_name(char* name) {
  std::size_t length = std::strlen(name);
  if (length <= 1) report_error("name too short");
  name[length - 1] = '\0';
}

bool name_truncated(char* name, const fs::FileStatus& status) {
  std::size_t length = std::strlen(name);
  if (length == 0) return false;
  char last = name[length - 1];
  name[length - 1] = '\0';
  fs::FileStatus shorter;
  bool same = fs::query(name, &shorter) == 0 && same_file_status(shorter, status);
  name[length - 1] = last;
  return same;
}

/// Opens the input found by locate_input. Whatever is there now must be a
/// regular file: anything else (swapped in since it was looked at) is left
/// alone as the first look would have left it.
bool open_input() {
  fs::FileStatus opened;
  state.input_handle = fs::open_input(state.input_name, &opened);
  if (state.input_handle < 0) {
    refuse_system_error(state.input_name, true);
    return false;
  }
  if (opened.kind != fs::FileKind::Regular) {
    close_input();
    set_warning();
    return false;
  }
  state.input_status = opened;
  return true;
}

/// Looks at what output_name holds now. 0: the name is free or holds a file
/// to be replaced (OUTPUT_EXISTS tells which); 1: refused.
int prepare_output_slot(bool* output_exists) {
  fs::FileStatus existing;
  errno = 0;
  *output_exists = false;
  while (fs::query(state.output_name, &existing) != 0) {
    if (errno != ENAMETOOLONG) return 0;
    shorten_name(state.output_name);
    errno = 0;
  }
  *output_exists = true;
  if (same_file_status(state.input_status, existing)) {
    if (std::strcmp(state.input_name, state.output_name) == 0)
      refuse("%s: %s: cannot %scompress onto itself\n", program_name, state.input_name, "de");
    else
      refuse("%s: %s and %s are the same file\n", program_name, state.input_name, state.output_name);
    return 1;
  }
  if (existing.kind == fs::FileKind::Directory) {
    errno = EISDIR;  // a rename cannot replace it
    refuse_system_error(state.output_name, true);
    return 1;
  }
  return 0;
}

/// Creates the temporary file beside output_name under a fresh name.
fs::Handle create_temporary() {
  std::size_t directory = std::strlen(state.output_name);
  while (directory > 0 && !fs::is_separator(state.output_name[directory - 1])) --directory;
  std::memcpy(state.temp_name, state.output_name, directory);
  char* unique = state.temp_name + directory + sizeof kTempPattern - 7;
  std::memcpy(state.temp_name + directory, kTempPattern, sizeof kTempPattern);

  std::uint32_t seed = std::uint32_t(std::time(nullptr)) ^ std::uint32_t(std::clock()) << 12;
  for (int attempt = 0; attempt < 64; ++attempt) {
    std::uint32_t x = (seed + ++state.temp_sequence) * 2654435761u;
    for (int i = 0; i < 6; ++i, x /= 36) unique[i] = "0123456789abcdefghijklmnopqrstuvwxyz"[x % 36];
    fs::Handle handle = fs::create_new(state.temp_name);
    if (handle >= 0 || errno != EEXIST) return handle;
  }
  return -1;
}

int create_output() {
  bool output_exists = false;
  if (prepare_output_slot(&output_exists) != 0) {
    close_input();
    return 1;
  }
  state.remove_output_on_abort = true;
  state.output_handle = create_temporary();
  if (state.output_handle < 0) {
    state.remove_output_on_abort = false;
    // Reported as the replacement or the creation of the output would be.
    refuse_system_error(state.output_name, output_exists);
    close_input();
    return 1;
  }
  return 0;
}

/// The input's access time and the member's time stamp (or the input's
/// modification time), and the input's permission bits, for the output.
void copy_times_and_mode() {
  fs::FileTime modification = state.input_status.modification;
  if (state.stored_time != 0 && state.stored_time != state.input_status.modification.seconds)
    modification = fs::FileTime{state.stored_time, 0};
  if (fs::set_times(state.output_handle, state.input_status.access, modification) != 0) set_warning();
  if (fs::set_mode(state.output_handle, state.temp_name, state.input_status.permissions()) != 0)
    set_warning();
}

/// Puts the finished output in place of output_name and removes the input.
void install_output() {
  if (fs::replace(state.temp_name, state.output_name) != 0) {
    refuse_system_error(state.output_name, true);
    fs::remove(state.temp_name);
    state.remove_output_on_abort = false;
    return;
  }
  state.remove_output_on_abort = false;
  fs::FileStatus installed;
  if (fs::query(state.output_name, &installed) == 0 && name_truncated(state.output_name, installed))
    warn("%s: %s: warning, name truncated\n", program_name, state.output_name);
  if (fs::remove(state.input_name) != 0) set_warning();
}

}  // namespace

void process_file(const char* name) {
  clear_pkzip_state();
  if (!locate_input(name)) return;
  if (state.input_status.kind != fs::FileKind::Regular) {
    set_warning();  // a directory, a link, a FIFO, a device: quietly left alone
    return;
  }
  state.stored_time = std::time_t(state.input_status.modification.seconds);
  if (derive_output_name() != 0) return;
  if (!open_input()) return;
  clear_buffers();
  state.member_count = 0;

  state.member_method = detect_container(state.input_handle);
  if (state.member_method < 0) {
    close_input();
    return;
  }
  if (create_output() != 0) return;

  for (;;) {
    if (state.member_decoder(state.input_handle, state.output_handle) != 0) {
      state.member_method = -1;
      break;
    }
    if (state.final_member) break;
    if (state.input_pos == state.input_count) {
      // The member ended exactly where the buffer fill ended: the rest of
      // the file, if any, has not been looked at yet. A further member
      // there must not be dropped while the call reports success.
      if (fill_input(true) < 0) {
        state.input_pos = 0;
        break;
      }
      state.input_pos = 0;
    }
    state.member_method = detect_container(state.input_handle);
    if (state.member_method < 0) break;
    state.output_bytes = 0;
  }

  close_input();
  if (state.member_method != -1) {
    copy_times_and_mode();
    // A failing flush is a failing write: the output may not be on the disk.
    if (fs::flush(state.output_handle) != 0) report_write_error();
  }
  int closed = fs::close(state.output_handle);
  state.output_handle = -1;
  if (closed != 0) report_write_error();
  if (state.member_method == -1) {
    fs::remove(state.temp_name);
    state.remove_output_on_abort = false;
    return;
  }
  install_output();
}

int decompress_file(const char* name) {
  state.result_code = 0;
  state.input_handle = state.output_handle = -1;
  // The name buffers are fixed; a longer name is refused before anything is
  // looked up, created or removed.
  if (name == nullptr || std::strlen(name) > kMaxNameLength) {
    refuse("%s: %.40s...: name too long\n", program_name, name ? name : "");
    return state.result_code;
  }
  process_file(name);
  return state.result_code;
}

namespace {

/// True for a name create_temporary makes: the pattern's prefix, then as
/// many letters or digits as the pattern has X's.
bool is_temporary_name(const char* name) {
  constexpr std::size_t prefix = sizeof kTempPattern - 7;
  if (std::strncmp(name, kTempPattern, prefix) != 0) return false;
  for (std::size_t i = prefix; i < sizeof kTempPattern - 1; ++i) {
    const char c = name[i];  // ASCII only, whatever the locale says
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'))) return false;
  }
  return name[sizeof kTempPattern - 1] == '\0';
}

}  // namespace

int remove_leftovers(const char* folder) { return fs::remove_files_in(folder, is_temporary_name); }

void abort_engine() {
  if (state.remove_output_on_abort) {
    state.remove_output_on_abort = false;
    if (state.output_handle >= 0) fs::close(state.output_handle);
    state.output_handle = -1;
    fs::remove(state.temp_name);
  }
  end_process(1);
}

}  // namespace engine
