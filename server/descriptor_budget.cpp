#include "descriptor_budget.h"

#include <dirent.h>
#include <sys/resource.h>

namespace server {

namespace {

/// Descriptors open in this process now; the highest possible when that cannot be read.
std::size_t OpenDescriptors(std::size_t fallback) {
  DIR* dir = ::opendir("/proc/self/fd");
  if (dir == nullptr) return fallback;
  std::size_t count = 0;
  while (const dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] != '.') ++count;
  }
  ::closedir(dir);
  return count - 1;  // the listing's own
}

}  // namespace

std::size_t DescriptorBudget::Available(std::size_t spare) {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return 0;
  const std::size_t total =
      limit.rlim_cur == RLIM_INFINITY ? std::size_t{1} << 20 : static_cast<std::size_t>(limit.rlim_cur);
  const std::size_t used = OpenDescriptors(total) + spare;
  return total > used ? total - used : 0;
}

}  // namespace server
