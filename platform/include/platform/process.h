#pragma once
/// Starting the game client. The updater hands the client its own command-line
/// arguments after the ones it adds, so they are kept from the very start of
/// the process, before the toolkit sees (and removes) any of them.

#include <string>
#include <vector>

namespace platform {

/// Keeps ARGV[1..ARGC-1] as the program's own arguments. Call first in main.
void RecordOwnArguments(int argc, const char* const* argv);

/// The arguments kept by RecordOwnArguments, unchanged.
const std::vector<std::string>& OwnArguments();

/// A client setting split at its last '\' or '/': the directory to make
/// current (empty when the setting has no directory part) and the file name.
struct ClientLocation {
  std::string directory;
  std::string fileName;
};
ClientLocation SplitClientSetting(const std::string& setting);

/// Why a client could not be started: a system error code and its text
/// (the text can say more than the code, e.g. that a needed program is missing).
struct StartFailure {
  int code = 0;
  std::string text;
};

/// Starts FILENAME (no directory part) with ARGUMENTTEXT and the updater's own
/// arguments, in the current directory, with this process's environment, and
/// does not wait for it. Returns code 0 when the client was started.
///
/// On Windows: CreateProcessA with the command line ClientCommandLine() and
/// no program path, so the system looks for FILENAME in the updater's own
/// directory, the current directory, then its program folders; no handles
/// inherited, normal priority, shown in the default manner.
///
/// Elsewhere: the arguments FILENAME, the blank-separated words of
/// ARGUMENTTEXT, then OwnArguments(); the program is looked up in the
/// updater's own directory, then in the current directory, then on PATH. A
/// Windows program (a file starting with "MZ") is started through `wine` from
/// PATH. The client inherits no descriptor beyond the standard three.
StartFailure StartClient(const std::string& fileName, const std::string& argumentText);

/// The command line of the client: FILENAME, a blank, ARGUMENTTEXT, a blank,
/// then the updater's own arguments, nothing quoted. On Windows exactly what
/// StartClient passes (the tail of GetCommandLineA after the program name and
/// the blanks behind it); elsewhere a description of the argument vector.
std::string ClientCommandLine(const std::string& fileName, const std::string& argumentText);

}  // namespace platform
