#include "Testing/SecretServiceTestSupport.h"

#include <gio/gio.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <utility>

#include "KestroCore/Platform/Process/Process.h"

namespace kestro::testsupport {
namespace {

constexpr const char* kService = "org.freedesktop.secrets";
constexpr const char* kServicePath = "/org/freedesktop/secrets";
constexpr const char* kServiceInterface = "org.freedesktop.Secret.Service";
constexpr const char* kPasswordVariable = "KESTRO_TEST_KEYRING_PASSWORD";

struct VariantUnref {
  void operator()(GVariant* variant) const noexcept { g_variant_unref(variant); }
};
using Variant = std::unique_ptr<GVariant, VariantUnref>;

struct ErrorFree {
  void operator()(GError* error) const noexcept { g_error_free(error); }
};

// The session bus, held for the life of the process: GLib keeps only a weak reference to its
// shared connection, and a secret session opened on a connection ends when the connection does.
GDBusConnection* bus() {
  static GDBusConnection* const connection = [] {
    GError* rawError = nullptr;
    GDBusConnection* opened = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &rawError);
    if (opened == nullptr) {
      const std::unique_ptr<GError, ErrorFree> error(rawError);
      throw std::runtime_error(std::string("no session bus: ") + error->message);
    }
    return opened;
  }();
  return connection;
}

// One method call on the service; throws with the service's message when it fails.
Variant call(const char* path, const char* interface, const char* method, GVariant* arguments,
             const char* replyType) {
  GError* rawError = nullptr;
  Variant reply(g_dbus_connection_call_sync(bus(), kService, path, interface, method, arguments,
                                            G_VARIANT_TYPE(replyType), G_DBUS_CALL_FLAGS_NONE, -1,
                                            nullptr, &rawError));
  if (!reply) {
    const std::unique_ptr<GError, ErrorFree> error(rawError);
    throw std::runtime_error(std::string(method) + " failed: " + error->message);
  }
  return reply;
}

std::string defaultCollectionPath() {
  const Variant reply =
      call(kServicePath, kServiceInterface, "ReadAlias", g_variant_new("(s)", "default"), "(o)");
  const gchar* path = nullptr;
  g_variant_get(reply.get(), "(&o)", &path);
  if (g_strcmp0(path, "/") == 0) throw std::runtime_error("the service has no default collection");
  return path;
}

}  // namespace

bool insideTestSecretService() { return std::getenv(kPasswordVariable) != nullptr; }

CommandResult runCommand(const std::vector<std::string>& arguments, std::string_view input) {
  ProcessOptions options;
  options.arguments = arguments;
  options.searchPath = true;
  options.standardInput = ProcessInput::text(std::string(input));
  options.standardOutput = ProcessOutput::capture();
  const ProcessResult ran = runProcess(std::move(options));
  CommandResult result;
  result.exitStatus = ran.status.exitCode.value_or(-1);
  result.output = ran.standardOutput;
  return result;
}

void lockDefaultCollection() {
  const std::string path = defaultCollectionPath();
  const char* paths[] = {path.c_str(), nullptr};
  call(kServicePath, kServiceInterface, "Lock", g_variant_new("(^ao)", paths), "(aoo)");
  if (!defaultCollectionLocked())
    throw std::runtime_error("the default collection stayed unlocked");
}

void unlockDefaultCollection() {
  const char* password = std::getenv(kPasswordVariable);
  if (password == nullptr) throw std::runtime_error("not inside with-secret-service.sh");
  const std::string path = defaultCollectionPath();
  // The master password travels as a secret of a plain-text session, which belongs to the
  // connection that opened it.
  const Variant opened = call(kServicePath, kServiceInterface, "OpenSession",
                              g_variant_new("(sv)", "plain", g_variant_new_string("")), "(vo)");
  const gchar* session = nullptr;
  g_variant_get(opened.get(), "(v&o)", nullptr, &session);
  GVariant* secret = g_variant_new(
      "(o@ay@ays)", session, g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, "", 0, 1),
      g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, password, std::strlen(password), 1),
      "text/plain");
  call(kServicePath, "org.gnome.keyring.InternalUnsupportedGuiltRiddenInterface",
       "UnlockWithMasterPassword", g_variant_new("(o@(oayays))", path.c_str(), secret), "()");
  call(session, "org.freedesktop.Secret.Session", "Close", nullptr, "()");
  if (defaultCollectionLocked()) throw std::runtime_error("the default collection stayed locked");
}

bool defaultCollectionLocked() {
  const std::string path = defaultCollectionPath();
  const Variant reply =
      call(path.c_str(), "org.freedesktop.DBus.Properties", "Get",
           g_variant_new("(ss)", "org.freedesktop.Secret.Collection", "Locked"), "(v)");
  GVariant* value = nullptr;
  g_variant_get(reply.get(), "(v)", &value);
  const bool locked = g_variant_get_boolean(value);
  g_variant_unref(value);
  return locked;
}

}  // namespace kestro::testsupport

// Under ThreadSanitizer (the tsan preset) our code is instrumented but GLib, GIO, GObject and
// libsecret are not: their threads hand memory to each other under locks that the sanitizer
// cannot see, so it reports races inside them that are none. Only accesses made from those
// libraries are let through; a race in our own code is still reported.
extern "C" const char* __tsan_default_suppressions() {
  return "called_from_lib:libglib-2.0.so.0\n"
         "called_from_lib:libgio-2.0.so.0\n"
         "called_from_lib:libgobject-2.0.so.0\n"
         "called_from_lib:libsecret-1.so.0\n";
}
