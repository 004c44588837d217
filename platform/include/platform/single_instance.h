#pragma once
/// The single-instance guard: one running copy per executable base name.
/// On Windows it is the named mutex itself (CreateMutexA, not owned, its
/// handle kept until the process ends). Elsewhere it stands in for one, per
/// user: an exclusive lock on a file named after the base name in the user's
/// runtime directory, which the kernel releases when the process ends,
/// however it ends.

#include <string>

namespace platform {

/// Takes the guard for NAME and holds it until the process ends. Returns 0
/// when this process now holds it, otherwise a non-zero error value. On
/// Windows that is the system's last error after CreateMutexA
/// (ERROR_ALREADY_EXISTS: another copy runs). Elsewhere EWOULDBLOCK when
/// another process holds the lock, anything else when the lock file could not
/// be opened; the descriptor is not inherited by child processes.
int AcquireSingleInstance(const std::string& name);

}  // namespace platform
