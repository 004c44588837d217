#pragma once
// Following the store for a running server: change notifications on the store
// folder, looked up by its path (a folder replaced by a restored copy is
// watched again), a look at CURRENT on the serving loop (two stat calls),
// and, only when CURRENT changed, a loader thread that reads the new state
// off the loop and hands it over through an eventfd. The thread lives only
// while it loads: a serving process that stays single-threaded is scheduled
// next to its clients noticeably better than one with a sleeping thread.

#include <sys/types.h>

#include <algorithm>
#include <cstdint>
#include <memory>
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
  /// Looks at the store: starts loading a changed CURRENT, or notes that a
  /// look is due once the load under way is taken.
  void Look();
  /// True while a load runs or its outcome waits to be taken.
  bool Looking() const { return loading_ || again_; }
  /// What the finished load found (call when readyFd is readable); looks again
  /// when a look was asked for meanwhile.
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
  /// Loads the state CURRENT names on the loader thread, then posts.
  void Load();
  /// Makes readyFd readable.
  void Post();
  /// An outcome of a look said once per cause; the look is repeated, as a copy may still be arriving.
  Outcome Failure(const FileIdentity& id, std::string why);
  void WatchFolder();

  const std::string root_;
  std::shared_ptr<const Snapshot> first_;
  Fd notifyFd_, readyFd_;
  int watch_ = -1;
  // Serving loop only.
  std::int64_t nextLook_ = 0;
  std::int64_t holdUntil_ = 0;  // new sessions wait for a state being loaded until then
  // Serving loop only, except while loading_: then the loader thread alone
  // writes loaded_ and reads last_, and the loop joins it before reading.
  FileIdentity folder_, served_, failed_, loadingId_;
  std::string failedWhy_;
  std::shared_ptr<const Snapshot> last_;
  bool loading_ = false, again_ = false;
  Outcome loaded_;
  std::thread thread_;
};

}  // namespace server
