#pragma once
// Running the engine in-process in tests: link `engine_testable` (the engine
// with the test seam, engine/testing/engine_testing.h), then call
// run_engine(name). A fatal end of the engine (corrupt data, read/write
// error, ...) does not end the test process: the hook throws EngineEnded,
// which run_engine catches and reports as `ended` with the exit status the
// process would have had. By then the engine has removed its half-written
// output and closed its files, exactly as the real end would leave the file
// system. FileFault makes one file operation of the engine fail.
//
// The engine works on names relative to the current directory, like the
// product; TempDir below gives each test a fresh directory and enters it.
//
// The suites run on Windows too (under Wine): there a file has one
// permission bit, the read-only attribute, and platform_mode() says what a
// file given POSIX bits shows.

#include <gtest/gtest.h>

#include <sys/stat.h>
#ifdef _WIN32
#include <sys/utime.h>
#else
#include <fcntl.h>
#endif

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "test_support/temp_dir.h"
#include "engine/decompress.h"
#include "engine_state.h"
#include "testing/engine_testing.h"

namespace engine_test {

struct EngineEnded {
  int status;
};

struct EngineRun {
  int result = -1;     // decompress_file's return value, when it returned
  bool ended = false;  // the engine ended the "process"
  int status = 0;      // its exit status then
  std::string err;     // what it printed on standard error
};

inline void throw_engine_ended(int status) { throw EngineEnded{status}; }

/// Runs decompress_file(name) once, capturing standard error.
inline EngineRun run_engine(const std::string& name) {
  EngineRun run;
  engine::end_process_hook = throw_engine_ended;
  testing::internal::CaptureStderr();
  try {
    run.result = engine::decompress_file(name.c_str());
  } catch (const EngineEnded& e) {
    run.ended = true;
    run.status = e.status;
  }
  run.err = testing::internal::GetCapturedStderr();
  return run;
}

/// A fresh temporary directory that is the current directory while it lives.
class TempDir {
 public:
  std::filesystem::path path() const { return dir_.path(); }

  /// Names of the entries left in the directory, sorted.
  std::vector<std::string> entries() const { return entries_of(path()); }

  /// Names of the entries of DIR, sorted.
  static std::vector<std::string> entries_of(const std::filesystem::path& dir) {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir))
      names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }

 private:
  test_support::TempDir dir_;
  test_support::ScopedCurrentDirectory current_{dir_.path()};
};

/// While it lives, the Nth call of file operation OP fails with ERROR.
class FileFault {
 public:
  FileFault(engine::FileOp op, int nth, int error) { engine::testing::fail_file_op(op, nth, error); }
  ~FileFault() { engine::testing::clear_file_faults(); }
  FileFault(const FileFault&) = delete;
  FileFault& operator=(const FileFault&) = delete;
};

/// The 12 permission bits of NAME (followed when it is a link).
inline mode_t mode_of(const std::string& name) {
  struct stat st {};
  return ::stat(name.c_str(), &st) == 0 ? st.st_mode & 07777 : mode_t(0);
}

/// The bits mode_of shows for a file that was given the POSIX bits BITS:
/// BITS themselves; on Windows read and write for everyone, or only read
/// when the owner's write bit is missing (the read-only attribute).
inline mode_t platform_mode(mode_t bits) {
#ifdef _WIN32
  return bits & 0200 ? 0666 : 0444;
#else
  return bits;
#endif
}

/// Sets NAME's access and modification times, in seconds since 1970.
inline bool set_file_times(const std::string& name, long long access, long long modification) {
#ifdef _WIN32
  struct __utimbuf64 times {access, modification};
  return ::_utime64(name.c_str(), &times) == 0;
#else
  const struct timespec times[2] = {{time_t(access), 0}, {time_t(modification), 0}};
  return ::utimensat(AT_FDCWD, name.c_str(), times, 0) == 0;
#endif
}

inline void write_file(const std::string& name, const std::string& bytes) {
  std::ofstream(name, std::ios::binary) << bytes;
}

inline std::string read_file(const std::string& name) {
  std::ifstream in(name, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace engine_test
