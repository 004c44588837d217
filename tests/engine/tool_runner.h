#pragma once
// Runs the decompress tool (DECOMPRESS_TOOL) as a child process, the way the
// installation sees the engine end: an exit status and what it printed on
// standard error. POSIX: fork and exec; Windows: CreateProcessA.

#include <filesystem>
#include <string>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "engine_test_support.h"

namespace engine_test {

struct ToolRun {
  int status = -1;
  std::string err;
};

/// Runs `decompress NAME` in DIR with its standard error going to ERR_FILE
/// (outside DIR). With FILE_LIMIT >= 0 the child may write at most that many
/// bytes to any file (POSIX only: Windows has no such limit).
inline ToolRun run_decompress(const std::filesystem::path& dir, const std::string& name,
                              const std::filesystem::path& err_file, long file_limit = -1) {
  ToolRun r;
#ifdef _WIN32
  (void)file_limit;
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE err = CreateFileA(err_file.string().c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                           CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (err == INVALID_HANDLE_VALUE) return r;
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
  startup.hStdError = err;
  std::string command = std::string("\"") + DECOMPRESS_TOOL + "\" \"" + name + "\"";
  PROCESS_INFORMATION process{};
  const bool started = CreateProcessA(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                      dir.string().c_str(), &startup, &process);
  CloseHandle(err);
  if (started) {
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    r.status = int(code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
  }
#else
  pid_t pid = ::fork();
  if (pid == 0) {
    if (::chdir(dir.c_str()) != 0) ::_exit(127);
    int fd = ::open(err_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ::dup2(fd, 2);
    if (file_limit >= 0) {
      ::signal(SIGXFSZ, SIG_IGN);
      struct rlimit rl {rlim_t(file_limit), rlim_t(file_limit)};
      ::setrlimit(RLIMIT_FSIZE, &rl);
    }
    ::execl(DECOMPRESS_TOOL, "decompress", name.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  int ws = 0;
  ::waitpid(pid, &ws, 0);
  r.status = WIFEXITED(ws) ? WEXITSTATUS(ws) : 128 + WTERMSIG(ws);
#endif
  r.err = read_file(err_file.string());
#ifdef _WIN32
  // The child's C library wrote its line ends as CR LF.
  std::string text;
  for (std::size_t i = 0; i < r.err.size(); ++i)
    if (!(r.err[i] == '\r' && i + 1 < r.err.size() && r.err[i + 1] == '\n')) text += r.err[i];
  r.err = text;
#endif
  return r;
}

}  // namespace engine_test
