#include "KestroCore/Platform/Events/EventWaiter.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <system_error>

namespace kestro {
namespace {

[[noreturn]] void throwSystemError(const char* what) {
  throw std::system_error(errno, std::generic_category(), what);
}

}  // namespace

EventWaiter::EventWaiter() : wakeFd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
  if (!wakeFd_.valid()) throwSystemError("eventfd");
}

EventWaiter::~EventWaiter() = default;

bool EventWaiter::watchFile(const std::filesystem::path& file) {
  if (!inotifyFd_.valid()) {
    inotifyFd_.reset(::inotify_init1(IN_CLOEXEC | IN_NONBLOCK));
    if (!inotifyFd_.valid()) return false;
  }
  const std::filesystem::path directory = file.parent_path().empty() ? "." : file.parent_path();
  // A rename onto the file (IN_MOVED_TO) is how atomic writers replace it; IN_CLOSE_WRITE covers
  // writers that rewrite it in place.
  const int descriptor = ::inotify_add_watch(inotifyFd_.get(), directory.c_str(),
                                             IN_CLOSE_WRITE | IN_MOVED_TO | IN_CREATE);
  if (descriptor < 0) return false;
  watches_.push_back(Watch{descriptor, file.filename().native()});
  return true;
}

void EventWaiter::wake() noexcept {
  const std::uint64_t one = 1;
  // A signal handler calls this: the errno of the code it interrupted is kept.
  const int savedErrno = errno;
  // Only fails when the counter would overflow, and then a wake-up is pending anyway.
  [[maybe_unused]] const ssize_t written = ::write(wakeFd_.get(), &one, sizeof one);
  errno = savedErrno;
}

bool EventWaiter::drainFileEvents() {
  bool matched = false;
  alignas(inotify_event) char buffer[4096];
  for (;;) {
    const ssize_t length = ::read(inotifyFd_.get(), buffer, sizeof buffer);
    if (length < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN) return matched;
      throwSystemError("reading inotify events");
    }
    if (length == 0) return matched;
    for (ssize_t offset = 0; offset < length;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + offset);
      // The queue overflowed: something may have been missed, so say the file changed.
      if (event->mask & IN_Q_OVERFLOW) matched = true;
      if (event->len > 0) {
        const std::string_view name(event->name, ::strnlen(event->name, event->len));
        matched = matched || std::any_of(watches_.begin(), watches_.end(), [&](const Watch& w) {
                    return w.descriptor == event->wd && w.name == name;
                  });
      }
      offset += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
    }
  }
}

EventWaiter::Event EventWaiter::wait(std::chrono::steady_clock::time_point deadline) {
  using namespace std::chrono;
  for (;;) {
    pollfd descriptors[2] = {{wakeFd_.get(), POLLIN, 0}, {inotifyFd_.get(), POLLIN, 0}};
    const nfds_t count = inotifyFd_.valid() ? 2 : 1;
    const auto left = deadline - steady_clock::now();
    // Rounded up, so that the wait never ends just before the deadline and has to go round again
    // with a timeout of zero.
    const auto milliseconds =
        std::clamp<std::int64_t>(ceil<std::chrono::milliseconds>(left).count(), 0, INT_MAX);
    const int ready = ::poll(descriptors, count, static_cast<int>(milliseconds));
    if (ready < 0) {
      if (errno == EINTR) continue;
      throwSystemError("poll");
    }
    if (descriptors[0].revents & POLLIN) {
      std::uint64_t value = 0;
      [[maybe_unused]] const ssize_t read = ::read(wakeFd_.get(), &value, sizeof value);
      return Event::woken;
    }
    if (count == 2 && (descriptors[1].revents & POLLIN) && drainFileEvents()) {
      return Event::fileChanged;
    }
    if (ready == 0 && steady_clock::now() >= deadline) return Event::timedOut;
  }
}

}  // namespace kestro
