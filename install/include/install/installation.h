#pragma once
/// Installing the files a session received: each "NAME.gz" is decompressed in
/// place by the engine, then File.ver records the versions they bring. No
/// window is involved, so the update window's worker thread and the console
/// tool share it. Corrupt data ends the whole process inside the engine
/// (status 1), leaving the compressed file and File.ver as they were; which
/// engine that is (the product's, or the test build's whose end a test can
/// catch) the executable chooses.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace install {

struct InstallResult {
  enum class Outcome {
    Nothing,            ///< no file was listed; File.ver untouched
    Installed,          ///< every file installed and File.ver written
    DecompressFailed,   ///< failedName could not be installed; File.ver untouched
    VersionFileFailed,  ///< every file installed, but File.ver could not be created
  };
  Outcome outcome = Outcome::Nothing;
  std::string failedName;  ///< the ".gz" name that failed
  int installed = 0;       ///< files installed by this run

  bool failed() const {
    return outcome == Outcome::DecompressFailed || outcome == Outcome::VersionFileFailed;
  }
  /// The text shown to the player for a failure: "Can't decompress %s" or
  /// "Can't create File.ver".
  std::string FailureText() const;
};

/// Installs RECEIVEDNAMES (the local names of the files a session received
/// completely, in arrival order) in order. "null.dat" (any letter case) is
/// skipped. After a failure the list keeps the failed name and those after
/// it, so a later run starts at the file that failed; it is emptied only
/// when every name is done. First the temporary files that an interrupted
/// installation left in the folders written into are removed. When every
/// name is done, the files are made durable and then File.ver is written
/// with MAJOR and MINOR (the versions the session reached), so that it never
/// records versions whose files a power cut could still take back (a failing
/// flush counts as "Can't create File.ver"). ONINSTALLED, if set, is called
/// with each name installed.
InstallResult InstallReceivedFiles(std::vector<std::string>& receivedNames, std::uint32_t major,
                                   std::uint32_t minor,
                                   const std::function<void(const std::string&)>& onInstalled = {});

}  // namespace install
