#include "KestroCore/Platform/Extension/MainQueue.h"

#include <utility>

namespace kestro {

bool MainQueue::post(std::function<void()> work) {
  {
    const std::lock_guard lock(mutex_);
    if (!closed_) {
      work_.push_back(std::move(work));
      work = nullptr;
    }
  }
  // A refused item is destroyed here, outside the lock, since its destruction may notify
  // someone who then posts again.
  if (work) return false;
  changed_.notify_all();
  return true;
}

void MainQueue::requestStop() {
  {
    const std::lock_guard lock(mutex_);
    stopRequested_ = true;
  }
  changed_.notify_all();
}

void MainQueue::run() {
  loop(
      [this] {
        const std::lock_guard lock(mutex_);
        return std::exchange(stopRequested_, false);
      },
      true);
}

void MainQueue::runUntil(const std::function<bool()>& done) { loop(done, false); }

void MainQueue::loop(const std::function<bool()>& done, bool wakeOnStop) {
  for (;;) {
    if (done()) return;
    std::function<void()> work;
    {
      std::unique_lock lock(mutex_);
      changed_.wait(lock,
                    [&] { return !work_.empty() || closed_ || (wakeOnStop && stopRequested_); });
      if (work_.empty()) {
        // Nothing can arrive on a closed queue any more.
        if (closed_) return;
        continue;
      }
      work = std::move(work_.front());
      work_.pop_front();
    }
    work();
  }
}

void MainQueue::close() {
  std::deque<std::function<void()>> dropped;
  {
    const std::lock_guard lock(mutex_);
    closed_ = true;
    dropped.swap(work_);
  }
  changed_.notify_all();
  // `dropped` is destroyed here, outside the lock.
}

bool MainQueue::isClosed() const {
  const std::lock_guard lock(mutex_);
  return closed_;
}

}  // namespace kestro
