#pragma once
// Following the store for a running server: change notifications on the store
// folder, looked up by its path (a folder replaced by a restored copy is
// watched again), a loader thread that reads new states off the serving
// loop and hands each ready snapshot over through an eventfd, and when the
// loop asks for a look and holds new sessions for a state being loaded.

#include <sys/types.h>

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "fd.h"
#include "server/release_store.h"

namespace server {

/// Identity of a file or folder as found by its path: a publish replaces
/// CURRENT by rename, a restore replaces the whole folder.
struct FileIdentity {
  bool present = false;
  dev_t device = 0;
  ino_t inode = 0;
  std::int64_t modified = 0;
  off_t size = 0;
  bool operator==(const FileIdentity&) const = default;
};
FileIdentity IdentityOf(const std::string& path);

class StoreWatcher {
 public:
  /// What the looks since the last Take found.
  struct Outcome {
    std::shared_ptr<const Snapshot> snapshot;  ///< a new state to serve; null: none
    std::string error;                         ///< why a newer state is not served; empty: nothing new to say
  };

  /// Loads the state in force under ROOT. Throws StoreError when no server
  /// should start on it: unreadable, or releases without a CURRENT naming them.
  explicit StoreWatcher(std::string root);
  ~StoreWatcher();
  StoreWatcher(const StoreWatcher&) = delete;
  StoreWatcher& operator=(const StoreWatcher&) = delete;

  /// The state loaded at construction, until the first Take that hands over a newer one.
  const std::shared_ptr<const Snapshot>& first() const { return first_; }
  /// Readable when something changed in the store folder; -1 without notifications.
  int changeFd() const { return notifyFd_.get(); }
  /// Readable when looks asked for have an outcome to Take.
  int readyFd() const { return readyFd_.get(); }
  /// Reads the pending change notifications.
  void DrainChanges();
  /// Asks the loader thread to look at the store; looks asked while one runs are merged.
  void Look();
  /// True from Look until the outcome of every look asked for is taken.
  bool Looking() const;
  /// What the finished looks found.
  Outcome Take();

  /// The store is looked at this often even without a change notification
  /// (file systems without inotify, a store that could not be loaded yet).
  static constexpr std::int64_t kLookMs = 1000;
  /// New sessions wait at most this long for a state of the store that is
  /// being loaded after a change notification; then they get the one served.
  static constexpr std::int64_t kHoldMs = 1000;
  /// The first look without a notification comes kLookMs after NOW
  /// (milliseconds of the steady clock, as for every time below).
  void StartLooking(std::int64_t now) { nextLook_ = now + kLookMs; }
  /// Once per turn of the serving loop; CHANGED: a change notification came
  /// (read with DrainChanges). Asks for a look after a notification and
  /// when one is due, and holds new sessions after a notification until the
  /// state is loaded or kHoldMs have passed.
  void Turn(std::int64_t now, bool changed);
  /// New sessions wait: a changed state is being loaded.
  bool Holding() const { return holdUntil_ != 0; }
  /// When Turn has something to do without a notification.
  std::int64_t DueAt() const { return holdUntil_ != 0 ? std::min(nextLook_, holdUntil_) : nextLook_; }

 private:
  void Run();
  /// One look: the folder watched by its path, then CURRENT compared with the state served.
  Outcome LookOnce();
  void WatchFolder();

  const std::string root_;
  std::shared_ptr<const Snapshot> first_;
  Fd notifyFd_, readyFd_;
  int watch_ = -1;
  // Serving loop only.
  std::int64_t nextLook_ = 0;
  std::int64_t holdUntil_ = 0;  // new sessions wait for a state being loaded until then
  // Loader thread only.
  FileIdentity folder_, served_, failed_;
  std::string failedWhy_;
  std::shared_ptr<const Snapshot> last_;
  // Shared, under mutex_.
  mutable std::mutex mutex_;
  std::condition_variable asked_;
  bool wanted_ = false, running_ = false, posted_ = false, stop_ = false;
  Outcome ready_;
  std::thread thread_;
};

}  // namespace server
