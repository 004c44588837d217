#pragma once
/// The single-instance guard: one running copy per executable base name and
/// user. It stands in for a named mutex: an exclusive lock on a file named
/// after the base name in the user's runtime directory, which the kernel
/// releases when the process ends, however it ends.

#include <string>

namespace platform {

/// The lock file used for NAME.
std::string SingleInstanceLockPath(const std::string& name);

/// Takes the guard for NAME and holds it until the process ends. Returns 0
/// when this process now holds it, otherwise a non-zero error value
/// (EWOULDBLOCK: another process holds it; anything else: the lock file
/// could not be opened). The descriptor is not inherited by child processes.
int AcquireSingleInstance(const std::string& name);

}  // namespace platform
