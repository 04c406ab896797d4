#include "KestroCore/Platform/Notifications/DesktopNotifier.h"

#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <stdexcept>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "KestroCore/Foundation/Text.h"
#include "KestroCore/Platform/Notifications/internal/GDBus.h"

namespace kestro {
namespace {

using SteadyClock = std::chrono::steady_clock;

constexpr const char* kServiceName = "org.freedesktop.Notifications";
constexpr const char* kObjectPath = "/org/freedesktop/Notifications";
constexpr const char* kApplicationName = "Kestro";

// A path as a D-Bus address's value: bytes other than the few that need no escaping as %XX.
std::string escapedAddressValue(const std::string& value) {
  static const char hex[] = "0123456789abcdef";
  std::string escaped;
  for (const char c : value) {
    const auto byte = static_cast<unsigned char>(c);
    if ((byte >= '0' && byte <= '9') || (byte >= 'a' && byte <= 'z') ||
        (byte >= 'A' && byte <= 'Z') || c == '-' || c == '_' || c == '/' || c == '.' || c == '\\' ||
        c == '*') {
      escaped.push_back(c);
    } else {
      escaped += {'%', hex[byte >> 4], hex[byte & 0xf]};
    }
  }
  return escaped;
}

// Text for a service that reads markup: the three characters it would take for tags and
// entities, as entities.
std::string escapedMarkup(const std::string& text) {
  std::string escaped;
  for (const char c : text) {
    switch (c) {
      case '&':
        escaped += "&amp;";
        break;
      case '<':
        escaped += "&lt;";
        break;
      case '>':
        escaped += "&gt;";
        break;
      default:
        escaped.push_back(c);
    }
  }
  return escaped;
}

// The send's bound: a cancellable that a thread of its own cancels once the patience has run
// out, which ends whatever GDBus is waiting for (the connection, its authentication, a reply).
class Deadline {
 public:
  Deadline(const gdbus::Functions& functions, std::chrono::milliseconds patience)
      : functions_(functions),
        cancellable_(functions.cancellableNew()),
        end_(SteadyClock::now() + patience),
        watcher_([this] { watch(); }) {}

  ~Deadline() {
    {
      const std::lock_guard lock(mutex_);
      done_ = true;
    }
    changed_.notify_all();
    watcher_.join();
    functions_.objectUnref(cancellable_);
  }

  Deadline(const Deadline&) = delete;
  Deadline& operator=(const Deadline&) = delete;

  GCancellable* cancellable() const noexcept { return cancellable_; }

  // A call's own timeout: what is left and a little more, so that the cancellation ends the call
  // and the outcome says it was the patience; the timeout only backs it up.
  gint callTimeoutMilliseconds() const {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(end_ - SteadyClock::now()).count();
    return static_cast<gint>(std::max<long long>(left, 0) + 250);
  }

  // The patience has run out: the watcher cancelled, or a call's own timeout (the time that
  // was left) came first.
  bool expired() {
    const std::lock_guard lock(mutex_);
    return expired_ || SteadyClock::now() >= end_;
  }

 private:
  void watch() {
    std::unique_lock lock(mutex_);
    if (changed_.wait_until(lock, end_, [this] { return done_; })) return;
    expired_ = true;
    functions_.cancellableCancel(cancellable_);
  }

  const gdbus::Functions& functions_;
  GCancellable* const cancellable_;
  const SteadyClock::time_point end_;
  std::mutex mutex_;
  std::condition_variable changed_;
  bool done_ = false;
  bool expired_ = false;
  std::thread watcher_;  // last: it uses every member above
};

// Owns a GVariant reply.
struct VariantDeleter {
  void operator()(GVariant* value) const noexcept { gdbus::functions().variantUnref(value); }
};
using OwnedVariant = std::unique_ptr<GVariant, VariantDeleter>;

}  // namespace

struct DesktopNotifier::State {
  std::optional<std::string> busAddress;
  std::chrono::milliseconds patience;
  std::mutex mutex;  // one send at a time
  GDBusConnection* connection = nullptr;
  // Whether the service reads markup in bodies (its capability "body-markup"), asked once per
  // connection.
  bool bodyMarkup = false;

  ~State() { disconnect(); }

  void disconnect() noexcept {
    if (connection) gdbus::functions().objectUnref(connection);
    connection = nullptr;
  }

  // What a failed step says: the deadline when it ran out, GDBus's message otherwise. The error
  // is freed.
  std::string failure(GError* error, Deadline& deadline, const char* step) const {
    std::string message = error && error->message ? error->message : "unknown error";
    if (error) gdbus::functions().errorFree(error);
    if (deadline.expired()) {
      message = "no answer within " + std::to_string(patience.count()) + " ms";
    } else if (message.find(".NameHasNoOwner") != std::string::npos ||
               message.find(".ServiceUnknown") != std::string::npos) {
      return "no notification service on the bus";
    }
    return std::string(step) + ": " + message;
  }

  OwnedVariant call(const char* destination, const char* path, const char* method,
                    GVariant* parameters, const char* replyType, Deadline& deadline) {
    const gdbus::Functions& f = gdbus::functions();
    GError* error = nullptr;
    GVariant* reply =
        f.connectionCallSync(connection, destination, path, destination, method, parameters,
                             f.variantType(replyType), G_DBUS_CALL_FLAGS_NO_AUTO_START,
                             deadline.callTimeoutMilliseconds(), deadline.cancellable(), &error);
    if (!reply) {
      // A connection that timed out or closed under the call is made again next time.
      if (deadline.expired() || f.connectionIsClosed(connection)) disconnect();
      throw std::runtime_error(failure(error, deadline, method));
    }
    return OwnedVariant(reply);
  }

