#pragma once

// Desktop notifications: one message at a time to the freedesktop Notifications service
// (org.freedesktop.Notifications, method Notify) on the session bus, under the application name
// "Kestro". GIO's D-Bus client is loaded, and the bus connected, when the first notification is
// sent; a process that never sends one never loads it. Every send is bounded by the notifier's
// patience (a bus that accepts the connection and then keeps silent included), and nothing is
// thrown: a desktop without a bus or without a notification service is an ordinary outcome,
// reported as "not shown" with the reason.
//
// Threads: a notifier may be used from any thread; sends through one notifier take turns.

#include <chrono>
#include <memory>
#include <optional>
#include <string>

namespace kestro {

struct Notification {
  enum class Urgency { low, normal, critical };

  // One line, the headline ("Stored on this device"). Control characters are shown as U+FFFD.
  std::string summary;
  // The details, lines kept. Sent as plain text: characters that a service taking markup would
  // read as markup are escaped for it.
  std::string body;
  Urgency urgency = Urgency::normal;
};

struct NotificationOutcome {
  bool shown = false;
  // Why it was not shown ("no session bus", "org.freedesktop.DBus.Error.ServiceUnknown: ...",
  // "timed out"); empty when shown.
  std::string reason;
};

// The address of the session bus, as a D-Bus address: `DBUS_SESSION_BUS_ADDRESS` when set and not
// empty; otherwise `<XDG_RUNTIME_DIR>/bus` (the per-user bus that systemd starts) when that is a
// socket; otherwise nothing. Never starts a bus: "autolaunch:" entries are left out. The
// arguments are the values of those two variables (nullptr when unset).
std::optional<std::string> sessionBusAddress(const char* busAddressVariable,
                                             const char* runtimeDirectoryVariable);

class DesktopNotifier {
 public:
  // How long one send may take at most, connecting included.
  static constexpr std::chrono::milliseconds kDefaultPatience{3000};

  // Sends to the bus at `busAddress` (a D-Bus address; nothing: there is no bus, and every send
  // says so at once).
  explicit DesktopNotifier(std::optional<std::string> busAddress,
                           std::chrono::milliseconds patience = kDefaultPatience);
  // Sends to the session bus of this process's environment (sessionBusAddress).
  static DesktopNotifier forSession(std::chrono::milliseconds patience = kDefaultPatience);

  ~DesktopNotifier();
  DesktopNotifier(DesktopNotifier&&) noexcept;
  DesktopNotifier& operator=(DesktopNotifier&&) noexcept;

  // Whether there is a bus to try at all; false means every send fails without loading anything.
  bool hasBus() const noexcept;

  // Shows `notification`, waiting at most the patience for the service's answer. A connection
  // that broke is made again at the next send. Never throws.
  NotificationOutcome show(const Notification& notification) noexcept;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace kestro
