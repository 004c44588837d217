#include "platform/single_instance.h"

#include <windows.h>

namespace platform {

int AcquireSingleInstance(const std::string& name) {
  // Any last error after the call counts, as it always did: normally
  // ERROR_ALREADY_EXISTS, when a copy under the same name holds the mutex.
  const HANDLE mutex = CreateMutexA(nullptr, FALSE, name.c_str());
  const DWORD error = GetLastError();
  if (mutex == nullptr) return error != 0 ? static_cast<int>(error) : ERROR_INVALID_HANDLE;
  if (error != 0) {
    CloseHandle(mutex);
    return static_cast<int>(error);
  }
  // Deliberately kept open: the mutex lives as long as the process.
  return 0;
}

}  // namespace platform
