#include "store_watcher.h"

#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "store_files.h"

namespace server {

FileIdentity IdentityOf(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return {};
  return {true, st.st_dev, st.st_ino, st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec, st.st_size};
}

StoreWatcher::StoreWatcher(std::string root) : root_(std::move(root)) {
  const std::string state = root_ + "/" + store::kStateFile;
  served_ = IdentityOf(state);
  if (!served_.present) store::RefuseLostState(root_);
  first_ = last_ = LoadSnapshot(root_);

  readyFd_.Reset(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
  if (!readyFd_.valid()) store::ThrowSystem("eventfd");
  // Change notifications are a convenience: without them the store is
  // still looked at whenever the loop asks.
  notifyFd_.Reset(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
  WatchFolder();
}

StoreWatcher::~StoreWatcher() {
  if (thread_.joinable()) thread_.join();
}

void StoreWatcher::WatchFolder() {
  folder_ = IdentityOf(root_);
  if (!notifyFd_.valid()) return;
  if (watch_ >= 0) ::inotify_rm_watch(notifyFd_.get(), watch_);  // gone already when the folder was removed
  watch_ = folder_.present
               ? ::inotify_add_watch(notifyFd_.get(), root_.c_str(),
                                     IN_MOVED_TO | IN_CLOSE_WRITE | IN_DELETE | IN_DELETE_SELF | IN_MOVE_SELF)
               : -1;
}

void StoreWatcher::DrainChanges() {
  char buffer[4096];
  while (::read(notifyFd_.get(), buffer, sizeof buffer) > 0) {
  }
}

void StoreWatcher::Look() {
  if (loading_) {
    again_ = true;  // CURRENT may have changed again while the load runs
    return;
  }
  if (IdentityOf(root_) != folder_) WatchFolder();
  const FileIdentity id = IdentityOf(root_ + "/" + store::kStateFile);
  if (id == served_) return;
  if (!id.present && served_.present) {
    // A CURRENT removed by hand (or a store folder being replaced): the state
    // served stays until a CURRENT is back.
    loaded_ = Failure(id, root_ + "/" + store::kStateFile + " is missing");
    if (!loaded_.error.empty()) Post();
    return;
  }
  loading_ = true;
  loadingId_ = id;
  thread_ = std::thread([this] { Load(); });
}

void StoreWatcher::Load() {
  try {
    loaded_.snapshot = LoadSnapshot(root_, last_.get());
  } catch (const std::exception& e) {
    loaded_.error = e.what();
  }
  Post();
}

void StoreWatcher::Post() {
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t n = ::write(readyFd_.get(), &one, sizeof one);
}

StoreWatcher::Outcome StoreWatcher::Failure(const FileIdentity& id, std::string why) {
  if (id == failed_ && why == failedWhy_) return {};
  failed_ = id;
  failedWhy_ = why;
  return {nullptr, std::move(why)};
}

StoreWatcher::Outcome StoreWatcher::Take() {
  std::uint64_t count = 0;
  [[maybe_unused]] const ssize_t n = ::read(readyFd_.get(), &count, sizeof count);
  if (thread_.joinable()) thread_.join();  // it has posted: its last step
  Outcome found = std::exchange(loaded_, {});
  if (loading_) {
    loading_ = false;
    if (found.snapshot) {
      last_ = found.snapshot;
      served_ = loadingId_;
      failed_ = {};
      failedWhy_.clear();
      // The first state is the loop's from its start: once a newer one is
      // handed over, holding it here would keep its stored files from a prune.
      first_.reset();
    } else {
      found = Failure(loadingId_, std::move(found.error));
    }
  }
  if (std::exchange(again_, false)) Look();
  return found;
}

void StoreWatcher::Turn(std::int64_t now, bool changed) {
  if (changed || now >= nextLook_) {
    Look();
    nextLook_ = now + kLookMs;
    // A changed state is in place before new sessions start, unless
    // loading it takes long.
    if (changed) holdUntil_ = now + kHoldMs;
  }
  if (holdUntil_ != 0 && (now >= holdUntil_ || !Looking())) holdUntil_ = 0;
}

}  // namespace server
