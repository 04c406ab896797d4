#pragma once

// The main thread's queue of work: other threads post work, and the thread that runs the queue
// (the host's main thread) does it, one item at a time, in the order posted. The share target's
// request task hops here to load items and to end the request.
//
// Thread safety: `post`, `requestStop` and `close` may be called from any thread; `run` and
// `runUntil` from the main thread only (they may nest, from inside a work item).
//
// Errors: what a work item throws leaves `run`/`runUntil` on the main thread; the queue stays
// usable.

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>

namespace kestro {

class MainQueue {
 public:
  MainQueue() = default;
  MainQueue(const MainQueue&) = delete;
  MainQueue& operator=(const MainQueue&) = delete;

  // Appends `work`. Returns false, and destroys `work` without running it, once the queue is
  // closed.
  bool post(std::function<void()> work);

  // Runs work until `requestStop` is called (a stop requested while nothing runs ends the next
  // run at once). Work still queued stays for the next run. Both `run` and `runUntil` also
  // return once the queue is closed and empty, since no work can arrive any more.
  void run();
  void requestStop();

  // Runs work until `done()` is true. `done` is checked on this thread before waiting and after
  // each work item; whatever makes it true should be done by a work item, or be followed by a
  // `post` (an empty one will do) to wake the queue. Stop requests are left for `run`.
  void runUntil(const std::function<bool()>& done);

  // Drops queued work (destroying it unrun) and refuses further posts. Whoever waits for posted
  // work can learn of it from the work's destruction (a std::promise broken, say).
  void close();
  bool isClosed() const;

 private:
  void loop(const std::function<bool()>& done, bool wakeOnStop);

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::function<void()>> work_;
  bool stopRequested_ = false;
  bool closed_ = false;
};

}  // namespace kestro
