#pragma once

// Waiting for something to happen without spinning: a watched file being written or replaced,
// another thread (or a signal handler) asking the waiter to wake, or a deadline passing.
// Long-running programs build their loops on it, so that an idle loop costs nothing.

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "KestroCore/Platform/Files/FileDescriptor.h"

namespace kestro {

// One waiter: one thread waits at a time, any thread may wake it.
//
// Threads: `wake` may be called from any thread and from a signal handler at any moment;
// `watchFile` and `wait` belong to the waiting thread. Not copyable: it owns kernel objects
// (an eventfd and an inotify instance), closed when it goes.
//
// Not guaranteed: that every change of a watched file is reported separately (several changes
// between two waits are one event), or that a change made through another name for the same
// file (a hard link, a bind mount) is seen. Callers compare what they care about themselves.
class EventWaiter {
 public:
  enum class Event {
    fileChanged,  // a watched file was written and closed, created, or renamed into place
    woken,        // `wake` was called (since the last wait that returned `woken`)
    timedOut,     // the deadline passed first
  };

  // Throws std::system_error when the kernel gives no eventfd.
  EventWaiter();
  ~EventWaiter();

  EventWaiter(const EventWaiter&) = delete;
  EventWaiter& operator=(const EventWaiter&) = delete;

  // Watches `file` (which need not exist yet) through its directory, which must exist: files
  // replaced by a rename, as the settings suites are, keep being watched. False when the watch
  // cannot be set up (the directory is missing, the user's inotify limits are reached); the
  // caller must then look for changes itself. Several files may be watched.
  bool watchFile(const std::filesystem::path& file);

  // Makes the current or next `wait` return `woken`. Async-signal-safe; never throws.
  void wake() noexcept;

  // Blocks until one of the events above, and returns it; a wake-up takes precedence over a
  // file change that arrived at the same time. Never returns before the deadline for any other
  // reason (interrupted system calls are resumed). Throws std::system_error when polling fails.
  Event wait(std::chrono::steady_clock::time_point deadline);

 private:
  // Reads what inotify has queued; true when it names a watched file.
  bool drainFileEvents();

  FileDescriptor wakeFd_;
  FileDescriptor inotifyFd_;
  // Watch descriptor and file name, per watched file.
  struct Watch {
    int descriptor;
    std::string name;
  };
  std::vector<Watch> watches_;
};

}  // namespace kestro
