// Running programs from the Windows suites (under Wine): only Run, with the
// program's output collected through a file. There is no limit on the size of
// the files a Windows process writes, so fileSizeLimit is refused.
#include <windows.h>

#include <gtest/gtest.h>

#include <thread>

#include "test_support/process.h"
#include "test_support/temp_dir.h"

namespace test_support {
namespace {

/// ARGV as one command line, each argument quoted as the C library's
/// parser reads it back.
std::string CommandLine(const std::vector<std::string>& argv) {
  std::string line;
  for (const std::string& arg : argv) {
    if (!line.empty()) line += ' ';
    line += '"';
    std::size_t backslashes = 0;
    for (const char c : arg) {
      if (c == '\\') {
        ++backslashes;
        continue;
      }
      line.append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
      backslashes = 0;
      line += c;
    }
    line.append(2 * backslashes, '\\');
    line += '"';
  }
  return line;
}

/// TEXT with the C library's CR LF line ends made LF, as a POSIX program prints them.
std::string WithoutCarriageReturns(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i)
    if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) out += text[i];
  return out;
}

}  // namespace

void SleepFor(std::chrono::milliseconds duration) { std::this_thread::sleep_for(duration); }

RunResult Run(const std::vector<std::string>& argv, const ProcessOptions& options) {
  RunResult result;
  if (options.fileSizeLimit >= 0 || !options.env.empty()) {
    ADD_FAILURE() << "Run on Windows takes neither a file size limit nor an environment";
    return result;
  }
  TempDir scratch;
  const std::string outputPath = options.outputPath.empty() ? scratch / "output" : options.outputPath;
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE output = CreateFileA(outputPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              &inherit, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  HANDLE null = CreateFileA("NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                            OPEN_EXISTING, 0, nullptr);
  if (output == INVALID_HANDLE_VALUE || null == INVALID_HANDLE_VALUE) {
    ADD_FAILURE() << "cannot open " << outputPath;
    return result;
  }
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = null;
  startup.hStdOutput = options.errorOnly ? null : output;
  startup.hStdError = output;
  std::string command = CommandLine(argv);
  PROCESS_INFORMATION process{};
  const bool started =
      CreateProcessA(argv[0].c_str(), command.data(), nullptr, nullptr, TRUE, 0, nullptr,
                     options.directory.empty() ? nullptr : options.directory.c_str(), &startup, &process);
  CloseHandle(output);
  CloseHandle(null);
  if (!started) {
    ADD_FAILURE() << "cannot start " << argv[0] << ": error " << GetLastError();
    return result;
  }
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = 0;
  GetExitCodeProcess(process.hProcess, &code);
  result.status = static_cast<int>(code);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  result.output = WithoutCarriageReturns(ReadFile(outputPath));
  return result;
}

}  // namespace test_support