  OwnedVariant callService(const char* method, GVariant* parameters, const char* replyType,
                           Deadline& deadline) {
    return call(kServiceName, kObjectPath, method, parameters, replyType, deadline);
  }

  void connect(Deadline& deadline) {
    const gdbus::Functions& f = gdbus::functions();
    if (connection && f.connectionIsClosed(connection)) disconnect();
    if (connection) return;
    GError* error = nullptr;
    // GDBus would greet the bus itself (MESSAGE_BUS_CONNECTION) without a bound on the answer;
    // greeted here, the answer is waited for within the deadline like every other.
    connection = f.connectionNewForAddressSync(busAddress->c_str(),
                                               G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT,
                                               nullptr, deadline.cancellable(), &error);
    if (!connection) throw std::runtime_error(failure(error, deadline, "connecting to the bus"));
    try {
      call("org.freedesktop.DBus", "/org/freedesktop/DBus", "Hello", nullptr, "(s)", deadline);
      readCapabilities(deadline);
    } catch (...) {
      // Made afresh next time: the greeting may not have been answered, and a service may come.
      disconnect();
      throw;
    }
  }

  void readCapabilities(Deadline& deadline) {
    const gdbus::Functions& f = gdbus::functions();
    const OwnedVariant reply = callService("GetCapabilities", nullptr, "(as)", deadline);
    const OwnedVariant capabilities(f.childValue(reply.get(), 0));
    bodyMarkup = false;
    for (gsize i = 0; i < f.childCount(capabilities.get()); ++i) {
      const OwnedVariant capability(f.childValue(capabilities.get(), i));
      if (std::string_view(f.getString(capability.get(), nullptr)) == "body-markup") {
        bodyMarkup = true;
      }
    }
  }

  NotificationOutcome show(const Notification& notification) {
    const gdbus::Functions& f = gdbus::functions();
    Deadline deadline(f, patience);
    connect(deadline);
    const std::string summary = printableLine(notification.summary);
    std::string body = printableText(notification.body, true);
    if (bodyMarkup) body = escapedMarkup(body);
    GVariant* urgency = f.newDictEntry(
        f.newString("urgency"), f.newVariant(f.newByte(static_cast<guchar>(notification.urgency))));
    GVariant* arguments[] = {f.newString(kApplicationName),
                             f.newUint32(0),
                             f.newString(""),
                             f.newString(summary.c_str()),
                             f.newString(body.c_str()),
                             f.newStrv(nullptr, 0),
                             f.newArray(f.variantType("{sv}"), &urgency, 1),
                             f.newInt32(-1)};
    callService("Notify", f.newTuple(arguments, std::size(arguments)), "(u)", deadline);
    return {true, {}};
  }
};

std::optional<std::string> sessionBusAddress(const char* busAddressVariable,
                                             const char* runtimeDirectoryVariable) {
  if (busAddressVariable && *busAddressVariable) {
    // The address's "autolaunch:" entries would have GDBus start a bus of its own (dbus-launch):
    // they are left out, and an address of nothing else is no bus.
    std::string kept;
    std::string_view rest = busAddressVariable;
    while (!rest.empty()) {
      const std::size_t end = rest.find(';');
      const std::string_view entry = rest.substr(0, end);
      if (!entry.empty() && !entry.starts_with("autolaunch:")) {
        kept += (kept.empty() ? "" : ";") + std::string(entry);
      }
      rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    }
    if (kept.empty()) return std::nullopt;
    return kept;
  }
  if (!runtimeDirectoryVariable || *runtimeDirectoryVariable != '/') return std::nullopt;
  const std::string socket = std::string(runtimeDirectoryVariable) + "/bus";
  struct stat status {};
  if (::stat(socket.c_str(), &status) != 0 || !S_ISSOCK(status.st_mode)) return std::nullopt;
  return "unix:path=" + escapedAddressValue(socket);
}

DesktopNotifier::DesktopNotifier(std::optional<std::string> busAddress,
                                 std::chrono::milliseconds patience)
    : state_(std::make_unique<State>()) {
  state_->busAddress = std::move(busAddress);
  state_->patience = patience;
}

DesktopNotifier DesktopNotifier::forSession(std::chrono::milliseconds patience) {
  return DesktopNotifier(
      sessionBusAddress(::getenv("DBUS_SESSION_BUS_ADDRESS"), ::getenv("XDG_RUNTIME_DIR")),
      patience);
}

DesktopNotifier::~DesktopNotifier() = default;
DesktopNotifier::DesktopNotifier(DesktopNotifier&&) noexcept = default;
DesktopNotifier& DesktopNotifier::operator=(DesktopNotifier&&) noexcept = default;

bool DesktopNotifier::hasBus() const noexcept { return state_ && state_->busAddress.has_value(); }

NotificationOutcome DesktopNotifier::show(const Notification& notification) noexcept {
  if (!hasBus()) return {false, "no session bus"};
  try {
    const std::lock_guard lock(state_->mutex);
    return state_->show(notification);
  } catch (const std::exception& error) {
    return {false, error.what()};
  } catch (...) {
    return {false, "the notification could not be sent"};
  }
}

}  // namespace kestro
