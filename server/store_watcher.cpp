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
  thread_ = std::thread([this] { Run(); });
}

StoreWatcher::~StoreWatcher() {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  asked_.notify_one();
  thread_.join();
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
  {
    std::lock_guard lock(mutex_);
    wanted_ = true;
  }
  asked_.notify_one();
}

bool StoreWatcher::Looking() const {
  std::lock_guard lock(mutex_);
  return wanted_ || running_ || posted_;
}

StoreWatcher::Outcome StoreWatcher::Take() {
  std::uint64_t count = 0;
  [[maybe_unused]] const ssize_t n = ::read(readyFd_.get(), &count, sizeof count);
  std::lock_guard lock(mutex_);
  posted_ = false;
  // The first state is the loop's from its start: once a newer one is handed
  // over, holding it here would keep its stored files from a prune.
  if (ready_.snapshot) first_.reset();
  return std::exchange(ready_, {});
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

void StoreWatcher::Run() {
  std::unique_lock lock(mutex_);
  for (;;) {
    asked_.wait(lock, [this] { return stop_ || wanted_; });
    if (stop_) return;
    wanted_ = false;
    running_ = true;
    lock.unlock();
    Outcome found = LookOnce();
    lock.lock();
    // Looks not taken yet are merged: the newest state wins, and an error
    // stays only when no newer state was loaded after it.
    if (found.snapshot) ready_ = std::move(found);
    if (!found.error.empty()) ready_.error = std::move(found.error);
    running_ = wanted_;  // still looking when asked again meanwhile
    if (!running_ && !posted_) {
      posted_ = true;
      const std::uint64_t one = 1;
      [[maybe_unused]] const ssize_t n = ::write(readyFd_.get(), &one, sizeof one);
    }
  }
}

StoreWatcher::Outcome StoreWatcher::LookOnce() {
  if (IdentityOf(root_) != folder_) WatchFolder();
  const FileIdentity id = IdentityOf(root_ + "/" + store::kStateFile);
  if (id == served_) return {};
  Outcome outcome;
  if (!id.present && served_.present) {
    // A CURRENT removed by hand (or a store folder being replaced): the state
    // served stays until a CURRENT is back.
    outcome.error = root_ + "/" + store::kStateFile + " is missing";
  } else {
    try {
      outcome.snapshot = LoadSnapshot(root_, last_.get());
      last_ = outcome.snapshot;
      served_ = id;
      failed_ = {};
      failedWhy_.clear();
      return outcome;
    } catch (const std::exception& e) {
      outcome.error = e.what();
    }
  }
  // Said once per cause; the look is repeated, as a copy may still be arriving.
  if (id == failed_ && outcome.error == failedWhy_) return {};
  failed_ = id;
  failedWhy_ = outcome.error;
  return outcome;
}

}  // namespace server
