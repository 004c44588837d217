#pragma once
// A session as the loop keeps it, and the lists that order sessions by time.
//
// A session is a record of under 200 bytes: where it stands in its answer (a
// segment index and two offsets), its timers, and shared pointers to the
// answer cache of the snapshot it started with and to its prepared answer.
// It owns nothing but its socket and, while it sends a stored file that is
// not cached, that file.

#include <cstdint>
#include <map>
#include <memory>

#include "answer_cache.h"
#include "fd.h"
#include "session/wire.h"
#include "token_bucket.h"

namespace server {

struct Session;
/// Sessions waiting for tokens of their own, by when they have enough.
using DelayedSessions = std::multimap<std::int64_t, Session*>;

struct Session {
  enum Phase : std::uint8_t { WaitRequest, Sending, Done };
  /// Why a sending session is neither sending nor watching for room.
  enum Hold : std::uint8_t {
    Free,
    Delayed,  // out of its own tokens, in the loop's timer map (DUE)
    Queued,   // waits for its turn at the server's tokens, in the queue list
  };

  Fd socket;
  Phase phase = WaitRequest;
  Hold hold = Free;
  bool writeWatched = false;
  bool readClosed = false;      // the updater shut its sending side after the request
  bool parked = false;          // waits for a slot for the stored file it sends from
  bool fileSlot = false;        // holds a descriptor for the stored file it sends from
  bool addressCounted = false;  // counted in the sessions of its address
  std::uint8_t got = 0;
  std::uint8_t request[session::kUpdateRequestSize] = {};
  std::uint16_t peerPort = 0;
  session::Ipv4Address peerAddress = 0;
  int file = -1;  // the stored file being sent: cached, or OWNFILE
  Fd ownFile;
  std::uint32_t segment = 0, byteOffset = 0, filesSent = 0;
  std::uint64_t fileOffset = 0, bytesSent = 0;
  std::int64_t started = 0, lastProgress = 0;
  TokenBucket bucket;  // with a rate per session
  DelayedSessions::iterator due;
  Session* prev = nullptr;  // in one of the loop's lists, oldest first
  Session* next = nullptr;
  std::shared_ptr<AnswerCache> served;
  std::shared_ptr<const Prepared> prepared;

  bool HasRequest() const { return got == sizeof request; }
};

/// Sessions in the order of one of their times, oldest first; a session is
/// in one list at a time.
struct SessionList {
  Session* oldest = nullptr;
  Session* newest = nullptr;

  void Append(Session* s) {
    s->prev = newest;
    s->next = nullptr;
    (newest != nullptr ? newest->next : oldest) = s;
    newest = s;
  }
  void Remove(Session* s) {
    (s->prev != nullptr ? s->prev->next : oldest) = s->next;
    (s->next != nullptr ? s->next->prev : newest) = s->prev;
    s->prev = s->next = nullptr;
  }
  /// Moves S from FROM (this list or another) to the back of this one.
  void TakeFrom(SessionList& from, Session* s) {
    from.Remove(s);
    Append(s);
  }
};

}  // namespace server
